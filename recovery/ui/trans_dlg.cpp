#include "trans_dlg.h"

#include <cstdio>
#include <vector>

#include "about_dlg.h"
#include "resource.h"
#include "operator_messages.h"
#include "version_line.h"
#include "win_trans.h"

namespace {

// A bridge call from the worker: lParam points to the action to run on the dialog's thread.
constexpr UINT kMsgRunOnUiThread = WM_APP + 1;
// The property by which a second start recognises the running copy's window.
const char kInstanceName[] = "Tesmark_Calvera.exe";
const char kCaption[] = "Calvera";
constexpr int kVirtualKeyB = 66;
constexpr int kVirtualKeyP = 80;
constexpr int kMaxStringLength = 1024;

// Waits for a thread that may still be sending a message to a window of the calling thread.
void WaitForThreadPumpingSent(HANDLE thread) {
  while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG msg;
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace

CTransDlg::CTransDlg(HWND parent)
    : CResizableDlg(IDD_TRANS_DIALOG, parent),
      trans_(new CWinTrans),
      prompt_(nullptr),
      rig_(MakeRecoveryRig()) {
  trans_->SetPortFactory(rig_->Factory());
}

CTransDlg::~CTransDlg() {
  if (worker_ != nullptr) {
    ::WaitForSingleObject(worker_, INFINITE);
    ::CloseHandle(worker_);
  }
  delete trans_;
}

std::string CTransDlg::LoadText(int id) const {
  char text[kMaxStringLength] = {};
  ::LoadStringA(Instance(), static_cast<UINT>(id), text, sizeof text);
  return text;
}

// ---- initialisation and the dialog thread's handlers ----

BOOL CTransDlg::OnInitDialog() {
  uiThreadId_ = ::GetCurrentThreadId();
  CDialogBase::SetMainWindow(hwnd_);
  CResizableDlg::OnInitDialog();
  ::SetPropA(hwnd_, kInstanceName, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1)));

