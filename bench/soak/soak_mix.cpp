#include "soak_mix.h"

#include <string>

namespace {

// splitmix64: small, portable, the same sequence everywhere.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n-1
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Chance(int percent) { return Below(100) < static_cast<uint32_t>(percent); }

 private:
  uint64_t state_;
};

PanelFault Fault(PanelFaultKind kind, const std::string& command, int times, int bank = -1) {
  PanelFault f;
  f.kind = kind;
  f.command = command;
  f.times = times;
  f.bank = bank;
  return f;
}

// The panel's fault book: a fault acts on the first `times` occasions that match it.
class FaultBook {
 public:
  explicit FaultBook(const std::vector<PanelFault>& faults) {
    for (const PanelFault& f : faults) entries_.push_back(Entry{f, 0});
  }
  bool Take(PanelFaultKind kind, const std::string& command, int bank = -1) {
    for (Entry& e : entries_) {
      if (e.fault.kind != kind) continue;
      if (!e.fault.command.empty() && e.fault.command != command) continue;
      if (e.fault.bank != -1 && e.fault.bank != bank) continue;
      if (e.fault.times >= 0 && e.used >= e.fault.times) continue;
      ++e.used;
      return true;
    }
    return false;
  }

 private:
  struct Entry {
    PanelFault fault;
    int used;
  };
  std::vector<Entry> entries_;
};

constexpr int kAttempts = 4;

}  // namespace

const char* FaultKindName(PanelFaultKind kind) {
  switch (kind) {
    case PanelFaultKind::kNoise: return "noise";
    case PanelFaultKind::kBadSum: return "bad-sum";
    case PanelFaultKind::kLowerSum: return "lower-sum";
    case PanelFaultKind::kNoAnswer: return "no-answer";
    case PanelFaultKind::kStrayEsc: return "stray-esc";
    case PanelFaultKind::kStatus: return "status";
    case PanelFaultKind::kNak: return "nak";
    case PanelFaultKind::kE1: return "e1";
    case PanelFaultKind::kEchoMismatch: return "echo-mismatch";
    case PanelFaultKind::kSilenceAfter: return "silence-after";
    case PanelFaultKind::kCtsDropAfter: return "cts-drop-after";
    case PanelFaultKind::kDelay: return "delay";
  }
  return "?";
}

std::string FaultText(const PanelFault& f) {
  std::string text = FaultKindName(f.kind);
  if (f.kind == PanelFaultKind::kSilenceAfter || f.kind == PanelFaultKind::kCtsDropAfter ||
      f.kind == PanelFaultKind::kDelay) {
    return text + ":" + std::to_string(f.value);
  }
  if (!f.command.empty()) text += ":" + f.command;
  if (f.bank == -2) text += ":bank=$$";
  if (f.bank >= 0) text += ":bank=" + std::to_string(f.bank);
  if (f.times < 0) {
    if (f.kind != PanelFaultKind::kNoise) text += ":always";
  } else if (f.times != 1) {
    text += ":times=" + std::to_string(f.times);
  }
  return text;
}

bool SoakMix::HasCableFault() const {
  for (const PanelFault& f : faults) {
    if (f.kind == PanelFaultKind::kSilenceAfter || f.kind == PanelFaultKind::kCtsDropAfter) return true;
  }
  return false;
}

SoakMix SoakMix::WithoutCableFaults() const {
  SoakMix m = *this;
  m.faults.clear();
  for (const PanelFault& f : faults) {
    if (f.kind != PanelFaultKind::kSilenceAfter && f.kind != PanelFaultKind::kCtsDropAfter) m.faults.push_back(f);
  }
  return m;
}

std::string SoakMix::Describe() const {
  std::string text = "core " + std::to_string(coreBytes) + " flags " + std::to_string(coreFlags) + ", loader " +
                     std::to_string(loaderBytes) + (poweredAtStart ? ", on at start" : "");
  if (identification != "QRV50008") text += ", id " + identification;
  if (!coreType.empty()) text += ", core type " + coreType;
  text += ", faults:";
  if (faults.empty()) text += " none";
  for (const PanelFault& f : faults) text += " " + FaultText(f);
  return text;
}

