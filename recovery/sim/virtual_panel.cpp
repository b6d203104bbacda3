// Virtual panel: boot monitor and initial loader of a target, with flash model and faults.
#include "virtual_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "lzss_decoder.h"

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
constexpr uint32_t kBankBytes = 65536;
constexpr uint32_t kMaxCompressedBank = 131072;  // more than any honest compressed bank
constexpr uint8_t kBootGreeting = 0x03;
constexpr uint8_t kLoaderGreeting = 0x02;
constexpr char kNoiseBytes[] = {'\x00', '\x30', '\xFF', '\x0A', '\x7E', '\x0D'};

uint8_t Sum8(const std::string& s, size_t from, size_t count) {
  uint32_t sum = 0;
  for (size_t i = from; i < from + count && i < s.size(); ++i) sum += static_cast<uint8_t>(s[i]);
  return static_cast<uint8_t>(sum);
}

std::string Hex(uint32_t v, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) out[static_cast<size_t>(i)] = kDigits[v & 0xF];
  return out;
}

// Strict hex field: upper-case digits only, as the protocol writes them.
bool ParseHexField(const std::string& s, size_t pos, size_t count, uint32_t& value) {
  if (pos + count > s.size()) return false;
  uint32_t v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    char c = s[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    v = (v << 4) | d;
  }
  value = v;
  return true;
}

// The two sum characters at `pos` must be exactly the upper-case sum of `count` bytes from `from`.
bool SumMatches(const std::string& s, size_t from, size_t count, size_t pos) {
  return s.size() >= pos + 2 && s.compare(pos, 2, Hex(Sum8(s, from, count), 2)) == 0;
}

std::string HexBytes(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", c);
    out += buf;
  }
  return out;
}

uint32_t SpeedForCode(char code) {
  switch (code) {
    case '1': return 19200;
    case '2': return 38400;
    case '3': return 57600;
    case '4': return 115200;
    default: return 9600;
  }
}

bool KnownCommand(const std::string& c) {
  return c == "HSK" || c == "COM" || c == "MID" || c == "PDL" || c == "PGO" || c == "OTN" || c == "OPD" ||
         c == "OPD$$" || c == "RST";
}

