// Serial ports on Windows: a thin layer over the communications calls.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "dcb_flags.h"
#include "serial_port_system.h"

namespace {

// The flag word follows DCBlength and BaudRate.
constexpr size_t kDcbFlagWordOffset = 8;
static_assert(offsetof(DCB, wReserved) == kDcbFlagWordOffset + 4, "DCB layout");

uint32_t FlagWord(const DCB& dcb) {
  uint32_t word;
  std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + kDcbFlagWordOffset, sizeof word);
  return word;
}

void SetFlagWord(DCB& dcb, uint32_t word) {
  std::memcpy(reinterpret_cast<char*>(&dcb) + kDcbFlagWordOffset, &word, sizeof word);
}

class Win32SerialPort : public ISerialPort {
 public:
  explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
  ~Win32SerialPort() override { Close(); }

  bool SetupQueues(uint32_t inputBytes, uint32_t outputBytes) override {
    return Check(SetupComm(handle_, inputBytes, outputBytes));
  }

  bool GetLineSettings(SerialLineSettings& s) override {
    DCB dcb;
    if (!ReadDcb(dcb)) return false;
    s.BaudRate = dcb.BaudRate;
    UnpackDcbFlags(FlagWord(dcb), s);
    s.ByteSize = dcb.ByteSize;
    s.Parity = dcb.Parity;
    s.StopBits = dcb.StopBits;
    return true;
  }

  bool SetLineSettings(const SerialLineSettings& s) override {
    // Fields the settings do not carry keep what the port holds now.
    DCB dcb;
    if (!ReadDcb(dcb)) return false;
    dcb.BaudRate = s.BaudRate;
    SetFlagWord(dcb, PackDcbFlags(s, FlagWord(dcb)));
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    return Check(SetCommState(handle_, &dcb));
  }

  bool GetTimeouts(SerialTimeouts& t) override {
    COMMTIMEOUTS ct;
    if (!Check(GetCommTimeouts(handle_, &ct))) return false;
    t.ReadIntervalTimeout = ct.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
    return true;
  }

  bool SetTimeouts(const SerialTimeouts& t) override {
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return Check(SetCommTimeouts(handle_, &ct));
  }

  bool Read(void* buffer, uint32_t count, uint32_t& received) override {
    DWORD got = 0;
    BOOL ok = ReadFile(handle_, buffer, count, &got, nullptr);
    received = got;
    return Check(ok);
  }

  bool Write(const void* buffer, uint32_t count, uint32_t& written) override {
    DWORD put = 0;
    BOOL ok = WriteFile(handle_, buffer, count, &put, nullptr);
    written = put;
    return Check(ok);
  }

  bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) override {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    BOOL ok = ClearCommError(handle_, &errors, &stat);
    inputQueue = stat.cbInQue;
    outputQueue = stat.cbOutQue;
    return Check(ok);
  }

  bool GetModemStatus(uint32_t& status) override {
    DWORD lines = 0;
    BOOL ok = GetCommModemStatus(handle_, &lines);
    status = lines;
    return Check(ok);
  }

  void PauseMs(uint32_t milliseconds) override { Sleep(milliseconds); }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }

  uint32_t LastError() const override { return last_error_; }

 private:
  bool ReadDcb(DCB& dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return Check(GetCommState(handle_, &dcb));
  }

  bool Check(BOOL ok) {
    if (!ok) last_error_ = GetLastError();
    return ok != FALSE;
  }

  HANDLE handle_;
  std::atomic<uint32_t> last_error_{0};  // the prompt's line watch may set it too
};

class Win32SerialPortFactory : public ISerialPortFactory {
 public:
  std::unique_ptr<ISerialPort> Open(const std::string& name, uint32_t& osError) override {
    osError = 0;
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      osError = GetLastError();
      return nullptr;
    }
    return std::unique_ptr<ISerialPort>(new Win32SerialPort(handle));
  }
};

}  // namespace

std::unique_ptr<ISerialPortFactory> MakeSystemSerialPortFactory() {
  return std::unique_ptr<ISerialPortFactory>(new Win32SerialPortFactory());
}
