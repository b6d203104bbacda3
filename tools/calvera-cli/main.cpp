// calvera-cli: recovers a panel from a Linux host through the same engine as the Windows program.
//
//   calvera-cli --port DEVICE [--speed BPS] [--folder DIR] [--power-prompts cts|enter|none]
//               [--trace FILE|-]
//   calvera-cli --list-ports | --help | --version
//
// The options and exit statuses are described in kHelp below (calvera-cli --help).
// The log lines go to stdout as the log box shows them. On a terminal, progress dots come and go
// and a status line below the log shows the banks going out; it is erased when the run ends.
// Neither is ever written when stdout is not a terminal: there stdout holds the log lines only.
// Ctrl-C during a prompt cancels it; at any other moment it ends the run as a failure, with the
// port closed.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "bank_progress.h"
#include "dialog_bridge.h"
#include "image_check.h"
#include "interruptible_port.h"
#include "operator_messages.h"
#include "program_path.h"
#include "serial_port_system.h"
#include "source_file_locator.h"
#include "port_list.h"
#include "timestamp_trace.h"
#include "trace.h"
#include "win_trans.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

enum class PromptMode { kCts, kEnter, kNone };

constexpr int kExitOther = 1;
constexpr int kExitCancelled = 130;
constexpr uint32_t kLineWatchMs = 1;

const char kUsage[] =
    "usage: calvera-cli --port DEVICE [--speed BPS] [--folder DIR] [--power-prompts cts|enter|none]\n"
    "                   [--trace FILE|-]\n"
    "       calvera-cli --list-ports | --help | --version\n";

const char kHelp[] =
    "\n"
    "Recovers an operator panel over a serial line, as calvera.exe does on Windows.\n"
    "\n"
    "  --port DEVICE     the serial device (\"/dev/ttyUSB0\"; \"COMn\" stands for /dev/ttyS<n-1>)\n"
    "  --speed BPS       115200 (default), 38400 or 9600\n"
    "  --folder DIR      the program folder holding SYSTEM/ (image files, targets.txt) and\n"
    "                    system/QMTrans.cfg (default: the folder of this program)\n"
    "  --power-prompts   cts (default): the two instructions are shown and the CTS line is watched;\n"
    "                    enter: press Enter after each step; none: both steps count as done (a rig\n"
    "                    switches the panel itself)\n"
    "  --trace FILE      append the trace records to FILE (\"-\": stderr), each line starting with\n"
    "                    the local time it was written and a tab\n"
    "  --list-ports      list the serial ports of this machine (nothing is opened) and exit\n"
    "  --help            this text\n"
    "  --version         the version\n"
    "\n"
    "stdout holds the log lines of the run; on a terminal a status line below them shows the\n"
    "bank, bytes, rate and time left while the banks go out. A failed run prints its message on\n"
    "stderr. Ctrl-C cancels a prompt; at any other moment it ends the run, with the port closed.\n"
    "\n"
    "Exit status: 0 the panel was recovered; 2 or 4 port or link failure (cable, settings, DIP\n"
    "switch, Ctrl-C during a transfer); 3 speed not readable; 5 another product's core is installed;\n"
    "6 model refused; 7 target not supported (no line of targets.txt matches); 8 image files\n"
    "missing or broken; 130 cancelled at a prompt; 1 anything else, usage errors included.\n";

// "\r\n" as a line break of the terminal.
std::string Lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

int ExitStatus(int result) {
  if (result == 0) return 0;
  if (result == kResultOperatorCancelled) return kExitCancelled;
  if (result <= -2 && result >= -8) return -result;
  return kExitOther;
}

// The dialog of the terminal.
class CTerminalBridge : public IDialogBridge {
 public:
  CTerminalBridge(std::string port, std::string speed, PromptMode mode, CSourceFileLocator& locator)
      : port_(std::move(port)), speed_(std::move(speed)), mode_(mode), locator_(locator),
        terminal_(isatty(STDOUT_FILENO) != 0) {}

  void AppendLog(const char* text) override {
    if (std::strcmp(text, ".") == 0) {
      // Progress dots come and go; only a terminal can take them back. While the status line
      // stands below the log it shows the progress instead.
      ++dots_;
      if (terminal_ && !statusShown_) {
        ++dotsShown_;
        std::fputs(".", stdout);
        std::fflush(stdout);
      }
      return;
    }
    const std::string line = Lines(text);
    progress_.OnLogLine(line, NowMs());
    if (line == "QRV is reset.\n") statusDone_ = true;  // the banks are all out
    EraseStatus();
    std::fputs(line.c_str(), stdout);
    DrawStatus();
    std::fflush(stdout);
  }

