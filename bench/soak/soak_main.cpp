// Fault soak: whole recoveries in virtual time, each against a virtual panel with a random mix of
// faults drawn from the printed seed. After every run it checks the result against the prescribed
// one for the mix, the operator log and the trace records, that the port is closed, the dialog
// unbound, no image file, descriptor or heap block left behind, and on success that the flash
// holds both images exactly. Prints a table; exits 1 when any run ended otherwise.
//
//   recovery_soak [--runs N] [--seed S] [--run-seed R [--faults "F1 F2 ..."]] [--verbose]
//   --run-seed R replays one run (its seed is printed with every unexpected outcome); --faults
//   replaces its faults by others in the panel's grammar.
#include <dirent.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "binary_file.h"
#include "recovery_fixture.h"
#include "soak_mix.h"
#include "trace.h"

// ---- heap blocks: every operator new of the process is counted ----
namespace {
std::atomic<long long> g_liveBlocks{0};
std::atomic<long long> g_liveMalloc{0};  // C heap blocks (the engine's buffers, stdio, everything)
}

// ---- C heap blocks: malloc and its relatives replaced by counting wrappers around glibc's own ----
// (not under AddressSanitizer, which has its own allocator and leak check)
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define SOAK_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  if (p != nullptr) ++g_liveMalloc;
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  if (p != nullptr) ++g_liveMalloc;
  return p;
}
void* realloc(void* old, size_t size) {
  void* p = __libc_realloc(old, size);
  if (old == nullptr && p != nullptr) ++g_liveMalloc;
  if (old != nullptr && size == 0 && p == nullptr) --g_liveMalloc;
  return p;
}
void free(void* p) {
  if (p == nullptr) return;
  --g_liveMalloc;
  __libc_free(p);
}
void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  if (p != nullptr) ++g_liveMalloc;
  return p;
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void* valloc(size_t size) { return memalign(4096, size); }
void* pvalloc(size_t size) { return memalign(4096, (size + 4095) & ~static_cast<size_t>(4095)); }
}
#endif

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  ++g_liveBlocks;
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) ++g_liveBlocks;
  return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  --g_liveBlocks;
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

bool IsLowerHex(const std::string& s) {
  if (s.empty() || s.size() % 2 != 0) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Checks every trace record as it arrives.
class TraceChecker : public ITraceReceiver {
 public:
  TraceChecker() { SetTraceReceiver(this); }
  ~TraceChecker() override { SetTraceReceiver(nullptr); }
  bool IsListening() override { return true; }
  void Deliver(const char* record) override {
    const std::string r = record;
    ++records;
    static const std::string kPrefix = "_QTRACE_ID_40000:[";
    if (r.compare(0, kPrefix.size(), kPrefix) != 0 || r.size() < kPrefix.size() + 2 ||
        r.compare(r.size() - 2, 2, "\r\n") != 0) {
      Problem("trace record not framed: " + Printable(r));
      return;
    }
    const std::string text = r.substr(kPrefix.size() - 1, r.size() - kPrefix.size() - 1);
    if (text.find_first_of("\r\n") != std::string::npos) Problem("line break inside a trace record: " + Printable(r));
    for (const char* tag : {"] Cmd[", "] Rsp["}) {
      const size_t at = text.find(tag);
      if (at == std::string::npos) continue;
      const size_t open = at + std::strlen(tag);
      if (text.back() != ']' || !IsLowerHex(text.substr(open, text.size() - 1 - open))) {
        Problem("Cmd/Rsp record not in hex: " + Printable(r));
      }
    }
    last = text;
    if (text == "[CWinTransMainProc] WinTransMain start") ++starts;
    if (text == "[CWinTransMainProc] WinTransMain end") ++ends;
  }
  static std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      }
    }
    return out;
  }
  void Problem(const std::string& what) {
    if (problems.size() < 5) problems.push_back(what);
  }
  int records = 0;
  int starts = 0;
  int ends = 0;
  std::string last;
  std::vector<std::string> problems;
};

