// A whole recovery in one process: the engine on the host end of a simulated link, the virtual
// panel on the target end, a program folder with SYSTEM\targets.txt and two image files, the real
// source-file locator, and a dialog bridge that records what the operator would see.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_bridge.h"
#include "sim_link.h"
#include "source_file_locator.h"
#include "trace.h"
#include "virtual_clock.h"
#include "virtual_panel.h"
#include "win_trans.h"

using Bytes = std::vector<uint8_t>;

// Image file bytes: a sound header (magic, header CRC, body check) in front of `body`.
// `wordSum`: the body check is the negated word sum (and format_flags gets bit 16) instead of the CRC.
Bytes MakeImageFile(uint32_t magic, const Bytes& body, uint32_t loadAddress, uint32_t entryOffset,
                    uint32_t formatFlags);
// Firmware-like bytes: compressible runs mixed with noise, deterministic for a seed.
Bytes SampleBody(size_t size, uint32_t seed);

// A scratch program folder, removed again at the end.
class ProgramFolder {
 public:
  ProgramFolder();
  ~ProgramFolder();
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  // Full path of the (imaginary) program in the folder.
  std::string ProgramPath() const;
  // Writes a file below the folder (`relative` with '/' separators).
  void Write(const std::string& relative, const Bytes& data) const;
  void WriteText(const std::string& relative, const std::string& text) const;
  void Remove(const std::string& relative) const;
  // Full path of a file below the folder as the engine gets it from the locator.
  std::string PathOf(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

// Trace records while installed (texts only, without prefix and CR LF).
class TraceRecorder : public ITraceReceiver {
 public:
  TraceRecorder() { SetTraceReceiver(this); }
  ~TraceRecorder() override { SetTraceReceiver(nullptr); }
  bool IsListening() override { return true; }
  void Deliver(const char* record) override;
  int Count(const std::string& text) const;
  std::vector<std::string> texts;
};

enum class PromptAnswer { kSwitchPanel, kCancel, kCannotShow };

// The dialog side of a run, as the tests see it.
class RecordingDialog : public IDialogBridge {
 public:
  RecordingDialog(VirtualPanel& panel, CSourceFileLocator& locator) : panel_(panel), locator_(locator) {}

  void AppendLog(const char* text) override;
  void TrimLog(int count) override;
  void EnableCloseButton(int flag) override { closeButton.push_back(flag); }
  std::string GetPortBoxText() override;
  std::string GetSpeedBoxText() override { return speedText; }
  void SetPromptPort(ISerialPort* port) override { promptPort_ = port; }
  int PromptPowerOff() override;
  int PromptConnect() override;
  int ResolveImageFiles(const char* machineId, std::string& initialLoaderPath, std::string& osCorePath) override;

  // The log box's lines (without CR LF); the text must end in CR LF for the last one to count.
  std::vector<std::string> Lines() const;

  std::string log;
  std::vector<int> closeButton;
  std::vector<std::string> prompts;  // "off", "connect" in the order shown
  int dotsShown = 0;
  std::string portText = "COM3";
  std::string speedText = "115200";
  PromptAnswer powerOffAnswer = PromptAnswer::kSwitchPanel;
  PromptAnswer connectAnswer = PromptAnswer::kSwitchPanel;
  // Called when the engine reads the port box (a test may unbind the engine there).
  std::function<void()> onPortBoxRead;

 private:
  int Prompt(bool powerOn, PromptAnswer answer);

  VirtualPanel& panel_;
  CSourceFileLocator& locator_;
  ISerialPort* promptPort_ = nullptr;
};

// Everything of one run. Construct, adjust config / files, then Run().
class RecoveryRig {
 public:
  static constexpr uint32_t kLoadAddress = 0x8C000000u;
  static constexpr uint32_t kEntryOffset = 0x100u;

  explicit RecoveryRig(VirtualPanelConfig config = VirtualPanelConfig{});

  // Writes SYSTEM/OSCORE.BIN and SYSTEM/ILOADER.BIN; coreFlags 0 sends plain banks.
  void WriteImages(size_t coreBytes, size_t loaderBytes, uint32_t coreFlags);
  void WriteTargets(const std::string& text) { folder.WriteText("SYSTEM/targets.txt", text); }
  void WriteMarker() { folder.WriteText("system/QMTrans.cfg", ""); }

  // Runs CWinTransMainProc with the recording dialog (or with `dialog` when given).
  int Run();

  std::string CorePath() const { return folder.PathOf("SYSTEM/OSCORE.BIN"); }
  std::string LoaderPath() const { return folder.PathOf("SYSTEM/ILOADER.BIN"); }
  // True when the panel's flash holds both image files exactly.
  bool FlashHoldsImages() const;

  ProgramFolder folder;
  VirtualClock clock;
  SimLink link{clock};
  VirtualPanelConfig config;
  std::unique_ptr<VirtualPanel> panel;
  std::unique_ptr<ISerialPortFactory> factory;
  CSourceFileLocator locator;
  std::unique_ptr<RecordingDialog> dialog;
  std::unique_ptr<CWinTrans> trans;
  Bytes coreFile;
  Bytes loaderFile;
  TraceRecorder trace;
};
