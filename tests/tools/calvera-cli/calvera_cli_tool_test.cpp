// calvera-cli against calvera-panel --pty: a whole recovery over a pseudo-terminal, and the ways a
// run can fail, each with its exit status. Every wait is bounded; nothing here measures time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image_check.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 20000;  // bound of every wait for a program

using Bytes = std::vector<uint8_t>;

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes Image(uint32_t magic, size_t bodySize, uint32_t flags, uint32_t seed) {
  Bytes body(bodySize);
  for (size_t i = 0; i < bodySize; ++i) {
    seed = seed * 1664525u + 1013904223u;
    body[i] = (i % 89 < 50) ? static_cast<uint8_t>(i / 11) : static_cast<uint8_t>(seed >> 24);
  }
  ImageHeader h;
  h.magic = magic;
  h.total_size = static_cast<uint32_t>(bodySize + kImageHeaderSize);
  h.load_address = 0x8C000000u;
  h.entry_offset = 0x40;
  h.format_flags = flags;
  if (magic == OSCORE_MAGIC && (flags & kFlagsWordSumMask) != 0)
    h.body_check = CalcWordSum(body.data(), static_cast<uint32_t>(bodySize));
  else
    CalcCrc(body.data(), static_cast<uint32_t>(bodySize), h.body_check);
  h.header_crc = CalcHeaderCrc(h);
  uint8_t bytes[kImageHeaderSize];
  h.Serialize(bytes);
  Bytes file(bytes, bytes + kImageHeaderSize);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

// One spawned program: stdout and stderr into files (or stdout into a pipe), stdin from a file.
class Process {
 public:
  // `stdinText` null: stdin is a pipe that stays open (an operator who types nothing).
  Process(std::vector<std::string> args, const std::string& dir, const std::string& name, bool stdoutPipe,
          const char* stdinText = "") {
    outPath = dir + "/" + name + ".out";
    errPath = dir + "/" + name + ".err";
    const std::string inPath = dir + "/" + name + ".in";
    if (stdinText != nullptr) std::ofstream(inPath) << stdinText;
    int pipeFds[2] = {-1, -1};
    if (stdoutPipe && pipe(pipeFds) != 0) return;
    int inFds[2] = {-1, -1};
    if (stdinText == nullptr && pipe(inFds) != 0) return;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdinText != nullptr) {
      posix_spawn_file_actions_addopen(&fa, 0, inPath.c_str(), O_RDONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&fa, inFds[0], 0);
      posix_spawn_file_actions_addclose(&fa, inFds[1]);
    }
    if (stdoutPipe) {
      posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
      posix_spawn_file_actions_addclose(&fa, pipeFds[0]);
    } else {
      posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (stdoutPipe) {
      close(pipeFds[1]);
      pipe_ = pipeFds[0];
    }
    if (stdinText == nullptr) {
      close(inFds[0]);
      stdin_ = inFds[1];
    }
  }
  ~Process() {
    if (pipe_ >= 0) close(pipe_);
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }

  // Reads stdout (a pipe) up to a line starting with `prefix`; returns the rest of it.
  bool ReadLine(const std::string& prefix, std::string& rest) {
    std::string line;
    for (;;) {
      pollfd p{pipe_, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) <= 0) return false;
      char c;
      if (read(pipe_, &c, 1) != 1) return false;
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line.compare(0, prefix.size(), prefix) == 0) {
        rest = line.substr(prefix.size());
        return true;
      }
      line.clear();
    }
  }
  // Waits until the file holds `text` (the process writes it).
  bool WaitForOutput(const std::string& text) {
    for (int i = 0; i < kWaitMs / 10; ++i) {
      if (ReadText(outPath).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
  }
  // Exit status; -1 when it did not end within the bound (then it is killed) or died of a signal.
  int WaitExit() {
    for (int i = 0; i < kWaitMs / 10; ++i) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  std::string Out() const { return ReadText(outPath); }
  std::string Err() const { return ReadText(errPath); }

  std::string outPath;
  std::string errPath;

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
};

// A program whose stdout is a pseudo-terminal (what a person at a terminal sees); stderr goes to
// a file. Everything it writes to the terminal is collected until it ends.
class TerminalProcess {
 public:
  TerminalProcess(std::vector<std::string> args, const std::string& dir) {
    errPath = dir + "/terminal.err";
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    // The test holds the terminal open too: output still buffered when the program ends is not
    // dropped with a hang-up.
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, slave_, 1);
    posix_spawn_file_actions_addclose(&fa, master_);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~TerminalProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  // Reads the terminal until the program has ended and nothing more comes; its exit status, or -1.
  int Run() {
    int status = -1;
    for (int i = 0; i < kWaitMs / 10; ++i) {
      pollfd p{master_, POLLIN, 0};
      const int ready = poll(&p, 1, 10);
      if (ready > 0) {
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) screen.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (exited_) return status;  // ended, and nothing came for 10 ms more
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
    }
    return -1;
  }
  bool Started() const { return pid_ > 0; }

  std::string screen;
  std::string errPath;

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  bool exited_ = false;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/calvera-cli-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    temp = dir;
    program = temp + "/program";
    core = Image(OSCORE_MAGIC, 2 * 65536 + 3000, 0x00010001u, 3);
    loader = Image(ILOADER_MAGIC, 9000, 0, 4);
    WriteBytes(program + "/SYSTEM/OSCORE.BIN", core);
    WriteBytes(program + "/SYSTEM/ILOADER.BIN", loader);
    WriteTargets("* ILOADER.BIN OSCORE.BIN\n");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
  }
  void WriteTargets(const std::string& text) {
    std::ofstream(program + "/SYSTEM/targets.txt") << text;
  }
  // Starts the panel; false when it did not name its port.
  bool StartPanel(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {CALVERA_PANEL_PATH, "--pty", "--once", "--dump", temp + "/dump"};
    args.insert(args.end(), extra.begin(), extra.end());
    panel.reset(new Process(args, temp, "panel", true));
    return panel->Started() && panel->ReadLine("port: ", port);
  }
  std::unique_ptr<Process> Cli(std::vector<std::string> extra, const char* stdinText = "") {
    std::vector<std::string> args = {CALVERA_CLI_PATH};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::unique_ptr<Process>(new Process(args, temp, "cli", false, stdinText));
  }

  std::string temp;
  std::string program;
  std::string port;
  Bytes core;
  Bytes loader;
  std::unique_ptr<Process> panel;
};

Bytes FileBytes(const std::string& path) {
  std::string s = ReadText(path);
  return Bytes(s.begin(), s.end());
}

TEST_F(CliTest, RecoversThePanelWithoutPrompts) {
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "none", "--trace", temp + "/trace.txt"});
  EXPECT_EQ(cli->WaitExit(), 0) << cli->Err();
  EXPECT_EQ(panel->WaitExit(), 0) << panel->Err();
  const std::string out = cli->Out();
  EXPECT_EQ(out.find("\n."), std::string::npos) << "no progress dots off a terminal";
  EXPECT_NE(out.find("Connecting...\nSpeed changed to 115200bps.\nTransferring program.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Sending Data No. 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("QRV is reset.\nTransfer completed.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_EQ(cli->Err(), "");
  EXPECT_EQ(FileBytes(temp + "/dump/oscore.bin"), core);
  EXPECT_EQ(FileBytes(temp + "/dump/iloader.bin"), loader);
  EXPECT_EQ(out.find("bank "), std::string::npos) << "no status line off a terminal";
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  // Every trace record has its time in front; the records themselves are as the engine made them.
  const std::string trace = ReadText(temp + "/trace.txt");
  const std::regex record(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\t_QTRACE_ID_40000:\[\w+\].*\r)");
  std::istringstream lines(trace);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, record)) << line;
  }
  EXPECT_GT(count, 20);
  EXPECT_NE(trace.find("\t_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain start\r\n"), std::string::npos);
  EXPECT_NE(trace.find("\t_QTRACE_ID_40000:[CWinTransMainProc] WinTransMain end\r\n"), std::string::npos);
}

