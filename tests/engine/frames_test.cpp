#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine_fixtures.h"
#include "test_support.h"
#include "win_trans.h"

namespace {

TEST(MakeSum, TwoUppercaseDigitsHighNibbleFirst) {
  const struct {
    std::string bytes;
    int count;
    const char* sum;
  } cases[] = {
      {"MID", 3, "DA"},     {"OTN", 3, "F1"},   {"RST", 3, "F9"},  {"RST0", 4, "29"},
      {"COM24", 5, "45"},   {"COM0", 4, "0F"},  {"", 0, "00"},     {"abc", -1, "00"},
      {"OPD$$", 5, "2B"},   {"PDL", 3, "E0"},   {"PGO00201000", 11, "69"},
      {std::string(300, '\xff'), 300, "D4"},  // 300 x 0xFF = 0x12AD4, modulo 256
  };
  for (const auto& c : cases) {
    char out[3] = {'?', '?', '!'};
    CWinTrans::MakeSum(out, reinterpret_cast<const uint8_t*>(c.bytes.data()), c.count);
    EXPECT_EQ(std::string(out, 2), c.sum) << c.bytes.substr(0, 12);
    EXPECT_EQ(out[2], '!');  // no terminator written
  }
}

class Frames : public BoundEngineTest {
 protected:
  ScriptedPort port;
};

TEST_F(Frames, RcvRspSkipsNoiseUpToTheEsc) {
  port.Queue("noise\r\n\x1b" "ABCD");
  char body[4];
  EXPECT_EQ(trans->RcvRsp(&port, body, 4), kResultOk);
  EXPECT_EQ(std::string(body, 4), "ABCD");
  EXPECT_EQ(bridge.log, "");
}

TEST_F(Frames, MissingEscIsLoggedOnce) {
  port.Queue("no frame here");
  char body[4];
  EXPECT_EQ(trans->RcvRsp(&port, body, 4), kResultFailed);
  EXPECT_EQ(bridge.log, "Failed to receive data.\r\n");
}

TEST_F(Frames, ShortBodyFailsWithoutLogLine) {
  port.Queue("\x1b" "AB");
  char body[4];
  EXPECT_EQ(trans->RcvRsp(&port, body, 4), kResultFailed);
  EXPECT_EQ(bridge.log, "");
  EXPECT_EQ(trace.Texts().back(), "[RcvCom] ReadFile Error Buff[4] Recv[2]");
}

// A line that keeps talking without an ESC ends like a time-out once 64 KiB were dropped.
TEST_F(Frames, RcvEscBoundsTheBytesItDiscards) {
  const struct {
    size_t noise;
    int result;
  } cases[] = {{kMaxBytesBeforeEsc, kResultOk}, {kMaxBytesBeforeEsc + 1, kResultFailed}};
  for (const auto& c : cases) {
    ScriptedPort p;
    RecordingBridge b;
    trans->BindDialog(&b);
    p.Queue(std::string(c.noise, 'x') + "\x1b");
    EXPECT_EQ(trans->RcvEsc(&p), c.result) << c.noise;
    EXPECT_EQ(b.log, c.result == kResultOk ? "" : "Failed to receive data.\r\n");
    EXPECT_EQ(p.reads, static_cast<int>(c.result == kResultOk ? c.noise + 1 : c.noise));
  }
}

}  // namespace
