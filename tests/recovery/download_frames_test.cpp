// The download commands byte for byte on a scripted port: PDL, PGO, the bank commands and the final
// command, their retries, and the file steps that fail before anything is sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../engine/test_support.h"
#include "binary_file.h"
#include "image_check.h"
#include "win_trans.h"

std::vector<uint8_t> MakeImageFile(uint32_t magic, const std::vector<uint8_t>& body, uint32_t loadAddress,
                                   uint32_t entryOffset, uint32_t formatFlags);

namespace {

namespace fs = std::filesystem;
using Data = std::vector<uint8_t>;

class DownloadFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("calvera_frames_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    trans.BindDialog(&dialog);
  }
  void TearDown() override {
    trans.BindDialog(nullptr);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Write(const std::string& name, const Data& data) {
    const std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    return path;
  }
  std::string Sent() const { return std::string(port.sent.begin(), port.sent.end()); }

  fs::path dir;
  CWinTrans trans{std::string()};
  RecordingBridge dialog;
  ScriptedPort port;
  TraceCapture trace;
};

const std::string kPdlOk = "\x1bPDL010\r\n";
const std::string kPgoOk = "\x1bPGO016\r\n";
const std::string kAck = "\x06\x1a";
const std::string kErasing = "\x1bOPDB1\r\n";
const std::string kWriting = "\x1bOPDB2\r\n";
const std::string kDone = "\x1bOPDE0\r\n";
const std::string kFailedE1 = "\x1bOPDE1\r\n";

TEST_F(DownloadFrames, PdlFrameCarriesTheBodyInFiveWrites) {
  trans.m_iloaderPath = Write("il.bin", MakeImageFile(ILOADER_MAGIC, {1, 2, 3, 4}, 0x00200000u, 0x1000, 0));
  port.Queue(kPdlOk);
  ImageHeader header;
  ASSERT_EQ(trans.GoOSloaderDown(&port, header), 0);
  EXPECT_EQ(Sent(), std::string("\x1bPDL0020000000000004\x01\x02\x03\x04") + "F0\r");
  EXPECT_EQ(port.writeSizes, (std::vector<uint32_t>{4, 8, 8, 4, 3}));
  EXPECT_TRUE(trace.Has("[GoOSloaderDown] Source file is OK"));
  EXPECT_TRUE(trace.Has("[GoOSloaderDown] Cmd[1b50444c]"));
  EXPECT_TRUE(trace.Has("[GoOSloaderDown] Rsp[50444c3031300d0a]"));
  EXPECT_EQ(CBinaryFile::OpenCount(), 0);
}

TEST_F(DownloadFrames, RefusedPdlSendsTheWholeFrameAgainUpToFourTimes) {
  trans.m_iloaderPath = Write("il.bin", MakeImageFile(ILOADER_MAGIC, {1, 2, 3, 4}, 0x00200000u, 0, 0));
  const std::string refused = "\x1bPDL111\r\n";  // status '1', correct sum
  for (int i = 0; i < 3; ++i) port.Queue(refused);
  port.Queue(kPdlOk);
  ImageHeader header;
  EXPECT_EQ(trans.GoOSloaderDown(&port, header), 0);
  EXPECT_EQ(port.sent.size(), 4u * 27u);
  port.sent.clear();
  for (int i = 0; i < 4; ++i) port.Queue(refused);
  EXPECT_EQ(trans.GoOSloaderDown(&port, header), -1);
  EXPECT_EQ(port.sent.size(), 4u * 27u);
}

TEST_F(DownloadFrames, PgoStartsAtLoadAddressPlusEntryOffset) {
  struct Case {
    uint32_t load, entry;
    std::string frame;
  };
  for (const Case& c : {Case{0x00200000u, 0x1000, "\x1bPGO0020100069\r"}, Case{0xFFFFF000u, 0x2000, ""}}) {
    port.sent.clear();
    port.Queue(kPgoOk);
    ImageHeader header;
    header.load_address = c.load;
    header.entry_offset = c.entry;
    ASSERT_EQ(trans.GoOSloaderRun(&port, header), 0);
    if (!c.frame.empty()) EXPECT_EQ(Sent(), c.frame);
    else EXPECT_EQ(Sent().substr(4, 8), "00001000");
  }
  EXPECT_TRUE(trace.Has("[GoOSloaderRun] Cmd[1b50474f303032]"));
  port.sent.clear();
  ImageHeader header;
  EXPECT_EQ(trans.GoOSloaderRun(&port, header), -1);  // no answer at all
  EXPECT_EQ(port.sent.size(), 4u * 15u);
}

TEST_F(DownloadFrames, LoaderFileStepsFailBeforeAnythingIsSent) {
  Data sound = MakeImageFile(ILOADER_MAGIC, Data(100, 7), 0x8C000000u, 0, 0);
  Data shortHeader(sound.begin(), sound.begin() + 20);
  Data coreMagic = MakeImageFile(OSCORE_MAGIC, Data(100, 7), 0x8C000000u, 0, 0);
  Data truncated(sound.begin(), sound.end() - 10);
  // total_size below the header, with a header CRC that matches it.
  ImageHeader tiny;
  tiny.magic = ILOADER_MAGIC;
  tiny.total_size = 16;
  tiny.header_crc = CalcHeaderCrc(tiny);
  uint8_t tinyBytes[kImageHeaderSize];
  tiny.Serialize(tinyBytes);
  Data tinyFile(tinyBytes, tinyBytes + kImageHeaderSize);

  struct Case {
    const char* name;
    const Data* file;  // null: no file
    int errorId;
  };
  for (const Case& c : {Case{"missing", nullptr, 1}, Case{"short header", &shortHeader, 3},
                        Case{"core magic", &coreMagic, 23}, Case{"total below header", &tinyFile, 5},
                        Case{"body cut short", &truncated, 3}}) {
    SCOPED_TRACE(c.name);
    trace.records.clear();
    trans.m_iloaderPath = c.file != nullptr ? Write("il.bin", *c.file) : (dir / "none.bin").string();
    ImageHeader header;
    EXPECT_EQ(trans.GoOSloaderDown(&port, header), -1);
    EXPECT_TRUE(trace.Has("[ErrCloseFree] Error ID [" + std::to_string(c.errorId) + "]"));
    EXPECT_TRUE(port.sent.empty());
    EXPECT_EQ(CBinaryFile::OpenCount(), 0);
  }
}

TEST_F(DownloadFrames, BankCommandsAsTheTargetExpectsThem) {
  struct Case {
    int length;
    int bank;
    bool plain;
    std::string command;
    std::string logLine;
    std::string trace;
  };
  for (const Case& c : {Case{0x0A3F1, 3, false, "\x1bOPD030A3F161\r", "Sending Data No. 3\r\n",
                             "[SendFileDownloadBank] Cmd[1b4f5044303330]"},
                        Case{65536, 0, true, "\x1bOPK00100003B\r", "Sending Data No. 0 \r\n",
                             "[SendFileDownloadBank] Cmd[1b4f504b303031]"}}) {
    SCOPED_TRACE(c.logLine);
    port.sent.clear();
    dialog.log.clear();
    Data data(static_cast<size_t>(c.length));
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) sum += data[i] = static_cast<uint8_t>(i * 7);
    port.Queue(kAck + kErasing + kWriting + kDone);
    ASSERT_EQ(trans.SendFileDownloadBank(&port, c.length, data.data(), c.bank, c.plain), 0);
    const std::string sent = Sent();
    EXPECT_EQ(sent.substr(0, 14), c.command);
    EXPECT_EQ(sent.substr(14, data.size()), std::string(data.begin(), data.end()));
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFF);
    EXPECT_EQ(sent.substr(14 + data.size()), digits);
    EXPECT_EQ(dialog.log, c.logLine + "Erasing...\r\nWriting...\r\n");
    EXPECT_TRUE(trace.Has(c.trace));
    EXPECT_TRUE(trace.Has("[SendFileDownloadBank] Rsp[4f504445300d0a]"));
  }
}

