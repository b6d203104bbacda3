// Simulated RS-232 link: a discrete-event model on a virtual clock (see sim_link.h).
#include "sim_link.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <thread>
#include <utility>

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

// Error codes the simulated port reports (the Windows values, so traces read the same).
constexpr uint32_t kErrFileNotFound = 2;
constexpr uint32_t kErrAccessDenied = 5;
constexpr uint32_t kErrInvalidHandle = 6;
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrNotSupported = 50;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrTimeout = 1460;

// Windows gives a driver 4096-byte queues until SetupComm asks for others.
constexpr uint32_t kDefaultQueueBytes = 4096;

uint64_t ByteTimeUs(uint32_t baud) {
  if (baud == 0) return kNever;
  return (uint64_t{kBitsPerByte} * 1000000u + baud - 1) / baud;
}

// What a receiver set to another speed makes of a byte: a different, deterministic value.
uint8_t Garble(uint8_t b) {
  uint8_t g = static_cast<uint8_t>((b ^ 0xA5u) + 0x11u);
  if (g == b) g = static_cast<uint8_t>(~b);
  return g;
}

uint64_t AddSat(uint64_t a, uint64_t b) { return (a > kNever - b) ? kNever : a + b; }

}  // namespace

struct SimLink::Impl {
  explicit Impl(VirtualClock& c) : clock(c) {}

  VirtualClock& clock;
  mutable std::recursive_mutex mu;
  std::condition_variable_any changed;  // other threads changed something (paced mode)
  uint64_t changeCount = 0;

  SimLinkFaults faults;
  ISimTarget* target = nullptr;
  bool hostOpen = false;
  bool cablePulled = false;
  bool cts = false;

  SerialLineSettings line;
  SerialTimeouts timeouts;
  uint32_t inputQueueLimit = kDefaultQueueBytes;
  uint32_t targetBaud = 9600;

  // Host -> target.
  std::deque<uint8_t> hostOut;
  bool hostTxBusy = false;
  uint8_t hostTxByte = 0;
  uint32_t hostTxBaud = 0;
  uint64_t hostTxEnd = 0;

  // Target -> host.
  std::deque<uint8_t> targetOut;
  bool targetTxBusy = false;
  uint8_t targetTxByte = 0;
  uint32_t targetTxBaud = 0;
  uint64_t targetTxEnd = 0;

  std::deque<uint8_t> hostIn;

  // Timers: (time, sequence) -> token; the sequence keeps equal times in scheduling order.
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> timers;
  uint64_t timerSeq = 0;

  uint64_t bytesH2T = 0;
  uint64_t bytesT2H = 0;
  uint64_t overruns = 0;
  std::vector<uint8_t> hostWritten;

  // Pacing.
  double pacingScale = 0.0;
  bool pacingAnchored = false;
  std::chrono::steady_clock::time_point wallAnchor;
  uint64_t virtAnchor = 0;

  bool CtsSeenByHost() const { return cts && !cablePulled; }

  void Notify() {
    ++changeCount;
    changed.notify_all();
  }

  // Starts the next byte on each transmitter that is idle and allowed to send.
  void Kick() {
    uint64_t now = clock.NowUs();
    if (!hostTxBusy && !hostOut.empty() && hostOpen && (line.fOutxCtsFlow == 0 || CtsSeenByHost())) {
      hostTxByte = hostOut.front();
      hostOut.pop_front();
      hostWritten.push_back(hostTxByte);
      hostTxBusy = true;
      hostTxBaud = line.BaudRate;
      hostTxEnd = AddSat(now, ByteTimeUs(hostTxBaud));
    }
    if (!targetTxBusy && !targetOut.empty()) {
      targetTxByte = targetOut.front();
      targetOut.pop_front();
      targetTxBusy = true;
      targetTxBaud = targetBaud;
      targetTxEnd = AddSat(now, ByteTimeUs(targetTxBaud));
    }
  }

  uint64_t NextEventTime() const {
    uint64_t t = kNever;
    if (hostTxBusy) t = std::min(t, hostTxEnd);
    if (targetTxBusy) t = std::min(t, targetTxEnd);
    if (!timers.empty()) t = std::min(t, std::max(timers.begin()->first.first, clock.NowUs()));
    return t;
  }

