#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "scripted_target.h"
#include "sim_link.h"
#include "engine_fixtures.h"
#include "test_support.h"
#include "win_trans.h"

namespace {

const std::string kMidCommand = Bytes({0x1B, 0x4D, 0x49, 0x44, 0x44, 0x41, 0x0D});
const std::string kOtnCommand = Bytes({0x1B, 0x4F, 0x54, 0x4E, 0x46, 0x31, 0x0D});
const std::string kRstCommand = Bytes({0x1B, 0x52, 0x53, 0x54, 0x46, 0x39, 0x0D});
const std::string kCom115200 = Bytes({0x1B, 0x43, 0x4F, 0x4D, 0x32, 0x34, 0x34, 0x35, 0x0D});
const std::string kFailedToReceive = "Failed to receive data.\r\n";

class LinkCommands : public BoundEngineOnSimTest {
 protected:
  void SetUp() override {
    BoundEngineOnSimTest::SetUp();
    link.SetTargetBaud(9600);
    link.SetCts(true);  // the target is on; with CTS flow control nothing leaves otherwise
    ASSERT_EQ(trans->InitializeComPort(port()), kResultOk);
    ASSERT_EQ(trans->SetComTim(port(), kCommandTimeoutMs, kCommandTimeoutMs), kResultOk);
    trace.records.clear();
  }
  ISerialPort* port() { return host.get(); }
  void Reply(const std::string& bytes) { target.commandReplies.push_back({bytes, 0, ""}); }

  ScriptedTarget target{link};
};

// ---- greeting ----

TEST_F(LinkCommands, HandshakeAcceptsOnlyTheExpectedByteThenLf) {
  const struct {
    std::string answer;
    int expected;
    int result;
  } cases[] = {
      {Bytes({0x03, 0x0A}), 0x03, kResultOk},
      {Bytes({0x02, 0x0A}), 0x02, kResultOk},
      {Bytes({0x03, 0x0A}), 0x103, kResultOk},  // only the low 8 bits count
      {Bytes({0x03, 0x0D}), 0x03, kResultFailed},
      {Bytes({0x0A, 0x03}), 0x03, kResultFailed},
      {Bytes({0x02, 0x0A}), 0x03, kResultFailed},
  };
  for (const auto& c : cases) {
    target.greetingReplies.push_back({c.answer, 0, ""});
    EXPECT_EQ(trans->GoHandshake(port(), c.expected, 1), c.result);
  }
  EXPECT_EQ(target.greetings, 6);
  EXPECT_TRUE(trace.Has("[GoHandshake] Cmd[05]"));
  EXPECT_TRUE(trace.Has("[GoHandshake] Rsp[030d]"));
  EXPECT_EQ(trans->GoHandshake(port(), 0x03, 0), kResultFailed);
  EXPECT_EQ(target.greetings, 6);  // no attempts: nothing sent
}

TEST_F(LinkCommands, HandshakeRetriesWithoutFlushing) {
  // Two bad answers, then a good one: three greetings.
  target.greetingReplies.push_back({Bytes({0x15, 0x0A}), 0, ""});
  target.greetingReplies.push_back({Bytes({0x03, 0x0D}), 0, ""});
  target.greetingReplies.push_back({Bytes({0x03, 0x0A}), 0, ""});
  EXPECT_EQ(trans->GoHandshake(port(), 0x03, 10), kResultOk);
  EXPECT_EQ(target.greetings, 3);
}

TEST_F(LinkCommands, HandshakeDropsStaleInputFirst) {
  // An old greeting answer already waits in the input queue; only a fresh one counts.
  link.TargetSend(Bytes({0x03, 0x0A}));
  port()->PauseMs(100);
  ASSERT_EQ(trans->SetComTim(port(), kHandshakeTimeoutMs, kHandshakeTimeoutMs), kResultOk);
  EXPECT_EQ(trans->GoHandshake(port(), kBootMonitorGreeting, 1), kResultFailed);
  EXPECT_EQ(target.greetings, 1);
}

TEST_F(LinkCommands, SilentBootMonitorGivesUpAfter30Times700Ms) {
  ASSERT_EQ(trans->SetComTim(port(), kHandshakeTimeoutMs, kHandshakeTimeoutMs), kResultOk);
  uint64_t start = clock.NowUs();
  EXPECT_EQ(trans->GoHandshake(port(), kBootMonitorGreeting, 30), kResultFailed);
  uint64_t elapsedUs = clock.NowUs() - start;
  EXPECT_EQ(target.greetings, 30);
  EXPECT_EQ(link.BytesHostToTarget(), 30u);
  // 30 receives of 700 ms, plus 30 greeting bytes of about 1.04 ms each at 9600 bps.
  EXPECT_GE(elapsedUs, 30u * 700000u);
  EXPECT_LE(elapsedUs, 30u * 700000u + 30u * 2000u);
  EXPECT_EQ(trace.Count("[RcvCom] ReadFile Error Buff[2] Recv[0]"), 30);
  EXPECT_EQ(bridge.log, "");  // a failed greeting shows nothing in the log
}

// ---- machine identification ----

TEST_F(LinkCommands, MachineNoStoresTheIdentification) {
  Reply(Answer("MID0QX7A2K03"));
  ASSERT_EQ(trans->GoMachineNo(port()), kResultOk);
  EXPECT_STREQ(trans->m_machineId, "QX7A2K03");
  ASSERT_EQ(target.commands.size(), 1u);
  EXPECT_EQ(target.commands[0], kMidCommand);
  EXPECT_TRUE(trace.Has("[GoMachineNo] Cmd[1b4d494444410d]"));
  std::string body = Answer("MID0QX7A2K03").substr(1);
  char hex[40] = {};
  for (size_t i = 0; i < body.size(); ++i)
    snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(body[i]));
  EXPECT_TRUE(trace.Has(std::string("[GoMachineNo] Rsp[") + hex + "]"));
  EXPECT_EQ(bridge.log, "");
}

