#include <windows.h>

#include "trace_receiver_win32.h"

const char kTraceViewerClass[] = "_QTVIEW_EXE_MUTEX_";

bool CViewerTraceReceiver::IsListening() { return FindWindowA(kTraceViewerClass, nullptr) != nullptr; }

void CViewerTraceReceiver::Deliver(const char* record) {
  HWND viewer = FindWindowA(kTraceViewerClass, nullptr);
  if (viewer == nullptr) return;
  ATOM atom = GlobalAddAtomA(record);
  PostMessageA(viewer, kTraceViewerMessage, static_cast<WPARAM>(atom), 0);
}