TEST_F(CliTest, StatusLineOnATerminalWhileTheBanksGoOutThenErased) {
  ASSERT_TRUE(StartPanel());
  TerminalProcess cli({CALVERA_CLI_PATH, "--port", port, "--folder", program, "--power-prompts", "none"}, temp);
  ASSERT_TRUE(cli.Started());
  EXPECT_EQ(cli.Run(), 0) << ReadText(cli.errPath);
  EXPECT_EQ(panel->WaitExit(), 0);
  const std::string& screen = cli.screen;
  // OS core of 3 banks and initial loader of 1: four banks in all.
  const std::string total = std::to_string(core.size() + loader.size());
  for (int bank = 1; bank <= 4; ++bank) {
    const std::string status = "\rbank " + std::to_string(bank) + " of 4  ";
    EXPECT_NE(screen.find(status), std::string::npos) << "no status line for bank " << bank << ":\n" << screen;
  }
  EXPECT_NE(screen.find("/" + total + " bytes  "), std::string::npos) << screen;
  EXPECT_NE(screen.find("% "), std::string::npos);
  EXPECT_NE(screen.find(" left\x1b[K"), std::string::npos);
  // Each log line during the banks first erases the status line, and the last one goes for good.
  EXPECT_NE(screen.find("\r\x1b[KSending Data No. 1\r\n"), std::string::npos) << screen;
  const size_t reset = screen.find("\r\x1b[KQRV is reset.\r\n");
  ASSERT_NE(reset, std::string::npos) << screen;
  EXPECT_EQ(screen.find("bank ", reset), std::string::npos);
  ASSERT_GE(screen.size(), 21u);
  EXPECT_EQ(screen.substr(screen.size() - 21), "Transfer completed.\r\n");
}