TEST_F(LinkCommands, MachineNoStopsAtANul) {
  Reply(Answer(std::string("MID0ABC\0EFGH", 12)));
  ASSERT_EQ(trans->GoMachineNo(port()), kResultOk);
  EXPECT_STREQ(trans->m_machineId, "ABC");
  for (int i = 3; i < 9; ++i) EXPECT_EQ(trans->m_machineId[i], '\0');
}

TEST_F(LinkCommands, FourAttemptsAndNoFifthFrame) {
  std::memcpy(trans->m_machineId, "OLDID123", 9);
  EXPECT_EQ(trans->GoMachineNo(port()), kResultFailed);
  EXPECT_EQ(target.commands.size(), 4u);
  EXPECT_EQ(link.BytesHostToTarget(), 4u * 7u);
  // One log line per attempt that found no ESC, and no other message.
  EXPECT_EQ(bridge.log, kFailedToReceive + kFailedToReceive + kFailedToReceive + kFailedToReceive);
  EXPECT_STREQ(trans->m_machineId, "OLDID123");
}

TEST_F(LinkCommands, NoiseBeforeTheEscIsSkipped) {
  Reply("\x00\x41\x0a\xff junk" + Answer("MID0AB12CD34"));
  EXPECT_EQ(trans->GoMachineNo(port()), kResultOk);
  EXPECT_STREQ(trans->m_machineId, "AB12CD34");
  EXPECT_EQ(target.commands.size(), 1u);
}

TEST_F(LinkCommands, LowercaseSumIsRefused) {
  std::string good = Answer("MID0ABCDEFGH");  // sum over "MID0ABCDEFGH" is 0x32E: "2E"
  ASSERT_EQ(good.substr(13, 2), "2E");
  std::string lower = good;
  lower[14] = 'e';
  for (int i = 0; i < 3; ++i) Reply(lower);
  Reply(good);
  EXPECT_EQ(trans->GoMachineNo(port()), kResultOk);
  EXPECT_EQ(target.commands.size(), 4u);
  EXPECT_EQ(bridge.log, "");  // a failed check writes nothing into the log
}

