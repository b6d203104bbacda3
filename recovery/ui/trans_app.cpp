#include "trans_app.h"

#include <windows.h>

#include "trans_dlg.h"
#include "trace_receiver_win32.h"

namespace {
// Names the single-instance mutex and the window property of the running copy's dialog.
const char kInstanceName[] = "Tesmark_Calvera.exe";
}  // namespace

CTransApp theApp;

bool CTransApp::InitInstance() {
  // Never closed: it lives until the process ends.
  HANDLE mutex = ::CreateMutexA(nullptr, TRUE, kInstanceName);
  if (mutex == nullptr) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    for (HWND window = ::GetWindow(::GetDesktopWindow(), GW_CHILD); window != nullptr;
         window = ::GetWindow(window, GW_HWNDNEXT)) {
      if (::GetPropA(window, kInstanceName) == nullptr) continue;
      if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
      ::SetForegroundWindow(::GetLastActivePopup(window));
      break;
    }
    return false;
  }

  CViewerTraceReceiver trace;
  SetTraceReceiver(&trace);
  {
    CTransDlg dialog(nullptr);
    dialog.RunModalLoop();
  }
  SetTraceReceiver(nullptr);
  return false;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  theApp.InitInstance();
  return 0;
}
