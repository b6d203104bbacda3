#include "trace_receiver_stream.h"

#include <cstring>

CStreamTraceReceiver::CStreamTraceReceiver(const std::string& path)
    : stream_(std::fopen(path.c_str(), "ab")), owned_(true) {}

CStreamTraceReceiver::~CStreamTraceReceiver() {
  if (owned_ && stream_ != nullptr) std::fclose(stream_);
}

void CStreamTraceReceiver::Deliver(const char* record) {
  if (stream_ == nullptr) return;
  std::fwrite(record, 1, std::strlen(record), stream_);
  std::fflush(stream_);
}
