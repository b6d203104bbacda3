// Virtual panel: the target's side of the serial recovery protocol (boot monitor, then the initial
// loader it is given), with a flash model and fault injection. It is a test instrument and a demo
// target, and it is strict: whatever a real target would refuse, it refuses.
//
// It parses and builds its frames with its own code; it shares only the LZSS decoder with the rest
// of the project, so that a fault in the engine's frame code cannot hide behind the same fault here.
//
// The panel talks through an IPanelWire: SimLinkWire puts it on the target end of a SimLink (driven by
// the virtual clock), and the calvera-panel tool drives it in real time over a serial device or a
// pseudo-terminal.
//
// Behaviour
//  - Power: off or on; CTS is on exactly while powered (unless a fault drops it). Power-on starts the
//    boot monitor at 9600 bit/s with empty RAM; power-off drops every pending answer and timer.
//  - Boot monitor: 05 -> 03 0A; ESC "COM2" code sum CR -> ESC "COM00F" CR LF at the old speed, then
//    the panel switches to the new speed and sends the echo (the command's bytes 1-8 and an LF);
//    ESC "MID" sum CR -> ESC "MID0" id(8) sum CR LF; ESC "PDL" addr(8) len(8) body sum CR -> stores the
//    body at the address in RAM, ESC "PDL010" CR LF; ESC "PGO" addr(8) sum CR -> records the start
//    address, starts the loader, ESC "PGO016" CR LF; ESC "RST" "F9" CR -> ESC "RST029" CR LF, restart.
//  - Initial loader: 05 -> 02 0A; ESC "OTN" sum CR -> ESC "OTN0" len(2) sum CR LF and the type text
//    block, or ESC "OTN1" "00" sum and two bytes when no type is configured; ESC "OPD"/"OPK" bank(2)
//    len(5) sum CR -> 06 1A, then len data bytes and their two-digit sum, then progress answers
//    ESC "OPD" state code CR LF (state 'B', code '1' erasing, '2' writing) and ESC "OPDE0" CR LF;
//    ESC "OPD$$" "2B" CR closes the download (write progress answers, then E0); RST as above.
//  - Refusals: a command whose sum, hex digits (upper case only) or CR are wrong, or that the current
//    program does not know, gets no answer; a bank command that is malformed gets 15 1A. A PDL whose
//    sum is wrong, or whose body does not fit the RAM, gets status '1'; a PGO before any program
//    was loaded gets status '1' (a start address outside the loaded program is only logged). Bank data: wrong data sum -> E4, an expanded bank above 65,536 bytes
//    -> E2, a stream ending inside a reference -> E3 (the bank is not stored in any of these cases).
//
// Fault grammar (VirtualPanelConfig::faults, calvera-panel --fault): KIND[:ARG][:OPTION]...
//   CMD is one of HSK (the 05 handshake), COM, MID, PDL, PGO, OTN, OPD (bank commands, OPK too),
//   OPD$$ (the final command), RST. OPTION is times=N (the fault acts on the first N occasions),
//   always, or bank=N (bank faults only: that bank number, decimal).
//   noise[:CMD]            non-ESC bytes before the ESC of every answer (of CMD only if given)   always
//   bad-sum:CMD            the answer's frame sum is off by one                                    once
//   lower-sum:CMD          the answer's sum in lower-case hex (no change when it has no letter)    once
//   no-answer:CMD          the command is ignored as if never heard                                once
//   stray-esc:CMD          an extra ESC just before the answer's ESC                               once
//   status:CMD             the command is refused with status '1' and a correct sum                once
//   nak[:bank=N]           the bank command is acknowledged 15 1A instead of 06 1A                 once
//   e1[:bank=N]            the bank (or OPD$$ with bank=$$) ends in "E1" and is not stored         once
//   echo-mismatch          the speed-change echo repeats a wrong speed code                        once
//   silence-after:BYTES    after BYTES bytes sent the panel sends nothing more (cable pulled)
//   cts-drop-after:BYTES   after BYTES bytes received CTS goes off and stays off
//   delay:MS               every answer goes out MS milliseconds late
// Examples: "noise", "bad-sum:MID", "no-answer:OTN:times=3", "nak:bank=3", "e1:bank=0:times=2",
// "e1:bank=2:always", "silence-after:200", "delay:50".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim_link.h"

