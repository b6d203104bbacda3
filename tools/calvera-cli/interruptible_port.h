// A serial port that an interrupt (Ctrl-C) can stop at any time. It wraps the system port and
// keeps the engine's time-outs itself: reads and writes go to the system port in slices of at most
// kSliceMs, so the interrupt flag is looked at several times a second even while the engine waits
// 30 seconds for an answer. Once the flag is set, every call on the port fails (EINTR), so the run
// ends as a failure through the engine's own error paths, and the port is closed as usual.
//
// Modem lines. In the cts mode the status comes from the port. In the enter and none modes the
// lines are not consulted at all (the port may have none): the status read answers "CTS on" for
// enter, so that both prompts are shown, and "CTS off" for none, so that the target counts as
// already switched off and only the connect step (answered at once) remains.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial_port.h"

enum class ModemLines { kFromPort, kAssumeOn, kAssumeOff };

// What the ports of one run share with the program.
struct PortWatch {
  const volatile std::sig_atomic_t* interrupted = nullptr;
  std::atomic<bool> modemStatusFailed{false};  // a status read of the real port failed
  // Told of the bytes each write moved, in order, on the thread that writes (for the status line).
  std::function<void(const uint8_t* data, uint32_t count)> onWritten;
};

class CInterruptiblePort : public ISerialPort {
 public:
  static constexpr uint32_t kSliceMs = 100;

  CInterruptiblePort(std::unique_ptr<ISerialPort> port, PortWatch& watch, ModemLines lines);
  ~CInterruptiblePort() override;

  bool SetupQueues(uint32_t inputBytes, uint32_t outputBytes) override;
  bool GetLineSettings(SerialLineSettings& settings) override;
  bool SetLineSettings(const SerialLineSettings& settings) override;
  bool GetTimeouts(SerialTimeouts& timeouts) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  bool Read(void* buffer, uint32_t count, uint32_t& received) override;
  bool Write(const void* buffer, uint32_t count, uint32_t& written) override;
  bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) override;
  bool GetModemStatus(uint32_t& status) override;
  void PauseMs(uint32_t milliseconds) override;
  void Close() override;
  uint32_t LastError() const override;

 private:
  bool Interrupted() const;
  bool Fail(uint32_t error);
  bool Pass(bool ok);

  std::unique_ptr<ISerialPort> port_;
  PortWatch& watch_;
  ModemLines lines_;
  SerialTimeouts timeouts_;  // as the engine set them
  uint32_t lastError_ = 0;
};

// Opens system ports and wraps each in a CInterruptiblePort.
class CInterruptiblePortFactory : public ISerialPortFactory {
 public:
  CInterruptiblePortFactory(std::unique_ptr<ISerialPortFactory> system, PortWatch& watch, ModemLines lines)
      : system_(std::move(system)), watch_(watch), lines_(lines) {}
  std::unique_ptr<ISerialPort> Open(const std::string& name, uint32_t& osError) override;

 private:
  std::unique_ptr<ISerialPortFactory> system_;
  PortWatch& watch_;
  ModemLines lines_;
};