  // Runs the one event due at the current time, in a fixed order: host byte, target byte, timer.
  void RunOneEvent() {
    uint64_t now = clock.NowUs();
    if (hostTxBusy && hostTxEnd <= now) {
      hostTxBusy = false;
      uint8_t b = hostTxByte;
      bool garbled = hostTxBaud != targetBaud;
      // The target sees the byte before the host's UART looks at CTS for the next one, so a
      // target that drops CTS on this byte stops the next.
      if (!cablePulled && target != nullptr) {
        ++bytesH2T;
        target->OnByte(garbled ? Garble(b) : b);
      }
      Kick();
      return;
    }
    if (targetTxBusy && targetTxEnd <= now) {
      targetTxBusy = false;
      uint8_t b = targetTxByte;
      bool garbled = targetTxBaud != line.BaudRate;
      if (!cablePulled) {
        ++bytesT2H;
        if (hostOpen) {
          if (hostIn.size() < inputQueueLimit) {
            hostIn.push_back(garbled ? Garble(b) : b);
          } else {
            ++overruns;
          }
        }
      }
      Kick();
      return;
    }
    if (!timers.empty() && timers.begin()->first.first <= now) {
      uint64_t token = timers.begin()->second;
      timers.erase(timers.begin());
      if (target != nullptr) target->OnTimer(token);
      Kick();
      return;
    }
  }

  // Moves the clock to `t`; with pacing on, lets the matching wall-clock time pass first.
  // Returns false when the wait was cut short by another thread (the caller re-evaluates).
  bool AdvanceClock(std::unique_lock<std::recursive_mutex>& lock, uint64_t t) {
    if (pacingScale <= 0.0 || t == kNever) {
      clock.AdvanceTo(t);
      return true;
    }
    if (!pacingAnchored) {
      pacingAnchored = true;
      wallAnchor = std::chrono::steady_clock::now();
      virtAnchor = clock.NowUs();
    }
    auto wallFor = [&](uint64_t v) {
      double us = static_cast<double>(v - virtAnchor) * pacingScale;
      return wallAnchor + std::chrono::microseconds(static_cast<int64_t>(us));
    };
    uint64_t seen = changeCount;
    auto deadline = wallFor(t);
    changed.wait_until(lock, deadline, [&] { return changeCount != seen; });
    if (changeCount != seen && std::chrono::steady_clock::now() < deadline) {
      // Another thread changed the link: catch the clock up with the wall and look again.
      auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - wallAnchor)
                         .count();
      uint64_t v = virtAnchor + static_cast<uint64_t>(static_cast<double>(elapsed) / pacingScale);
      clock.AdvanceTo(std::min(v, t));
      return false;
    }
    clock.AdvanceTo(t);
    return true;
  }

  // The core of every blocking host call: runs events until `done()` holds or the virtual time
  // `deadline` is reached (kNever: no deadline). Returns true when done() held.
  // Without pacing, a call that could only end through an event that will never come returns
  // false at once instead of hanging (nothing else can move the simulation).
  template <typename Done>
  bool RunUntil(std::unique_lock<std::recursive_mutex>& lock, uint64_t deadline, Done done) {
    // Paced: virtual time stands still between host calls (a prompt may stay open for seconds),
    // so each call starts pacing from "now" instead of racing to catch up with the wall clock.
    pacingAnchored = false;
    for (;;) {
      if (done()) return true;
      uint64_t next = NextEventTime();
      if (next == kNever && deadline == kNever) {
        if (pacingScale <= 0.0) return false;
        uint64_t seen = changeCount;
        changed.wait(lock, [&] { return changeCount != seen; });
        continue;
      }
      if (next > deadline) {
        if (!AdvanceClock(lock, deadline)) continue;
        return done();
      }
      if (!AdvanceClock(lock, next)) continue;
      RunOneEvent();
    }
  }
};

namespace {

class SimHostPort : public ISerialPort {
 public:
  explicit SimHostPort(SimLink::Impl* link) : link_(link) {}
  ~SimHostPort() override { Close(); }

  bool SetupQueues(uint32_t inputBytes, uint32_t outputBytes) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    if (link_->faults.refuseAllQueues ||
        (link_->faults.refuseLargeQueues && (inputBytes > 1024 || outputBytes > 1024))) {
      return Fail(kErrInvalidParameter);
    }
    if (inputBytes > 0) link_->inputQueueLimit = inputBytes;
    return true;
  }