TEST_F(CliTest, EnterModeShowsBothInstructions) {
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "enter", "--speed", "38400"}, "\n\n");
  EXPECT_EQ(cli->WaitExit(), 0) << cli->Err();
  const std::string out = cli->Out();
  EXPECT_EQ(out.find("Please turn off the Target.\n"), 0u) << out;
  EXPECT_NE(out.find("Please connect the PC to the target using the exclusive serial transmission cable.\nIf the"),
            std::string::npos);
  EXPECT_NE(out.find("Speed changed to 38400bps.\n"), std::string::npos);
  EXPECT_NE(out.find("Transfer completed.\n"), std::string::npos);
  EXPECT_EQ(panel->WaitExit(), 0);
}

TEST_F(CliTest, EndOfInputAtAPromptCancels) {
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "enter"});
  EXPECT_EQ(cli->WaitExit(), 130);
  EXPECT_NE(cli->Out().find("Transfer canceled.\n"), std::string::npos);
  EXPECT_EQ(cli->Err(), "") << "no message for a cancelled run";
}

TEST_F(CliTest, InterruptAtAPromptCancels) {
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "enter"}, nullptr);
  ASSERT_TRUE(cli->WaitForOutput("Please turn off the Target."));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->WaitExit(), 130);
  const std::string out = cli->Out();
  EXPECT_EQ(out.substr(out.size() - 19), "Transfer canceled.\n");
  EXPECT_EQ(cli->Err(), "");
}

TEST_F(CliTest, PseudoTerminalHasNoModemLinesForTheCtsPrompts) {
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program});
  EXPECT_EQ(cli->WaitExit(), 2);
  EXPECT_EQ(cli->Out(), "Failed to get COM port state.\n");
  EXPECT_EQ(cli->Err().find("Transfer failed.\nAfter confirming the cable, communication settings, and the DIP "
                            "switch, transfer the data again.\n"),
            0u)
      << cli->Err();
  EXPECT_NE(cli->Err().find("--power-prompts enter"), std::string::npos);
}

