// The simulated link: byte timing, the Win32 read time-out rule, flow control, faults, determinism.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim_link.h"

namespace {

constexpr uint64_t kByteUs9600 = 1042;  // 10 bits at 9600 bit/s, rounded up

// A target that records what reaches it and sends scripted bytes at given virtual times.
class ScriptTarget : public ISimTarget {
 public:
  explicit ScriptTarget(SimLink& link) : link_(link) { link_.AttachTarget(this); }
  ~ScriptTarget() override { link_.AttachTarget(nullptr); }

  void SendAt(uint64_t us, const std::string& bytes) {
    uint64_t token = next_++;
    plan_[token] = bytes;
    link_.ScheduleTarget(us, token);
  }
  void OnByte(uint8_t byte) override {
    received.push_back(byte);
    times.push_back(link_.clock().NowUs());
    if (echo) link_.TargetSend(&byte, 1);
  }
  void OnTimer(uint64_t token) override { link_.TargetSend(plan_[token]); }

  bool echo = false;
  std::vector<uint8_t> received;
  std::vector<uint64_t> times;

 private:
  SimLink& link_;
  std::map<uint64_t, std::string> plan_;
  uint64_t next_ = 1;
};

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t err = 0;
    port = link.OpenHostPort(err);
    ASSERT_NE(port, nullptr);
    link.SetCts(true);
  }
  void SetTimeouts(uint32_t interval, uint32_t total, uint32_t write = 0) {
    SerialTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = total;
    t.WriteTotalTimeoutConstant = write;
    ASSERT_TRUE(port->SetTimeouts(t));
  }
  void SetBaud(uint32_t baud, bool ctsFlow) {
    SerialLineSettings s;
    ASSERT_TRUE(port->GetLineSettings(s));
    s.BaudRate = baud;
    s.fOutxCtsFlow = ctsFlow ? 1 : 0;
    ASSERT_TRUE(port->SetLineSettings(s));
  }
  uint64_t Now() { return clock.NowUs(); }

  VirtualClock clock;
  SimLink link{clock};
  ScriptTarget target{link};
  std::unique_ptr<ISerialPort> port;
};

TEST_F(SimLinkTest, WriteTakesTenBitTimesPerByteAndReachesTarget) {
  uint32_t written = 0;
  ASSERT_TRUE(port->Write("\x05hello", 6, written));
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(Now(), 6 * kByteUs9600);
  EXPECT_EQ(std::string(target.received.begin(), target.received.end()), "\x05hello");
  EXPECT_EQ(target.times.front(), kByteUs9600);
  EXPECT_EQ(link.HostWritten().size(), 6u);
  EXPECT_EQ(link.BytesHostToTarget(), 6u);
}

struct ReadCase {
  const char* name;
  uint32_t interval, total, want;
  std::vector<std::pair<uint64_t, std::string>> plan;  // target sends at virtual times (us)
  uint32_t expectBytes;
  uint64_t expectEndUs;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadRule : public SimLinkTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadRule, EndsAsWin32Would) {
  const ReadCase& c = GetParam();
  SetTimeouts(c.interval, c.total);
  for (const auto& p : c.plan) target.SendAt(p.first, p.second);
  std::vector<uint8_t> buf(c.want);
  uint32_t got = 99;
  ASSERT_TRUE(port->Read(buf.data(), c.want, got));
  EXPECT_EQ(got, c.expectBytes);
  EXPECT_EQ(Now(), c.expectEndUs);
}

INSTANTIATE_TEST_SUITE_P(
    SimLink, ReadRule,
    ::testing::Values(
        // All bytes: returns as the fourth byte lands.
        ReadCase{"AllBytes", 700, 700, 4, {{0, "abcd"}}, 4, 4 * kByteUs9600},
        // Nothing comes: the total time-out alone ends it.
        ReadCase{"Silence", 700, 700, 2, {}, 0, 700000},
        // Two bytes, then a pause longer than the interval: ends one interval after the second.
        ReadCase{"Gap", 20, 1000, 4, {{0, "ab"}, {100000, "cd"}}, 2, 2 * kByteUs9600 + 20000},
        // A gap of exactly the interval does not end the read.
        ReadCase{"GapEqualInterval", 20, 1000, 2, {{0, "a"}, {kByteUs9600 + 20000 - kByteUs9600, "b"}}, 2,
                 20000 + kByteUs9600},
        // Bytes keep trickling within the interval: the total time-out ends it.
        ReadCase{"TotalWhileTrickling", 20, 50, 10,
                 {{0, "a"}, {15000, "b"}, {30000, "c"}, {45000, "d"}, {60000, "e"}}, 4, 50000},
        // Late first byte: the interval only counts after a byte arrived.
        ReadCase{"LateFirstByte", 20, 700, 1, {{500000, "x"}}, 1, 500000 + kByteUs9600}),
    [](const ::testing::TestParamInfo<ReadCase>& i) { return std::string(i.param.name); });

