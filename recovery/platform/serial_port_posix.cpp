// Serial ports on POSIX hosts (termios), with the Windows behaviour the engine relies on.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "serial_port_system.h"
#include "serial_timeout_rule.h"

namespace {

struct SpeedEntry {
  uint32_t bps;
  speed_t code;
};

// Speeds the adapter sets. Reading also recognises a few others a port may have been left at.
const SpeedEntry kSettableSpeeds[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
const SpeedEntry kKnownSpeeds[] = {{1200, B1200},     {2400, B2400},   {4800, B4800},
                                   {9600, B9600},     {19200, B19200}, {38400, B38400},
                                   {57600, B57600},   {115200, B115200}, {230400, B230400}};

uint64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int PollMs(int64_t waitMs) {
  if (waitMs < 0) return -1;
  if (waitMs > 0x7FFFFFFF) return 0x7FFFFFFF;
  return static_cast<int>(waitMs);
}

class PosixSerialPort : public ISerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  ~PosixSerialPort() override { Close(); }

  bool SetupQueues(uint32_t, uint32_t) override {
    if (fd_ < 0) return Fail(EBADF);
    return true;
  }

  bool GetLineSettings(SerialLineSettings& settings) override {
    termios tio;
    if (fd_ < 0) return Fail(EBADF);
    if (tcgetattr(fd_, &tio) != 0) return Fail(errno);
    settings = cached_;
    settings.BaudRate = 0;
    speed_t code = cfgetospeed(&tio);
    for (const SpeedEntry& e : kKnownSpeeds)
      if (e.code == code) settings.BaudRate = e.bps;
    switch (tio.c_cflag & CSIZE) {
      case CS5: settings.ByteSize = 5; break;
      case CS6: settings.ByteSize = 6; break;
      case CS7: settings.ByteSize = 7; break;
      default: settings.ByteSize = 8; break;
    }
    settings.Parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    settings.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    settings.fBinary = 1;
    settings.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    settings.fOutxCtsFlow = rtscts ? 1 : 0;
    if (rtscts) settings.fRtsControl = 2;
    else if (settings.fRtsControl == 2) settings.fRtsControl = 1;
    settings.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    settings.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    return true;
  }

  bool SetLineSettings(const SerialLineSettings& s) override {
    termios tio;
    if (fd_ < 0) return Fail(EBADF);
    if (tcgetattr(fd_, &tio) != 0) return Fail(errno);
    speed_t code = 0;
    bool known = false;
    for (const SpeedEntry& e : kSettableSpeeds) {
      if (e.bps == s.BaudRate) {
        code = e.code;
        known = true;
      }
    }
    if (!known || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 2 || s.StopBits == 1 || s.StopBits > 2)
      return Fail(EINVAL);

    // Raw bytes: no line editing, echo, signals, translation or output processing.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[s.ByteSize - 5];
    if (s.Parity != 0) tio.c_cflag |= PARENB | (s.Parity == 1 ? PARODD : 0);
    if (s.StopBits == 2) tio.c_cflag |= CSTOPB;
    if (s.fOutxCtsFlow || s.fRtsControl == 2) tio.c_cflag |= CRTSCTS;
    if (s.fOutX) tio.c_iflag |= IXON;
    if (s.fInX) tio.c_iflag |= IXOFF;
    if (s.fParity && s.Parity != 0) tio.c_iflag |= INPCK;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail(errno);

    // DTR as asked; a pseudo-terminal has no modem lines, which is not an error here.
    int dtr = TIOCM_DTR;
    if (s.fDtrControl == 1) ioctl(fd_, TIOCMBIS, &dtr);
    else if (s.fDtrControl == 0) ioctl(fd_, TIOCMBIC, &dtr);
    cached_ = s;
    return true;
  }

  bool GetTimeouts(SerialTimeouts& timeouts) override {
    if (fd_ < 0) return Fail(EBADF);
    timeouts = timeouts_;
    return true;
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    if (fd_ < 0) return Fail(EBADF);
    timeouts_ = timeouts;
    return true;
  }

  bool Read(void* buffer, uint32_t count, uint32_t& received) override {
    received = 0;
    if (fd_ < 0) return Fail(EBADF);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t start = NowMs();
    ReadTimeoutRule rule(timeouts_, count, start);
    uint64_t lastByte = start;
    bool hungUp = false;
    for (;;) {
      if (received < count) {
        ssize_t n = read(fd_, out + received, count - received);
        if (n > 0) {
          received += static_cast<uint32_t>(n);
          lastByte = NowMs();
          continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Fail(errno);
        if (hungUp) return Fail(EIO);  // the other end is gone and nothing is left to read
      }
      int64_t wait = rule.WaitMs(received, lastByte, NowMs());
      if (wait == 0) return true;
      pollfd p = {fd_, POLLIN, 0};
      int ready = poll(&p, 1, PollMs(wait));
      if (ready < 0 && errno != EINTR) return Fail(errno);
      if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hungUp = true;
    }
  }

  bool Write(const void* buffer, uint32_t count, uint32_t& written) override {
    written = 0;
    if (fd_ < 0) return Fail(EBADF);
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    const uint64_t start = NowMs();
    const int64_t limit = WriteTimeLimitMs(timeouts_, count);
    while (written < count) {
      ssize_t n = write(fd_, in + written, count - written);
      if (n > 0) {
        written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Fail(errno);
      int64_t wait = ReadTimeoutRule::kNoLimit;
      if (limit != ReadTimeoutRule::kNoLimit) {
        uint64_t elapsed = NowMs() - start;
        if (elapsed >= static_cast<uint64_t>(limit)) return Fail(ETIMEDOUT);
        wait = limit - static_cast<int64_t>(elapsed);
      }
      pollfd p = {fd_, POLLOUT, 0};
      int ready = poll(&p, 1, PollMs(wait));
      if (ready < 0 && errno != EINTR) return Fail(errno);
      if (ready > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return Fail(EIO);
    }
    return true;
  }

  bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) override {
    inputQueue = outputQueue = 0;
    if (fd_ < 0) return Fail(EBADF);
    int in = 0;
    int out = 0;
    if (ioctl(fd_, FIONREAD, &in) != 0) return Fail(errno);
    if (ioctl(fd_, TIOCOUTQ, &out) != 0) return Fail(errno);
    inputQueue = in > 0 ? static_cast<uint32_t>(in) : 0;
    outputQueue = out > 0 ? static_cast<uint32_t>(out) : 0;
    return true;
  }

  bool GetModemStatus(uint32_t& status) override {
    status = 0;
    int fd = fd_;
    if (fd < 0) return Fail(EBADF);
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return Fail(errno);
    if (lines & TIOCM_CTS) status |= kModemStatusCtsOn;
    if (lines & TIOCM_DSR) status |= 0x20;
    if (lines & TIOCM_RI) status |= 0x40;
    if (lines & TIOCM_CD) status |= 0x80;
    return true;
  }

  void PauseMs(uint32_t milliseconds) override {
    timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  void Close() override {
    int fd = fd_.exchange(-1);
    if (fd >= 0) {
      ioctl(fd, TIOCNXCL);
      close(fd);
    }
  }

  uint32_t LastError() const override { return last_error_; }

 private:
  bool Fail(int error) {
    last_error_ = static_cast<uint32_t>(error);
    return false;
  }

  // The line watch of a prompt reads the modem status from another thread: these two may be
  // touched from both.
  std::atomic<int> fd_;
  std::atomic<uint32_t> last_error_{0};
  SerialTimeouts timeouts_;
  SerialLineSettings cached_;
};

std::string DevicePath(const std::string& name) {
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm')) {
    char* end = nullptr;
    long number = std::strtol(name.c_str() + 3, &end, 10);
    if (end != nullptr && *end == '\0' && number >= 1 && number <= 256)
      return "/dev/ttyS" + std::to_string(number - 1);
  }
  return name;
}

class PosixSerialPortFactory : public ISerialPortFactory {
 public:
  std::unique_ptr<ISerialPort> Open(const std::string& name, uint32_t& osError) override {
    osError = 0;
    std::string path = DevicePath(name);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      osError = static_cast<uint32_t>(errno);
      return nullptr;
    }
    termios tio;
    int error = 0;
    if (tcgetattr(fd, &tio) != 0) error = errno;                        // not a terminal
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0) error = EBUSY;          // another of ours has it
    else if (ioctl(fd, TIOCEXCL) != 0) error = errno;                   // no further opens
    if (error != 0) {
      close(fd);
      osError = static_cast<uint32_t>(error);
      return nullptr;
    }
    return std::unique_ptr<ISerialPort>(new PosixSerialPort(fd));
  }
};

}  // namespace

std::unique_ptr<ISerialPortFactory> MakeSystemSerialPortFactory() {
  return std::unique_ptr<ISerialPortFactory>(new PosixSerialPortFactory());
}