  void TrimLog(int count) override {
    int n = count < dots_ ? count : dots_;
    dots_ -= n;
    int shown = n < dotsShown_ ? n : dotsShown_;
    dotsShown_ -= shown;
    if (!terminal_) return;
    for (int i = 0; i < shown; ++i) std::fputs("\b \b", stdout);
    std::fflush(stdout);
  }

  // Bytes that went out on the port (from the port wrapper).
  void OnWritten(const uint8_t* data, uint32_t count) {
    if (!terminal_) return;
    progress_.OnWritten(data, count, NowMs());
    if (statusShown_) {
      DrawStatus();
      std::fflush(stdout);
    }
  }

  // The end of the run: the status line goes away.
  void EndOfRun() {
    statusDone_ = true;
    EraseStatus();
    std::fflush(stdout);
  }

  void EnableCloseButton(int) override {}
  std::string GetPortBoxText() override { return port_; }
  std::string GetSpeedBoxText() override { return speed_; }
  void SetPromptPort(ISerialPort* port) override { promptPort_ = port; }
  int PromptPowerOff() override { return Prompt(kStrPromptPowerOff, false); }
  int PromptConnect() override { return Prompt(kStrPromptConnect, true); }

  int ResolveImageFiles(const char* machineId, std::string& initialLoaderPath, std::string& osCorePath) override {
    const int result = locator_.ResolveImageFiles(machineId, initialLoaderPath, osCorePath);
    if (result == 0) progress_.SetImages(ImageSize(osCorePath), ImageSize(initialLoaderPath));
    return result;
  }

  bool InPrompt() const { return inPrompt_; }

 private:
  // 1: the step is done; 2: cancelled (Ctrl-C, end of input) or the line could not be read.
  int Prompt(int stringId, bool awaitCtsOn) {
    if (mode_ == PromptMode::kNone) return kResultGoOn;
    if (g_interrupted) return kResultPromptCancelled;
    inPrompt_ = true;
    std::printf("%s\n", Lines(OperatorString(stringId)).c_str());
    int result = mode_ == PromptMode::kEnter ? WaitForEnter() : WatchCts(awaitCtsOn);
    inPrompt_ = false;
    return result;
  }

  int WatchCts(bool awaitCtsOn) {
    std::fflush(stdout);
    if (promptPort_ == nullptr) return kResultPromptCancelled;
    for (;;) {
      if (g_interrupted) return kResultPromptCancelled;
      uint32_t status = 0;
      if (!promptPort_->GetModemStatus(status)) return kResultPromptCancelled;
      if (((status & kModemStatusCtsOn) != 0) == awaitCtsOn) return kResultGoOn;
      usleep(kLineWatchMs * 1000);
    }
  }

  int WaitForEnter() {
    std::printf("Press Enter when done (Ctrl-C cancels).\n");
    std::fflush(stdout);
    for (;;) {
      if (g_interrupted) return kResultPromptCancelled;
      pollfd p = {STDIN_FILENO, POLLIN, 0};
      int ready = poll(&p, 1, 100);
      if (ready <= 0) continue;
      char c = 0;
      ssize_t n = read(STDIN_FILENO, &c, 1);
      if (n == 0) return kResultPromptCancelled;  // no operator any more
      if (n < 0) continue;
      if (c == '\n') return kResultGoOn;
    }
  }

  static uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  // The bytes the engine sends of an image: the total size in its header; 0 when unreadable
  // (the engine then refuses the file itself).
  static uint64_t ImageSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    uint8_t bytes[kImageHeaderSize];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) return 0;
    return ImageHeader::Parse(bytes).total_size;
  }

  // The status line stands on the line below the log; the cursor stays at its start's line.
  void DrawStatus() {
    if (!terminal_ || statusDone_ || !progress_.Active()) return;
    std::fputs("\r", stdout);
    std::fputs(progress_.StatusLine(NowMs()).c_str(), stdout);
    std::fputs("\x1b[K", stdout);
    statusShown_ = true;
  }

  void EraseStatus() {
    if (!statusShown_) return;
    std::fputs("\r\x1b[K", stdout);
    statusShown_ = false;
  }

  std::string port_;
  std::string speed_;
  PromptMode mode_;
  CSourceFileLocator& locator_;
  bool terminal_;
  int dots_ = 0;
  int dotsShown_ = 0;
  CBankProgress progress_;
  bool statusShown_ = false;
  bool statusDone_ = false;
  ISerialPort* promptPort_ = nullptr;
  bool inPrompt_ = false;
};

