// calvera-panel: the virtual panel as a program, on a serial device or on a pseudo-terminal pair
// that it creates itself. The first line on stdout names the port to open ("port: /dev/pts/7");
// each exchange is logged on stderr in one line.
//
//   calvera-panel (--port DEVICE | --pty) [--id ID] [--core-type TEXT] [--dump DIR]
//                 [--fault FAULT]... [--once] [--off]
//
// Power: on from the start unless --off; SIGUSR1 switches it on, SIGUSR2 off. On a serial device
// the panel's RTS carries its CTS to the host (null-modem cable); a pseudo-terminal has no modem
// lines, so there power is only logical.
// --once: exit after one recovery: 0 when it ended with a reset after a complete download, 1 when
// the reset came without one or the host closed the port first.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "realtime_driver.h"
#include "virtual_panel.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_powerOn = 0;
volatile sig_atomic_t g_powerOff = 0;

void OnSignal(int sig) {
  if (sig == SIGUSR1) g_powerOn = 1;
  else if (sig == SIGUSR2) g_powerOff = 1;
  else g_stop = 1;
}

constexpr int kIdlePollMs = 20;          // poll period while no host holds the pseudo-terminal
constexpr uint64_t kAfterResetUs = 300000;  // the host reads the reset answer before we go on

const char kUsage[] =
    "usage: calvera-panel (--port DEVICE | --pty) [--id ID] [--core-type TEXT] [--dump DIR]\n"
    "                     [--fault FAULT]... [--once] [--off]\n"
    "       calvera-panel --help | --version\n";

const char kHelp[] =
    "\n"
    "The virtual panel: answers a recovery (calvera-cli, calvera.exe) like a real target, on a\n"
    "serial device or on a pseudo-terminal. The first line on stdout names the port to open\n"
    "(\"port: /dev/pts/7\"); every exchange is logged on stderr.\n"
    "\n"
    "  --port DEVICE     answer on this serial device (null-modem cable; the panel's RTS is the\n"
    "                    host's CTS, so the power prompts work)\n"
    "  --pty             create a pseudo-terminal and answer there (no modem lines)\n"
    "  --id ID           the 8-character machine identification (default QRV50008)\n"
    "  --core-type TEXT  the operating-system core type the loader reports (at most 255 characters)\n"
    "  --dump DIR        after a recovery write oscore.bin, iloader.bin and ram.bin into DIR\n"
    "  --fault FAULT     inject a fault (repeatable); FAULT is KIND[:ARG][:OPTION]...:\n"
    "                    noise[:CMD] bad-sum:CMD lower-sum:CMD no-answer:CMD stray-esc:CMD status:CMD\n"
    "                    nak[:bank=N] e1[:bank=N] echo-mismatch silence-after:BYTES\n"
    "                    cts-drop-after:BYTES delay:MS; OPTION is times=N, always or bank=N;\n"
    "                    CMD is HSK COM MID PDL PGO OTN OPD OPD$$ RST\n"
    "  --once            end after one recovery\n"
    "  --off             start switched off\n"
    "  --help            this text\n"
    "  --version         the version\n"
    "\n"
    "Power: SIGUSR1 switches the panel on, SIGUSR2 off; SIGINT or SIGTERM ends the program.\n"
    "\n"
    "Exit status: 0 the (last) recovery ended with a reset after a complete download; 1 it ended\n"
    "otherwise (reset without a complete download, the host closed the port first, or stopped by a\n"
    "signal); 2 usage error, or the port cannot be opened or created.\n";

void Usage() { std::fputs(kUsage, stderr); }

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