// The panel's view of its end of the line.
class IPanelWire {
 public:
  virtual ~IPanelWire() = default;
  virtual uint64_t NowUs() = 0;
  // Queues bytes toward the host at the current speed.
  virtual void Send(const uint8_t* data, size_t count) = 0;
  // Time at which everything queued so far has left the panel's end.
  virtual uint64_t OutputIdleAtUs() = 0;
  // Drops queued bytes that have not started.
  virtual void DiscardOutput() = 0;
  // The panel's own line speed, for bytes that start from now on.
  virtual void SetSpeed(uint32_t bitsPerSecond) = 0;
  virtual void SetCts(bool on) = 0;
  // Calls VirtualPanel::OnTimer(token) at the given time.
  virtual void Schedule(uint64_t atUs, uint64_t token) = 0;
  virtual void CancelTimers() = 0;
  // Guards the panel together with its wire (callbacks arrive with it held).
  virtual std::recursive_mutex& mutex() = 0;
};

// The wire of a SimLink's target end.
class SimLinkWire : public IPanelWire {
 public:
  explicit SimLinkWire(SimLink& link) : link_(link) {}
  uint64_t NowUs() override { return link_.clock().NowUs(); }
  void Send(const uint8_t* data, size_t count) override { link_.TargetSend(data, count); }
  uint64_t OutputIdleAtUs() override { return link_.TargetIdleAtUs(); }
  void DiscardOutput() override { link_.DiscardTargetOutput(); }
  void SetSpeed(uint32_t bitsPerSecond) override { link_.SetTargetBaud(bitsPerSecond); }
  void SetCts(bool on) override { link_.SetCts(on); }
  void Schedule(uint64_t atUs, uint64_t token) override { link_.ScheduleTarget(atUs, token); }
  void CancelTimers() override { link_.CancelTargetTimers(); }
  std::recursive_mutex& mutex() override { return link_.mutex(); }

 private:
  SimLink& link_;
};

enum class PanelFaultKind {
  kNoise, kBadSum, kLowerSum, kNoAnswer, kStrayEsc, kStatus, kNak, kE1, kEchoMismatch,
  kSilenceAfter, kCtsDropAfter, kDelay
};

struct PanelFault {
  PanelFaultKind kind = PanelFaultKind::kNoise;
  std::string command;  // empty: any command
  int bank = -1;        // -1: any bank; -2: the final command (bank=$$)
  int times = 1;        // -1: always
  uint64_t value = 0;   // BYTES or MS
};

// Parses one fault description (grammar above). Returns false and a reason when it is malformed.
bool ParsePanelFault(const std::string& text, PanelFault& fault, std::string& error);

struct VirtualPanelConfig {
  std::string identification = "QRV50008";  // 8 characters; shorter is padded with NUL
  bool hasCoreType = false;
  std::string coreType;                     // at most 255 characters
  int eraseProgressCount = 1;               // "erasing" answers per bank
  int writeProgressCount = 1;               // "writing" answers per bank and for OPD$$
  uint32_t eraseStepMs = 20;                // virtual time before each erasing answer
  uint32_t writeStepMs = 20;                // virtual time before each writing answer and E0
  uint32_t speedSettleMs = 2;               // after the first speed answer left, before the echo
  uint32_t ramBytes = 4u << 20;             // loader RAM size; a larger PDL body is refused
  bool poweredAtStart = false;
  std::vector<PanelFault> faults;
};

enum class PanelProgram { kOff, kBootMonitor, kLoader, kRestarted };

class VirtualPanel : public ISimTarget {
 public:
  // On a SimLink: attaches itself to the link's target end (and detaches in the destructor).
  VirtualPanel(const VirtualPanelConfig& config, SimLink& link);
  // On any other wire (the real-time driver of calvera-panel).
  VirtualPanel(const VirtualPanelConfig& config, IPanelWire& wire);
  ~VirtualPanel() override;
  VirtualPanel(const VirtualPanel&) = delete;
  VirtualPanel& operator=(const VirtualPanel&) = delete;

  // Power switch (safe from any thread).
  void PowerOn();
  void PowerOff();
  bool Powered() const;

  // ISimTarget (the wire calls these; the real-time driver too).
  void OnByte(uint8_t byte) override;
  void OnTimer(uint64_t token) override;