TEST_F(LinkCommands, AStrayEscCostsOneAttempt) {
  // The body is read one byte early and fails its check; the leftover LF is skipped next time.
  Reply("\x1b" + Answer("MID0ABCDEFGH"));
  Reply(Answer("MID0ABCDEFGH"));
  EXPECT_EQ(trans->GoMachineNo(port()), kResultOk);
  EXPECT_EQ(target.commands.size(), 2u);
  EXPECT_STREQ(trans->m_machineId, "ABCDEFGH");
}

TEST_F(LinkCommands, MachineNoChecksEveryField) {
  const std::string cases[] = {
      Answer("MIE0ABCDEFGH"),                       // letters
      Answer("MID1ABCDEFGH"),                       // status
      Answer("MID0ABCDEFGH").substr(0, 15) + "\n\r",  // line end
  };
  for (const std::string& bad : cases) {
    target.commands.clear();
    for (int i = 0; i < 4; ++i) Reply(bad);
    EXPECT_EQ(trans->GoMachineNo(port()), kResultFailed);
    EXPECT_EQ(target.commands.size(), 4u);
  }
}

// ---- speed change ----

TEST_F(LinkCommands, SpeedChangeTo115200) {
  target.commandReplies.push_back({Answer("COM0"), 115200, "\x1b" + kCom115200.substr(1) + "\n"});
  EXPECT_EQ(trans->GoComBoundrate(port(), 115200), kResultOk);
  ASSERT_EQ(target.commands.size(), 1u);
  EXPECT_EQ(target.commands[0], kCom115200);
  EXPECT_EQ(link.HostBaud(), 115200u);
  EXPECT_EQ(Answer("COM0").substr(5, 2), "0F");
  std::vector<std::string> texts = trace.Texts();
  ASSERT_GE(texts.size(), 7u);
  EXPECT_EQ(texts[0], "[GoComBoundrate] Command created");
  EXPECT_EQ(texts[1], "[GoComBoundrate] Cmd[1b434f4d323434]");
  EXPECT_EQ(texts[2], "[GoComBoundrate] Rsp[434f4d3030460d0a]");
  EXPECT_EQ(texts[3], "[GoComBoundrate] receive checksum OK");
  EXPECT_EQ(texts[4], "[SetCom] Com parameters Baud[115200]");
  EXPECT_EQ(texts[5], "[GoComBoundrate] setting change");
  EXPECT_EQ(texts[6], "[GoComBoundrate] Rsp[434f4d323434350d]");
}

TEST_F(LinkCommands, SpeedCodes) {
  const struct {
    int speed;
    char code;
    uint32_t baud;
  } cases[] = {{19200, '1', 19200}, {38400, '2', 38400}, {57600, '3', 57600},
               {115200, '4', 115200}, {9600, '0', 9600}, {0, '0', 9600}, {14400, '0', 9600}};
  for (const auto& c : cases) {
    EXPECT_EQ(CWinTrans::SpeedCode(c.speed), c.code);
    std::string command = std::string("COM2") + c.code;
    char sum[2];
    CWinTrans::MakeSum(sum, reinterpret_cast<const uint8_t*>(command.data()), 5);
    std::string frame = "\x1b" + command + std::string(sum, 2) + "\r";
    target.commands.clear();
    // The ninth byte of the echo may be anything.
    target.commandReplies.push_back({Answer("COM0"), c.baud, "\x1b" + frame.substr(1) + "\xee"});
    ASSERT_EQ(trans->GoComBoundrate(port(), c.speed), kResultOk) << c.speed;
    ASSERT_EQ(target.commands.size(), 1u);
    EXPECT_EQ(target.commands[0], frame);
    EXPECT_EQ(link.HostBaud(), c.baud);
    ASSERT_EQ(trans->SetCom(port(), 9600), kResultOk);
    link.SetTargetBaud(9600);
    link.SetCts(true);  // the target is on; with CTS flow control nothing leaves otherwise
  }
}