  bool GetLineSettings(SerialLineSettings& settings) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    if (link_->faults.refuseGetLineSettings) return Fail(kErrGenFailure);
    settings = link_->line;
    return true;
  }

  bool SetLineSettings(const SerialLineSettings& settings) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    if (link_->faults.refuseSetLineSettings || settings.BaudRate == 0) return Fail(kErrInvalidParameter);
    link_->line = settings;
    link_->Kick();  // flow control may have been switched off
    return true;
  }

  bool GetTimeouts(SerialTimeouts& timeouts) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    if (link_->faults.refuseGetTimeouts) return Fail(kErrGenFailure);
    timeouts = link_->timeouts;
    return true;
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    if (link_->faults.refuseSetTimeouts) return Fail(kErrInvalidParameter);
    link_->timeouts = timeouts;
    return true;
  }

  // The Win32 rule: ends when all bytes arrived, when the gap after a received byte exceeded
  // ReadIntervalTimeout, or when the total time-out (multiplier x count + constant) passed.
  // Zero values switch the respective timer off; with both off the read waits for all bytes.
  bool Read(void* buffer, uint32_t count, uint32_t& received) override {
    received = 0;
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const SerialTimeouts t = link_->timeouts;
    const uint64_t start = link_->clock.NowUs();
    const uint64_t totalMs = uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    const uint64_t totalDeadline = totalMs > 0 ? AddSat(start, totalMs * 1000) : kNever;
    const uint64_t intervalUs = uint64_t{t.ReadIntervalTimeout} * 1000;
    // MAXDWORD interval with no total time-out: return at once with what is there.
    const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFFu && totalMs == 0;
    uint64_t lastArrival = start;

    auto take = [&] {
      bool got = false;
      while (received < count && !link_->hostIn.empty()) {
        out[received++] = link_->hostIn.front();
        link_->hostIn.pop_front();
        got = true;
      }
      if (got) lastArrival = link_->clock.NowUs();
      return got;
    };
    take();
    if (immediate) return true;
    while (received < count) {
      uint64_t deadline = totalDeadline;
      if (intervalUs > 0 && received > 0) deadline = std::min(deadline, AddSat(lastArrival, intervalUs));
      bool arrived = link_->RunUntil(lock, deadline, [&] { return !link_->hostIn.empty(); });
      if (!arrived) break;  // a time-out (or, unpaced, nothing left that could ever arrive)
      take();
    }
    return true;
  }

  // Queues the bytes and returns once they have left the line, or fails when the write time-out
  // passed first (`written` then counts the bytes that started; the rest is dropped).
  bool Write(const void* buffer, uint32_t count, uint32_t& written) override {
    written = 0;
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!CheckOpen()) return false;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint32_t n = count;
    bool partial = false;
    if (link_->faults.partialWriteLimit != 0 && count > link_->faults.partialWriteLimit) {
      n = link_->faults.partialWriteLimit;
      partial = true;
    }
    link_->hostOut.insert(link_->hostOut.end(), in, in + n);
    link_->Kick();
    const SerialTimeouts t = link_->timeouts;
    const uint64_t totalMs = uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
    const uint64_t deadline = totalMs > 0 ? AddSat(link_->clock.NowUs(), totalMs * 1000) : kNever;
    bool drained = link_->RunUntil(lock, deadline, [&] { return link_->hostOut.empty() && !link_->hostTxBusy; });
    if (!drained) {
      size_t unsent = link_->hostOut.size();
      link_->hostOut.clear();
      written = static_cast<uint32_t>(n - unsent);
      return Fail(kErrTimeout);
    }
    written = n;
    if (partial) return Fail(kErrGenFailure);
    return true;
  }

  bool ClearError(uint32_t& inputQueue, uint32_t& outputQueue) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    inputQueue = outputQueue = 0;
    if (!CheckOpen()) return false;
    inputQueue = static_cast<uint32_t>(link_->hostIn.size());
    outputQueue = static_cast<uint32_t>(link_->hostOut.size() + (link_->hostTxBusy ? 1 : 0));
    return true;
  }

  bool GetModemStatus(uint32_t& status) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    status = 0;
    if (!CheckOpen()) return false;
    if (link_->faults.modemStatusFails) return Fail(kErrNotSupported);
    status = link_->CtsSeenByHost() ? kModemStatusCtsOn : 0;
    return true;
  }

  void PauseMs(uint32_t milliseconds) override {
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    uint64_t until = AddSat(link_->clock.NowUs(), uint64_t{milliseconds} * 1000);
    link_->RunUntil(lock, until, [] { return false; });
  }

  void Close() override {
    if (link_ == nullptr) return;
    std::unique_lock<std::recursive_mutex> lock(link_->mu);
    if (!open_) return;
    open_ = false;
    link_->hostOpen = false;
    link_->hostOut.clear();
    link_->hostIn.clear();
  }

  uint32_t LastError() const override { return lastError_; }

 private:
  bool CheckOpen() {
    if (!open_) return Fail(kErrInvalidHandle);
    return true;
  }
  bool Fail(uint32_t code) {
    lastError_ = code;
    return false;
  }

  SimLink::Impl* link_;
  bool open_ = true;
  uint32_t lastError_ = 0;
};

