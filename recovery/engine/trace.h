// Process-wide trace channel. Records are "_QTRACE_ID_<id>:" + text + "\r\n" and go to one receiver:
// the Win32 viewer window (atom + posted message), a file or stderr in the host tools, a capture in
// tests. With no receiver, or one that reports nobody listening, nothing is formatted.
#pragma once

#include <cstddef>

constexpr int kTraceChannel = 128;
constexpr int kTraceId = 40000;
// Size of the text buffer and of the record buffer, terminator included.
constexpr size_t kTraceBufferSize = 512;

class ITraceReceiver {
 public:
  virtual ~ITraceReceiver() = default;
  // Asked on every call before anything is formatted (the Win32 receiver looks for the viewer here).
  virtual bool IsListening() = 0;
  // One whole record, NUL-terminated, at most kTraceBufferSize - 1 characters.
  virtual void Deliver(const char* record) = 0;
};

// Installs the process-wide receiver (null: none). The caller keeps ownership and must uninstall
// before destroying it. Safe to call from any thread.
void SetTraceReceiver(ITraceReceiver* receiver);
ITraceReceiver* GetTraceReceiver();

// printf-style. Only the low 16 bits of channelMask count; all zero means no record.
// Text that would not fit the 512-byte buffers is cut so that the record still ends in "\r\n".
void TraceOut(int channelMask, int traceId, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