SoakMix DrawMix(uint64_t seed) {
  Rng rng(seed);
  SoakMix mix;
  mix.seed = seed;
  mix.coreBytes = 20000 + rng.Below(3 * 65536);
  mix.loaderBytes = 2000 + rng.Below(80000);
  static const uint32_t kFlags[] = {0x1u, 0x0u, 0x00010001u, 0x00020000u};
  mix.coreFlags = kFlags[rng.Below(4)];
  mix.poweredAtStart = rng.Chance(50);
  const int banks = mix.CoreBanks() + mix.LoaderBanks();

  // Mostly within the attempts, a quarter at or just beyond them.
  auto times = [&rng] { return rng.Chance(75) ? 1 + static_cast<int>(rng.Below(3)) : 4 + static_cast<int>(rng.Below(2)); };
  auto add = [&mix](const PanelFault& f) { mix.faults.push_back(f); };
  using K = PanelFaultKind;

  if (rng.Chance(20)) add(Fault(K::kNoAnswer, "HSK", rng.Chance(70) ? times() : 27 + static_cast<int>(rng.Below(5))));
  for (const char* cmd : {"COM", "MID", "PDL", "PGO", "OTN", "RST"}) {
    const std::string c = cmd;
    if (rng.Chance(10)) add(Fault(K::kNoAnswer, c, times()));
    if (rng.Chance(10)) add(Fault(K::kStatus, c, times()));
    // Spoilt answers: after the speed change, the start of the loader or the reset the target
    // has already acted on them, so they are rarer.
    const bool acted = c == "COM" || c == "PGO" || c == "RST";
    if (rng.Chance(acted ? 3 : 10)) add(Fault(K::kBadSum, c, acted ? 1 : times()));
    if (rng.Chance(acted ? 3 : 8)) add(Fault(K::kStrayEsc, c, acted ? 1 : times()));
  }
  if (rng.Chance(15)) add(Fault(K::kEchoMismatch, "", times()));
  if (rng.Chance(12)) add(Fault(K::kNoAnswer, mix.PlainCore() && rng.Chance(50) ? "OPK" : "OPD", times()));
  if (rng.Chance(8)) add(Fault(K::kStatus, "OPD", times()));
  if (rng.Chance(15)) add(Fault(K::kNak, "", times(), rng.Chance(30) ? -1 : static_cast<int>(rng.Below(banks))));
  if (rng.Chance(15)) add(Fault(K::kE1, "", times(), rng.Chance(30) ? -1 : static_cast<int>(rng.Below(banks))));
  if (rng.Chance(10)) add(Fault(K::kE1, "", times(), -2));
  if (rng.Chance(8)) add(Fault(K::kNoAnswer, "OPD$$", times()));
  if (rng.Chance(30)) add(Fault(K::kNoise, rng.Chance(50) ? "" : "MID", -1));
  if (rng.Chance(20)) {
    static const uint64_t kDelays[] = {20, 100, 300, 650};
    PanelFault d = Fault(K::kDelay, "", -1);
    d.value = kDelays[rng.Below(4)];
    add(d);
  }

  const uint32_t variant = rng.Below(100);
  if (variant < 4) {
    mix.identification = "QRV50005";  // a model this program refuses
  } else if (variant < 8) {
    mix.coreType = rng.Chance(50) ? "Scrivel" : "SCRIVEL";
  } else if (variant < 12) {
    mix.coreType = "Scrivelo";  // another product's name that merely begins the same
  } else if (variant < 20) {
    // Cut the cable somewhere: the count is drawn relative to a whole run later (see soak_main).
    PanelFault cut = Fault(rng.Chance(50) ? K::kSilenceAfter : K::kCtsDropAfter, "", -1);
    cut.value = rng.Next();  // scaled once the byte counts of the run without it are known
    add(cut);
  }
  return mix;
}