  if (HMENU menu = ::GetSystemMenu(hwnd_, FALSE)) {
    std::string about = LoadText(IDS_ABOUTBOX);
    if (!about.empty()) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  AddAnchor(IDC_LOG, ANCHOR_SIZE_X | ANCHOR_SIZE_Y);
  AddAnchor(IDOK, ANCHOR_MOVE_Y);
  AddAnchor(IDCANCEL, ANCHOR_MOVE_Y);

  if (InitProgramFolder() != 0) {
    ShowResult(-8);
    EndModal(IDCANCEL);
  }
  if (InitImageLibrary() != 0) {
    ShowResult(-8);
    EndModal(IDCANCEL);
  }

  HWND port = GetDlgItem(IDC_PORT);
  for (int i = 1; i <= 9; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", i);
    ::SendMessageA(port, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  ::SendMessageA(port, CB_SETCURSEL, 0, 0);
  HWND speed = GetDlgItem(IDC_SPEED);
  for (const char* text : {"115200", "38400", "9600"}) {
    ::SendMessageA(speed, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  ::SendMessageA(speed, CB_SETCURSEL, 0, 0);

  std::string version = BuildVersionLine(__DATE__, __TIME__);
  ::SetDlgItemTextA(hwnd_, IDC_BUILD_VERSION, version.c_str());
  ::ShowWindow(GetDlgItem(IDC_BUILD_VERSION), SW_HIDE);
  return TRUE;
}

void CTransDlg::OnCommand(int id, int notifyCode, HWND control) {
  (void)notifyCode;
  (void)control;
  if (id == IDOK) {
    if (!running_) OnStart();
  } else if (id == IDCANCEL) {
    OnCancel();
  }
}

void CTransDlg::OnCancel() {
  if (running_) return;  // the window's close request does nothing during a transfer
  if (succeeded_) {
    ::MessageBoxA(hwnd_, LoadText(IDS_DIP_SWITCH_BACK).c_str(), kCaption, MB_OK);
  }
  EndModal(IDCANCEL);
}

LRESULT CTransDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kMsgRunOnUiThread:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return 0;
    case WM_SYSCOMMAND:
      OnSysCommand(wParam, lParam);
      return 0;
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(icon_);
    default:
      return CResizableDlg::WindowProc(message, wParam, lParam);
  }
}

void CTransDlg::OnSysCommand(WPARAM command, LPARAM lParam) {
  if ((command & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about(hwnd_);
    about.DoModal();
    return;
  }
  CallDefault(WM_SYSCOMMAND, command, lParam);
}

bool CTransDlg::PreTranslateMessage(MSG* message) {
  if (message->message != WM_KEYDOWN) return false;
  if (message->hwnd != hwnd_ && !::IsChild(hwnd_, message->hwnd)) return false;
  if (!keyboardEnabled_) return true;
  if (message->wParam == VK_ESCAPE) return true;
  if (message->wParam == kVirtualKeyB) {
    ::SetFocus(GetDlgItem(IDC_SPEED));
    return true;
  }
  if (message->wParam == kVirtualKeyP) {
    ::SetFocus(GetDlgItem(IDC_PORT));
    return true;
  }
  static HACCEL accelerators = ::LoadAcceleratorsA(Instance(), MAKEINTRESOURCEA(IDR_ACCELERATOR));
  return accelerators != nullptr && ::TranslateAcceleratorA(hwnd_, accelerators, message) != 0;
}

void CTransDlg::OnPaint() {
  if (::IsIconic(hwnd_)) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd_, &paint);
    ::SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(hwnd_, &client);
    int x = (client.right - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon_);
    ::EndPaint(hwnd_, &paint);
  } else {
    OnPaintBase();
  }
  RECT client;
  ::GetClientRect(hwnd_, &client);
  RECT grip = {client.right - ::GetSystemMetrics(SM_CXHSCROLL),
               client.bottom - ::GetSystemMetrics(SM_CYVSCROLL), client.right, client.bottom};
  if (HDC dc = ::GetDC(hwnd_)) {
    ::DrawFrameControl(dc, &grip, DFC_SCROLL, DFCS_SCROLLSIZEGRIP);
    ::ReleaseDC(hwnd_, dc);
  }
}

void CTransDlg::OnDestroy() {
  FreeImageLibrary();
  ::RemovePropA(hwnd_, kInstanceName);
}

void CTransDlg::OnStart() {
  EnableControls(0);
  SetLogText("");
  if (worker_ != nullptr) {
    ::WaitForSingleObject(worker_, INFINITE);  // the previous run has ended (controls came back)
    ::CloseHandle(worker_);
    worker_ = nullptr;
  }
  running_ = true;
  worker_ = ::CreateThread(nullptr, 0, WorkerProc, this, 0, nullptr);
  if (worker_ == nullptr) {
    running_ = false;
    EnableControls(1);
  }
}

// ---- the worker ----

DWORD WINAPI CTransDlg::WorkerProc(void* dialog) {
  return static_cast<DWORD>(static_cast<CTransDlg*>(dialog)->Worker());
}

int CTransDlg::Worker() {
  int result = trans_->CWinTransMainProc(this);
  if (result == 0) {
    succeeded_ = 1;
  } else {
    ShowResult(result);
  }
  RunOnUiThread([this] {
    EnableControls(1);
    running_ = false;
  });
  return result;
}

void CTransDlg::RunOnUiThread(const std::function<void()>& action) {
  if (::GetCurrentThreadId() == uiThreadId_) {
    action();
    return;
  }
  ::SendMessageA(hwnd_, kMsgRunOnUiThread, 0, reinterpret_cast<LPARAM>(&action));
}

// ---- bridge operations ----

void CTransDlg::SetLogText(const std::string& text) {
  HWND log = GetDlgItem(IDC_LOG);
  ::SetWindowTextA(log, text.c_str());
  ::SendMessageA(log, EM_LINESCROLL, 0, 32767);
  ::RedrawWindow(log, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CTransDlg::AppendLog(const char* text) {
  RunOnUiThread([this, text] {
    HWND log = GetDlgItem(IDC_LOG);
    int length = ::GetWindowTextLengthA(log);
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    ::GetWindowTextA(log, buffer.data(), length + 1);
    SetLogText(std::string(buffer.data()) + (text != nullptr ? text : ""));
  });
}

void CTransDlg::TrimLog(int count) {
  RunOnUiThread([this, count] {
    HWND log = GetDlgItem(IDC_LOG);
    int length = ::GetWindowTextLengthA(log);
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    ::GetWindowTextA(log, buffer.data(), length + 1);
    std::string text(buffer.data());
    // More than the log holds does not occur; clearing it all is enough then.
    size_t drop = count < 0 ? 0 : static_cast<size_t>(count);
    text.resize(drop >= text.size() ? 0 : text.size() - drop);
    SetLogText(text);
  });
}

void CTransDlg::EnableCloseButton(int flag) {
  RunOnUiThread([this, flag] {
    ::EnableWindow(GetDlgItem(IDCANCEL), flag != 0);
    keyboardEnabled_ = flag;
  });
}

void CTransDlg::EnableControls(int enable) {
  RunOnUiThread([this, enable] {
    ::EnableMenuItem(::GetSystemMenu(hwnd_, FALSE), SC_CLOSE,
                     MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
    ::EnableWindow(GetDlgItem(IDOK), enable != 0);
    ::EnableWindow(GetDlgItem(IDC_SPEED), enable != 0);
    ::EnableWindow(GetDlgItem(IDC_PORT), enable != 0);
  });
}

std::string CTransDlg::GetPortBoxText() {
  std::string text;
  RunOnUiThread([this, &text] {
    char buffer[256] = {};
    ::GetWindowTextA(GetDlgItem(IDC_PORT), buffer, sizeof buffer);
    text = buffer;
  });
  return text;
}

std::string CTransDlg::GetSpeedBoxText() {
  std::string text;
  RunOnUiThread([this, &text] {
    char buffer[256] = {};
    ::GetWindowTextA(GetDlgItem(IDC_SPEED), buffer, sizeof buffer);
    text = buffer;
  });
  return text;
}

void CTransDlg::ShowResult(int code) {
  int id = ResultStringId(code);
  if (id == 0) return;
  ::MessageBoxA(hwnd_, LoadText(id).c_str(), kCaption, MB_OK);
}

void CTransDlg::SetPromptPort(ISerialPort* port) { promptPort_ = port; }

int CTransDlg::PromptPowerOff() {
  return RunPrompt(IDS_PROMPT_POWER_OFF, static_cast<int>(kModemStatusCtsOn), PromptKind::kPowerOff);
}

int CTransDlg::PromptConnect() { return RunPrompt(IDS_PROMPT_CONNECT, 0, PromptKind::kConnect); }

int CTransDlg::RunPrompt(int stringId, int referenceLineState, PromptKind kind) {
  prompt_.SetPromptText(LoadText(stringId));
  prompt_.ResultFlag() = kPromptWatching;
  referenceLineState_ = referenceLineState;
  // The watch starts once the prompt's window exists, so that a change it sees at once still
  // closes the prompt with 1.
  prompt_.SetOnShown([this, kind] {
    lineWatch_ = ::CreateThread(nullptr, 0, LineWatchProc, this, 0, nullptr);
    if (lineWatch_ == nullptr) {
      prompt_.ResultFlag() = kPromptLineUnreadable;
      ::PostMessageA(prompt_.GetSafeHwnd(), WM_CLOSE, 0, 0);
    }
    rig_->OnPromptShown(kind);
  });
  rig_->OnPromptRequested(kind);
  INT_PTR result = prompt_.DoModal();
  if (lineWatch_ != nullptr) {
    WaitForThreadPumpingSent(lineWatch_);
    ::CloseHandle(lineWatch_);
    lineWatch_ = nullptr;
  }
  prompt_.ResultFlag() = kPromptIdle;
  prompt_.SetOnShown(nullptr);
  rig_->OnPromptEnded(kind);
  return result == -1 ? -1 : static_cast<int>(result);
}

DWORD WINAPI CTransDlg::LineWatchProc(void* dialog) {
  CTransDlg* self = static_cast<CTransDlg*>(dialog);
  std::atomic<int>& flag = self->prompt_.ResultFlag();
  HWND prompt = self->prompt_.GetSafeHwnd();
  if (flag == kPromptIdle) return 2;
  while (true) {
    uint32_t status = 0;
    ISerialPort* port = self->promptPort_;
    if (port == nullptr || !port->GetModemStatus(status)) {
      flag = kPromptLineUnreadable;
      ::SendMessageA(prompt, WM_CLOSE, 0, 0);
      return 2;
    }
    if (((static_cast<uint32_t>(self->referenceLineState_) ^ status) & kModemStatusCtsOn) != 0) {
      flag = kPromptWatching;
      ::SendMessageA(prompt, WM_CLOSE, 0, 0);
      return 1;
    }
    ::Sleep(1);
    if (flag == kPromptIdle) return 2;
  }
}

// ---- source-file locator ----

int CTransDlg::InitProgramFolder() {
  char path[CSourceFileLocator::kPathBufferSize] = {};
  DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return -1;  // none, or cut short
  return locator_.InitProgramFolder(path);
}

int CTransDlg::InitImageLibrary() { return locator_.InitImageLibrary(); }

int CTransDlg::FreeImageLibrary() { return locator_.FreeImageLibrary(); }

int CTransDlg::ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                                 std::string& osCorePath) {
  return locator_.ResolveImageFiles(machineId, initialLoaderPath, osCorePath);
}