TEST_F(CliTest, UnsupportedTargetEndsWithSeven) {
  WriteTargets("ABC?????  IL.BIN  OS.BIN\n");
  ASSERT_TRUE(StartPanel());
  auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "none"});
  EXPECT_EQ(cli->WaitExit(), 7);
  EXPECT_EQ(cli->Err(), "Target is not supported.\n");
  EXPECT_NE(cli->Out().find("Transfer failed.\n"), std::string::npos);
}

TEST_F(CliTest, InterruptDuringTheRunFailsWithThePortClosed) {
  // Slow answers keep the run going long enough to be interrupted: while connecting, and in the
  // middle of the banks (the second bank's line is out, its answers are not).
  for (const char* moment : {"Connecting...", "Sending Data No. 1"}) {
    SCOPED_TRACE(moment);
    ASSERT_TRUE(StartPanel({"--fault", "delay:400"}));
    auto cli = Cli({"--port", port, "--folder", program, "--power-prompts", "none"});
    ASSERT_TRUE(cli->WaitForOutput(moment));
    cli->Signal(SIGINT);
    EXPECT_EQ(cli->WaitExit(), 2);
    EXPECT_NE(cli->Out().find("Transfer failed.\n"), std::string::npos);
    EXPECT_EQ(cli->Out().find("Transfer completed."), std::string::npos);
    EXPECT_NE(cli->Err().find("calvera-cli: interrupted; the port is closed"), std::string::npos);
    // The panel sees the host let go of the line before any reset after a complete download.
    EXPECT_EQ(panel->WaitExit(), 1);
    EXPECT_NE(panel->Err().find("the host closed the port before a reset"), std::string::npos) << panel->Err();
  }
}

TEST_F(CliTest, FolderWithoutTargetTableEndsWithEight) {
  auto cli = Cli({"--port", "/dev/null", "--folder", temp + "/nowhere"});
  EXPECT_EQ(cli->WaitExit(), 8);
  EXPECT_EQ(cli->Err(), "Transfer source file not found or broken.\n");
  EXPECT_EQ(cli->Out(), "");
}

TEST_F(CliTest, UsageErrorsEndWithOne) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--port"}, {"--port", "x", "--power-prompts", "cst"},
                                        {"--port", "x", "--bogus", "1"}}) {
    auto cli = Cli(args);
    EXPECT_EQ(cli->WaitExit(), 1);
    EXPECT_NE(cli->Err().find("usage: calvera-cli"), std::string::npos);
  }
}

TEST_F(CliTest, HelpVersionAndPortList) {
  auto help = Cli({"--help"});
  EXPECT_EQ(help->WaitExit(), 0);
  for (const char* part : {"usage: calvera-cli", "--port", "--speed", "--folder", "--power-prompts", "--trace",
                           "--list-ports", "--version", "Exit status: 0", "130"})
    EXPECT_NE(help->Out().find(part), std::string::npos) << part;
  auto version = Cli({"--version"});
  EXPECT_EQ(version->WaitExit(), 0);
  EXPECT_TRUE(std::regex_match(version->Out(), std::regex("calvera-cli [0-9]+\\.[0-9]+\n"))) << version->Out();
  auto ports = Cli({"--list-ports"});
  EXPECT_EQ(ports->WaitExit(), 0);
  EXPECT_EQ(ports->Err(), "");
  auto both = Cli({"--list-ports", "--port", "/dev/ttyS0"});
  EXPECT_EQ(both->WaitExit(), 1);
}

TEST_F(CliTest, MissingPortEndsWithTwo) {
  auto cli = Cli({"--port", temp + "/no-such-port", "--folder", program, "--power-prompts", "none"});
  EXPECT_EQ(cli->WaitExit(), 2);
  EXPECT_EQ(cli->Out(), "Failed to open " + temp + "/no-such-port port.\n");
}

}  // namespace