Prediction PredictWithoutCable(const SoakMix& mix) {
  FaultBook book(mix.faults);
  using K = PanelFaultKind;
  Prediction p;
  p.resetSeen = 0;

  // The reset after a failure other than -1: its own result does not count, but whether the
  // target took it does.
  auto resetAfterFailure = [&book, &p](int result) {
    for (int a = 0; a < kAttempts; ++a) {
      if (book.Take(K::kNoAnswer, "RST")) continue;
      const bool refused = book.Take(K::kStatus, "RST");
      const bool bad = book.Take(K::kBadSum, "RST");
      const bool stray = book.Take(K::kStrayEsc, "RST");
      if (refused) continue;
      p.resetSeen = 1;  // the target restarted, whatever reached the host
      if (bad || stray) break;  // a restarted target answers nothing more
      break;
    }
    p.result = result;
    return p;
  };
  auto fail = [&p]() {
    p.result = -2;
    return p;
  };
  auto greet = [&book](int attempts) {
    for (int a = 0; a < attempts; ++a) {
      if (!book.Take(K::kNoAnswer, "HSK")) return true;
    }
    return false;
  };
  // A command whose every spoilt answer only costs an attempt.
  auto command = [&book](const std::string& cmd) {
    for (int a = 0; a < kAttempts; ++a) {
      if (book.Take(K::kNoAnswer, cmd)) continue;
      const bool refused = book.Take(K::kStatus, cmd);
      const bool bad = book.Take(K::kBadSum, cmd);
      const bool stray = book.Take(K::kStrayEsc, cmd);
      if (!refused && !bad && !stray) return true;
    }
    return false;
  };

  // Phase 1, boot monitor at 9600 bit/s.
  if (!greet(30)) return fail();
  bool switched = false;  // both ends already moved to the new speed by an earlier attempt
  bool speedOk = false;
  for (int a = 0; a < kAttempts && !speedOk; ++a) {
    if (a > 0 && !greet(10)) return fail();
    if (book.Take(K::kNoAnswer, "COM")) continue;
    const bool refused = book.Take(K::kStatus, "COM");
    const bool bad = book.Take(K::kBadSum, "COM");
    const bool stray = book.Take(K::kStrayEsc, "COM");
    // A stray ESC leaves the answer's last byte behind. The greeting before the next attempt is
    // read two bytes at a time without a flush between its attempts, and every 05 brings two
    // more: one byte left over keeps every later read out of step.
    if (refused && stray) return fail();
    if (refused) continue;  // COM1: nobody changes speed
    const bool mismatch = book.Take(K::kEchoMismatch, "COM");
    if (bad || stray) {
      // The target changed speed although the host refused the answer. At different speeds
      // nothing gets through any more; at the same speed the echo is an even count of bytes
      // before the next greeting, unless a stray ESC left one more.
      if (!switched || stray) return fail();
      continue;
    }
    switched = true;
    if (mismatch) continue;
    speedOk = true;
  }
  if (!speedOk) return fail();
  if (!command("MID")) return fail();
  const char digit = mix.identification.size() > 7 ? mix.identification[7] : '\0';
  if (digit >= '1' && digit <= '7') return resetAfterFailure(-6);
  if (!command("PDL")) return fail();
  bool started = false;
  for (int a = 0; a < kAttempts && !started; ++a) {
    if (book.Take(K::kNoAnswer, "PGO")) continue;
    const bool refused = book.Take(K::kStatus, "PGO");
    const bool bad = book.Take(K::kBadSum, "PGO");
    const bool stray = book.Take(K::kStrayEsc, "PGO");
    if (refused) continue;
    if (bad || stray) return fail();  // the loader runs and knows no PGO
    started = true;
  }
  if (!started) return fail();

  // Phase 2, initial loader.
  if (!greet(10)) return fail();
  bool typed = false;
  for (int a = 0; a < kAttempts && !typed; ++a) {
    if (book.Take(K::kNoAnswer, "OTN")) continue;
    const bool refused = book.Take(K::kStatus, "OTN");  // "no type": not a failure
    const bool bad = book.Take(K::kBadSum, "OTN");
    const bool stray = book.Take(K::kStrayEsc, "OTN");
    if (bad || stray) continue;
    typed = true;
    std::string type = refused ? std::string() : mix.coreType;
    for (char& c : type) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (type == "SCRIVEL") return resetAfterFailure(-5);
  }
  if (!typed) return fail();

  const int coreBanks = mix.CoreBanks();
  const int allBanks = coreBanks + mix.LoaderBanks();
  for (int bank = 0; bank < allBanks; ++bank) {
    const std::string name = bank < coreBanks && mix.PlainCore() ? "OPK" : "OPD";
    bool confirmed = false;
    for (int a = 0; a < kAttempts && !confirmed; ++a) {
      if (book.Take(K::kNoAnswer, name)) continue;
      if (book.Take(K::kStatus, name)) continue;
      if (book.Take(K::kNak, "OPD", bank)) continue;
      if (book.Take(K::kE1, "OPD", bank)) continue;
      confirmed = true;
    }
    if (!confirmed) return fail();
  }
  bool closed = false;
  for (int a = 0; a < kAttempts && !closed; ++a) {
    if (book.Take(K::kNoAnswer, "OPD$$")) continue;
    book.Take(K::kStatus, "OPD$$");
    if (book.Take(K::kE1, "OPD$$", -2)) continue;
    closed = true;
  }
  if (!closed) return fail();

  for (int a = 0; a < kAttempts; ++a) {
    if (book.Take(K::kNoAnswer, "RST")) continue;
    const bool refused = book.Take(K::kStatus, "RST");
    const bool bad = book.Take(K::kBadSum, "RST");
    const bool stray = book.Take(K::kStrayEsc, "RST");
    if (refused) continue;
    p.resetSeen = 1;
    if (bad || stray) return fail();  // restarted: later resets go unanswered
    p.result = 0;
    return p;
  }
  return fail();
}
