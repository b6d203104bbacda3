// The trace viewer receiver under Windows (Wine): a window of the viewer's class in this process
// receives message 1025 with a global atom holding the record.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "trace.h"
#include "trace_receiver_win32.h"

namespace {

class ViewerWindow {
 public:
  ViewerWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kTraceViewerClass;
    RegisterClassA(&wc);
    hwnd = CreateWindowA(kTraceViewerClass, "viewer", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                         wc.hInstance, nullptr);
  }
  ~ViewerWindow() {
    if (hwnd != nullptr) DestroyWindow(hwnd);
    UnregisterClassA(kTraceViewerClass, GetModuleHandleA(nullptr));
  }
  // The next trace message for the window: false when none is waiting.
  bool Next(WPARAM& atom) {
    MSG msg;
    if (!PeekMessageA(&msg, hwnd, kTraceViewerMessage, kTraceViewerMessage, PM_REMOVE)) return false;
    atom = msg.wParam;
    EXPECT_EQ(msg.lParam, 0);
    return true;
  }
  HWND hwnd = nullptr;
};

std::string AtomText(WPARAM atom) {
  char name[512] = {};
  UINT length = GlobalGetAtomNameA(static_cast<ATOM>(atom), name, sizeof name);
  GlobalDeleteAtom(static_cast<ATOM>(atom));
  return std::string(name, length);
}

TEST(ViewerTraceReceiver, NoViewerNoRecord) {
  CViewerTraceReceiver receiver;
  EXPECT_FALSE(receiver.IsListening());
}

TEST(ViewerTraceReceiver, RecordTravelsAsAnAtom) {
  ViewerWindow viewer;
  ASSERT_NE(viewer.hwnd, nullptr);
  CViewerTraceReceiver receiver;
  SetTraceReceiver(&receiver);
  EXPECT_TRUE(receiver.IsListening());
  TraceOut(kTraceChannel, kTraceId, "[CWinTransMainProc] WinTransMain start");
  TraceOut(65536, kTraceId, "[X] never");
  TraceOut(kTraceChannel, kTraceId, "%s", std::string(300, 'y').c_str());  // beyond an atom name
  SetTraceReceiver(nullptr);

  WPARAM atom = 0;
  ASSERT_TRUE(viewer.Next(atom));
  ASSERT_NE(atom, 0u);
  EXPECT_EQ(AtomText(atom), "_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start\r\n");
  ASSERT_TRUE(viewer.Next(atom));
  EXPECT_EQ(atom, 0u);  // the atom table refused the long record; the message still came
  EXPECT_FALSE(viewer.Next(atom));
}

}  // namespace