class SimPortFactory : public ISerialPortFactory {
 public:
  SimPortFactory(SimLink& link, std::string name) : link_(link), name_(std::move(name)) {}
  std::unique_ptr<ISerialPort> Open(const std::string& name, uint32_t& osError) override {
    if (name != name_) {
      osError = kErrFileNotFound;
      return nullptr;
    }
    return link_.OpenHostPort(osError);
  }

 private:
  SimLink& link_;
  std::string name_;
};

}  // namespace

SimLink::SimLink(VirtualClock& clock) : impl_(new Impl(clock)) {}
SimLink::~SimLink() = default;

std::unique_ptr<ISerialPort> SimLink::OpenHostPort(uint32_t& osError) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  if (impl_->hostOpen || impl_->faults.openFails) {
    osError = kErrAccessDenied;
    return nullptr;
  }
  osError = 0;
  impl_->hostOpen = true;
  impl_->hostIn.clear();
  impl_->hostOut.clear();
  return std::unique_ptr<ISerialPort>(new SimHostPort(impl_.get()));
}

std::unique_ptr<ISerialPortFactory> SimLink::MakeFactory(const std::string& portName) {
  return std::unique_ptr<ISerialPortFactory>(new SimPortFactory(*this, portName));
}

bool SimLink::HostPortOpen() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->hostOpen;
}

uint32_t SimLink::HostBaud() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->line.BaudRate;
}

SimLinkFaults& SimLink::faults() { return impl_->faults; }

void SimLink::AttachTarget(ISimTarget* target) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->target = target;
}

ISimTarget* SimLink::AttachedTarget() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->target;
}

void SimLink::TargetSend(const uint8_t* data, size_t count) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->targetOut.insert(impl_->targetOut.end(), data, data + count);
  impl_->Kick();
  impl_->Notify();
}

void SimLink::TargetSend(const std::string& bytes) {
  TargetSend(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void SimLink::SetTargetBaud(uint32_t bitsPerSecond) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->targetBaud = bitsPerSecond;
}

uint32_t SimLink::TargetBaud() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->targetBaud;
}

void SimLink::SetCts(bool on) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->cts = on;
  impl_->Kick();
  impl_->Notify();
}

bool SimLink::Cts() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->CtsSeenByHost();
}

void SimLink::PullCable() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->cablePulled = true;
  impl_->Notify();
}

void SimLink::ScheduleTarget(uint64_t atUs, uint64_t token) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->timers.emplace(std::make_pair(atUs, impl_->timerSeq++), token);
  impl_->Notify();
}

uint64_t SimLink::TargetIdleAtUs() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  uint64_t t = impl_->clock.NowUs();
  if (impl_->targetTxBusy) t = impl_->targetTxEnd;
  uint64_t per = ByteTimeUs(impl_->targetBaud);
  return AddSat(t, per == kNever ? 0 : per * impl_->targetOut.size());
}

void SimLink::CancelTargetTimers() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->timers.clear();
}

void SimLink::DiscardTargetOutput() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->targetOut.clear();
}

std::recursive_mutex& SimLink::mutex() const { return impl_->mu; }

void SimLink::SetRealTimePacing(double scale) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  impl_->pacingScale = scale > 0.0 ? scale : 0.0;
  impl_->pacingAnchored = false;
  impl_->Notify();
}

VirtualClock& SimLink::clock() { return impl_->clock; }

uint64_t SimLink::BytesHostToTarget() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->bytesH2T;
}

uint64_t SimLink::BytesTargetToHost() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->bytesT2H;
}

const std::vector<uint8_t>& SimLink::HostWritten() const { return impl_->hostWritten; }

SerialLineSettings SimLink::HostLineSettings() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->line;
}

SerialTimeouts SimLink::HostTimeouts() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->timeouts;
}

uint64_t SimLink::HostInputOverruns() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->mu);
  return impl_->overruns;
}
