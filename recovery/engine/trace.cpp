#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<ITraceReceiver*> g_receiver{nullptr};
}

void SetTraceReceiver(ITraceReceiver* receiver) { g_receiver.store(receiver); }

ITraceReceiver* GetTraceReceiver() { return g_receiver.load(); }

void TraceOut(int channelMask, int traceId, const char* format, ...) {
  if ((channelMask & 0xFFFF) == 0) return;
  ITraceReceiver* receiver = g_receiver.load();
  if (receiver == nullptr || !receiver->IsListening()) return;

  char text[kTraceBufferSize];
  char record[kTraceBufferSize];
  std::memset(text, 0, sizeof text);
  std::memset(record, 0, sizeof record);

  int prefixLength = std::snprintf(record, sizeof record, "_QTRACE_ID_%d:", traceId);
  if (prefixLength < 0) return;
  // Room for the text: both buffers must still hold "\r\n" and the terminator.
  size_t roomInText = sizeof text - 3;
  size_t roomInRecord = sizeof record - 3 - static_cast<size_t>(prefixLength);
  size_t limit = roomInText < roomInRecord ? roomInText : roomInRecord;

  va_list args;
  va_start(args, format);
  std::vsnprintf(text, limit + 1, format, args);
  va_end(args);

  size_t textLength = std::strlen(text);
  text[textLength] = '\r';
  text[textLength + 1] = '\n';
  std::memcpy(record + prefixLength, text, textLength + 2);
  receiver->Deliver(record);
}