struct Options {
  std::string port;
  std::string speed = "115200";
  std::string folder;
  PromptMode mode = PromptMode::kCts;
  std::string trace;
  bool help = false;
  bool version = false;
  bool listPorts = false;
};

// Empty on success, else the reason.
std::string ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      return "";
    }
    if (arg == "--version") {
      o.version = true;
      return "";
    }
    if (arg == "--list-ports") {
      o.listPorts = true;
      continue;
    }
    std::string value;
    const size_t eq = arg.find('=');
    bool inlineValue = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
    if (inlineValue) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    if (arg != "--port" && arg != "--speed" && arg != "--folder" && arg != "--power-prompts" && arg != "--trace")
      return "unknown argument '" + arg + "'";
    if (!inlineValue) {
      if (i + 1 >= argc) return arg + " needs a value";
      value = argv[++i];
    }
    if (arg == "--port") o.port = value;
    else if (arg == "--speed") o.speed = value;
    else if (arg == "--folder") o.folder = value;
    else if (arg == "--trace") o.trace = value;
    else if (value == "cts") o.mode = PromptMode::kCts;
    else if (value == "enter") o.mode = PromptMode::kEnter;
    else if (value == "none") o.mode = PromptMode::kNone;
    else return "--power-prompts takes cts, enter or none";
  }
  if (o.listPorts) return o.port.empty() ? "" : "--list-ports takes no --port";
  if (o.port.empty()) return "--port is required";
  return "";
}

void PrintResult(int result) {
  const int id = ResultStringId(result);
  if (id == 0) return;
  std::fprintf(stderr, "%s\n", Lines(OperatorString(id)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error = ParseOptions(argc, argv, options);
  if (options.help) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("calvera-cli %s\n", CALVERA_VERSION_TEXT);
    return 0;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "calvera-cli: %s\n%s", error.c_str(), kUsage);
    return kExitOther;
  }
  if (options.listPorts) {
    for (const SerialPortInfo& port : ListSerialPorts()) {
      if (port.description.empty()) std::printf("%s\n", port.device.c_str());
      else std::printf("%-16s %s\n", port.device.c_str(), port.description.c_str());
    }
    return 0;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::unique_ptr<CTimestampTraceReceiver> trace;
  if (!options.trace.empty()) {
    trace.reset(options.trace == "-" ? new CTimestampTraceReceiver(stderr)
                                     : new CTimestampTraceReceiver(options.trace));
    if (!trace->IsOpen()) {
      std::fprintf(stderr, "calvera-cli: cannot open the trace file %s\n", options.trace.c_str());
      return kExitOther;
    }
    SetTraceReceiver(trace.get());
  }
  struct TraceUninstall {
    ~TraceUninstall() { SetTraceReceiver(nullptr); }
  } traceUninstall;

  // The program folder: the one given, or this program's own. The engine and the locator both
  // take a program path and use its folder.
  std::string programPath;
  if (options.folder.empty()) {
    programPath = GetProgramPath();
  } else {
    programPath = options.folder;
    if (programPath.back() != '/') programPath += '/';
    programPath += "calvera-cli";
  }

  CSourceFileLocator locator;
  if (locator.InitProgramFolder(programPath.c_str()) != 0 || locator.InitImageLibrary() != 0) {
    PrintResult(kResultNoImageOrDialog);
    return ExitStatus(kResultNoImageOrDialog);
  }

  PortWatch watch;
  watch.interrupted = &g_interrupted;
  const ModemLines lines = options.mode == PromptMode::kCts     ? ModemLines::kFromPort
                           : options.mode == PromptMode::kEnter ? ModemLines::kAssumeOn
                                                                : ModemLines::kAssumeOff;
  CInterruptiblePortFactory factory(MakeSystemSerialPortFactory(), watch, lines);

  std::unique_ptr<CWinTrans> trans(new CWinTrans(programPath));
  trans->SetPortFactory(&factory);
  CTerminalBridge bridge(options.port, options.speed, options.mode, locator);
  watch.onWritten = [&bridge](const uint8_t* data, uint32_t count) { bridge.OnWritten(data, count); };
  const int result = trans->CWinTransMainProc(&bridge);
  bridge.EndOfRun();

  PrintResult(result);
  if (g_interrupted && result != kResultOk && result != kResultOperatorCancelled)
    std::fprintf(stderr, "calvera-cli: interrupted; the port is closed\n");
  if (options.mode == PromptMode::kCts && watch.modemStatusFailed && result == kResultPortFailure)
    std::fprintf(stderr,
                 "calvera-cli: the port reports no modem lines (CTS); try --power-prompts enter or "
                 "--power-prompts none\n");
  return ExitStatus(result);
}