TEST_F(LinkCommands, SpeedChangeGreetsAgainBeforeAttempts2To4) {
  std::string command = "COM23";
  char sum[2];
  CWinTrans::MakeSum(sum, reinterpret_cast<const uint8_t*>(command.data()), 5);
  const std::string frame = "\x1b" + command + std::string(sum, 2) + "\r";
  target.alwaysGreet = Bytes({0x03, 0x0A});
  Reply(Answer("COM1"));                         // attempt 1: status refused
  Reply(Answer("COM0").substr(0, 5) + "0E\r\n");  // attempt 2: wrong sum
  // Attempt 3 moves both ends to 57600 but the echo is wrong; attempt 4's greeting then runs
  // at 57600, where the target now listens too.
  target.commandReplies.push_back({Answer("COM0"), 57600, "\x1b" + command + "XX\r\n"});
  target.commandReplies.push_back({Answer("COM0"), 57600, frame + "\n"});
  EXPECT_EQ(trans->GoComBoundrate(port(), 57600), kResultOk);
  EXPECT_EQ(target.commands.size(), 4u);
  EXPECT_EQ(target.greetings, 3);
  EXPECT_EQ(trace.Count("[GoComBoundrate] communication NG"), 1);
  // Before each later attempt: 700 ms time-outs, the greeting, 10000 ms time-outs.
  std::vector<std::string> texts = trace.Texts();
  int greetingsSeen = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] != "[GoHandshake] Cmd[05]") continue;
    ++greetingsSeen;
    ASSERT_GE(i, 1u);
    EXPECT_EQ(texts[i - 1], "[SetComTim] SetComTim OK RD[700] WR[700]");
    ASSERT_LT(i + 2, texts.size());
    EXPECT_EQ(texts[i + 1], "[GoHandshake] Rsp[030a]");
    EXPECT_EQ(texts[i + 2], "[SetComTim] SetComTim OK RD[10000] WR[10000]");
  }
  EXPECT_EQ(greetingsSeen, 3);
  EXPECT_EQ(link.HostTimeouts().ReadTotalTimeoutConstant, 10000u);
}

TEST_F(LinkCommands, SpeedChangeEndsAtOnceWhenAPortSettingFails) {
  const struct {
    bool SimLinkFaults::*fault;
    std::string firstReply;
    const char* message;
  } cases[] = {
      // The first attempt fails its check; the time-out setting before the second one fails.
      {&SimLinkFaults::refuseSetTimeouts, Answer("COM1"), "Failed in COM port timeout setting.\r\n"},
      // The first answer is right; switching the PC's speed fails.
      {&SimLinkFaults::refuseSetLineSettings, Answer("COM0"),
       "Failed in COM port copmmunication setting.\r\n"},
  };
  for (const auto& c : cases) {
    link.faults() = SimLinkFaults();
    link.faults().*c.fault = true;
    target.commands.clear();
    target.greetings = 0;
    bridge.log.clear();
    Reply(c.firstReply);
    EXPECT_EQ(trans->GoComBoundrate(port(), 115200), kResultFailed);
    EXPECT_EQ(target.commands.size(), 1u);
    EXPECT_EQ(target.greetings, 0);
    EXPECT_EQ(bridge.log, c.message);
  }
}

TEST_F(LinkCommands, SpeedChangeEndsAtOnceWhenTheGreetingFails) {
  ASSERT_EQ(trans->SetComTim(port(), 10000, 10000), kResultOk);
  Reply(Answer("COM1"));
  EXPECT_EQ(trans->GoComBoundrate(port(), 115200), kResultFailed);
  EXPECT_EQ(target.commands.size(), 1u);
  EXPECT_EQ(target.greetings, 10);  // one greeting of 10 attempts, then no further command
}

// ---- core type ----

