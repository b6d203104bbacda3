// Platform pieces that need no device: time-out arithmetic, the DCB flag word, program paths,
// the stream trace receiver.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "dcb_flags.h"
#include "program_path.h"
#include "serial_timeout_rule.h"
#include "trace.h"
#include "trace_receiver_stream.h"
#include "win_trans.h"

namespace {

// ---- read time-out rule ----

SerialTimeouts Timeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  SerialTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

TEST(ReadTimeoutRule, TheEngineSettingEndsOnAllBytesGapOrTotal) {
  // SetComTim(700, ...): interval 700, multiplier 0, total 700. A read of 4 bytes from t = 1000.
  ReadTimeoutRule rule(Timeouts(700, 0, 700), 4, 1000);
  const struct {
    uint32_t received;
    uint64_t lastByte;
    uint64_t now;
    int64_t wait;
  } cases[] = {
      {0, 1000, 1000, 700},   // nothing yet: only the total counts
      {0, 1000, 1699, 1},
      {0, 1000, 1700, 0},     // total passed
      {1, 1100, 1100, 600},   // the total is nearer than the gap
      {2, 1500, 1600, 100},
      {3, 1650, 1690, 10},
      {4, 1650, 1650, 0},     // all bytes
  };
  for (const auto& c : cases) EXPECT_EQ(rule.WaitMs(c.received, c.lastByte, c.now), c.wait) << c.now;

  // A long total with a short gap: the gap ends the read once a byte arrived.
  ReadTimeoutRule gap(Timeouts(100, 0, 5000), 4, 0);
  EXPECT_EQ(gap.WaitMs(0, 0, 50), 4950);
  EXPECT_EQ(gap.WaitMs(2, 200, 250), 50);
  EXPECT_EQ(gap.WaitMs(2, 200, 300), 0);
}

TEST(ReadTimeoutRule, SpecialValues) {
  const uint32_t kMax = ReadTimeoutRule::kMaxDword;
  // No time-outs at all: wait for every byte.
  EXPECT_EQ(ReadTimeoutRule(Timeouts(0, 0, 0), 4, 0).WaitMs(3, 10, 99999), ReadTimeoutRule::kNoLimit);
  // Interval only: no limit before the first byte, the gap after it.
  EXPECT_EQ(ReadTimeoutRule(Timeouts(50, 0, 0), 4, 0).WaitMs(0, 0, 10), ReadTimeoutRule::kNoLimit);
  EXPECT_EQ(ReadTimeoutRule(Timeouts(50, 0, 0), 4, 0).WaitMs(1, 10, 20), 40);
  // Multiplier: per byte asked.
  EXPECT_EQ(ReadTimeoutRule(Timeouts(0, 10, 5), 4, 0).WaitMs(0, 0, 0), 45);
  // MAXDWORD interval, no totals: at once.
  EXPECT_EQ(ReadTimeoutRule(Timeouts(kMax, 0, 0), 4, 0).WaitMs(0, 0, 0), 0);
  // MAXDWORD interval and multiplier with a constant: the first byte ends it.
  ReadTimeoutRule first(Timeouts(kMax, kMax, 300), 4, 0);
  EXPECT_EQ(first.WaitMs(0, 0, 100), 200);
  EXPECT_EQ(first.WaitMs(1, 100, 100), 0);
}

TEST(WriteTimeLimit, MultiplierAndConstant) {
  SerialTimeouts t;
  EXPECT_EQ(WriteTimeLimitMs(t, 100), ReadTimeoutRule::kNoLimit);
  t.WriteTotalTimeoutConstant = 700;
  EXPECT_EQ(WriteTimeLimitMs(t, 100), 700);
  t.WriteTotalTimeoutMultiplier = 2;
  EXPECT_EQ(WriteTimeLimitMs(t, 100), 900);
}

// ---- DCB flag word ----

TEST(DcbFlags, EngineSettingsAreTheDocumentedMask) {
  const uint32_t words[] = {0x00000000u, 0xFFFFFFFFu, 0x00000001u, 0x12345678u,
                            0x80004011u, 0x0000FFFFu, 0xDEADBEEFu, 0x00001234u};
  for (uint32_t word : words) {
    SerialLineSettings s;
    UnpackDcbFlags(word, s);
    EXPECT_EQ(PackDcbFlags(s, word), word) << std::hex << word;  // round trip
    CWinTrans::ApplyLinkSettings(s, 9600);
    EXPECT_EQ(PackDcbFlags(s, word), (word & 0xFFFFEC97u) | 0x2016u) << std::hex << word;
  }
}

// ---- program path ----

TEST(ProgramPath, FolderOfAPath) {
  const struct {
    const char* path;
    const char* folder;
  } cases[] = {{"D:\\A\\B\\prog.exe", "D:\\A\\B\\"}, {"/opt/calvera/calvera", "/opt/calvera/"},
               {"C:/x/y.exe", "C:/x/"},             {"C:y.exe", "C:"},
               {"prog.exe", ""},                     {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(ProgramFolderOf(c.path), c.folder) << c.path;
}

TEST(ProgramPath, TheRunningProgramIsFound) {
  std::string path = GetProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(std::filesystem::exists(path)) << path;
  EXPECT_NE(path.find("platform_test"), std::string::npos) << path;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

TEST(ProgramPath, NamesBesideTheProgramIgnoreCase) {
  namespace fs = std::filesystem;
  fs::path root = fs::path(::testing::TempDir()) / "beside_program";
  fs::remove_all(root);
  fs::create_directories(root / "SYSTEM");
  std::ofstream(root / "SYSTEM" / "QMTrans.cfg") << "x";
  std::ofstream(root / "SYSTEM" / "Image.BIN") << "x";
  const struct {
    const char* relative;
    bool found;
    const char* tail;
  } cases[] = {
      {"system\\QMTrans.cfg", true, "QMTrans.cfg"},
      {"SYSTEM/qmtrans.CFG", true, "QMTrans.cfg"},
      {"System\\image.bin", true, "Image.BIN"},
      {"system\\missing.cfg", false, "missing.cfg"},
      {"nosuch\\QMTrans.cfg", false, "QMTrans.cfg"},
  };
  for (const auto& c : cases) {
    std::string resolved;
    EXPECT_EQ(ResolveBesideProgram(root.string() + "/", c.relative, resolved), c.found) << c.relative;
    std::string tail = resolved.substr(resolved.find_last_of("\\/") + 1);
    if (c.found) {
      EXPECT_TRUE(fs::exists(resolved)) << resolved;
      // POSIX hosts give the name as it is on disk; Windows keeps the asked spelling.
      EXPECT_EQ(Lower(tail), Lower(c.tail));
    }
  }
  fs::remove_all(root);
}

// ---- stream trace receiver ----

TEST(StreamTraceReceiver, WritesWholeRecordsToAFile) {
  std::string path = ::testing::TempDir() + "trace_records.txt";
  std::remove(path.c_str());
  {
    CStreamTraceReceiver receiver(path);
    ASSERT_TRUE(receiver.IsOpen());
    SetTraceReceiver(&receiver);
    TraceOut(kTraceChannel, kTraceId, "[GoHandshake] Cmd[%02x]", 5);
    TraceOut(65536, kTraceId, "[X] not written");
    TraceOut(kTraceChannel, kTraceId, "[SetCom] Com parameters Baud[%d]", 9600);
    SetTraceReceiver(nullptr);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(),
            "_QTRACE_ID_40000:[GoHandshake] Cmd[05]\r\n"
            "_QTRACE_ID_40000:[SetCom] Com parameters Baud[9600]\r\n");
  in.close();
  std::remove(path.c_str());

  CStreamTraceReceiver nowhere(::testing::TempDir() + "no/such/folder/trace.txt");
  EXPECT_FALSE(nowhere.IsOpen());
  EXPECT_FALSE(nowhere.IsListening());
}

}  // namespace
