// The trace viewer as a receiver (Windows only): each record becomes a global atom posted as
// message 1025 (wParam the atom, lParam 0) to the top-level window of class "_QTVIEW_EXE_MUTEX_".
// The window is looked up on every call and no handle is kept; the viewer releases the atoms.
// A record the atom table refuses (longer than 255 characters, or a full table) is still posted,
// with wParam 0.
#pragma once

#include "trace.h"

constexpr unsigned kTraceViewerMessage = 1025;  // WM_USER + 1
extern const char kTraceViewerClass[];           // "_QTVIEW_EXE_MUTEX_"

class CViewerTraceReceiver : public ITraceReceiver {
 public:
  bool IsListening() override;
  void Deliver(const char* record) override;
};
