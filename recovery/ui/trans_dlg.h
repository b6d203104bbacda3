// CTransDlg: the main dialog. The operator picks a port and a speed and presses Start; a worker
// thread runs the transfer engine, which reaches the dialog only through IDialogBridge.
//
// Threads: every control operation the worker asks for (log, boxes, enabling) is handed to the
// dialog's own thread by one synchronous window message (RunOnUiThread), so the worker waits until
// it is done. The prompts and the result message box run modal loops on the worker thread, owned
// by the dialog, as the engine's calls are synchronous; the dialog thread keeps painting meanwhile.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "dialog_bridge.h"
#include "port_factory.h"
#include "power_control_dlg.h"
#include "resizable_dlg.h"
#include "source_file_locator.h"

class CWinTrans;

class CTransDlg : public CResizableDlg, public IDialogBridge {
 public:
  explicit CTransDlg(HWND parent);
  ~CTransDlg() override;

  // ---- IDialogBridge (called by the engine on the worker thread) ----
  void AppendLog(const char* text) override;
  void TrimLog(int count) override;
  void EnableCloseButton(int flag) override;
  std::string GetPortBoxText() override;
  std::string GetSpeedBoxText() override;
  void SetPromptPort(ISerialPort* port) override;
  int PromptPowerOff() override;
  int PromptConnect() override;
  int ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                        std::string& osCorePath) override;

  void EnableControls(int enable);
  void ShowResult(int code);

  int InitProgramFolder();
  int InitImageLibrary();
  int FreeImageLibrary();

 protected:
  BOOL OnInitDialog() override;
  void OnCommand(int id, int notifyCode, HWND control) override;
  void OnCancel() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  bool PreTranslateMessage(MSG* message) override;
  void OnDestroy() override;

 private:
  void OnStart();
  void OnPaint();
  void OnSysCommand(WPARAM command, LPARAM lParam);
  void RunOnUiThread(const std::function<void()>& action);
  void SetLogText(const std::string& text);
  std::string LoadText(int id) const;
  int RunPrompt(int stringId, int referenceLineState, PromptKind kind);
  int Worker();  // the run's result, also the thread's exit code
  static DWORD WINAPI WorkerProc(void* dialog);
  static DWORD WINAPI LineWatchProc(void* dialog);

  std::atomic<int> succeeded_{0};
  CWinTrans* trans_;
  std::atomic<ISerialPort*> promptPort_{nullptr};
  CPowerControlMessageDlg prompt_;
  CSourceFileLocator locator_;
  std::atomic<int> referenceLineState_{0};
  std::atomic<int> keyboardEnabled_{1};

  std::unique_ptr<IRecoveryRig> rig_;
  HANDLE worker_ = nullptr;
  HANDLE lineWatch_ = nullptr;
  bool running_ = false;  // dialog thread only: a worker is between Start and its end
  DWORD uiThreadId_ = 0;
};