bool ParseUnsigned(const std::string& s, uint64_t& v) {
  if (s.empty() || s.size() > 12) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  v = std::strtoull(s.c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool ParsePanelFault(const std::string& text, PanelFault& fault, std::string& error) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  static const struct {
    const char* name;
    PanelFaultKind kind;
    int arg;  // 0 none, 1 optional CMD, 2 required CMD, 3 required number
    int times;
  } kKinds[] = {
      {"noise", PanelFaultKind::kNoise, 1, -1},          {"bad-sum", PanelFaultKind::kBadSum, 2, 1},
      {"lower-sum", PanelFaultKind::kLowerSum, 2, 1},    {"no-answer", PanelFaultKind::kNoAnswer, 2, 1},
      {"stray-esc", PanelFaultKind::kStrayEsc, 2, 1},    {"status", PanelFaultKind::kStatus, 2, 1},
      {"nak", PanelFaultKind::kNak, 0, 1},               {"e1", PanelFaultKind::kE1, 0, 1},
      {"echo-mismatch", PanelFaultKind::kEchoMismatch, 0, 1},
      {"silence-after", PanelFaultKind::kSilenceAfter, 3, -1},
      {"cts-drop-after", PanelFaultKind::kCtsDropAfter, 3, -1},
      {"delay", PanelFaultKind::kDelay, 3, -1},
  };
  PanelFault f;
  int arg = -1;
  for (const auto& k : kKinds) {
    if (parts[0] == k.name) {
      f.kind = k.kind;
      f.times = k.times;
      arg = k.arg;
    }
  }
  if (arg < 0) {
    error = "unknown fault '" + parts[0] + "'";
    return false;
  }
  size_t i = 1;
  if (arg == 1 || arg == 2) {
    if (i < parts.size() && parts[i].find('=') == std::string::npos && parts[i] != "always") {
      if (!KnownCommand(parts[i])) {
        error = "unknown command '" + parts[i] + "' in '" + text + "'";
        return false;
      }
      f.command = parts[i++];
    } else if (arg == 2) {
      error = "'" + parts[0] + "' needs a command (HSK, COM, MID, PDL, PGO, OTN, OPD, OPD$$, RST)";
      return false;
    }
  } else if (arg == 3) {
    if (i >= parts.size() || !ParseUnsigned(parts[i], f.value)) {
      error = "'" + parts[0] + "' needs a number";
      return false;
    }
    ++i;
  }
  for (; i < parts.size(); ++i) {
    const std::string& o = parts[i];
    uint64_t n = 0;
    if (o == "always") {
      f.times = -1;
    } else if (o.compare(0, 6, "times=") == 0 && ParseUnsigned(o.substr(6), n) && n > 0 && n < 1000000) {
      f.times = static_cast<int>(n);
    } else if ((f.kind == PanelFaultKind::kNak || f.kind == PanelFaultKind::kE1) && o.compare(0, 5, "bank=") == 0) {
      if (f.kind == PanelFaultKind::kE1 && o == "bank=$$") {
        f.bank = -2;
      } else if (ParseUnsigned(o.substr(5), n) && n < 256) {
        f.bank = static_cast<int>(n);
      } else {
        error = "bad bank in '" + text + "'";
        return false;
      }
    } else {
      error = "bad option '" + o + "' in '" + text + "'";
      return false;
    }
  }
  fault = f;
  return true;
}

VirtualPanel::VirtualPanel(const VirtualPanelConfig& config, SimLink& link)
    : config_(config), ownedWire_(new SimLinkWire(link)), wire_(*ownedWire_), link_(&link) {
  Init();
  link.AttachTarget(this);
  if (config_.poweredAtStart) PowerOn();
}

VirtualPanel::VirtualPanel(const VirtualPanelConfig& config, IPanelWire& wire) : config_(config), wire_(wire) {
  Init();
  if (config_.poweredAtStart) PowerOn();
}

VirtualPanel::~VirtualPanel() {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  wire_.CancelTimers();
  if (link_ != nullptr && link_->AttachedTarget() == this) link_->AttachTarget(nullptr);
}

void VirtualPanel::Init() {
  config_.identification.resize(8, '\0');
  if (config_.coreType.size() > 255) config_.coreType.resize(255);
  for (const PanelFault& f : config_.faults) faults_.push_back(FaultState{f, 0});
  wire_.SetCts(false);
}

void VirtualPanel::SetLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  sink_ = std::move(sink);
}

void VirtualPanel::Log(const std::string& line) {
  exchangeLog_.push_back(line);
  if (sink_) sink_(line);
}

void VirtualPanel::PowerOn() {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  ++generation_;
  wire_.CancelTimers();
  actions_.clear();
  wire_.DiscardOutput();
  program_ = PanelProgram::kBootMonitor;
  speed_ = 9600;
  wire_.SetSpeed(speed_);
  ram_.clear();
  loadAddress_ = 0;
  loaderStarted_ = false;
  startAddress_ = 0;
  downloadComplete_ = false;
  resetSeen_ = false;
  resetAfterComplete_ = false;
  ctsDropped_ = false;
  ResetReceiver();
  wire_.SetCts(true);
  Log("power on: boot monitor at 9600 bps");
}

void VirtualPanel::PowerOff() {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  ++generation_;
  wire_.CancelTimers();
  actions_.clear();
  wire_.DiscardOutput();
  program_ = PanelProgram::kOff;
  ram_.clear();
  ResetReceiver();
  wire_.SetCts(false);
  Log("power off");
}

bool VirtualPanel::Powered() const {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  return program_ != PanelProgram::kOff;
}

