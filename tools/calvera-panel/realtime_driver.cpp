#include "realtime_driver.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t SpeedConstant(uint32_t bps) {
  switch (bps) {
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

}  // namespace

bool SetRawLine(int fd, uint32_t bitsPerSecond) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, SpeedConstant(bitsPerSecond));
  cfsetospeed(&t, SpeedConstant(bitsPerSecond));
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

FdPanelWire::FdPanelWire(int fd, bool isPty) : fd_(fd), isPty_(isPty), start_(std::chrono::steady_clock::now()) {}

uint64_t FdPanelWire::NowUs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count());
}

void FdPanelWire::Send(const uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = write(fd_, data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) break;  // the other end does not take bytes: give up on this answer
    } else {
      writeFailed_ = true;
      break;
    }
  }
  uint64_t now = NowUs();
  if (idleAt_ < now) idleAt_ = now;
  idleAt_ += count * 10ull * 1000000ull / speed_;
}

uint64_t FdPanelWire::OutputIdleAtUs() {
  uint64_t now = NowUs();
  return idleAt_ > now ? idleAt_ : now;
}

void FdPanelWire::DiscardOutput() {
  if (!isPty_) tcflush(fd_, TCOFLUSH);
}

void FdPanelWire::SetSpeed(uint32_t bitsPerSecond) {
  speed_ = bitsPerSecond == 0 ? 9600 : bitsPerSecond;
  if (!isPty_) tcdrain(fd_);
  termios t{};
  if (tcgetattr(fd_, &t) == 0) {
    cfsetispeed(&t, SpeedConstant(speed_));
    cfsetospeed(&t, SpeedConstant(speed_));
    tcsetattr(fd_, TCSANOW, &t);
  }
}

void FdPanelWire::SetCts(bool on) {
  // The host's CTS is our RTS through a null-modem cable; a pseudo-terminal has no such line.
  if (isPty_) return;
  int bits = TIOCM_RTS;
  ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits);
}

void FdPanelWire::Schedule(uint64_t atUs, uint64_t token) { timers_.emplace(atUs, token); }

void FdPanelWire::CancelTimers() { timers_.clear(); }

uint64_t FdPanelWire::NextTimerUs() const {
  return timers_.empty() ? std::numeric_limits<uint64_t>::max() : timers_.begin()->first;
}

bool FdPanelWire::PopDueTimer(uint64_t now, uint64_t& token) {
  if (timers_.empty() || timers_.begin()->first > now) return false;
  token = timers_.begin()->second;
  timers_.erase(timers_.begin());
  return true;
}
