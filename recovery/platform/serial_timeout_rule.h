// The Windows COMMTIMEOUTS rules as plain arithmetic, for adapters that enforce them themselves.
//
// Read of `count` bytes (all times in ms):
//  - ReadIntervalTimeout = MAXDWORD with both totals 0: return at once with what is there.
//  - ReadIntervalTimeout = MAXDWORD, multiplier = MAXDWORD, 0 < constant < MAXDWORD: return as soon
//    as at least one byte is there; with none, wait up to the constant.
//  - otherwise the read ends when all bytes arrived; when multiplier * count + constant (if not 0)
//    passed since the read began; or, once a byte arrived, when no further byte came within
//    ReadIntervalTimeout (if not 0) of the previous one.
// Write of `count` bytes ends when all went out or WriteTotalTimeoutMultiplier * count +
// WriteTotalTimeoutConstant passed (0: no limit).
#pragma once

#include <cstdint>

#include "serial_port.h"

class ReadTimeoutRule {
 public:
  static constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
  static constexpr int64_t kNoLimit = -1;

  ReadTimeoutRule(const SerialTimeouts& timeouts, uint32_t count, uint64_t startMs)
      : count_(count), start_ms_(startMs) {
    const SerialTimeouts& t = timeouts;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
      at_once_ = true;
    } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
      first_byte_ends_ = true;
      total_ms_ = t.ReadTotalTimeoutConstant;
    } else {
      interval_ms_ = t.ReadIntervalTimeout;
      total_ms_ = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                  t.ReadTotalTimeoutConstant;
    }
  }

  // How long to wait for more bytes, seen at nowMs with `received` bytes so far (the last of them
  // at lastByteMs): 0 means the read is over, kNoLimit means wait without limit.
  int64_t WaitMs(uint32_t received, uint64_t lastByteMs, uint64_t nowMs) const {
    if (received >= count_ || at_once_) return 0;
    if (first_byte_ends_ && received > 0) return 0;
    int64_t wait = kNoLimit;
    if (total_ms_ != 0) wait = Remaining(start_ms_ + total_ms_, nowMs);
    if (interval_ms_ != 0 && received > 0) {
      int64_t gap = Remaining(lastByteMs + interval_ms_, nowMs);
      if (wait == kNoLimit || gap < wait) wait = gap;
    }
    return wait;
  }

 private:
  static int64_t Remaining(uint64_t deadline, uint64_t now) {
    return deadline > now ? static_cast<int64_t>(deadline - now) : 0;
  }

  uint32_t count_;
  uint64_t start_ms_;
  bool at_once_ = false;
  bool first_byte_ends_ = false;
  uint64_t total_ms_ = 0;
  uint32_t interval_ms_ = 0;
};

// Milliseconds a write of `count` bytes may take, or ReadTimeoutRule::kNoLimit.
inline int64_t WriteTimeLimitMs(const SerialTimeouts& t, uint32_t count) {
  uint64_t total = static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
  return total == 0 ? ReadTimeoutRule::kNoLimit : static_cast<int64_t>(total);
}
