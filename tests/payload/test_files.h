// Helpers for the payload tests: a scratch folder below the current directory (portable, so the
// same tests run under Wine), whole-file writes, deterministic data and a trace capture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "trace.h"

using Bytes = std::vector<uint8_t>;

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string Path(const std::string& file) const;

 private:
  std::filesystem::path dir_;
};

// "Suite_Test" of the running GoogleTest case: a scratch folder name unique across the test programs.
std::string CurrentTestName();

void WriteBytes(const std::string& path, const Bytes& data);
Bytes ReadBytes(const std::string& path);
Bytes FromHex(const std::string& hex);  // "01 61 EE" -> bytes; spaces ignored
Bytes FromText(const std::string& text);

// Deterministic data for banks.
Bytes RandomBytes(size_t size, uint32_t seed);
// Code-like bytes, strings, tables and zero padding in runs.
Bytes FirmwareLikeBytes(size_t size, uint32_t seed);

// Collects trace records while it is installed.
class TraceCapture : public ITraceReceiver {
 public:
  TraceCapture() { SetTraceReceiver(this); }
  ~TraceCapture() override { SetTraceReceiver(nullptr); }
  bool IsListening() override { return true; }
  void Deliver(const char* record) override { records.emplace_back(record); }
  std::vector<std::string> records;
};
