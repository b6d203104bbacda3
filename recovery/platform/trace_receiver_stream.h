// A trace receiver for the host tools: every record goes to a stdio stream (stderr) or a file,
// as one line ending in CR LF, written in one call so that records from several threads do not mix.
#pragma once

#include <cstdio>
#include <string>

#include "trace.h"

class CStreamTraceReceiver : public ITraceReceiver {
 public:
  // Writes to `stream`, which stays the caller's (e.g. stderr).
  explicit CStreamTraceReceiver(std::FILE* stream) : stream_(stream) {}
  // Appends to the file at `path`; IsOpen() tells whether it could be opened.
  explicit CStreamTraceReceiver(const std::string& path);
  ~CStreamTraceReceiver() override;
  CStreamTraceReceiver(const CStreamTraceReceiver&) = delete;
  CStreamTraceReceiver& operator=(const CStreamTraceReceiver&) = delete;

  bool IsOpen() const { return stream_ != nullptr; }
  bool IsListening() override { return stream_ != nullptr; }
  void Deliver(const char* record) override;

 private:
  std::FILE* stream_ = nullptr;
  bool owned_ = false;
};