TEST_F(DownloadFrames, BankAttemptsEndAtNakFailureCodeOrSilence) {
  const Data data(10, 0x55);
  // NAK: the data is not sent in that attempt. E1: the whole bank again. Then success.
  port.Queue("\x15\x1a" + kAck + kFailedE1 + kAck + kDone);
  ASSERT_EQ(trans.SendFileDownloadBank(&port, 10, data.data(), 1, false), 0);
  EXPECT_EQ(port.sent.size(), 3u * 14u + 2u * 12u);
  EXPECT_EQ(dialog.log, "Sending Data No. 1\r\nSending Data No. 1\r\nSending Data No. 1\r\n");

  port.sent.clear();
  dialog.log.clear();
  port.Queue(kAck + "\x1bXYZE0\r\n" + kAck + kFailedE1 + kAck + kFailedE1 + kAck);
  EXPECT_EQ(trans.SendFileDownloadBank(&port, 10, data.data(), 1, false), -1);
  EXPECT_TRUE(trace.Has("[SendFileDownloadBank] Command format NG"));
  EXPECT_TRUE(trace.Has("[SendFileDownloadBank] ESC recv NG"));
  EXPECT_EQ(port.sent.size(), 4u * (14u + 12u));
}

TEST_F(DownloadFrames, FinalCommandIsAlwaysTheSameNineBytes) {
  port.Queue(kWriting + kDone);
  ASSERT_EQ(trans.SendFileDownloadBankWrite(&port), 0);
  EXPECT_EQ(Sent(), "\x1bOPD$$2B\r");
  EXPECT_TRUE(trace.Has("[SendFileDownloadBankWrite] Cmd[1b4f5044242432420d]"));
  EXPECT_EQ(dialog.log, "Writing...\r\n");
  port.sent.clear();
  EXPECT_EQ(trans.SendFileDownloadBankWrite(&port), -1);
  EXPECT_EQ(port.sent.size(), 4u * 9u);
}