void VirtualPanel::ResetReceiver() {
  rx_ = Rx::kIdle;
  header_.clear();
  headerNeed_ = 3;
  bankData_.clear();
  pdlBody_.clear();
}

bool VirtualPanel::HasFault(PanelFaultKind kind, const std::string& cmd) const {
  for (const FaultState& f : faults_) {
    if (f.fault.kind == kind && (f.fault.command.empty() || f.fault.command == cmd) &&
        (f.fault.times < 0 || f.used < f.fault.times)) {
      return true;
    }
  }
  return false;
}

bool VirtualPanel::TakeFault(PanelFaultKind kind, const std::string& cmd, int bank) {
  for (FaultState& f : faults_) {
    if (f.fault.kind != kind) continue;
    if (!f.fault.command.empty() && f.fault.command != cmd) continue;
    if (f.fault.bank != -1 && f.fault.bank != bank) continue;
    if (f.fault.times >= 0 && f.used >= f.fault.times) continue;
    ++f.used;
    return true;
  }
  return false;
}

void VirtualPanel::At(uint64_t atUs, std::function<void()> action) {
  uint64_t token = nextToken_++;
  uint64_t gen = generation_;
  actions_[token] = [this, gen, action] {
    if (gen == generation_) action();
  };
  wire_.Schedule(atUs, token);
}

void VirtualPanel::OnTimer(uint64_t token) {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  auto it = actions_.find(token);
  if (it == actions_.end()) return;
  std::function<void()> action = std::move(it->second);
  actions_.erase(it);
  action();
}

