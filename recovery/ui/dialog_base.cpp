#include "dialog_base.h"

namespace {
const char kThisProperty[] = "CalveraDialogObject";
HWND g_mainWindow = nullptr;
}  // namespace

CDialogBase::CDialogBase(int templateId, HWND parent) : templateId_(templateId), parent_(parent) {}

CDialogBase::~CDialogBase() = default;

void CDialogBase::SetMainWindow(HWND hwnd) { g_mainWindow = hwnd; }
HWND CDialogBase::MainWindow() { return g_mainWindow; }

HINSTANCE CDialogBase::Instance() const { return ::GetModuleHandleA(nullptr); }

INT_PTR CDialogBase::DoModal() {
  ownLoop_ = false;
  ended_ = false;
  HWND owner = parent_ != nullptr ? parent_ : g_mainWindow;
  return ::DialogBoxParamA(Instance(), MAKEINTRESOURCEA(templateId_), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CDialogBase::RunModalLoop() {
  ownLoop_ = true;
  ended_ = false;
  result_ = -1;
  HWND owner = parent_;
  HWND hwnd = ::CreateDialogParamA(Instance(), MAKEINTRESOURCEA(templateId_), owner, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  if (hwnd == nullptr) return -1;
  if (owner != nullptr) ::EnableWindow(owner, FALSE);
  MSG msg;
  while (!ended_) {
    BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (PreTranslateMessage(&msg)) continue;
    if (::IsWindow(hwnd) && ::IsDialogMessageA(hwnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  if (owner != nullptr) ::EnableWindow(owner, TRUE);
  if (::IsWindow(hwnd)) ::DestroyWindow(hwnd);
  ownLoop_ = false;
  return result_;
}

void CDialogBase::EndModal(INT_PTR result) {
  if (hwnd_ == nullptr) return;
  if (ownLoop_) {
    result_ = result;
    ended_ = true;
    ::PostMessageA(hwnd_, WM_NULL, 0, 0);  // wakes the loop
  } else {
    ::EndDialog(hwnd_, result);
  }
}

void CDialogBase::OnCommand(int id, int notifyCode, HWND control) {
  (void)notifyCode;
  (void)control;
  if (id == IDOK) OnOK();
  if (id == IDCANCEL) OnCancel();
}

LRESULT CDialogBase::CallDefault(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::CallWindowProcA(defaultProc_, hwnd_, message, wParam, lParam);
}

LRESULT CDialogBase::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return CallDefault(message, wParam, lParam);
}

LRESULT CDialogBase::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_DESTROY: {
      OnDestroy();
      LRESULT result = CallDefault(message, wParam, lParam);
      return result;
    }
    case WM_NCDESTROY: {
      HWND hwnd = hwnd_;
      WNDPROC original = defaultProc_;
      ::RemovePropA(hwnd, kThisProperty);
      ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
      hwnd_ = nullptr;
      return ::CallWindowProcA(original, hwnd, message, wParam, lParam);
    }
    default:
      return WindowProc(message, wParam, lParam);
  }
}

// The dialog procedure only binds the object at WM_INITDIALOG; everything else reaches the object
// through the subclass procedure and falls back to the dialog's default processing.
INT_PTR CALLBACK CDialogBase::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  if (message != WM_INITDIALOG) return FALSE;
  CDialogBase* self = reinterpret_cast<CDialogBase*>(lParam);
  self->hwnd_ = hwnd;
  ::SetPropA(hwnd, kThisProperty, self);
  self->defaultProc_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
  return self->OnInitDialog();
}

LRESULT CALLBACK CDialogBase::SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialogBase* self = static_cast<CDialogBase*>(::GetPropA(hwnd, kThisProperty));
  if (self == nullptr) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  return self->Dispatch(message, wParam, lParam);
}
