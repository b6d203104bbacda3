// Simulated RS-232 link: a host endpoint that is an ISerialPort, and a target endpoint driven by an
// ISimTarget (the virtual panel or a test script), joined by a deterministic event queue on a
// VirtualClock.
//
// Model:
//  - A byte takes 10 bit times at the sending end's speed. The host's output queue drains at the
//    host speed; while CTS flow control is on (fOutxCtsFlow) and CTS is off, it does not drain.
//  - A byte reaches the other end when its last bit is on the wire. When the two ends run at
//    different speeds the receiver gets a garbled byte instead.
//  - The host side's blocking calls (Read, Write, PauseMs, and WaitSnd-style polling through
//    ClearError + PauseMs) advance the clock event by event; target callbacks run inside those
//    calls on the same thread, so a whole exchange is deterministic and takes no wall time.
//  - Read follows the Win32 time-out rule: it ends when all bytes arrived, when the gap between two
//    bytes exceeded ReadIntervalTimeout, or when ReadTotalTimeoutConstant ms passed since it began.
//  - Write returns once the bytes are queued and have drained, or when WriteTotalTimeoutConstant ms
//    passed (then `written` counts the bytes that left the queue and the call returns false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial_port.h"
#include "virtual_clock.h"

class ISimTarget {
 public:
  virtual ~ISimTarget() = default;
  // One byte from the host reached the target, at the link's current virtual time.
  virtual void OnByte(uint8_t byte) = 0;
  // A timer the target asked for with SimLink::ScheduleTarget fired.
  virtual void OnTimer(uint64_t token) { (void)token; }
};

// Faults of the host-side port and driver, set by tests before or during a run.
struct SimLinkFaults {
  bool openFails = false;             // the factory refuses to open the port
  bool refuseLargeQueues = false;     // SetupQueues above 1024 bytes fails, 1024/1024 succeeds
  bool refuseAllQueues = false;       // every SetupQueues fails
  bool refuseGetLineSettings = false;
  bool refuseSetLineSettings = false;
  bool refuseGetTimeouts = false;
  bool refuseSetTimeouts = false;
  uint32_t partialWriteLimit = 0;     // non-zero: a larger Write moves this many bytes and fails
  bool modemStatusFails = false;      // GetModemStatus fails (as on a port without modem lines)
};

class SimLink {
 public:
  explicit SimLink(VirtualClock& clock);
  ~SimLink();
  SimLink(const SimLink&) = delete;
  SimLink& operator=(const SimLink&) = delete;

  // ---- host side ----
  // Opens the host endpoint (one at a time, like an exclusive COM port). Null when it is already
  // open or faults().openFails is set. The port borrows the link; the link must outlive it.
  std::unique_ptr<ISerialPort> OpenHostPort(uint32_t& osError);
  // A factory that opens the host endpoint for one port name (others fail with error 2).
  std::unique_ptr<ISerialPortFactory> MakeFactory(const std::string& portName);
  bool HostPortOpen() const;
  uint32_t HostBaud() const;
  SimLinkFaults& faults();

  // ---- target side ----
  void AttachTarget(ISimTarget* target);
  ISimTarget* AttachedTarget() const;
  // Queues bytes toward the host after whatever the target already queued.
  void TargetSend(const uint8_t* data, size_t count);
  void TargetSend(const std::string& bytes);
  void SetTargetBaud(uint32_t bitsPerSecond);
  uint32_t TargetBaud() const;
  // CTS as the host sees it (the target drives it).
  void SetCts(bool on);
  bool Cts() const;
  // From now on nothing crosses in either direction and CTS reads off.
  void PullCable();
  // Calls target->OnTimer(token) when virtual time reaches atUs.
  void ScheduleTarget(uint64_t atUs, uint64_t token);
  // Virtual time at which the last byte the target queued so far will have left its end
  // (the current time when nothing is queued). A target that changes its speed after an answer
  // waits until then.
  uint64_t TargetIdleAtUs() const;
  // Drops every timer the target scheduled (used when the target loses power).
  void CancelTargetTimers();
  // Drops whatever the target queued and has not started sending.
  void DiscardTargetOutput();

  // ---- threads and pacing ----
  // Guards the link's state. Host calls take it; target callbacks run with it held (it is
  // recursive, so a target may call back into the link). Another thread (a line watch, a power
  // switch) takes it for its own short calls, and a target with state of its own that such a
  // thread changes should take it too.
  std::recursive_mutex& mutex() const;
  // Real-time pacing: with scale > 0 a host call that advances virtual time also lets the same
  // wall-clock time pass (times scale: 1.0 real time, 2.0 half speed); 0 switches it off (default).
  // While paced, a blocked host call waits for changes made by other threads (CTS, target bytes).
  void SetRealTimePacing(double scale);

  // ---- observation ----
  VirtualClock& clock();
  uint64_t BytesHostToTarget() const;
  uint64_t BytesTargetToHost() const;
  // Everything the host wrote, in order (for tests that check frames byte for byte).
  const std::vector<uint8_t>& HostWritten() const;
  // The host's current line settings and time-outs (as last set through the port).
  SerialLineSettings HostLineSettings() const;
  SerialTimeouts HostTimeouts() const;
  // Bytes lost because they arrived while the host's input queue was full.
  uint64_t HostInputOverruns() const;

 // The state behind the link (defined in sim_link.cpp; the host port object reaches it too).
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
