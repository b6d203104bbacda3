// The engine's only view of a serial port.
//
// Contract (every adapter: Win32, POSIX termios, simulated link):
//  - A port is open from the moment the factory returns it until Close() or destruction.
//  - Calls are blocking. Read() returns when `count` bytes arrived, when the gap between two bytes
//    exceeded ReadIntervalTimeout, or when ReadTotalTimeoutConstant ms passed since the read began,
//    whichever comes first; a short read is how a time-out shows and still returns true.
//  - Write() returns after all bytes went out or the write time-out passed; `written` tells how many.
//  - Every call returns false on a failure of the port itself; LastError() then holds the OS code
//    (GetLastError() on Win32, errno on POSIX, an adapter-chosen code on the simulated link).
//  - GetModemStatus() may be called from a second thread (the prompt's line watch) while the engine
//    thread is blocked elsewhere; adapters make that one call safe to overlap.
// No OS type appears here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Line settings: the fields of the Windows DCB that the engine reads and writes.
// Flags are kept as separate fields; the Win32 adapter packs them into the DCB's flag word.
struct SerialLineSettings {
  uint32_t BaudRate = 9600;
  uint32_t fBinary = 1;
  uint32_t fParity = 0;
  uint32_t fOutxCtsFlow = 0;
  uint32_t fOutxDsrFlow = 0;
  uint32_t fDtrControl = 0;      // 0 disable, 1 enable, 2 handshake
  uint32_t fDsrSensitivity = 0;
  uint32_t fTXContinueOnXoff = 0;
  uint32_t fOutX = 0;
  uint32_t fInX = 0;
  uint32_t fErrorChar = 0;
  uint32_t fNull = 0;
  uint32_t fRtsControl = 0;      // 0 disable, 1 enable, 2 handshake, 3 toggle
  uint32_t fAbortOnError = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;            // 0 none
  uint8_t StopBits = 0;          // 0 one stop bit
};

constexpr uint32_t kDtrControlEnable = 1;
constexpr uint32_t kRtsControlHandshake = 2;

// Time-outs in milliseconds, with the meaning of the Windows COMMTIMEOUTS.
struct SerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Modem status bit for CTS, as the Windows MS_CTS_ON.
constexpr uint32_t kModemStatusCtsOn = 0x10;

class ISerialPort {
 public:
  virtual ~ISerialPort() = default;

  // Queue sizes requested from the driver (SetupComm).
  virtual bool SetupQueues(uint32_t inputBytes, uint32_t outputBytes) = 0;
  virtual bool GetLineSettings(SerialLineSettings& settings) = 0;
  virtual bool SetLineSettings(const SerialLineSettings& settings) = 0;
  virtual bool GetTimeouts(SerialTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
  virtual bool Read(void* buffer, uint32_t count, uint32_t& received) = 0;
  virtual bool Write(const void* buffer, uint32_t count, uint32_t& written) = 0;
  // Clears the error state; reports bytes waiting in the input and the output queue.
  virtual bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) = 0;
  virtual bool GetModemStatus(uint32_t& status) = 0;
  // Pauses the calling thread; the engine uses it while it waits for the output queue to drain.
  // The simulated link advances its virtual clock instead of sleeping.
  virtual void PauseMs(uint32_t milliseconds) = 0;
  virtual void Close() = 0;
  virtual uint32_t LastError() const = 0;
};

// Opens ports by name ("COM1" on Windows, a device path on POSIX hosts). Exclusive and blocking.
// Returns null on failure with the OS code in `osError`.
class ISerialPortFactory {
 public:
  virtual ~ISerialPortFactory() = default;
  virtual std::unique_ptr<ISerialPort> Open(const std::string& name, uint32_t& osError) = 0;
};