  // One line per exchange ("MID -> MID0 QRV50008", ...); also collected in ExchangeLog().
  void SetLogSink(std::function<void(const std::string&)> sink);

  // ---- observation (take the wire's mutex or call between host calls) ----
  struct Bank {
    bool compressed = false;      // came as OPD (else OPK)
    std::vector<uint8_t> data;    // as written to flash (expanded)
    int writes = 0;               // how often it was written
  };
  PanelProgram Program() const { return program_; }
  uint32_t Speed() const { return speed_; }
  uint32_t LoadAddress() const { return loadAddress_; }
  const std::vector<uint8_t>& LoaderRam() const { return ram_; }
  bool LoaderStarted() const { return loaderStarted_; }
  uint32_t StartAddress() const { return startAddress_; }
  const std::map<int, Bank>& Banks() const { return banks_; }
  // The two images as the banks hold them: OS core from bank 0, initial loader from the first later
  // bank that begins with the initial loader's magic (C3 C3 5A 5A). False when bank 0 is missing,
  // does not begin with the core magic (5A 5A 5A 5A), a number in between is missing, or no bank
  // begins with the loader magic.
  bool ReassembleImages(std::vector<uint8_t>& osCore, std::vector<uint8_t>& iloader) const;
  bool DownloadComplete() const { return downloadComplete_; }
  bool ResetSeen() const { return resetSeen_; }
  bool ResetAfterCompleteDownload() const { return resetSeen_ && resetAfterComplete_; }
  uint64_t BytesSent() const { return bytesSent_; }
  uint64_t BytesReceived() const { return bytesReceived_; }
  const std::vector<std::string>& ExchangeLog() const { return exchangeLog_; }

 private:
  enum class Rx {
    kIdle, kHeader, kPdlBody, kPdlTrailer, kBankData, kBusy
  };
  struct FaultState {
    PanelFault fault;
    int used = 0;
  };

  void Init();
  void ResetReceiver();
  void StartCommand();
  void HeaderByte(uint8_t b);
  void HandleHeader();
  void HandleBankData();
  void HandlePdl();
  // Answers go through here: faults, delay, noise, silence.
  // `after` runs once the bytes are queued (after a delay fault, later).
  void Answer(const std::string& cmd, const std::string& bytes, bool escLed, std::function<void()> after = {});
  void HandleEnq();
  void SendRaw(const std::string& bytes);
  void At(uint64_t atUs, std::function<void()> action);
  bool TakeFault(PanelFaultKind kind, const std::string& cmd, int bank = -1);
  bool HasFault(PanelFaultKind kind, const std::string& cmd) const;
  std::string Frame(const std::string& body);  // ESC body sum CR LF, with the sum faults of `cmd_`
  void Log(const std::string& line);

  VirtualPanelConfig config_;
  std::unique_ptr<IPanelWire> ownedWire_;
  IPanelWire& wire_;
  SimLink* link_ = nullptr;
  std::vector<FaultState> faults_;
  std::function<void(const std::string&)> sink_;
  std::vector<std::string> exchangeLog_;

  PanelProgram program_ = PanelProgram::kOff;
  uint32_t speed_ = 9600;
  Rx rx_ = Rx::kIdle;
  std::string header_;         // bytes after the ESC of the command being received
  size_t headerNeed_ = 3;
  std::string cmd_;            // the command being answered (for faults)
  uint32_t pdlAddress_ = 0, pdlLength_ = 0, pdlGot_ = 0;
  uint8_t pdlSum_ = 0;
  bool pdlFits_ = true;
  std::vector<uint8_t> pdlBody_;
  int bankNumber_ = 0;
  bool bankCompressed_ = false;
  uint32_t bankLength_ = 0;
  std::vector<uint8_t> bankData_;

  std::vector<uint8_t> ram_;
  uint32_t loadAddress_ = 0;
  bool loaderStarted_ = false;
  uint32_t startAddress_ = 0;
  std::map<int, Bank> banks_;
  bool downloadComplete_ = false;
  bool resetSeen_ = false;
  bool resetAfterComplete_ = false;
  bool ctsDropped_ = false;
  uint64_t bytesSent_ = 0;
  uint64_t bytesReceived_ = 0;

  std::map<uint64_t, std::function<void()>> actions_;
  uint64_t nextToken_ = 1;
  uint64_t generation_ = 0;  // bumps on power changes; stale actions do nothing
};
