// calvera-panel --pty --once answers a hand-driven exchange through the pseudo-terminal it creates.
// Every wait is bounded; nothing here measures time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host_frames.h"

extern char** environ;

namespace {

constexpr int kWaitMs = 5000;  // bound of every single wait

using host_frames::Command;
using host_frames::Hex;
using host_frames::SumOf;

std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// One calvera-panel process with its pseudo-terminal opened from our side.
class PanelProcess {
 public:
  explicit PanelProcess(std::vector<std::string> args) {
    char dir[] = "/tmp/calvera-panel-test-XXXXXX";
    tempDir = mkdtemp(dir) ? dir : "/tmp";
    int out[2];
    if (pipe(out) != 0) return;
    args.insert(args.begin(), CALVERA_PANEL_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, (tempDir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    out_ = out[0];
  }
  ~PanelProcess() {
    if (port_ >= 0) close(port_);
    if (out_ >= 0) close(out_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::string cmd = "rm -rf '" + tempDir + "'";
    if (tempDir != "/tmp") (void)std::system(cmd.c_str());
  }

  // Reads the first stdout line ("port: /dev/pts/N") and opens that port in raw mode.
  bool OpenPort() {
    std::string line;
    while (line.find('\n') == std::string::npos) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) <= 0) return false;
      char c;
      if (read(out_, &c, 1) != 1) return false;
      line += c;
    }
    if (line.compare(0, 6, "port: ") != 0) return false;
    portPath = line.substr(6, line.size() - 7);
    port_ = open(portPath.c_str(), O_RDWR | O_NOCTTY);
    if (port_ < 0) return false;
    termios t{};
    tcgetattr(port_, &t);
    cfmakeraw(&t);
    return tcsetattr(port_, TCSANOW, &t) == 0;
  }
  bool Send(const std::string& s) { return write(port_, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }
  std::string Recv(size_t n) {
    std::string got;
    while (got.size() < n) {
      pollfd p{port_, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) <= 0) break;
      char buf[256];
      ssize_t k = read(port_, buf, std::min(sizeof buf, n - got.size()));
      if (k <= 0) break;
      got.append(buf, static_cast<size_t>(k));
    }
    return got;
  }
  std::string Exchange(const std::string& frame, size_t n) { return Send(frame) ? Recv(n) : ""; }
  void ClosePort() {
    close(port_);
    port_ = -1;
  }
  // Exit status, or -1 when it did not end within the bound (then it is killed).
  int WaitExit() {
    for (int i = 0; i < kWaitMs / 20; ++i) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  std::string Log() { return ReadFileBytes(tempDir + "/stderr.txt"); }

  std::string tempDir;
  std::string portPath;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = -1;
  bool exited_ = false;
};

// A compressed stream of literals only: a flag byte FF before every 8 bytes.
std::string LiteralStream(const std::string& plain) {
  std::string s;
  for (size_t i = 0; i < plain.size(); i += 8) {
    size_t n = std::min<size_t>(8, plain.size() - i);
    s += static_cast<char>((1u << n) - 1);
    s += plain.substr(i, n);
  }
  return s;
}

// Sends one bank and collects the progress answers up to the one with state 'E'.
std::string Bank(PanelProcess& p, int number, const std::string& data, bool compressed) {
  std::string cmd = Command(std::string(compressed ? "OPD" : "OPK") + Hex(static_cast<uint32_t>(number), 2) +
                            Hex(static_cast<uint32_t>(data.size()), 5));
  std::string ack = p.Exchange(cmd, 2);
  if (ack != "\x06\x1a") return "ack " + ack;
  p.Send(data + SumOf(data));
  std::string states;
  for (int i = 0; i < 20; ++i) {
    std::string a = p.Recv(8);
    if (a.size() != 8 || a.compare(0, 4, "\x1bOPD") != 0) return states + "?";
    states += a.substr(4, 2) + " ";
    if (a[4] == 'E') break;
  }
  return states;
}

TEST(CalveraPanelTool, AnswersAHandDrivenRecoveryAndDumpsWhatItGot) {
  char dir[] = "/tmp/calvera-panel-dump-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string dump = std::string(dir) + "/out";
  struct Cleanup {
    std::string dir;
    ~Cleanup() { (void)std::system(("rm -rf '" + dir + "'").c_str()); }
  } cleanup{dir};
  PanelProcess q({"--pty", "--once", "--core-type", "Velk", "--id", "QRV50009", "--dump", dump});
  ASSERT_TRUE(q.OpenPort());
  EXPECT_EQ(q.portPath.compare(0, 5, "/dev/"), 0);

  EXPECT_EQ(q.Exchange("\x05", 2), "\x03\n");
  EXPECT_EQ(q.Exchange(Command("COM24"), 9), "\x1b" "COM00F\r\n");
  EXPECT_EQ(q.Recv(10), "\x1b" "COM2445\r\n");  // the echo: command bytes 1-8 and a free ninth byte
  EXPECT_EQ(q.Exchange(Command("MID"), 17), "\x1bMID0QRV50009" + SumOf("MID0QRV50009") + "\r\n");

  const std::string loader("\x10\x20\x30\x40\x50", 5);
  std::string pdl = "PDL00200000" + Hex(5, 8);
  EXPECT_EQ(q.Exchange("\x1b" + pdl + loader + SumOf(pdl + loader) + "\r", 9), "\x1bPDL010\r\n");
  EXPECT_EQ(q.Exchange(Command("PGO00200000"), 9), "\x1bPGO016\r\n");
  EXPECT_EQ(q.Exchange("\x05", 2), "\x02\n");
  EXPECT_EQ(q.Exchange(Command("OTN"), 9), "\x1bOTN004" + SumOf("OTN004"));
  EXPECT_EQ(q.Recv(8), "Velk" + SumOf("Velk") + "\r\n");

  const std::string core = std::string("\x5a\x5a\x5a\x5a", 4) + "core image body";
  const std::string iloader = std::string("\xc3\xc3\x5a\x5a", 4) + "initial loader body";
  EXPECT_EQ(Bank(q, 0, core, false), "B1 B2 E0 ");
  EXPECT_EQ(Bank(q, 1, LiteralStream(iloader), true), "B1 B2 E0 ");
  ASSERT_TRUE(q.Send("\x1bOPD$$2B\r"));
  EXPECT_EQ(q.Recv(16), "\x1bOPDB2\r\n\x1bOPDE0\r\n");
  EXPECT_EQ(q.Exchange("\x1bRSTF9\r", 9), "\x1bRST029\r\n");

  EXPECT_EQ(q.WaitExit(), 0) << q.Log();
  EXPECT_EQ(ReadFileBytes(dump + "/oscore.bin"), core);
  EXPECT_EQ(ReadFileBytes(dump + "/iloader.bin"), iloader);
  EXPECT_EQ(ReadFileBytes(dump + "/ram.bin"), loader);
  std::string log = q.Log();
  EXPECT_NE(log.find("MID -> MID0 QRV50009"), std::string::npos) << log;
  EXPECT_NE(log.find("reset after complete download"), std::string::npos) << log;
}

TEST(CalveraPanelTool, InjectedFaultAndHostLeavingEndTheRunWithStatusOne) {
  PanelProcess p({"--pty", "--once", "--fault", "bad-sum:MID"});
  ASSERT_TRUE(p.OpenPort());
  const std::string good = "\x1bMID0QRV50008" + SumOf("MID0QRV50008") + "\r\n";
  std::string first = p.Exchange(Command("MID"), 17);
  EXPECT_EQ(first.substr(0, 13), good.substr(0, 13));
  EXPECT_NE(first, good);
  EXPECT_EQ(p.Exchange(Command("MID"), 17), good);
  p.ClosePort();
  EXPECT_EQ(p.WaitExit(), 1) << p.Log();
}

TEST(CalveraPanelTool, RefusesBadOptions) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--pty", "--fault", "bogus"},
                                        std::vector<std::string>{"--pty", "--id", "SHORT"},
                                        std::vector<std::string>{}}) {
    PanelProcess p(args);
    EXPECT_EQ(p.WaitExit(), 2);
  }
}

}  // namespace
