#include "power_control_dlg.h"

#include "resource.h"

CPowerControlMessageDlg::CPowerControlMessageDlg(HWND parent)
    : CDialogBase(IDD_POWER_CONTROL, parent) {}

BOOL CPowerControlMessageDlg::OnInitDialog() {
  finished_ = false;
  ::SetDlgItemTextA(hwnd_, IDC_PROMPT_TEXT, promptText_.c_str());
  if (onShown_) onShown_();
  return TRUE;
}

void CPowerControlMessageDlg::Finish(INT_PTR result) {
  if (finished_) return;
  finished_ = true;
  EndModal(result);
}

void CPowerControlMessageDlg::OnOK() {
  Finish(IDOK);
  promptText_.clear();
  resultFlag_ = kPromptIdle;
}

void CPowerControlMessageDlg::OnCancel() {
  Finish(IDCANCEL);
  promptText_.clear();
  resultFlag_ = kPromptIdle;
}

LRESULT CPowerControlMessageDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    Finish(resultFlag_ == kPromptWatching ? IDOK : IDCANCEL);
    resultFlag_ = kPromptIdle;
    return 0;
  }
  return CDialogBase::WindowProc(message, wParam, lParam);
}