std::string CoreTypeBlock(const std::string& text) {
  char sum[2];
  CWinTrans::MakeSum(sum, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
  return text + std::string(sum, 2) + "\r\n";
}

// The core type header has no line end: ESC, "OTN", status, length, sum.
std::string OtnHeader(const std::string& body) {
  std::string answer = Answer(body);
  return answer.substr(0, answer.size() - 2);
}

std::string CoreTypeAnswer(const std::string& text) {
  char length[3];
  snprintf(length, sizeof length, "%02X", static_cast<unsigned>(text.size()));
  return OtnHeader(std::string("OTN0") + length) + CoreTypeBlock(text);
}

TEST_F(LinkCommands, CoreTypeVerdicts) {
  const struct {
    std::string answer;
    int result;
    std::string type;
  } cases[] = {
      {CoreTypeAnswer("Scrivel"), kResultForeignCore, "Scrivel"},
      {CoreTypeAnswer("SCRIVEL"), kResultForeignCore, "SCRIVEL"},
      {CoreTypeAnswer("scrivel"), kResultForeignCore, "scrivel"},
      {CoreTypeAnswer("Scrivelx"), kResultOk, "Scrivelx"},
      {CoreTypeAnswer("QRV 4.2"), kResultOk, "QRV 4.2"},
      {CoreTypeAnswer(""), kResultOk, ""},
      {CoreTypeAnswer(std::string("Scrivel\0zz", 10)), kResultForeignCore, "Scrivel"},
      // Lowercase hex digits in the length field are accepted.
      {OtnHeader("OTN00a") + CoreTypeBlock("abcdefghij"), kResultOk, "abcdefghij"},
  };
  for (const auto& c : cases) {
    target.commands.clear();
    Reply(c.answer);
    EXPECT_EQ(trans->GetOSCoreType(port()), c.result) << c.type;
    EXPECT_EQ(trans->m_message, c.type);
    EXPECT_EQ(target.commands.size(), 1u);
    EXPECT_EQ(target.commands[0], kOtnCommand);
    EXPECT_EQ(trace.Texts().back(), "[GetOSCoreType] Type[" + c.type + "]");
  }
  EXPECT_TRUE(trace.Has("[GetOSCoreType] Cmd[1b4f544e46310d]"));
}

TEST_F(LinkCommands, CoreTypeWithoutText) {
  // Status other than '0': two bytes follow, and the result is 0 even when they never come.
  Reply(OtnHeader("OTN100") + "\r\n");
  EXPECT_EQ(trans->GetOSCoreType(port()), kResultOk);
  Reply(OtnHeader("OTN100"));
  EXPECT_EQ(trans->GetOSCoreType(port()), kResultOk);
  EXPECT_EQ(target.commands.size(), 2u);
}

TEST_F(LinkCommands, CoreTypeRetries) {
  Reply(OtnHeader("OTN0G1") + CoreTypeBlock("x"));        // length not hex
  Reply(OtnHeader("OTX007") + CoreTypeBlock("Scrivel"));  // letters
  Reply(OtnHeader("OTN007") + "Scrivel00\r\n");          // block sum wrong
  Reply(CoreTypeAnswer("QRV"));
  EXPECT_EQ(trans->GetOSCoreType(port()), kResultOk);
  EXPECT_EQ(target.commands.size(), 4u);
  EXPECT_EQ(trans->m_message, "QRV");
  // Every attempt sets the command time-outs first.
  EXPECT_EQ(trace.Count("[SetComTim] SetComTim OK RD[10000] WR[10000]"), 4);

  target.commands.clear();
  link.faults().refuseSetTimeouts = true;
  EXPECT_EQ(trans->GetOSCoreType(port()), kResultFailed);
  EXPECT_TRUE(target.commands.empty());
}

// ---- reset ----

TEST_F(LinkCommands, ResetAcceptsOnlyTheLiteralAnswer) {
  Reply(Answer("RST0"));
  EXPECT_EQ(Answer("RST0").substr(1), std::string("RST029\r\n"));
  EXPECT_EQ(trans->GoReset(port()), kResultOk);
  ASSERT_EQ(target.commands.size(), 1u);
  EXPECT_EQ(target.commands[0], kRstCommand);
  EXPECT_TRUE(trace.Has("[GoReset] Cmd[1b52535446390d]"));
  EXPECT_TRUE(trace.Has("[GoReset] Rsp[5253543032390d0a]"));

  target.commands.clear();
  for (int i = 0; i < 4; ++i) Reply(Answer("RST1"));  // correctly summed, other status
  EXPECT_EQ(trans->GoReset(port()), kResultFailed);
  EXPECT_EQ(target.commands.size(), 4u);
}

}  // namespace
