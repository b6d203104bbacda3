// calvera-cli's parts without a port: the bank progress of the status line, the port list from a
// made-up sysfs, the time column of the trace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bank_progress.h"
#include "port_list.h"
#include "timestamp_trace.h"

namespace fs = std::filesystem;

namespace {

// The 14-byte bank command as the engine writes it: ESC "OPD" bank(2) length(5) sum(2) CR.
std::vector<uint8_t> BankCommand(int bank, uint32_t length, char kind = 'D') {
  char text[16];
  std::snprintf(text, sizeof text, "\x1bOP%c%02X%05X00\r", kind, bank, length);
  return std::vector<uint8_t>(text, text + 14);
}

void Write(CBankProgress& p, size_t count, uint64_t now) {
  std::vector<uint8_t> data(count, 0x55);
  p.OnWritten(data.data(), static_cast<uint32_t>(data.size()), now);
}

TEST(BankProgress, CountsBanksOfBothImagesAndBytesWithinABank) {
  CBankProgress p;
  p.SetImages(2 * 65536 + 100, 9000);  // core: 3 banks; loader: 1 bank
  EXPECT_FALSE(p.Active());
  EXPECT_EQ(p.StatusLine(0), "");
  Write(p, 20, 0);  // before any bank: nothing counts
  p.OnLogLine("Connecting...\n", 0);
  EXPECT_FALSE(p.Active());

  p.OnLogLine("Sending Data No. 0\n", 1000);
  EXPECT_EQ(p.BankCount(), 4);
  EXPECT_EQ(p.TotalBytes(), 2u * 65536 + 100 + 9000);
  auto cmd = BankCommand(0, 20000);
  p.OnWritten(cmd.data(), 14, 1000);
  EXPECT_EQ(p.SentBytes(), 0u);
  Write(p, 10000, 1500);
  EXPECT_EQ(p.SentBytes(), 65536u / 2);  // half of the compressed bank: half of its image bytes
  Write(p, 10000, 2000);
  Write(p, 2, 2000);  // the data sum: beyond the bank's length, counts for nothing more
  EXPECT_EQ(p.SentBytes(), 65536u);
  EXPECT_EQ(p.StatusLine(2000).substr(0, 36), "bank 1 of 4  65536/140172 bytes  46%");

  // A refused bank is sent again: its progress starts from nothing.
  p.OnLogLine("Sending Data No. 1", 3000);
  cmd = BankCommand(1, 1000);
  p.OnWritten(cmd.data(), 14, 3000);
  Write(p, 500, 3000);
  EXPECT_EQ(p.SentBytes(), 65536u + 32768u);
  p.OnLogLine("Sending Data No. 1", 3100);
  EXPECT_EQ(p.SentBytes(), 65536u);

  // The loader's bank (plain command letter K is read the same way) is the last one.
  p.OnLogLine("Sending Data No. 3 \n", 5000);
  cmd = BankCommand(3, 9000, 'K');
  p.OnWritten(cmd.data(), 14, 5000);
  Write(p, 9000, 6000);
  EXPECT_EQ(p.SentBytes(), p.TotalBytes());
  EXPECT_EQ(p.SecondsLeft(6000), 0);
  EXPECT_NE(p.StatusLine(6000).find("bank 4 of 4"), std::string::npos);
  EXPECT_NE(p.StatusLine(6000).find("100%"), std::string::npos);
}

TEST(BankProgress, RateAndTimeLeft) {
  CBankProgress p;
  p.SetImages(4 * 65536, 0);
  p.OnLogLine("Sending Data No. 0", 10000);
  EXPECT_EQ(p.SecondsLeft(10000), -1);  // no rate yet
  EXPECT_NE(p.StatusLine(10000).find("-- KB/s  --:-- left"), std::string::npos);
  p.OnLogLine("Sending Data No. 2", 20000);  // two banks in 10 s
  EXPECT_DOUBLE_EQ(p.BytesPerSecond(20000), 2 * 65536 / 10.0);
  EXPECT_EQ(p.SecondsLeft(20000), 10);
  EXPECT_NE(p.StatusLine(20000).find("bank 3 of 4  131072/262144 bytes  50%  13.1 KB/s  0:10 left"),
            std::string::npos)
      << p.StatusLine(20000);
  EXPECT_LE(p.StatusLine(20000).size(), 79u);
}

TEST(BankProgress, HourLongRunsShowHours) {
  CBankProgress p;
  p.SetImages(200 * 65536, 0);
  p.OnLogLine("Sending Data No. 0", 0);
  p.OnLogLine("Sending Data No. 1", 60000);  // one bank a minute: 199 minutes left
  EXPECT_NE(p.StatusLine(60000).find("3:19:00 left"), std::string::npos) << p.StatusLine(60000);
}

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/calvera-ports-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root = dir;
    fs::create_directories(root / "dev");
    fs::create_directories(root / "sys/class/tty");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  void Text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  // A device node (a plain file will do) and its sysfs class entry.
  void Tty(const std::string& name, const std::string& uartType = "") {
    Text(root / "dev" / name, "");
    fs::create_directories(root / "sys/class/tty" / name);
    if (!uartType.empty()) Text(root / "sys/class/tty" / name / "type", uartType + "\n");
  }
  // A USB device with its interface; the tty's device link points below it.
  void UsbTty(const std::string& name, const std::string& vendor, const std::string& product,
              const std::string& manufacturer, const std::string& productName, const std::string& serial) {
    Tty(name);
    const fs::path usb = root / "sys/devices/pci0/usb1/1-1";
    Text(usb / "idVendor", vendor + "\n");
    Text(usb / "idProduct", product + "\n");
    if (!manufacturer.empty()) Text(usb / "manufacturer", manufacturer + "\n");
    if (!productName.empty()) Text(usb / "product", productName + "\n");
    if (!serial.empty()) Text(usb / "serial", serial + "\n");
    const fs::path port = usb / "1-1:1.0" / name;
    fs::create_directories(port);
    fs::create_directory_symlink(port, root / "sys/class/tty" / name / "device");
  }
  std::vector<SerialPortInfo> List() { return ListSerialPorts((root / "dev").string(), (root / "sys").string()); }

  fs::path root;
};

TEST_F(PortListTest, RealUartsAndUsbPortsInOrderWithTheirDescriptions) {
  Tty("ttyS10", "4");
  Tty("ttyS2", "4");
  Tty("ttyS1", "0");  // no UART behind it
  Tty("ttyS3");       // no type known
  UsbTty("ttyUSB0", "0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3");
  Tty("ttyACM0");     // no device link: no description
  Text(root / "dev/tty0", "");
  Text(root / "dev/ttyUSBx", "");
  Text(root / "dev/null", "");
  const std::vector<SerialPortInfo> ports = List();
  std::vector<std::string> seen;
  for (const auto& p : ports) seen.push_back(fs::path(p.device).filename().string() + "|" + p.description);
  EXPECT_EQ(seen, (std::vector<std::string>{"ttyS2|", "ttyS10|", "ttyUSB0|0403:6001 FTDI FT232R USB UART serial A1B2C3",
                                            "ttyACM0|"}));
}

TEST_F(PortListTest, NoPorts) { EXPECT_TRUE(List().empty()); }

TEST(TimestampTrace, TimeColumnIsLocalTimeWithMilliseconds) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(CTimestampTraceReceiver::TimeColumn(1781173385007LL), "2026-06-11 10:23:05.007");
  EXPECT_EQ(CTimestampTraceReceiver::TimeColumn(0), "1970-01-01 00:00:00.000");
}

}  // namespace