struct RunOutcome {
  int result = 0;
  uint64_t panelSent = 0;
  uint64_t panelReceived = 0;
  uint64_t virtualMs = 0;
  bool resetSeen = false;
  std::vector<std::string> problems;
};

// One whole recovery with the mix; every check that does not depend on the prediction.
RunOutcome RunOnce(const SoakMix& mix) {
  RunOutcome out;
  VirtualPanelConfig config;
  config.identification = mix.identification;
  config.hasCoreType = !mix.coreType.empty();
  config.coreType = mix.coreType;
  config.poweredAtStart = mix.poweredAtStart;
  config.faults = mix.faults;
  {
    RecoveryRig rig(config);
    rig.WriteImages(mix.coreBytes, mix.loaderBytes, mix.coreFlags);
    TraceChecker trace;
    out.result = rig.Run();
    out.panelSent = rig.panel->BytesSent();
    out.panelReceived = rig.panel->BytesReceived();
    out.virtualMs = rig.clock.NowUs() / 1000;
    auto problem = [&out](const std::string& what) { out.problems.push_back(what); };

    // The operator log: lines ending in CR LF, no progress dot left, the prescribed last line.
    const std::string& log = rig.dialog->log;
    if (log.size() < 2 || log.compare(log.size() - 2, 2, "\r\n") != 0) problem("log does not end in CR LF");
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i] == '\r' && (i + 1 >= log.size() || log[i + 1] != '\n')) problem("CR without LF in the log");
      if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) problem("LF without CR in the log");
    }
    const std::vector<std::string> lines = rig.dialog->Lines();
    for (const std::string& l : lines) {
      if (l.empty() || l.find_first_not_of('.') == std::string::npos) problem("empty or dots-only log line");
    }
    const std::string want = out.result == 0 ? "Transfer completed." : "Transfer failed.";
    if (lines.empty() || lines.back() != want) {
      problem("last log line '" + (lines.empty() ? std::string() : lines.back()) + "', not '" + want + "'");
    }
    // The trace.
    for (const std::string& p : trace.problems) problem(p);
    if (trace.starts != 1 || trace.ends != 1 || trace.last != "[CWinTransMainProc] WinTransMain end") {
      problem("trace does not run from one start to one end");
    }
    // The run's resources.
    if (rig.link.HostPortOpen()) problem("the port stays open");
    if (rig.trans->m_dialog != nullptr) problem("the dialog stays bound");
    if (rig.dialog->closeButton.empty() || rig.dialog->closeButton.front() != 0 ||
        rig.dialog->closeButton.back() != 1) {
      problem("the Close button is not disabled and enabled again");
    }
    if (CBinaryFile::OpenCount() != 0) problem("an image file stays open");
    // The flash.
    if (out.result == 0) {
      if (!rig.FlashHoldsImages()) problem("the flash does not hold both images");
      if (!rig.panel->ResetAfterCompleteDownload()) problem("no reset after the complete download");
      for (const auto& bank : rig.panel->Banks()) {
        if (bank.second.writes < 1) problem("a bank never written");
      }
    }
    if (out.result != 0 && out.result != -2 && out.result != -5 && out.result != -6) {
      problem("result " + std::to_string(out.result) + " is not one this mix can give");
    }
    out.resetSeen = rig.panel->ResetSeen();
  }
  return out;
}

// A run's findings as text in a fixed buffer, so that keeping them costs no heap block.
struct RunSummary {
  int result = 0;
  bool resetSeen = false;
  uint64_t virtualMs = 0;
  uint64_t panelSent = 0;
  uint64_t panelReceived = 0;
  char problems[4096] = {0};
};

void Summarise(const RunOutcome& run, RunSummary& out) {
  out.result = run.result;
  out.resetSeen = run.resetSeen;
  out.virtualMs = run.virtualMs;
  out.panelSent = run.panelSent;
  out.panelReceived = run.panelReceived;
  size_t used = 0;
  for (const std::string& p : run.problems) {
    int n = std::snprintf(out.problems + used, sizeof out.problems - used, "    %s\n", p.c_str());
    if (n < 0 || static_cast<size_t>(n) >= sizeof out.problems - used) break;
    used += static_cast<size_t>(n);
  }
}