void VirtualPanel::SendRaw(const std::string& bytes) {
  std::string out = bytes;
  for (const FaultState& f : faults_) {
    if (f.fault.kind == PanelFaultKind::kSilenceAfter) {
      uint64_t allowed = f.fault.value > bytesSent_ ? f.fault.value - bytesSent_ : 0;
      if (out.size() > allowed) out.resize(static_cast<size_t>(allowed));
    }
  }
  if (out.empty()) return;
  bytesSent_ += out.size();
  wire_.Send(reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

std::string VirtualPanel::Frame(const std::string& body) {
  std::string sum = Hex(Sum8(body, 0, body.size()), 2);
  if (TakeFault(PanelFaultKind::kBadSum, cmd_)) {
    sum = Hex(static_cast<uint8_t>(Sum8(body, 0, body.size()) + 1), 2);
  } else if (TakeFault(PanelFaultKind::kLowerSum, cmd_)) {
    for (char& c : sum) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return body + sum;
}

void VirtualPanel::Answer(const std::string& cmd, const std::string& bytes, bool escLed,
                          std::function<void()> after) {
  std::string out;
  if (escLed) {
    if (HasFault(PanelFaultKind::kNoise, cmd)) {
      TakeFault(PanelFaultKind::kNoise, cmd);
      out.append(kNoiseBytes, sizeof kNoiseBytes);
    }
    if (TakeFault(PanelFaultKind::kStrayEsc, cmd)) out.push_back(static_cast<char>(kEsc));
    out.push_back(static_cast<char>(kEsc));
  }
  out += bytes;
  uint64_t delayMs = 0;
  for (const FaultState& f : faults_) {
    if (f.fault.kind == PanelFaultKind::kDelay) delayMs += f.fault.value;
  }
  if (delayMs > 0) {
    At(wire_.NowUs() + delayMs * 1000, [this, out, after] {
      SendRaw(out);
      if (after) after();
    });
  } else {
    SendRaw(out);
    if (after) after();
  }
}

void VirtualPanel::OnByte(uint8_t b) {
  std::lock_guard<std::recursive_mutex> lock(wire_.mutex());
  if (program_ == PanelProgram::kOff) return;  // no power, no receiver
  ++bytesReceived_;
  for (const FaultState& f : faults_) {
    if (f.fault.kind == PanelFaultKind::kCtsDropAfter && !ctsDropped_ && bytesReceived_ >= f.fault.value) {
      ctsDropped_ = true;
      wire_.SetCts(false);
      Log("fault: CTS dropped after " + std::to_string(bytesReceived_) + " bytes received");
    }
  }
  if (program_ == PanelProgram::kRestarted) return;  // the new system does not talk this protocol

  switch (rx_) {
    case Rx::kBusy:
      return;  // flashing: input is not read
    case Rx::kIdle:
      if (b == kEsc) {
        StartCommand();
      } else if (b == kEnq) {
        HandleEnq();
      }
      return;  // anything else between commands is line noise
    case Rx::kHeader:
      HeaderByte(b);
      return;
    case Rx::kPdlBody:
      pdlSum_ = static_cast<uint8_t>(pdlSum_ + b);
      if (pdlFits_) pdlBody_.push_back(b);
      if (++pdlGot_ == pdlLength_) {
        rx_ = Rx::kPdlTrailer;
        header_.clear();
      }
      return;
    case Rx::kPdlTrailer:
      header_.push_back(static_cast<char>(b));
      if (header_.size() == 3) HandlePdl();
      return;
    case Rx::kBankData:
      bankData_.push_back(b);
      if (bankData_.size() == size_t{bankLength_} + 2) HandleBankData();
      return;
  }
}

void VirtualPanel::HandleEnq() {
  cmd_ = "HSK";
  if (TakeFault(PanelFaultKind::kNoAnswer, cmd_)) {
    Log("HSK -> (no answer: fault)");
    return;
  }
  const bool boot = program_ == PanelProgram::kBootMonitor;
  Log(std::string("HSK 05 -> ") + (boot ? "03 0A" : "02 0A"));
  Answer(cmd_, std::string{static_cast<char>(boot ? kBootGreeting : kLoaderGreeting), static_cast<char>(kLf)},
         false);
}

void VirtualPanel::StartCommand() {
  rx_ = Rx::kHeader;
  header_.clear();
  headerNeed_ = 3;
}

void VirtualPanel::HeaderByte(uint8_t b) {
  if (b == kEsc) {  // a new command starts; the broken one is dropped
    Log("(incomplete command '" + header_ + "' dropped)");
    StartCommand();
    return;
  }
  if (b == kEnq) {  // never part of a command header: a greeting
    Log("(incomplete command '" + header_ + "' dropped)");
    ResetReceiver();
    HandleEnq();
    return;
  }
  header_.push_back(static_cast<char>(b));
  if (header_.size() == 3) {
    const bool boot = program_ == PanelProgram::kBootMonitor;
    if (header_ == "RST" || (header_ == "MID" && boot) || (header_ == "OTN" && !boot)) {
      headerNeed_ = 6;
    } else if (header_ == "COM" && boot) {
      headerNeed_ = 8;
    } else if (header_ == "PDL" && boot) {
      headerNeed_ = 19;
    } else if (header_ == "PGO" && boot) {
      headerNeed_ = 14;
    } else if (header_ == "OPD" && !boot) {
      headerNeed_ = 4;  // OPD bank or OPD$$: the next byte tells
    } else if (header_ == "OPK" && !boot) {
      headerNeed_ = 13;
    } else {
      Log("unknown command '" + HexBytes(header_) + "' ignored");
      ResetReceiver();
      return;
    }
  } else if (header_.size() == 4 && headerNeed_ == 4) {
    headerNeed_ = header_[3] == '$' ? 8 : 13;
  }
  if (header_.size() == headerNeed_) HandleHeader();
}

void VirtualPanel::HandleHeader() {
  std::string name = header_.substr(0, 3);
  if (name == "OPD" && header_[3] == '$') name = "OPD$$";
  if (name == "OPD$$" && header_[4] != '$') {
    Log("unknown command '" + HexBytes(header_) + "' ignored");
    ResetReceiver();
    return;
  }
  cmd_ = name;
  const std::string h = header_;
  auto refuse = [&](const std::string& why) {
    Log(name + " refused (" + why + "): " + HexBytes(h));
    ResetReceiver();
  };

  if (name == "PDL") {
    uint32_t addr = 0, len = 0;
    if (!ParseHexField(h, 3, 8, addr) || !ParseHexField(h, 11, 8, len)) {
      // Without a readable length the body cannot be found; the target waits for the next ESC.
      refuse("fields not upper-case hex");
      return;
    }
    pdlAddress_ = addr;
    pdlLength_ = len;
    pdlGot_ = 0;
    pdlSum_ = Sum8(h, 0, 19);
    pdlFits_ = len <= config_.ramBytes && uint64_t{addr} + len <= 0x100000000ull;
    pdlBody_.clear();
    if (pdlFits_) pdlBody_.reserve(len);
    header_.clear();
    rx_ = len == 0 ? Rx::kPdlTrailer : Rx::kPdlBody;
    return;
  }

  // Every other command ends in its sum and CR.
  const size_t n = h.size();
  if (static_cast<uint8_t>(h[n - 1]) != kCr) return refuse("no CR");
  if (!SumMatches(h, 0, n - 3, n - 3)) return refuse("bad sum");
  if (TakeFault(PanelFaultKind::kNoAnswer, name)) {
    Log(name + " -> (no answer: fault)");
    ResetReceiver();
    return;
  }
  const bool refused = TakeFault(PanelFaultKind::kStatus, name);
  ResetReceiver();

  if (name == "MID") {
    Log("MID -> " + std::string(refused ? "MID1 (status fault)" : "MID0 " + config_.identification.substr(0, 8)));
    std::string body = refused ? "MID1" + config_.identification : "MID0" + config_.identification;
    Answer(name, Frame(body) + "\r\n", true);
  } else if (name == "COM") {
    char code = h[4];
    if (h[3] != '2' || code < '0' || code > '4') return refuse("bad speed field");
    if (refused) {
      Log("COM -> COM1 (status fault)");
      Answer(name, Frame("COM1") + "\r\n", true);
      return;
    }
    uint32_t newSpeed = SpeedForCode(code);
    std::string echo = h.substr(0, 8);
    if (TakeFault(PanelFaultKind::kEchoMismatch, name)) echo[4] = code == '4' ? '3' : '4';
    echo.push_back(static_cast<char>(kLf));  // the ninth byte, not examined
    Log("COM " + std::to_string(newSpeed) + " -> COM0, echo at " + std::to_string(newSpeed) + " bps");
    // First answer at the old speed; once it has left, switch and echo at the new speed.
    Answer(name, Frame("COM0") + "\r\n", true, [this, newSpeed, echo] {
      At(wire_.OutputIdleAtUs() + uint64_t{config_.speedSettleMs} * 1000, [this, newSpeed, echo] {
        speed_ = newSpeed;
        wire_.SetSpeed(newSpeed);
        cmd_ = "COM";
        Answer("COM", echo, true);
      });
    });
  } else if (name == "PGO") {
    uint32_t addr = 0;
    if (!ParseHexField(h, 3, 8, addr)) return refuse("address not upper-case hex");
    if (refused || ram_.empty()) {
      Log("PGO " + Hex(addr, 8) + " -> PGO1 (" + (refused ? "status fault" : "no program loaded") + ")");
      Answer(name, Frame("PGO1") + "\r\n", true);
      return;
    }
    if (addr < loadAddress_ || uint64_t{addr} >= uint64_t{loadAddress_} + ram_.size()) {
      Log("PGO " + Hex(addr, 8) + ": start address outside the loaded program (" + Hex(loadAddress_, 8) + ", " +
          std::to_string(ram_.size()) + " bytes)");
    }
    Log("PGO " + Hex(addr, 8) + " -> PGO0, initial loader running");
    Answer(name, Frame("PGO0") + "\r\n", true);
    startAddress_ = addr;
    loaderStarted_ = true;
    program_ = PanelProgram::kLoader;
  } else if (name == "RST") {
    if (refused) {
      Log("RST -> RST1 (status fault)");
      Answer(name, Frame("RST1") + "\r\n", true);
      return;
    }
    Answer(name, Frame("RST0") + "\r\n", true);
    resetSeen_ = true;
    resetAfterComplete_ = downloadComplete_;
    program_ = PanelProgram::kRestarted;
    Log(std::string("RST -> RST0, restarting (") +
        (downloadComplete_ ? "reset after complete download" : "reset without complete download") + ")");
  } else if (name == "OTN") {
    if (refused || !config_.hasCoreType) {
      Log("OTN -> no core type");
      Answer(name, Frame("OTN100") + "\r\n", true);
      return;
    }
    const std::string& t = config_.coreType;
    Log("OTN -> OTN0 '" + t + "'");
    std::string head = Frame("OTN0" + Hex(static_cast<uint32_t>(t.size()), 2));
    Answer(name, head + t + Hex(Sum8(t, 0, t.size()), 2) + "\r\n", true);
  } else if (name == "OPD$$") {
    Log("OPD$$ -> closing the download");
    rx_ = Rx::kBusy;
    uint64_t t = wire_.NowUs();
    for (int i = 0; i < config_.writeProgressCount; ++i) {
      t += uint64_t{config_.writeStepMs} * 1000;
      At(t, [this] { Answer("OPD$$", "OPDB2\r\n", true); });
    }
    At(t, [this] {
      rx_ = Rx::kIdle;
      if (TakeFault(PanelFaultKind::kE1, "OPD$$", -2)) {
        Log("OPD$$ -> E1 (fault)");
        Answer("OPD$$", "OPDE1\r\n", true);
        return;
      }
      downloadComplete_ = true;
      Log("OPD$$ -> E0, download complete");
      Answer("OPD$$", "OPDE0\r\n", true);
    });
  } else {  // OPD / OPK bank command
    uint32_t bank = 0, len = 0;
    bool compressed = name == "OPD";
    bool ok = ParseHexField(h, 3, 2, bank) && ParseHexField(h, 5, 5, len) && len > 0 &&
              len <= (compressed ? kMaxCompressedBank : kBankBytes);
    if (refused) ok = false;
    if (!ok || TakeFault(PanelFaultKind::kNak, "OPD", static_cast<int>(bank))) {
      Log(name + " bank " + std::to_string(bank) + " -> 15 1A" + (ok ? " (fault)" : " (bad command)"));
      Answer("OPD", "\x15\x1A", false);
      return;
    }
    bankNumber_ = static_cast<int>(bank);
    bankCompressed_ = compressed;
    bankLength_ = len;
    bankData_.clear();
    bankData_.reserve(len + 2);
    rx_ = Rx::kBankData;
    Answer("OPD", "\x06\x1A", false);
  }
}

void VirtualPanel::HandlePdl() {
  const std::string t = header_;
  cmd_ = "PDL";
  bool sumOk = t.size() == 3 && t.compare(0, 2, Hex(pdlSum_, 2)) == 0 && static_cast<uint8_t>(t[2]) == kCr;
  std::string what = "PDL " + Hex(pdlAddress_, 8) + " len " + std::to_string(pdlLength_);
  std::vector<uint8_t> body = std::move(pdlBody_);
  ResetReceiver();
  if (static_cast<uint8_t>(t[2]) != kCr) {
    Log(what + " refused (no CR)");
    return;
  }
  if (TakeFault(PanelFaultKind::kNoAnswer, "PDL")) {
    Log(what + " -> (no answer: fault)");
    return;
  }
  bool refused = TakeFault(PanelFaultKind::kStatus, "PDL");
  if (!sumOk || !pdlFits_ || refused) {
    Log(what + " -> PDL1 (" + (!sumOk ? "bad sum" : !pdlFits_ ? "does not fit the RAM" : "status fault") + ")");
    Answer("PDL", Frame("PDL1") + "\r\n", true);
    return;
  }
  ram_ = std::move(body);
  loadAddress_ = pdlAddress_;
  loaderStarted_ = false;
  Log(what + " -> PDL0");
  Answer("PDL", Frame("PDL0") + "\r\n", true);
}

void VirtualPanel::HandleBankData() {
  const int bank = bankNumber_;
  const bool compressed = bankCompressed_;
  cmd_ = "OPD";
  std::string what = std::string(compressed ? "OPD" : "OPK") + " bank " + std::to_string(bank) + " len " +
                     std::to_string(bankLength_);
  uint8_t sum = 0;
  for (uint32_t i = 0; i < bankLength_; ++i) sum = static_cast<uint8_t>(sum + bankData_[i]);
  std::string sumChars(bankData_.begin() + bankLength_, bankData_.end());
  rx_ = Rx::kBusy;

  auto finish = [this](const std::string& code) {
    rx_ = Rx::kIdle;
    Answer("OPD", "OPDE" + code + "\r\n", true);
  };
  if (sumChars != Hex(sum, 2)) {
    Log(what + " -> E4 (bad data sum)");
    finish("4");
    return;
  }
  std::vector<uint8_t> plain;
  if (compressed) {
    plain.resize(kBankBytes);
    size_t produced = 0;
    LzssDecodeStatus st = LzssDecode(bankData_.data(), bankLength_, plain.data(), plain.size(), &produced);
    if (st == LzssDecodeStatus::kOutputLimit) {
      Log(what + " -> E2 (expands beyond 65536 bytes)");
      finish("2");
      return;
    }
    if (st == LzssDecodeStatus::kTruncated) {
      Log(what + " -> E3 (stream ends inside a reference)");
      finish("3");
      return;
    }
    plain.resize(produced);
  } else {
    plain.assign(bankData_.begin(), bankData_.begin() + bankLength_);
  }
  bankData_.clear();

  uint64_t t = wire_.NowUs();
  for (int i = 0; i < config_.eraseProgressCount; ++i) {
    t += uint64_t{config_.eraseStepMs} * 1000;
    At(t, [this] { Answer("OPD", "OPDB1\r\n", true); });
  }
  for (int i = 0; i < config_.writeProgressCount; ++i) {
    t += uint64_t{config_.writeStepMs} * 1000;
    At(t, [this] { Answer("OPD", "OPDB2\r\n", true); });
  }
  auto data = std::make_shared<std::vector<uint8_t>>(std::move(plain));
  At(t, [this, bank, compressed, data, what, finish] {
    if (TakeFault(PanelFaultKind::kE1, "OPD", bank)) {
      Log(what + " -> E1 (fault)");
      finish("1");
      return;
    }
    Bank& b = banks_[bank];
    b.compressed = compressed;
    b.data = std::move(*data);
    ++b.writes;
    Log(what + " -> " + std::to_string(b.data.size()) + " bytes written, E0");
    finish("0");
  });
}

bool VirtualPanel::ReassembleImages(std::vector<uint8_t>& osCore, std::vector<uint8_t>& iloader) const {
  static const uint8_t kCoreMagic[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  static const uint8_t kLoaderMagic[4] = {0xC3, 0xC3, 0x5A, 0x5A};
  auto begins = [](const std::vector<uint8_t>& d, const uint8_t (&m)[4]) {
    return d.size() >= 4 && std::equal(m, m + 4, d.begin());
  };
  osCore.clear();
  iloader.clear();
  auto first = banks_.find(0);
  if (first == banks_.end() || !begins(first->second.data, kCoreMagic)) return false;
  int expected = 0;
  bool inLoader = false;
  for (const auto& kv : banks_) {
    if (kv.first != expected++) return false;  // a bank number is missing
    if (kv.first > 0 && !inLoader && begins(kv.second.data, kLoaderMagic)) inLoader = true;
    std::vector<uint8_t>& out = inLoader ? iloader : osCore;
    out.insert(out.end(), kv.second.data.begin(), kv.second.data.end());
  }
  return inLoader;
}