TEST_F(SimLinkTest, BytesAlreadyQueuedAreReadAtOnce) {
  SetTimeouts(700, 700);
  target.SendAt(0, "xyz");
  port->PauseMs(100);
  uint32_t in = 0, out = 0;
  ASSERT_TRUE(port->ClearError(in, out));
  EXPECT_EQ(in, 3u);
  EXPECT_EQ(out, 0u);
  char buf[3];
  uint32_t got = 0;
  ASSERT_TRUE(port->Read(buf, 3, got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(Now(), 100000u);
}

TEST_F(SimLinkTest, MismatchedSpeedsGarbleBothWays) {
  link.SetTargetBaud(115200);
  SetTimeouts(50, 50);
  target.SendAt(0, "\x1bMID");
  char buf[4];
  uint32_t got = 0;
  ASSERT_TRUE(port->Read(buf, 4, got));
  ASSERT_EQ(got, 4u);  // a byte arrives, but not the one sent
  EXPECT_NE(std::string(buf, 4), "\x1bMID");
  uint32_t written = 0;
  ASSERT_TRUE(port->Write("\x05", 1, written));
  ASSERT_EQ(target.received.size(), 1u);
  EXPECT_NE(target.received[0], 0x05);
  // Same speed on both ends: intact.
  SetBaud(115200, false);
  ASSERT_TRUE(port->Write("\x05", 1, written));
  EXPECT_EQ(target.received.back(), 0x05);
}

TEST_F(SimLinkTest, CtsOffStallsOutputOnlyWithFlowControl) {
  link.SetCts(false);
  SetBaud(9600, true);
  SetTimeouts(0, 0, 100);
  uint32_t written = 7;
  EXPECT_FALSE(port->Write("abc", 3, written));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(target.received.empty());
  EXPECT_EQ(Now(), 100000u);

  // CTS comes back part-way: the write completes after it.
  struct CtsOn : ISimTarget {
    SimLink* l;
    void OnByte(uint8_t) override {}
    void OnTimer(uint64_t) override { l->SetCts(true); }
  } on;
  on.l = &link;
  link.AttachTarget(&on);
  link.ScheduleTarget(Now() + 30000, 1);
  uint64_t start = Now();
  EXPECT_TRUE(port->Write("abc", 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(Now(), start + 30000 + 3 * kByteUs9600);
  link.AttachTarget(&target);

  // Without flow control CTS is ignored.
  link.SetCts(false);
  SetBaud(9600, false);
  EXPECT_TRUE(port->Write("d", 1, written));
  EXPECT_EQ(target.received.back(), 'd');
}

TEST_F(SimLinkTest, TimedOutWriteDropsWhatDidNotStart) {
  link.SetCts(false);
  SetBaud(9600, true);
  SetTimeouts(0, 0, 5);
  uint32_t written = 0;
  EXPECT_FALSE(port->Write("abcdefgh", 8, written));
  uint32_t in = 0, out = 0;
  ASSERT_TRUE(port->ClearError(in, out));
  EXPECT_EQ(out, 0u);  // a timed-out write drops what did not start
  EXPECT_EQ(port->LastError(), 1460u);
}

struct FaultCase {
  const char* name;
  void (*set)(SimLinkFaults&);
  bool (*call)(ISerialPort&);
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class PortFaults : public SimLinkTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(PortFaults, RefusedCallFails) {
  const FaultCase& c = GetParam();
  EXPECT_TRUE(c.call(*port));
  c.set(link.faults());
  EXPECT_FALSE(c.call(*port));
  EXPECT_NE(port->LastError(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    SimLink, PortFaults,
    ::testing::Values(
        FaultCase{"AllQueues", [](SimLinkFaults& f) { f.refuseAllQueues = true; },
                  [](ISerialPort& p) { return p.SetupQueues(1024, 1024); }},
        FaultCase{"LargeQueues", [](SimLinkFaults& f) { f.refuseLargeQueues = true; },
                  [](ISerialPort& p) { return p.SetupQueues(10240, 10240); }},
        FaultCase{"GetLine", [](SimLinkFaults& f) { f.refuseGetLineSettings = true; },
                  [](ISerialPort& p) { SerialLineSettings s; return p.GetLineSettings(s); }},
        FaultCase{"SetLine", [](SimLinkFaults& f) { f.refuseSetLineSettings = true; },
                  [](ISerialPort& p) { return p.SetLineSettings(SerialLineSettings{}); }},
        FaultCase{"GetTimeouts", [](SimLinkFaults& f) { f.refuseGetTimeouts = true; },
                  [](ISerialPort& p) { SerialTimeouts t; return p.GetTimeouts(t); }},
        FaultCase{"SetTimeouts", [](SimLinkFaults& f) { f.refuseSetTimeouts = true; },
                  [](ISerialPort& p) { return p.SetTimeouts(SerialTimeouts{}); }},
        FaultCase{"ModemStatus", [](SimLinkFaults& f) { f.modemStatusFails = true; },
                  [](ISerialPort& p) { uint32_t s; return p.GetModemStatus(s); }}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

TEST_F(SimLinkTest, LargeQueuesRefusedSmallAccepted) {
  link.faults().refuseLargeQueues = true;
  EXPECT_FALSE(port->SetupQueues(10240, 10240));
  EXPECT_TRUE(port->SetupQueues(1024, 1024));
}

TEST_F(SimLinkTest, PartialWriteMovesLimitAndFails) {
  link.faults().partialWriteLimit = 3;
  uint32_t written = 0;
  EXPECT_FALSE(port->Write("abcdefgh", 8, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(std::string(target.received.begin(), target.received.end()), "abc");
  EXPECT_TRUE(port->Write("xy", 2, written));  // at or below the limit: normal
  EXPECT_EQ(written, 2u);
}

TEST_F(SimLinkTest, OpenIsExclusiveAndFactoryKnowsOneName) {
  uint32_t err = 0;
  EXPECT_EQ(link.OpenHostPort(err), nullptr);
  EXPECT_NE(err, 0u);
  auto factory = link.MakeFactory("COM3");
  EXPECT_EQ(factory->Open("COM4", err), nullptr);
  EXPECT_EQ(err, 2u);
  port->Close();
  EXPECT_FALSE(link.HostPortOpen());
  uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));  // closed
  auto again = factory->Open("COM3", err);
  ASSERT_NE(again, nullptr);
  link.faults().openFails = true;
  again.reset();
  EXPECT_EQ(factory->Open("COM3", err), nullptr);
}

TEST_F(SimLinkTest, ModemStatusFollowsCts) {
  uint32_t status = 0;
  ASSERT_TRUE(port->GetModemStatus(status));
  EXPECT_EQ(status, kModemStatusCtsOn);
  link.SetCts(false);
  ASSERT_TRUE(port->GetModemStatus(status));
  EXPECT_EQ(status, 0u);
}

TEST_F(SimLinkTest, PulledCableCarriesNothingAndDropsCts) {
  SetTimeouts(700, 700);
  link.PullCable();
  EXPECT_FALSE(link.Cts());
  uint32_t status = 1;
  ASSERT_TRUE(port->GetModemStatus(status));
  EXPECT_EQ(status, 0u);
  target.SendAt(0, "abc");
  uint32_t written = 0;
  EXPECT_TRUE(port->Write("\x05", 1, written));  // the host end still drains (no flow control)
  EXPECT_TRUE(target.received.empty());
  char buf[3];
  uint32_t got = 9;
  ASSERT_TRUE(port->Read(buf, 3, got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(link.BytesTargetToHost(), 0u);
}

TEST_F(SimLinkTest, TargetIdleTimeCoversQueuedBytes) {
  EXPECT_EQ(link.TargetIdleAtUs(), 0u);
  link.TargetSend("abcd");
  EXPECT_EQ(link.TargetIdleAtUs(), 4 * kByteUs9600);
}

TEST_F(SimLinkTest, ReadWithNoTimeoutsAndNothingComingDoesNotHang) {
  SetTimeouts(0, 0);
  char c;
  uint32_t got = 5;
  EXPECT_TRUE(port->Read(&c, 1, got));
  EXPECT_EQ(got, 0u);
}

// The same exchange run twice gives the same bytes at the same virtual times.
std::vector<uint64_t> RunEchoScenario() {
  VirtualClock clock;
  SimLink link(clock);
  ScriptTarget target(link);
  target.echo = true;
  uint32_t err = 0;
  auto port = link.OpenHostPort(err);
  SerialTimeouts t;
  t.ReadIntervalTimeout = 5;
  t.ReadTotalTimeoutConstant = 40;
  port->SetTimeouts(t);
  std::vector<uint64_t> trace;
  uint32_t seed = 7;
  for (int i = 0; i < 50; ++i) {
    seed = seed * 1103515245u + 12345u;
    uint8_t bytes[8];
    uint32_t n = 1 + (seed >> 16) % 8;
    for (uint32_t k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>(seed >> (k % 4 * 8));
    if (i % 7 == 0) target.SendAt(clock.NowUs() + (seed % 3000), "noise");
    uint32_t written = 0, got = 0;
    port->Write(bytes, n, written);
    uint8_t in[16];
    port->Read(in, 16, got);
    trace.push_back(clock.NowUs());
    for (uint32_t k = 0; k < got; ++k) trace.push_back(in[k]);
  }
  return trace;
}

TEST(SimLinkDeterminism, SameScenarioSameResult) {
  auto a = RunEchoScenario();
  auto b = RunEchoScenario();
  EXPECT_EQ(a, b);
  EXPECT_GT(a.size(), 100u);
}

// A second thread may read the modem status and switch CTS while the host thread is inside calls.
TEST(SimLinkThreads, LineWatchOverlapsHostCalls) {
  VirtualClock clock;
  SimLink link(clock);
  uint32_t err = 0;
  auto port = link.OpenHostPort(err);
  std::atomic<bool> stop{false};
  std::atomic<int> polls{0};
  std::thread watch([&] {
    while (!stop) {
      uint32_t s = 0;
      port->GetModemStatus(s);
      link.SetCts(polls++ % 2 == 0);
    }
  });
  for (int i = 0; i < 2000; ++i) port->PauseMs(1);
  while (polls < 10) std::this_thread::yield();
  stop = true;
  watch.join();
  EXPECT_EQ(clock.NowUs(), 2000000u);
}

// Paced mode keeps the virtual results (scale kept tiny so no real waiting happens).
TEST(SimLinkPacing, PacedRunGivesSameVirtualTimes) {
  VirtualClock clock;
  SimLink link(clock);
  ScriptTarget target(link);
  target.echo = true;
  link.SetRealTimePacing(1e-6);
  uint32_t err = 0;
  auto port = link.OpenHostPort(err);
  SerialTimeouts t;
  t.ReadIntervalTimeout = 10;
  t.ReadTotalTimeoutConstant = 100;
  port->SetTimeouts(t);
  uint32_t written = 0, got = 0;
  ASSERT_TRUE(port->Write("abc", 3, written));
  char buf[4];
  ASSERT_TRUE(port->Read(buf, 4, got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(clock.NowUs(), 3 * kByteUs9600 + kByteUs9600 + 10000);
}

}  // namespace

namespace {

// Paced, a host read with no time-outs waits for bytes another thread hands to the target end.
TEST(SimLinkPacing, BlockedReadWakesForAnotherThreadsBytes) {
  VirtualClock clock;
  SimLink link(clock);
  link.SetRealTimePacing(1e-6);
  uint32_t err = 0;
  auto port = link.OpenHostPort(err);
  port->SetTimeouts(SerialTimeouts{});
  std::thread sender([&] {
    // Usually the reader is already waiting (it holds no lock then); either order must work.
    std::this_thread::yield();
    link.TargetSend("ok");
  });
  char buf[2];
  uint32_t got = 0;
  ASSERT_TRUE(port->Read(buf, 2, got));
  sender.join();
  EXPECT_EQ(std::string(buf, got), "ok");
}

}  // namespace
