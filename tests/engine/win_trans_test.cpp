#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>

#include "binary_file.h"
#include "sim_link.h"
#include "engine_fixtures.h"
#include "test_support.h"
#include "win_trans.h"

namespace {

std::string MakeFolder(const std::string& name) {
  std::string folder = ::testing::TempDir() + name;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return error ? std::string() : folder;
}

TEST(WinTransConstruction, FieldsStartAsDocumented) {
  std::unique_ptr<CWinTrans> t(new CWinTrans(std::string()));
  for (char c : t->m_machineId) EXPECT_EQ(c, '\0');
  EXPECT_EQ(t->m_speed, 115200);
  EXPECT_EQ(t->m_rawBlock, 1);
  EXPECT_EQ(t->m_dialog, nullptr);
  EXPECT_TRUE(t->m_portName.empty());
  EXPECT_TRUE(t->m_message.empty());
  EXPECT_TRUE(t->m_iloaderPath.empty());
  EXPECT_TRUE(t->m_osCorePath.empty());
  EXPECT_EQ(t->m_marker, 0);
  EXPECT_EQ(t->PortFactory(), nullptr);
  // The compressor state comes first.
  EXPECT_EQ(reinterpret_cast<const void*>(&t->m_encoder), reinterpret_cast<const void*>(t.get()));
}

TEST(WinTransConstruction, MarkerFileBesideTheProgram) {
  const struct {
    const char* folder;
    const char* marker;  // relative to the program folder; null: none
    int flag;
  } cases[] = {
      {"marker_exact", "system/QMTrans.cfg", 1},
      {"marker_case", "SYSTEM/qmtrans.CFG", 1},
      {"marker_none", nullptr, 0},
      {"marker_elsewhere", "QMTrans.cfg", 0},
  };
  for (const auto& c : cases) {
    std::string folder = MakeFolder(c.folder);
    ASSERT_FALSE(folder.empty());
    if (c.marker != nullptr) {
      std::string marker = folder + "/" + c.marker;
      std::string sub = marker.substr(0, marker.find_last_of('/'));
      ASSERT_FALSE(MakeFolder(sub.substr(::testing::TempDir().size())).empty());
      ASSERT_TRUE(CBinaryFile::WriteWholeFile(marker.c_str(), "", 0));
    }
    std::unique_ptr<CWinTrans> t(new CWinTrans(folder + "/calvera.exe"));
    EXPECT_EQ(t->m_marker, c.flag) << c.folder;
  }
  // The default constructor looks beside the running test program, where no marker lies.
  std::unique_ptr<CWinTrans> t(new CWinTrans());
  EXPECT_EQ(t->m_marker, 0);
}

TEST(WinTransNoDialog, EveryBridgeOperationFallsBack) {
  std::unique_ptr<CWinTrans> t(new CWinTrans(std::string()));
  ScriptedPort port;
  EXPECT_EQ(t->GetComPortParameter(), kResultNoImageOrDialog);
  EXPECT_EQ(t->GetBaudrateParameter(), kResultNoImageOrDialog);
  EXPECT_EQ(t->GetIloaderAndOsCoreFileName(), kResultNoImageOrDialog);
  EXPECT_EQ(t->ConfirmTargetOff(&port), kResultNoImageOrDialog);
  EXPECT_EQ(t->ConfirmTargetOn(&port), kResultNoImageOrDialog);
  t->AppendLog("x");
  t->TrimLog(1);
  t->EnableCloseButton(1);
  port.modemStatus = kModemStatusCtsOn;
  EXPECT_EQ(t->GetTargetPowerStatus(&port), 1);
  port.modemStatusFails = true;
  EXPECT_EQ(t->GetTargetPowerStatus(&port), kResultPortFailure);
  EXPECT_EQ(t->m_speed, 115200);
}

class WinTransBridge : public BoundEngineTest {};

TEST_F(WinTransBridge, PortAndSpeedFromTheBoxes) {
  bridge.portText = "COM7";
  EXPECT_EQ(trans->GetComPortParameter(), kResultOk);
  EXPECT_EQ(trans->m_portName, "COM7");
  EXPECT_EQ(trace.Texts().back(), "[GetComPortParameter] Port is COM7");

  const struct {
    const char* text;
    int32_t speed;
  } cases[] = {{"115200", 115200}, {"  38400", 38400}, {"9600bps", 9600}, {"abc", 0},
               {"", 0},            {"-5", -5},         {"+19200", 19200}, {"99999999999", 2147483647},
               {"-99999999999", -2147483647 - 1}};
  for (const auto& c : cases) {
    bridge.speedText = c.text;
    EXPECT_EQ(trans->GetBaudrateParameter(), kResultOk);
    EXPECT_EQ(trans->m_speed, c.speed) << c.text;
    EXPECT_EQ(trace.Texts().back(), std::string("[GetBaudrateParameter] Baudrate is ") + c.text);
  }
}

TEST_F(WinTransBridge, ImageFilesComeFromTheDialog) {
  std::memcpy(trans->m_machineId, "QX7A2K03", 9);
  EXPECT_EQ(trans->GetIloaderAndOsCoreFileName(), kResultOk);
  EXPECT_EQ(bridge.calls.back(), "resolve:QX7A2K03");
  EXPECT_EQ(trans->m_iloaderPath, "IL.bin");
  EXPECT_EQ(trans->m_osCorePath, "OS.bin");
  for (int code : {kResultNotSupported, kResultNoImageOrDialog}) {
    bridge.resolveResult = code;
    EXPECT_EQ(trans->GetIloaderAndOsCoreFileName(), code);
  }
}

TEST_F(WinTransBridge, LogHelpersReachTheDialog) {
  trans->EnableCloseButton(0);
  trans->LogMessage("Speed changed to %dbps.\r\n", 115200);
  EXPECT_EQ(trans->m_message, "Speed changed to 115200bps.\r\n");
  trans->TrimLog(2);
  std::vector<std::string> expected = {"close:0", "append:Speed changed to 115200bps.\r\n", "trim:2"};
  EXPECT_EQ(bridge.calls, expected);
  EXPECT_EQ(bridge.log, "Speed changed to 115200bps.");
}

// CTS and the prompts, on the simulated link where the target drives CTS.
class PowerPrompts : public BoundEngineOnSimTest {};

TEST_F(PowerPrompts, PowerStatusFollowsCts) {
  link.SetCts(true);
  EXPECT_EQ(trans->GetTargetPowerStatus(host.get()), 1);
  link.SetCts(false);
  EXPECT_EQ(trans->GetTargetPowerStatus(host.get()), 0);
  link.faults().modemStatusFails = true;
  EXPECT_EQ(trans->GetTargetPowerStatus(host.get()), kResultPortFailure);
  EXPECT_EQ(bridge.log, "Failed to get COM port state.\r\n");
}

TEST_F(PowerPrompts, TargetAlreadyOffNeedsNoPrompt) {
  link.SetCts(false);
  EXPECT_EQ(trans->ConfirmTargetOff(host.get()), kResultGoOn);
  EXPECT_TRUE(bridge.calls.empty());
  EXPECT_EQ(trace.Texts().back(), "[ConfirmTargetOff] GetTargetPowerStatus Already Power off");
}

TEST_F(PowerPrompts, PromptsGetThePortAndGiveItBack) {
  for (int answer : {kResultGoOn, kResultPromptCancelled}) {
    link.SetCts(true);
    bridge.calls.clear();
    bridge.promptResult = answer;
    EXPECT_EQ(trans->ConfirmTargetOff(host.get()), answer);
    std::vector<std::string> off = {"promptport:set", "prompt:off", "promptport:null"};
    EXPECT_EQ(bridge.calls, off);

    bridge.calls.clear();
    EXPECT_EQ(trans->ConfirmTargetOn(host.get()), answer);
    std::vector<std::string> on = {"promptport:set", "prompt:connect", "promptport:null"};
    EXPECT_EQ(bridge.calls, on);
  }
}

TEST_F(PowerPrompts, UnreadableModemStatusEndsConfirmTargetOff) {
  link.faults().modemStatusFails = true;
  EXPECT_EQ(trans->ConfirmTargetOff(host.get()), kResultPortFailure);
  EXPECT_EQ(trace.Texts().back(), "[ConfirmTargetOff] GetTargetPowerStatus Error");
  EXPECT_EQ(bridge.calls.size(), 1u);  // only the log line, no prompt
}

}  // namespace
