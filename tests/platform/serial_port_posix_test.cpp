// The POSIX serial adapter over a pseudo-terminal pair. These tests use real time: they check
// outcomes and only generous upper bounds, never exact durations.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial_port_system.h"
#include "test_support.h"
#include "win_trans.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PosixPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    name_ = ptsname(master_);
    factory_ = MakeSystemSerialPortFactory();
    uint32_t error = 0;
    port_ = factory_->Open(name_, error);
    ASSERT_NE(port_, nullptr) << error;
    SerialLineSettings s;
    ASSERT_TRUE(port_->GetLineSettings(s));
    CWinTrans::ApplyLinkSettings(s, 115200);
    ASSERT_TRUE(port_->SetLineSettings(s));
  }
  void TearDown() override {
    port_.reset();
    if (master_ >= 0) close(master_);
  }

  void SetReadTimeouts(uint32_t interval, uint32_t total) {
    SerialTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = total;
    t.WriteTotalTimeoutConstant = 2000;
    ASSERT_TRUE(port_->SetTimeouts(t));
  }
  void MasterWrite(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads from the master side until `count` bytes came or 5 s passed.
  std::string MasterRead(size_t count) {
    std::string got;
    auto start = Clock::now();
    while (got.size() < count && MsSince(start) < 5000) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Waits until the port's input queue holds `count` bytes (a pty moves data asynchronously).
  bool WaitForInput(uint32_t count) {
    auto start = Clock::now();
    uint32_t in = 0;
    uint32_t out = 0;
    while (MsSince(start) < 5000) {
      if (port_->ClearError(in, out) && in >= count) return in == count;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  int master_ = -1;
  std::string name_;
  std::unique_ptr<ISerialPortFactory> factory_;
  std::unique_ptr<ISerialPort> port_;
};

TEST_F(PosixPort, LineSettingsAreApplied) {
  SerialLineSettings s;
  ASSERT_TRUE(port_->GetLineSettings(s));
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_EQ(s.fOutxCtsFlow, 1u);
  EXPECT_EQ(s.fRtsControl, kRtsControlHandshake);
  EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
  EXPECT_EQ(s.fOutX, 0u);
  EXPECT_EQ(s.fInX, 0u);
  // The master side sees the slave's termios.
  termios tio;
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  for (uint32_t speed : {9600u, 19200u, 38400u, 57600u}) {
    s.BaudRate = speed;
    EXPECT_TRUE(port_->SetLineSettings(s)) << speed;
    SerialLineSettings back;
    ASSERT_TRUE(port_->GetLineSettings(back));
    EXPECT_EQ(back.BaudRate, speed);
  }
  for (uint32_t speed : {0u, 14400u, 123456u}) {
    s.BaudRate = speed;
    EXPECT_FALSE(port_->SetLineSettings(s)) << speed;
    EXPECT_EQ(port_->LastError(), static_cast<uint32_t>(EINVAL));
  }
}

TEST_F(PosixPort, OpenIsExclusiveAndFailsCleanly) {
  uint32_t error = 0;
  EXPECT_EQ(factory_->Open(name_, error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(EBUSY));
  EXPECT_EQ(factory_->Open("/dev/no-such-port", error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(factory_->Open("/dev/null", error), nullptr);  // not a terminal
  EXPECT_EQ(error, static_cast<uint32_t>(ENOTTY));
  // Closed, it can be opened again.
  port_.reset();
  port_ = factory_->Open(name_, error);
  EXPECT_NE(port_, nullptr);
}

TEST_F(PosixPort, WritesArriveAtTheOtherEnd) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data.push_back(static_cast<char>(i * 13));
  uint32_t written = 0;
  ASSERT_TRUE(port_->Write(data.data(), static_cast<uint32_t>(data.size()), written));
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(MasterRead(data.size()), data);  // raw: no CR/LF translation, no echo
}

TEST_F(PosixPort, ReadEndsWhenAllBytesArrived) {
  SetReadTimeouts(5000, 5000);
  MasterWrite("ABCD");
  char buffer[4];
  uint32_t received = 0;
  auto start = Clock::now();
  ASSERT_TRUE(port_->Read(buffer, 4, received));
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(std::string(buffer, 4), "ABCD");
  EXPECT_LT(MsSince(start), 4000);
}

TEST_F(PosixPort, ReadEndsOnTheTotalTimeout) {
  SetReadTimeouts(200, 200);
  char buffer[4];
  uint32_t received = 99;
  auto start = Clock::now();
  ASSERT_TRUE(port_->Read(buffer, 4, received));  // a time-out is a short read, not a failure
  EXPECT_EQ(received, 0u);
  long long ms = MsSince(start);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 3000);
}

TEST_F(PosixPort, ReadEndsOnTheGapBetweenBytes) {
  SetReadTimeouts(200, 20000);
  MasterWrite("AB");
  char buffer[4];
  uint32_t received = 0;
  auto start = Clock::now();
  ASSERT_TRUE(port_->Read(buffer, 4, received));
  EXPECT_EQ(received, 2u);
  EXPECT_LT(MsSince(start), 10000);  // far below the 20 s total
}

TEST_F(PosixPort, TotalTimeoutEndsATricklingRead) {
  SetReadTimeouts(1000, 300);
  std::thread writer([this] {
    for (int i = 0; i < 40; ++i) {
      char b = 'x';
      if (write(master_, &b, 1) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
  std::vector<char> buffer(100);
  uint32_t received = 0;
  auto start = Clock::now();
  ASSERT_TRUE(port_->Read(buffer.data(), 100, received));
  long long ms = MsSince(start);
  writer.join();
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, 40u);
  EXPECT_LT(ms, 900);  // never the 1000 ms the 40 bytes would take
}

TEST_F(PosixPort, QueueCountsAndFlush) {
  uint32_t in = 99;
  uint32_t out = 99;
  ASSERT_TRUE(port_->ClearError(in, out));
  EXPECT_EQ(in, 0u);
  MasterWrite("12345");
  ASSERT_TRUE(WaitForInput(5));

  CWinTrans trans{std::string()};
  EXPECT_EQ(trans.FlushRcv(port_.get()), kResultOk);
  ASSERT_TRUE(port_->ClearError(in, out));
  EXPECT_EQ(in, 0u);
  EXPECT_EQ(trans.FlushRcv(port_.get()), kResultOk);  // nothing waiting: nothing read

  uint32_t written = 0;
  ASSERT_TRUE(port_->Write("hello", 5, written));
  EXPECT_EQ(trans.WaitSnd(port_.get()), kResultOk);
  ASSERT_TRUE(port_->ClearError(in, out));
  EXPECT_EQ(out, 0u);
}

TEST_F(PosixPort, WriteIsBoundedByTheWriteTimeout) {
  SerialTimeouts t;
  t.WriteTotalTimeoutConstant = 300;
  ASSERT_TRUE(port_->SetTimeouts(t));
  // Nobody reads the master side: the pty's buffers fill up.
  std::vector<char> data(4 << 20, 'z');
  uint32_t written = 0;
  auto start = Clock::now();
  EXPECT_FALSE(port_->Write(data.data(), static_cast<uint32_t>(data.size()), written));
  EXPECT_EQ(port_->LastError(), static_cast<uint32_t>(ETIMEDOUT));
  EXPECT_LT(written, data.size());
  EXPECT_LT(MsSince(start), 5000);
}

TEST_F(PosixPort, PseudoTerminalHasNoModemLines) {
  uint32_t status = 0;
  EXPECT_FALSE(port_->GetModemStatus(status));
  EXPECT_NE(port_->LastError(), 0u);
  CWinTrans trans{std::string()};
  RecordingBridge bridge;
  trans.BindDialog(&bridge);
  EXPECT_EQ(trans.GetTargetPowerStatus(port_.get()), kResultPortFailure);
  EXPECT_EQ(bridge.log, "Failed to get COM port state.\r\n");
}

TEST_F(PosixPort, ReadFailsOnceTheOtherEndIsGone) {
  SetReadTimeouts(500, 500);
  close(master_);
  master_ = -1;
  char buffer[4];
  uint32_t received = 0;
  EXPECT_FALSE(port_->Read(buffer, 4, received));
}

}  // namespace
