// Helpers shared by the engine tests: a trace capture, a recording dialog bridge, a scripted port.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "dialog_bridge.h"
#include "serial_port.h"
#include "trace.h"

// Installs itself as the trace receiver for its lifetime and keeps every record.
class TraceCapture : public ITraceReceiver {
 public:
  TraceCapture() { SetTraceReceiver(this); }
  ~TraceCapture() override { SetTraceReceiver(nullptr); }

  bool IsListening() override {
    ++listeningAsked;
    return listening;
  }
  void Deliver(const char* record) override {
    ++delivered;
    records.push_back(record);
  }

  // The texts without the "_QTRACE_ID_40000:" prefix and the CR LF.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    const std::string prefix = "_QTRACE_ID_40000:";
    for (const std::string& r : records) {
      std::string t = r;
      if (t.compare(0, prefix.size(), prefix) == 0) t = t.substr(prefix.size());
      if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0) t.resize(t.size() - 2);
      texts.push_back(t);
    }
    return texts;
  }
  bool Has(const std::string& text) const {
    for (const std::string& t : Texts())
      if (t == text) return true;
    return false;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const std::string& t : Texts())
      if (t == text) ++n;
    return n;
  }

  bool listening = true;
  int listeningAsked = 0;
  int delivered = 0;
  std::vector<std::string> records;
};

// A dialog that keeps the log box text and every call in order.
class RecordingBridge : public IDialogBridge {
 public:
  void AppendLog(const char* text) override {
    log += text;
    calls.push_back(std::string("append:") + text);
    ++appends;
  }
  void TrimLog(int count) override {
    log.resize(static_cast<size_t>(count) > log.size() ? 0 : log.size() - static_cast<size_t>(count));
    calls.push_back("trim:" + std::to_string(count));
  }
  void EnableCloseButton(int flag) override { calls.push_back("close:" + std::to_string(flag)); }
  std::string GetPortBoxText() override { return portText; }
  std::string GetSpeedBoxText() override { return speedText; }
  void SetPromptPort(ISerialPort* port) override {
    calls.push_back(port != nullptr ? "promptport:set" : "promptport:null");
  }
  int PromptPowerOff() override {
    calls.push_back("prompt:off");
    return promptResult;
  }
  int PromptConnect() override {
    calls.push_back("prompt:connect");
    return promptResult;
  }
  int ResolveImageFiles(const char* machineId, std::string& iloader, std::string& osCore) override {
    calls.push_back(std::string("resolve:") + machineId);
    if (resolveResult == 0) {
      iloader = "IL.bin";
      osCore = "OS.bin";
    }
    return resolveResult;
  }

  // Log lines of the calls so far (the dots included).
  int CountCalls(const std::string& call) const {
    int n = 0;
    for (const std::string& c : calls)
      if (c == call) ++n;
    return n;
  }

  std::string log;
  std::vector<std::string> calls;
  int appends = 0;
  std::string portText = "COM3";
  std::string speedText = "115200";
  int promptResult = 1;
  int resolveResult = 0;
};

// A port whose every answer the test decides. Reads take what is queued (fewer bytes than asked
// is how a time-out shows); writes succeed unless a scripted result says otherwise.
class ScriptedPort : public ISerialPort {
 public:
  struct WriteResult {
    bool ok;
    int32_t moved;  // bytes the driver takes; -1 for all
  };

  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool GetLineSettings(SerialLineSettings& s) override {
    s = settings;
    return true;
  }
  bool SetLineSettings(const SerialLineSettings& s) override {
    settings = s;
    return true;
  }
  bool GetTimeouts(SerialTimeouts& t) override {
    t = timeouts;
    return true;
  }
  bool SetTimeouts(const SerialTimeouts& t) override {
    timeouts = t;
    return true;
  }
  bool Read(void* buffer, uint32_t count, uint32_t& received) override {
    ++reads;
    received = 0;
    if (readFails) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (received < count && !input.empty()) {
      out[received++] = input.front();
      input.pop_front();
    }
    return true;
  }
  bool Write(const void* buffer, uint32_t count, uint32_t& written) override {
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    WriteResult r{true, -1};
    if (!writeResults.empty()) {
      r = writeResults.front();
      writeResults.pop_front();
    }
    written = r.moved < 0 ? count : static_cast<uint32_t>(r.moved);
    writeSizes.push_back(count);
    sent.insert(sent.end(), in, in + written);
    if (onWrite) onWrite(std::vector<uint8_t>(in, in + written));
    return r.ok;
  }
  bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) override {
    ++clearErrors;
    inputQueue = static_cast<uint32_t>(input.size()) + phantomInput;
    outputQueue = 0;
    if (pendingOutputChecks > 0) {
      --pendingOutputChecks;
      outputQueue = 1;
    }
    if (outputNeverDrains) outputQueue = 7;
    return !clearErrorFails;
  }
  bool GetModemStatus(uint32_t& status) override {
    status = modemStatus;
    return !modemStatusFails;
  }
  void PauseMs(uint32_t milliseconds) override {
    ++pauses;
    pausedMs += milliseconds;
  }
  void Close() override {}
  uint32_t LastError() const override { return 0; }

  void Queue(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

  SerialLineSettings settings;
  SerialTimeouts timeouts;
  std::deque<uint8_t> input;
  std::deque<WriteResult> writeResults;
  std::function<void(const std::vector<uint8_t>&)> onWrite;
  std::vector<uint8_t> sent;
  std::vector<uint32_t> writeSizes;
  bool readFails = false;
  bool clearErrorFails = false;
  bool outputNeverDrains = false;
  int pendingOutputChecks = 0;   // ClearError reports a busy output queue this many times
  uint32_t phantomInput = 0;     // input bytes ClearError reports that no read can fetch
  bool modemStatusFails = false;
  uint32_t modemStatus = 0;
  int reads = 0;
  int clearErrors = 0;
  int pauses = 0;
  uint64_t pausedMs = 0;
};

inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

