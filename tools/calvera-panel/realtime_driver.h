// Real-time driver of the virtual panel over a file descriptor (serial device or pseudo-terminal
// master): a poll loop feeds received bytes to the panel and fires its timers on the wall clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "virtual_panel.h"

class FdPanelWire : public IPanelWire {
 public:
  // `isPty`: the line has no modem lines; CTS is then only logical.
  FdPanelWire(int fd, bool isPty);

  uint64_t NowUs() override;
  void Send(const uint8_t* data, size_t count) override;
  uint64_t OutputIdleAtUs() override;
  void DiscardOutput() override;
  void SetSpeed(uint32_t bitsPerSecond) override;
  void SetCts(bool on) override;
  void Schedule(uint64_t atUs, uint64_t token) override;
  void CancelTimers() override;
  std::recursive_mutex& mutex() override { return mutex_; }

  // Time of the earliest timer (UINT64_MAX when none); pops and returns due tokens one by one.
  uint64_t NextTimerUs() const;
  bool PopDueTimer(uint64_t now, uint64_t& token);
  bool WriteFailed() const { return writeFailed_; }

 private:
  int fd_;
  bool isPty_;
  std::chrono::steady_clock::time_point start_;
  uint32_t speed_ = 9600;
  uint64_t idleAt_ = 0;
  bool writeFailed_ = false;
  std::multimap<uint64_t, uint64_t> timers_;
  std::recursive_mutex mutex_;
};

// Puts a terminal into raw 8N1 at `bitsPerSecond` without flow control. False on failure.
bool SetRawLine(int fd, uint32_t bitsPerSecond);