uint64_t RunSeed(uint64_t seed, int index) {
  uint64_t z = seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(index) * 0xD1B54A32D192ED03ull + 1;
  z = (z ^ (z >> 33)) * 0xFF51AFD7ED558CCDull;
  return z ^ (z >> 29);
}

struct KindCount {
  int runs = 0;
  long long occasions = 0;  // the `times` drawn (an always fault counts once per run)
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 1000;
  uint64_t seed = 20261211;
  bool single = false;
  uint64_t singleSeed = 0;
  bool verbose = false;
  bool overrideFaults = false;
  std::string faultsText;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--run-seed" && i + 1 < argc) {
      single = true;
      singleSeed = std::strtoull(argv[++i], nullptr, 0);
    } else if (a == "--faults" && i + 1 < argc) {
      overrideFaults = true;
      faultsText = argv[++i];
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--run-seed R [--faults \"F ...\"]] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  if (single) runs = 1;
  std::printf("recovery soak: %d run%s, seed %" PRIu64 "%s\n", runs, runs == 1 ? "" : "s", seed,
              single ? " (one run replayed)" : "");

  // The counters themselves must see a block and a descriptor come and go.
  {
    const long long blocks = g_liveBlocks.load(), cBlocks = g_liveMalloc.load();
    const int fds = OpenDescriptors();
    int* block = new int(1);
    void* cBlock = std::malloc(16);
    std::FILE* file = std::fopen("/dev/null", "rb");
    bool counted = g_liveBlocks.load() == blocks + 1 && OpenDescriptors() == fds + 1;
#if defined(SOAK_COUNTS_MALLOC)
    counted = counted && g_liveMalloc.load() >= cBlocks + 2;
#endif
    delete block;
    std::free(cBlock);
    if (file != nullptr) std::fclose(file);
    if (!counted) {
      std::printf("the heap or descriptor counters do not count\n");
      return 1;
    }
#if defined(SOAK_COUNTS_MALLOC)
    std::printf("counting operator new blocks, C heap blocks and descriptors\n");
#else
    (void)cBlocks;
    std::printf("counting operator new blocks and descriptors (the C heap is left to the leak sanitizer)\n");
#endif
  }

  // Warm-up: whatever the libraries keep for the whole process is allocated once here.
  { RunOnce(DrawMix(0)); }

  std::map<std::string, KindCount> kinds;
  int succeeded = 0, failedAsPrescribed = 0, other = 0;
  std::map<int, int> failures;
  uint64_t virtualMs = 0;
  for (int i = 0; i < runs; ++i) {
    const uint64_t runSeed = single ? singleSeed : RunSeed(seed, i);
    SoakMix mix = DrawMix(runSeed);
    if (overrideFaults) {
      // Replays a run with the faults given in the panel's grammar instead of the drawn ones.
      mix.faults.clear();
      size_t start = 0;
      while (start < faultsText.size()) {
        size_t end = faultsText.find(' ', start);
        if (end == std::string::npos) end = faultsText.size();
        PanelFault f;
        std::string error;
        if (end > start && !ParsePanelFault(faultsText.substr(start, end - start), f, error)) {
          std::fprintf(stderr, "%s\n", error.c_str());
          return 2;
        }
        if (end > start) mix.faults.push_back(f);
        start = end + 1;
      }
    }

    const long long blocksBefore = g_liveBlocks.load();
    const long long cHeapBefore = g_liveMalloc.load();
    const int fdsBefore = OpenDescriptors();

    Prediction predicted;
    bool resetDecided = true;
    if (mix.HasCableFault()) {
      // Where the cut falls: at a byte count drawn across the whole run without it.
      const SoakMix clean = mix.WithoutCableFaults();
      RunOutcome reference = RunOnce(clean);
      Prediction cleanPrediction = PredictWithoutCable(clean);
      bool cutInside = false;
      for (PanelFault& f : mix.faults) {
        if (f.kind == PanelFaultKind::kSilenceAfter) {
          f.value = f.value % (reference.panelSent + reference.panelSent / 8 + 1);
          cutInside = f.value < reference.panelSent;
        } else if (f.kind == PanelFaultKind::kCtsDropAfter) {
          f.value = f.value % (reference.panelReceived + reference.panelReceived / 8 + 1);
          cutInside = f.value < reference.panelReceived;
        }
      }
      // A cut inside the run ends it with -2 (the mixes with a cut have no refused model or core
      // type); whether the target took a reset before the cut is then not decided.
      predicted = cleanPrediction;
      if (cutInside) predicted.result = -2;
      resetDecided = !cutInside;
    } else {
      predicted = PredictWithoutCable(mix);
    }
    // A cut inside a refused model or core type still ends with that result after its reset: not
    // drawn (the variants and the cable faults exclude each other).

    static RunSummary run;
    run = RunSummary();
    {
      RunOutcome outcome = RunOnce(mix);
      Summarise(outcome, run);
    }
    const long long blocksAfter = g_liveBlocks.load();
    const long long cHeapAfter = g_liveMalloc.load();
    const int fdsAfter = OpenDescriptors();

    std::string problems = run.problems;
    virtualMs += run.virtualMs;
    if (run.result != predicted.result) {
      problems += "    result " + std::to_string(run.result) + ", prescribed " + std::to_string(predicted.result) + "\n";
    } else if (resetDecided && run.resetSeen != (predicted.resetSeen == 1)) {
      problems += std::string("    the target ") + (run.resetSeen ? "was" : "was not") + " reset\n";
    }
    if (blocksAfter != blocksBefore) {
      problems += "    heap blocks " + std::to_string(blocksAfter - blocksBefore) + " left\n";
    }
    if (cHeapAfter != cHeapBefore) {
      problems += "    C heap blocks " + std::to_string(cHeapAfter - cHeapBefore) + " left\n";
    }
    if (fdsAfter != fdsBefore) problems += "    descriptors " + std::to_string(fdsAfter - fdsBefore) + " left\n";

    for (const PanelFault& f : mix.faults) {
      KindCount& k = kinds[FaultKindName(f.kind)];
      ++k.runs;
      k.occasions += f.times < 0 ? 1 : f.times;
    }
    if (verbose) {
      std::printf("run %d seed %" PRIu64 ": result %d (%s)\n", i, runSeed, run.result, mix.Describe().c_str());
    }
    if (!problems.empty()) {
      ++other;
      std::printf("UNEXPECTED run %d, --run-seed %" PRIu64 ": %s\n%s", i, runSeed, mix.Describe().c_str(),
                  problems.c_str());
    } else if (run.result == 0) {
      ++succeeded;
    } else {
      ++failedAsPrescribed;
      ++failures[run.result];
    }
  }

  std::printf("\nfaults injected           drawn  occasions\n");
  for (const auto& k : kinds) {
    std::printf("  %-22s %8d %10lld\n", k.first.c_str(), k.second.runs, k.second.occasions);
  }
  std::printf("\nruns                       %8d\n", runs);
  std::printf("succeeded                  %8d\n", succeeded);
  std::printf("failed as prescribed       %8d  (", failedAsPrescribed);
  bool first = true;
  for (const auto& f : failures) {
    std::printf("%s%d: %d", first ? "" : ", ", f.first, f.second);
    first = false;
  }
  std::printf(")\nanything else              %8d\n", other);
  std::printf("blocks live at the end      new %lld, malloc %lld (same before and after every run)\n",
              g_liveBlocks.load(), g_liveMalloc.load());
  std::printf("virtual time               %8.1f h\n", static_cast<double>(virtualMs) / 3600000.0);
  return other == 0 ? 0 : 1;
}
