// Fixtures of the engine tests: a transfer object bound to a recording bridge, on its own or with
// the host end of a simulated link.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim_link.h"
#include "test_support.h"
#include "win_trans.h"

// A transfer object bound to a recording bridge, with the trace captured.
class BoundEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trans.reset(new CWinTrans(std::string()));
    trans->BindDialog(&bridge);
  }
  TraceCapture trace;
  RecordingBridge bridge;
  std::unique_ptr<CWinTrans> trans;
};

// The same, with the host end of a fresh simulated link open.
class BoundEngineOnSimTest : public BoundEngineTest {
 protected:
  void SetUp() override {
    BoundEngineTest::SetUp();
    uint32_t error = 0;
    host = link.OpenHostPort(error);
    ASSERT_NE(host, nullptr);
  }
  VirtualClock clock;
  SimLink link{clock};
  std::unique_ptr<ISerialPort> host;
};
