#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "binary_file.h"
#include "sim_link.h"
#include "engine_fixtures.h"
#include "test_support.h"
#include "win_trans.h"

namespace {

class SerialLayer : public BoundEngineTest {
 protected:
  ScriptedPort port;
};

// ---- line settings and time-outs on the simulated link ----

class SerialLayerOnSim : public BoundEngineOnSimTest {};

TEST_F(SerialLayerOnSim, SetComSetsOnlySupportedSpeeds) {
  const struct {
    int asked;
    uint32_t set;
  } cases[] = {{9600, 9600}, {14400, 9600}, {0, 9600}, {-1, 9600}, {19200, 19200},
               {38400, 38400}, {57600, 57600}, {115200, 115200}, {230400, 9600}};
  for (const auto& c : cases) {
    ASSERT_EQ(trans->SetCom(host.get(), c.asked), kResultOk) << c.asked;
    EXPECT_EQ(link.HostBaud(), c.set) << c.asked;
    EXPECT_EQ(trace.Texts().back(), "[SetCom] Com parameters Baud[" + std::to_string(c.set) + "]");
  }
  SerialLineSettings s = link.HostLineSettings();
  EXPECT_EQ(s.fOutxCtsFlow, 1u);
  EXPECT_EQ(s.fRtsControl, kRtsControlHandshake);
  EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
  EXPECT_EQ(s.fParity, 1u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_EQ(bridge.log, "");
}

TEST_F(SerialLayerOnSim, InitializeComPortRunsAt9600) {
  ASSERT_EQ(trans->SetCom(host.get(), 115200), kResultOk);
  ASSERT_EQ(trans->InitializeComPort(host.get()), kResultOk);
  EXPECT_EQ(link.HostBaud(), 9600u);
  EXPECT_EQ(trace.Texts().back(), "[InitializeComPort]Initialize COM port Successfully!");
}

TEST_F(SerialLayerOnSim, RefusedLargeQueuesFallBackTo1024) {
  link.faults().refuseLargeQueues = true;
  EXPECT_EQ(trans->InitializeComPort(host.get()), kResultOk);
  EXPECT_EQ(bridge.log, "");
}

TEST_F(SerialLayerOnSim, PortSettingFailuresLogOneMessage) {
  const struct {
    bool SimLinkFaults::*fault;
    const char* message;
  } cases[] = {
      {&SimLinkFaults::refuseAllQueues, "Failed to set COM port speed.\r\n"},
      {&SimLinkFaults::refuseGetLineSettings, "Failed to get COM port state.\r\n"},
      {&SimLinkFaults::refuseSetLineSettings, "Failed in COM port copmmunication setting.\r\n"},
  };
  for (const auto& c : cases) {
    link.faults() = SimLinkFaults();
    link.faults().*c.fault = true;
    bridge.log.clear();
    EXPECT_EQ(trans->InitializeComPort(host.get()), kResultFailed);
    EXPECT_EQ(bridge.log, c.message);
    bridge.log.clear();
    EXPECT_EQ(trans->SetCom(host.get(), 57600), kResultFailed);
    EXPECT_EQ(bridge.log, c.message);
  }
}

TEST_F(SerialLayerOnSim, SetComTimSetsTheWin32Rule) {
  ASSERT_EQ(trans->SetComTim(host.get(), 700, 800), kResultOk);
  SerialTimeouts t = link.HostTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 700u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 700u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 800u);
  EXPECT_EQ(trace.Texts().back(), "[SetComTim] SetComTim OK RD[700] WR[800]");

  for (bool SimLinkFaults::*fault : {&SimLinkFaults::refuseGetTimeouts, &SimLinkFaults::refuseSetTimeouts}) {
    link.faults() = SimLinkFaults();
    link.faults().*fault = true;
    bridge.log.clear();
    EXPECT_EQ(trans->SetComTim(host.get(), 10000, 10000), kResultFailed);
    EXPECT_EQ(bridge.log, "Failed in COM port timeout setting.\r\n");
  }
}

// A byte counter on the target end of the simulated link.
class Sink : public ISimTarget {
 public:
  void OnByte(uint8_t byte) override { bytes.push_back(byte); }
  std::vector<uint8_t> bytes;
};

TEST_F(SerialLayerOnSim, PartialWritesStillDeliverEveryByteOnce) {
  Sink sink;
  link.AttachTarget(&sink);
  link.SetCts(true);
  ASSERT_EQ(trans->SetCom(host.get(), 115200), kResultOk);
  link.SetTargetBaud(115200);
  ASSERT_EQ(trans->SetComTim(host.get(), 30000, 30000), kResultOk);
  link.faults().partialWriteLimit = 4096;
  std::vector<uint8_t> data(25000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
  EXPECT_EQ(trans->SndCom(host.get(), data.data(), static_cast<int>(data.size())), kResultOk);
  EXPECT_EQ(sink.bytes, data);
  EXPECT_TRUE(trace.Has("[SndCom] BufferSize changed [1000]"));
  EXPECT_EQ(bridge.log, "");
  link.AttachTarget(nullptr);
}

TEST_F(SerialLayerOnSim, CtsHeldLowStallsTheSend) {
  Sink sink;
  link.AttachTarget(&sink);
  link.SetCts(false);  // with RTS/CTS flow control nothing leaves
  ASSERT_EQ(trans->InitializeComPort(host.get()), kResultOk);
  ASSERT_EQ(trans->SetComTim(host.get(), 700, 700), kResultOk);
  uint64_t start = clock.NowUs();
  std::vector<uint8_t> data(20000, 0x55);
  EXPECT_EQ(trans->SndCom(host.get(), data.data(), 20000), kResultFailed);
  EXPECT_TRUE(sink.bytes.empty());
  EXPECT_EQ(clock.NowUs() - start, 700000u);  // the write time-out, in virtual time
  EXPECT_EQ(trace.Texts().back(), "[SndCom] WriteFile Error [0]");
  EXPECT_EQ(bridge.log, "");  // the dot went again
  link.AttachTarget(nullptr);
}

// ---- receive ----

TEST_F(SerialLayer, RcvComNeedsEveryByte) {
  port.Queue("ab");
  uint8_t buffer[4];
  EXPECT_EQ(trans->RcvCom(&port, buffer, 4), kResultFailed);
  EXPECT_EQ(trace.Texts().back(), "[RcvCom] ReadFile Error Buff[4] Recv[2]");
  port.Queue("abcd");
  EXPECT_EQ(trans->RcvCom(&port, buffer, 4), kResultOk);
  port.readFails = true;
  EXPECT_EQ(trans->RcvCom(&port, buffer, 1), kResultFailed);
  EXPECT_EQ(bridge.log, "");  // receive failures write only traces
}

TEST_F(SerialLayer, FlushRcvReadsWhatTheQueueHeld) {
  EXPECT_EQ(trans->FlushRcv(&port), kResultOk);
  EXPECT_EQ(port.reads, 0);

  port.Queue("12345");
  EXPECT_EQ(trans->FlushRcv(&port), kResultOk);
  EXPECT_EQ(port.reads, 5);
  EXPECT_TRUE(port.input.empty());

  port.phantomInput = 1;  // the queue claims a byte that never comes
  EXPECT_EQ(trans->FlushRcv(&port), kResultFailed);
  port.phantomInput = 0;
  port.clearErrorFails = true;
  EXPECT_EQ(trans->FlushRcv(&port), kResultFailed);
}

// ---- output queue ----

TEST_F(SerialLayer, WaitSndPausesUntilTheQueueDrains) {
  port.pendingOutputChecks = 3;
  EXPECT_EQ(trans->WaitSnd(&port), kResultOk);
  EXPECT_EQ(port.pauses, 3);
  EXPECT_EQ(port.pausedMs, 3u);
}

TEST_F(SerialLayer, WaitSndGivesUpAfter10000Pauses) {
  port.outputNeverDrains = true;
  EXPECT_EQ(trans->WaitSnd(&port), kResultFailed);
  EXPECT_EQ(port.pauses, 10000);
  EXPECT_EQ(port.pausedMs, 10000u);
  EXPECT_EQ(port.clearErrors, 10001);
}

// ---- send ----

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

TEST_F(SerialLayer, SndComChunksAndDots) {
  const struct {
    int count;
    std::vector<uint32_t> writes;
    int clearErrors;  // one output-queue check per full chunk
  } cases[] = {
      {0, {}, 0},
      {7, {7}, 0},
      {10240, {10240}, 1},
      {10241, {10240, 1}, 1},
      {30720, {10240, 10240, 10240}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    ScriptedPort p;
    RecordingBridge b;
    trans->BindDialog(&b);
    std::vector<uint8_t> data = Pattern(static_cast<size_t>(c.count));
    EXPECT_EQ(trans->SndCom(&p, data.data(), c.count), kResultOk);
    EXPECT_EQ(p.writeSizes, c.writes);
    EXPECT_EQ(p.sent, data);
    EXPECT_EQ(p.clearErrors, c.clearErrors);
    int dots = static_cast<int>(c.writes.size());
    EXPECT_EQ(b.CountCalls("append:."), dots);
    // The dots disappear again in one trim at the end.
    if (dots > 0) {
      EXPECT_EQ(b.calls.back(), "trim:" + std::to_string(dots));
    }
    EXPECT_EQ(b.log, "");
  }
}

TEST_F(SerialLayer, SndComPartialWriteShrinksTheChunk) {
  std::vector<uint8_t> data = Pattern(25000);
  port.writeResults.push_back({false, 4000});
  EXPECT_EQ(trans->SndCom(&port, data.data(), 25000), kResultOk);
  // 10240 asked, 4000 taken; then chunks of 4000; 25000 = 6 x 4000 + 1000.
  std::vector<uint32_t> expected = {10240, 4000, 4000, 4000, 4000, 4000, 1000};
  EXPECT_EQ(port.writeSizes, expected);
  EXPECT_EQ(port.sent, data);  // every byte exactly once
  EXPECT_TRUE(trace.Has("[SndCom] BufferSize changed [fa0]"));
  EXPECT_EQ(bridge.log, "");
}

TEST_F(SerialLayer, SndComSuccessfulWriteCountsAsSent) {
  // A write that succeeds counts as the whole chunk whatever it reports.
  std::vector<uint8_t> data = Pattern(10240 + 5);
  port.writeResults.push_back({true, 100});
  EXPECT_EQ(trans->SndCom(&port, data.data(), 10245), kResultOk);
  std::vector<uint32_t> expected = {10240, 5};
  EXPECT_EQ(port.writeSizes, expected);
}

TEST_F(SerialLayer, SndComFailuresTrimTheirDots) {
  const struct {
    int count;
    std::vector<ScriptedPort::WriteResult> results;
    bool outputNeverDrains;
    const char* trace;
  } cases[] = {
      {20000, {{false, 0}}, false, "[SndCom] WriteFile Error [0]"},
      {20000, {{false, 10240}}, false, "[SndCom] WriteFile Error [2800]"},
      {20000, {{true, -1}}, true, "[SndCom] WriteFile Error [2800]"},
      {20000, {{true, -1}, {false, 9759}}, false, "[SndCom] WriteFile(last) Error [261f]"},
      {20000, {{true, -1}, {true, 9759}}, false, "[SndCom] WriteFile(last) Error [261f]"},
      {5, {{false, 5}}, false, "[SndCom] WriteFile(last) Error [5]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    ScriptedPort p;
    RecordingBridge b;
    TraceCapture t;
    trans->BindDialog(&b);
    p.writeResults.assign(c.results.begin(), c.results.end());
    p.outputNeverDrains = c.outputNeverDrains;
    std::vector<uint8_t> data = Pattern(static_cast<size_t>(c.count));
    EXPECT_EQ(trans->SndCom(&p, data.data(), c.count), kResultFailed);
    EXPECT_EQ(t.Texts().back(), c.trace);
    EXPECT_EQ(b.log, "");
  }
}

// ---- clean-up on failure paths ----

TEST_F(SerialLayer, ErrCloseFreeClosesFreesAndTraces) {
  std::string path = ::testing::TempDir() + "errclosefree.bin";
  ASSERT_TRUE(CBinaryFile::WriteWholeFile(path.c_str(), "abc", 3));
  CBinaryFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  int openBefore = CBinaryFile::OpenCount();
  void* a = trans->AllocBuffer(131072);
  void* b = trans->AllocBuffer(16);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(trans->ErrCloseFree(23, &file, a, b), kResultFailed);  // the sanitizer build sees leaks
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(CBinaryFile::OpenCount(), openBefore - 1);
  EXPECT_EQ(trace.Texts().back(), "[ErrCloseFree] Error ID [23]");
  EXPECT_EQ(trans->ErrCloseFree(1, nullptr, nullptr, nullptr), kResultFailed);
  EXPECT_EQ(trace.Texts().back(), "[ErrCloseFree] Error ID [1]");
  std::remove(path.c_str());
}

}  // namespace
