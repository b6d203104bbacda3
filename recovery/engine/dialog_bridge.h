// What the engine asks of the window (or of a command-line front end) during a run.
// The Win32 dialog implements each operation as a synchronous message to its own thread;
// calvera-cli and the tests implement it directly.
#pragma once

#include <string>

class ISerialPort;

class IDialogBridge {
 public:
  virtual ~IDialogBridge() = default;

  virtual void AppendLog(const char* text) = 0;
  virtual void TrimLog(int count) = 0;
  virtual void EnableCloseButton(int flag) = 0;

  // Texts of the port box and the speed box as the operator left them.
  virtual std::string GetPortBoxText() = 0;
  virtual std::string GetSpeedBoxText() = 0;

  // The port the prompts watch (CTS); null clears it.
  virtual void SetPromptPort(ISerialPort* port) = 0;
  // 1: the awaited CTS change was seen; 2: cancelled, or the modem status could not be read.
  virtual int PromptPowerOff() = 0;
  virtual int PromptConnect() = 0;

  // Fills both full paths for a machine identification: 0, -7 (not supported) or -8.
  virtual int ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                                std::string& osCorePath) = 0;
};