TEST_F(DownloadFrames, FileDownloadReportsMissingAndBrokenFiles) {
  const std::string missing = (dir / "none.bin").string();
  EXPECT_EQ(trans.FileDownload(&port, missing, OSCORE_MAGIC, 0, false, true), -1);
  EXPECT_EQ(dialog.log, "Transfer source file not found [" + missing + "].\r\n");
  EXPECT_TRUE(trace.Has("[ErrCloseFree] Error ID [1]"));

  Data broken = MakeImageFile(OSCORE_MAGIC, Data(500, 3), 0, 0, 1);
  broken[200] ^= 1;
  const std::string brokenPath = Write("broken.bin", broken);
  dialog.log.clear();
  trace.records.clear();
  EXPECT_EQ(trans.FileDownload(&port, brokenPath, OSCORE_MAGIC, 0, false, true), -8);
  EXPECT_EQ(dialog.log, "Transfer source file broken [" + brokenPath + "].\r\n");
  EXPECT_TRUE(trace.Has("[ErrCloseFree] Error ID [0]"));
  EXPECT_TRUE(port.sent.empty());
  EXPECT_EQ(CBinaryFile::OpenCount(), 0);
}

TEST_F(DownloadFrames, FileDownloadReturnsTheNextBankAndRefusesBankNumbersBeyondTwoDigits) {
  const std::string path = Write("core.bin", MakeImageFile(OSCORE_MAGIC, Data(65536, 9), 0, 0, 0));  // 2 banks
  port.Queue(kAck + kDone + kAck + kDone);
  EXPECT_EQ(trans.FileDownload(&port, path, OSCORE_MAGIC, 5, false, true), 7);
  EXPECT_TRUE(trace.Has("[FileDownload] Bank[6]"));
  EXPECT_TRUE(trace.Has("[FileDownload] File send OK"));
  EXPECT_EQ(Sent().substr(0, 4), "\x1bOPK");  // format_flags 0: plain

  port.sent.clear();
  dialog.log.clear();
  EXPECT_EQ(trans.FileDownload(&port, path, OSCORE_MAGIC, 255, false, true), -8);
  EXPECT_EQ(dialog.log, "Transfer source file too large [" + path + "].\r\n");
  EXPECT_TRUE(port.sent.empty());
  EXPECT_EQ(CBinaryFile::OpenCount(), 0);
}

}  // namespace