void Dump(const VirtualPanel& panel, const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  std::vector<uint8_t> core, loader;
  if (panel.ReassembleImages(core, loader)) {
    bool ok = WriteFile(dir + "/oscore.bin", core) && WriteFile(dir + "/iloader.bin", loader);
    std::fprintf(stderr, "dump: oscore.bin (%zu bytes), iloader.bin (%zu bytes)%s\n", core.size(), loader.size(),
                 ok ? "" : " - write failed");
  } else {
    std::fprintf(stderr, "dump: the banks do not make two complete images; none written\n");
  }
  if (!panel.LoaderRam().empty()) {
    bool ok = WriteFile(dir + "/ram.bin", panel.LoaderRam());
    std::fprintf(stderr, "dump: ram.bin (%zu bytes)%s\n", panel.LoaderRam().size(), ok ? "" : " - write failed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, dumpDir;
  bool pty = false, once = false, startOff = false;
  VirtualPanelConfig config;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("calvera-panel %s\n", CALVERA_VERSION_TEXT);
      return 0;
    } else if (a == "--pty") {
      pty = true;
    } else if (a == "--port" && value(device)) {
    } else if (a == "--id" && value(v)) {
      if (v.size() != 8) {
        std::fprintf(stderr, "calvera-panel: --id needs exactly 8 characters\n");
        return 2;
      }
      config.identification = v;
    } else if (a == "--core-type" && value(v)) {
      if (v.size() > 255) {
        std::fprintf(stderr, "calvera-panel: --core-type is limited to 255 characters\n");
        return 2;
      }
      config.hasCoreType = true;
      config.coreType = v;
    } else if (a == "--dump" && value(dumpDir)) {
    } else if (a == "--fault" && value(v)) {
      PanelFault f;
      std::string err;
      if (!ParsePanelFault(v, f, err)) {
        std::fprintf(stderr, "calvera-panel: --fault %s: %s\n", v.c_str(), err.c_str());
        return 2;
      }
      config.faults.push_back(f);
    } else if (a == "--once") {
      once = true;
    } else if (a == "--off") {
      startOff = true;
    } else {
      Usage();
      return 2;
    }
  }
  if (pty == !device.empty()) {
    Usage();
    return 2;
  }

  int fd = -1;
  std::string portName = device;
  if (pty) {
    fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
      std::fprintf(stderr, "calvera-panel: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
      return 2;
    }
    portName = ptsname(fd);
  } else {
    fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      std::fprintf(stderr, "calvera-panel: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
      return 2;
    }
    if (!SetRawLine(fd, 9600)) {
      std::fprintf(stderr, "calvera-panel: %s is not a serial line: %s\n", device.c_str(), std::strerror(errno));
      close(fd);
      return 2;
    }
  }
  // Non-blocking: the loop polls before it reads, and an answer the host does not take in time
  // is dropped instead of stopping the panel.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::printf("port: %s\n", portName.c_str());
  std::fflush(stdout);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  FdPanelWire wire(fd, pty);
  auto newPanel = [&](bool powered) {
    std::unique_ptr<VirtualPanel> p(new VirtualPanel(config, wire));
    p->SetLogSink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    if (powered) p->PowerOn();
    return p;
  };
  std::unique_ptr<VirtualPanel> panel = newPanel(!startOff);

  bool clientSeen = false;
  bool resetHandled = false;
  uint64_t endAt = 0;
  int status = 1;
  for (;;) {
    if (g_stop) break;
    if (g_powerOn) {
      g_powerOn = 0;
      panel->PowerOn();
    }
    if (g_powerOff) {
      g_powerOff = 0;
      panel->PowerOff();
    }

    uint64_t now = wire.NowUs();
    uint64_t next = wire.NextTimerUs();
    if (endAt != 0 && endAt < next) next = endAt;
    int timeoutMs = 200;
    if (next != UINT64_MAX) timeoutMs = next <= now ? 0 : static_cast<int>(std::min<uint64_t>((next - now + 999) / 1000, 200));
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) break;
    bool hostLeft = false;
    if (r > 0 && (p.revents & POLLIN)) {
      uint8_t buf[4096];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        clientSeen = true;
        std::lock_guard<std::recursive_mutex> lock(wire.mutex());
        for (ssize_t k = 0; k < n; ++k) panel->OnByte(buf[k]);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        // nothing after all
      } else if (pty) {
        // EIO (or end of file): no one holds the other end of the pseudo-terminal.
        hostLeft = clientSeen;
        if (!clientSeen) poll(nullptr, 0, kIdlePollMs);
      }
    } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
      // A pseudo-terminal master reports a hang-up while no one holds the other end.
      hostLeft = clientSeen;
      if (!hostLeft) poll(nullptr, 0, kIdlePollMs);
    }

    now = wire.NowUs();
    uint64_t token = 0;
    while (wire.PopDueTimer(now, token)) panel->OnTimer(token);

    if (panel->ResetSeen() && !resetHandled) {
      resetHandled = true;
      status = panel->ResetAfterCompleteDownload() ? 0 : 1;
      std::fprintf(stderr, "%s\n",
                   status == 0 ? "recovery ended: reset after complete download"
                               : "recovery ended: reset without complete download");
      if (!dumpDir.empty()) Dump(*panel, dumpDir);
      endAt = wire.NowUs() + kAfterResetUs;
    }
    bool runOver = hostLeft || (endAt != 0 && wire.NowUs() >= endAt);
    if (runOver) {
      if (!resetHandled) {
        std::fprintf(stderr, "recovery ended: the host closed the port before a reset\n");
        if (!dumpDir.empty()) Dump(*panel, dumpDir);
        status = 1;
      }
      if (once) break;
      // Next recovery: a fresh panel, as after switching the target off and on again.
      panel.reset();
      wire.CancelTimers();
      panel = newPanel(!startOff);
      clientSeen = false;
      resetHandled = false;
      endAt = 0;
    }
  }
  panel.reset();
  close(fd);
  return status;
}
