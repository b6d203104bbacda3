// calvera-cli's trace receiver: each record on one line with the local time it was written in
// front, "YYYY-MM-DD HH:MM:SS.mmm<TAB>" + the record unchanged (it ends in CR LF), in one write so
// that records do not mix.
#pragma once

#include <cstdio>
#include <string>

#include "trace.h"

class CTimestampTraceReceiver : public ITraceReceiver {
 public:
  explicit CTimestampTraceReceiver(std::FILE* stream) : stream_(stream) {}  // stays the caller's
  explicit CTimestampTraceReceiver(const std::string& path);                // appends to the file
  ~CTimestampTraceReceiver() override;
  CTimestampTraceReceiver(const CTimestampTraceReceiver&) = delete;
  CTimestampTraceReceiver& operator=(const CTimestampTraceReceiver&) = delete;

  bool IsOpen() const { return stream_ != nullptr; }
  bool IsListening() override { return stream_ != nullptr; }
  void Deliver(const char* record) override;

  // "YYYY-MM-DD HH:MM:SS.mmm" of a time in milliseconds since the epoch, in local time.
  static std::string TimeColumn(long long epochMs);

 private:
  std::FILE* stream_ = nullptr;
  bool owned_ = false;
};
