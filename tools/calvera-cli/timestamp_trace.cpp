#include "timestamp_trace.h"

#include <chrono>
#include <cstring>
#include <ctime>

CTimestampTraceReceiver::CTimestampTraceReceiver(const std::string& path)
    : stream_(std::fopen(path.c_str(), "ab")), owned_(true) {}

CTimestampTraceReceiver::~CTimestampTraceReceiver() {
  if (owned_ && stream_ != nullptr) std::fclose(stream_);
}

std::string CTimestampTraceReceiver::TimeColumn(long long epochMs) {
  const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
  std::tm local {};
  localtime_r(&seconds, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(epochMs % 1000));
  return text;
}

void CTimestampTraceReceiver::Deliver(const char* record) {
  if (stream_ == nullptr) return;
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
  std::string line = TimeColumn(now);
  line += '\t';
  line += record;
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fflush(stream_);
}
