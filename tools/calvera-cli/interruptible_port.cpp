#include "interruptible_port.h"

#include <cerrno>
#include <chrono>

#include "serial_timeout_rule.h"

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

CInterruptiblePort::CInterruptiblePort(std::unique_ptr<ISerialPort> port, PortWatch& watch, ModemLines lines)
    : port_(std::move(port)), watch_(watch), lines_(lines) {
  port_->GetTimeouts(timeouts_);
}

CInterruptiblePort::~CInterruptiblePort() { Close(); }

bool CInterruptiblePort::Interrupted() const { return watch_.interrupted != nullptr && *watch_.interrupted != 0; }

bool CInterruptiblePort::Fail(uint32_t error) {
  lastError_ = error;
  return false;
}

bool CInterruptiblePort::Pass(bool ok) {
  if (!ok) lastError_ = port_->LastError();
  return ok;
}

bool CInterruptiblePort::SetupQueues(uint32_t inputBytes, uint32_t outputBytes) {
  if (Interrupted()) return Fail(EINTR);
  return Pass(port_->SetupQueues(inputBytes, outputBytes));
}

bool CInterruptiblePort::GetLineSettings(SerialLineSettings& settings) {
  if (Interrupted()) return Fail(EINTR);
  return Pass(port_->GetLineSettings(settings));
}

bool CInterruptiblePort::SetLineSettings(const SerialLineSettings& settings) {
  if (Interrupted()) return Fail(EINTR);
  return Pass(port_->SetLineSettings(settings));
}

bool CInterruptiblePort::GetTimeouts(SerialTimeouts& timeouts) {
  if (Interrupted()) return Fail(EINTR);
  timeouts = timeouts_;
  return true;
}

bool CInterruptiblePort::SetTimeouts(const SerialTimeouts& timeouts) {
  if (Interrupted()) return Fail(EINTR);
  // The real port checks what it can (an open handle); the values stay here.
  if (!Pass(port_->SetTimeouts(timeouts))) return false;
  timeouts_ = timeouts;
  return true;
}

bool CInterruptiblePort::Read(void* buffer, uint32_t count, uint32_t& received) {
  received = 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const uint64_t start = NowMs();
  ReadTimeoutRule rule(timeouts_, count, start);
  uint64_t lastByte = start;
  for (;;) {
    if (Interrupted()) return Fail(EINTR);
    const int64_t wait = rule.WaitMs(received, lastByte, NowMs());
    if (wait == 0) return true;
    const uint32_t slice =
        wait == ReadTimeoutRule::kNoLimit || wait > static_cast<int64_t>(kSliceMs) ? kSliceMs : static_cast<uint32_t>(wait);
    // One slice: back as soon as at least one byte is there, or after `slice` ms without one.
    SerialTimeouts t = timeouts_;
    t.ReadIntervalTimeout = ReadTimeoutRule::kMaxDword;
    t.ReadTotalTimeoutMultiplier = ReadTimeoutRule::kMaxDword;
    t.ReadTotalTimeoutConstant = slice;
    if (!port_->SetTimeouts(t)) return Pass(false);
    uint32_t got = 0;
    const bool ok = port_->Read(out + received, count - received, got);
    port_->SetTimeouts(timeouts_);
    if (!ok) return Pass(false);
    if (got > 0) {
      received += got;
      lastByte = NowMs();
    }
  }
}

bool CInterruptiblePort::Write(const void* buffer, uint32_t count, uint32_t& written) {
  written = 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  const uint64_t start = NowMs();
  const int64_t limit = WriteTimeLimitMs(timeouts_, count);
  while (written < count) {
    if (Interrupted()) return Fail(EINTR);
    uint32_t slice = kSliceMs;
    if (limit != ReadTimeoutRule::kNoLimit) {
      const uint64_t elapsed = NowMs() - start;
      if (elapsed >= static_cast<uint64_t>(limit)) return Fail(ETIMEDOUT);
      const uint64_t left = static_cast<uint64_t>(limit) - elapsed;
      if (left < slice) slice = static_cast<uint32_t>(left);
    }
    SerialTimeouts t = timeouts_;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = slice;
    if (!port_->SetTimeouts(t)) return Pass(false);
    uint32_t moved = 0;
    const bool ok = port_->Write(in + written, count - written, moved);
    const uint32_t error = ok ? 0 : port_->LastError();
    port_->SetTimeouts(timeouts_);
    if (moved != 0 && watch_.onWritten) watch_.onWritten(in + written, moved);
    written += moved;
    if (!ok && error != ETIMEDOUT) return Fail(error);
  }
  return true;
}

bool CInterruptiblePort::ClearError(uint32_t& inputQueue, uint32_t& outputQueue) {
  inputQueue = outputQueue = 0;
  if (Interrupted()) return Fail(EINTR);
  return Pass(port_->ClearError(inputQueue, outputQueue));
}

bool CInterruptiblePort::GetModemStatus(uint32_t& status) {
  status = 0;
  if (Interrupted()) return Fail(EINTR);
  switch (lines_) {
    case ModemLines::kAssumeOn:
      status = kModemStatusCtsOn;
      return true;
    case ModemLines::kAssumeOff:
      return true;
    case ModemLines::kFromPort:
      break;
  }
  if (port_->GetModemStatus(status)) return true;
  watch_.modemStatusFailed = true;
  return Pass(false);
}

void CInterruptiblePort::PauseMs(uint32_t milliseconds) {
  if (!Interrupted()) port_->PauseMs(milliseconds);
}

void CInterruptiblePort::Close() {
  if (port_) port_->Close();
}

uint32_t CInterruptiblePort::LastError() const { return lastError_; }

std::unique_ptr<ISerialPort> CInterruptiblePortFactory::Open(const std::string& name, uint32_t& osError) {
  std::unique_ptr<ISerialPort> port = system_->Open(name, osError);
  if (!port) return nullptr;
  return std::unique_ptr<ISerialPort>(new CInterruptiblePort(std::move(port), watch_, lines_));
}
