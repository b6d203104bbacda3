// A small dialog class over plain Win32: a template id, a parent, a modal run, and per-class
// message handlers. The window procedure only dispatches; each handler is a member.
//
// The dialog window is subclassed once it exists, so that a handler can let the default dialog
// processing run first (CallDefault) and then add its own work, as the resizable base needs.
#pragma once

#include <windows.h>

class CDialogBase {
 public:
  CDialogBase(int templateId, HWND parent);
  virtual ~CDialogBase();
  CDialogBase(const CDialogBase&) = delete;
  CDialogBase& operator=(const CDialogBase&) = delete;

  // Runs the dialog modally on the calling thread (DialogBoxParamA): the dialog's result, or -1
  // when the window could not be created. With no parent the application's main window owns it.
  INT_PTR DoModal();
  // Runs the dialog modally with a message loop of its own, so that PreTranslateMessage sees every
  // message dispatched to the dialog or its controls. For the main dialog.
  INT_PTR RunModalLoop();
  // Ends the modal run with `result`.
  void EndModal(INT_PTR result);

  HWND GetSafeHwnd() const { return hwnd_; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }

  // The window that modal dialogs without a parent take as owner.
  static void SetMainWindow(HWND hwnd);
  static HWND MainWindow();

 protected:
  // WM_INITDIALOG, after the window is bound to this object; TRUE lets the system set the focus.
  virtual BOOL OnInitDialog() { return TRUE; }
  // WM_COMMAND: IDOK and IDCANCEL end the dialog by default.
  virtual void OnCommand(int id, int notifyCode, HWND control);
  virtual void OnOK() { EndModal(IDOK); }
  virtual void OnCancel() { EndModal(IDCANCEL); }
  // Every other message: the default is the dialog's own processing.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Before a message of the own loop is dispatched; true swallows it.
  virtual bool PreTranslateMessage(MSG* message) {
    (void)message;
    return false;
  }
  // WM_DESTROY, before the window is unbound.
  virtual void OnDestroy() {}

  LRESULT CallDefault(UINT message, WPARAM wParam, LPARAM lParam);
  HINSTANCE Instance() const;

  int templateId_;
  HWND parent_;
  HWND hwnd_ = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  WNDPROC defaultProc_ = nullptr;
  bool ownLoop_ = false;
  bool ended_ = false;
  INT_PTR result_ = 0;
};
