// The installer flow, the version rule and the command lines, run against a scripted platform.
#include "installer_flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <iconv.h>
#endif

namespace velmora {
namespace {

constexpr char kFolder[] = "C:\\Drivers\\USB\\";
constexpr char kSetupPath[] = "C:\\Drivers\\USB\\\\Kalvuset.exe";
constexpr char kSystemFolder[] = "C:\\Windows\\system32";
constexpr char kMsiexec[] = "C:\\Windows\\system32\\msiexec.exe";

// Every call the flow makes that the user or the machine would notice, in order.
using Events = std::vector<std::string>;

std::string Box(unsigned id, unsigned style) {
  return "box " + std::to_string(id) + " " + std::to_string(style);
}
std::string Run(const std::string& file, const std::string& parameters) {
  return "run " + file + " " + parameters;
}

class ScriptedGuard : public IInstanceGuard {
 public:
  ScriptedGuard(Events& events, std::uint32_t error) : events_(events), error_(error) {}
  ~ScriptedGuard() override { events_.push_back("release"); }
  std::uint32_t CreationError() const override { return error_; }

 private:
  Events& events_;
  std::uint32_t error_;
};

class ScriptedPlatform : public IInstallerPlatform {
 public:
  // What the machine looks like.
  bool frameworkStarts = true;
  std::map<unsigned, std::string> texts = {{IDS_INSTANCE_MUTEX_NAME, "USB Quillfer Driver - Installation"}};
  bool guardCreated = true;             // false: the platform gives no guard object back
  std::uint32_t mutexError = 0;
  bool moduleFolderKnown = true;
  bool setupExists = true;
  std::deque<std::vector<std::string>> deviceScans;  // one list per presence question; empty list after
  RegistryValue displayVersion;
  std::string fileVersion = "2.1.0";
  std::string systemFolder = kSystemFolder;
  std::map<std::string, ProcessResult> processes;  // by program; absent: not started
  std::deque<int> answers;                         // buttons pressed, in order; OK when none left

  // What happened.
  Events events;
  std::string console;
  std::vector<std::string> fileVersionQueries;
  int devicesVisited = 0;

  bool StartFramework() override { return frameworkStarts; }
  void WriteConsoleBytes(const char* bytes, std::size_t count) override {
    console.append(bytes, count);
  }
  void HideConsoleWindow() override { events.push_back("hide"); }
  std::unique_ptr<IInstanceGuard> CreateInstanceGuard(const std::string& name) override {
    events.push_back("mutex " + name);
    if (!guardCreated) return nullptr;
    return std::make_unique<ScriptedGuard>(events, mutexError);
  }
  bool GetModuleFolder(std::string& folder) override {
    if (moduleFolderKnown) folder = kFolder;
    return moduleFolderKnown;
  }
  bool FileExists(const std::string& path) override {
    events.push_back("exists " + path);
    return setupExists;
  }
  std::string LoadText(unsigned id) override {
    const auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  int ShowMessageBox(const std::string& text, unsigned style) override {
    // The fake texts are the ids themselves, so the box names its message.
    events.push_back("box " + text + " " + std::to_string(style));
    if (answers.empty()) return kIdOk;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ForEachPresentUsbDevice(const std::function<bool(const std::string&)>& visit) override {
    events.push_back("scan");
    if (deviceScans.empty()) return;
    const std::vector<std::string> devices = deviceScans.front();
    deviceScans.pop_front();
    for (const std::string& description : devices) {
      ++devicesVisited;
      if (visit(description)) return;
    }
  }
  RegistryValue ReadMachineValue(const std::string& key, const std::string& name) override {
    EXPECT_EQ(key, g_strUninstallKey);
    EXPECT_EQ(name, "DisplayVersion");
    return displayVersion;
  }
  std::string ReadFileVersionText(const std::string& path) override {
    fileVersionQueries.push_back(path);
    return fileVersion;
  }
  std::string GetSystemFolder() override { return systemFolder; }
  ProcessResult RunAndWait(const std::string& file, const std::string& parameters) override {
    events.push_back(Run(file, parameters));
    const auto it = processes.find(file);
    return it == processes.end() ? ProcessResult{} : it->second;
  }
};

// Scripted platform whose message texts are their own ids.
void UseIdsAsTexts(ScriptedPlatform& platform) {
  for (unsigned id : {102u, 105u, 106u, 107u, 108u, 109u, 110u, 111u, 112u, 113u}) {
    platform.texts[id] = std::to_string(id);
  }
}

RegistryValue Installed(const std::string& version) {
  RegistryValue value;
  value.present = true;
  value.read = true;
  value.data = version + std::string(1, '\0');
  return value;
}

const std::string kSetupRun = Run(kSetupPath, "/s /v\"/qb! LAUNCH=Enable STATE=Inst IS_REBOOTED=1\"");
const std::string kUninstallRun =
    Run(kMsiexec, "/x {6B1E94F0-27C3-4A5D-9E08-C3D2F1A7B654} /qb! STATE=Remove");
const std::string kMutex = "mutex USB Quillfer Driver - Installation";
const std::string kExists = std::string("exists ") + kSetupPath;
const ProcessResult kExit0{true, 0};

struct FlowCase {
  const char* name;
  std::function<void(ScriptedPlatform&)> arrange;
  int exitCode;
  Events events;  // after the common start (hide, mutex, exists) unless the case ends earlier
  bool commonStart;
};

std::vector<FlowCase> FlowCases() {
  const std::string b112 = Box(112, 0x40), b106 = Box(106, 0x31), b107 = Box(107, 0x10);
  const std::string b108 = Box(108, 0x41), b110 = Box(110, 0x40), b109 = Box(109, 0x10);
  const std::string b113 = Box(113, 0x40), b105 = Box(105, 0x10);
  const std::vector<std::string> panel = {"Tesmark Tervik-Series USB Device"};
  return {
      {"NothingInstalledInstallsWithoutQuestion",
       [](ScriptedPlatform& p) { p.processes[kSetupPath] = kExit0; }, 0,
       {b112, "scan", kSetupRun, b110, "release"}, true},
      {"SetupFails",
       [](ScriptedPlatform& p) { p.processes[kSetupPath] = {true, 1603}; }, 1,
       {b112, "scan", kSetupRun, b109, "release"}, true},
      {"SetupAsksForRestartCountsAsFailure",
       [](ScriptedPlatform& p) { p.processes[kSetupPath] = {true, 3010}; }, 1,
       {b112, "scan", kSetupRun, b109, "release"}, true},
      {"SetupCannotBeStarted", [](ScriptedPlatform&) {}, 1,
       {b112, "scan", kSetupRun, b109, "release"}, true},
      {"SetupMissingShowsOnly111", [](ScriptedPlatform& p) { p.setupExists = false; }, 1,
       {Box(111, 0x10), "release"}, true},
      {"DevicePluggedInUserCancels",
       [panel](ScriptedPlatform& p) {
         p.deviceScans = {panel};
         p.answers = {kIdOk, kIdCancel};
       },
       1, {b112, "scan", b106, b107, "release"}, true},
      {"DeviceRemovedAfterFirstQuestion",
       [panel](ScriptedPlatform& p) {
         p.deviceScans = {panel, {}};
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", b106, "scan", kSetupRun, b110, "release"}, true},
      {"DeviceStaysQuestionRepeatsUntilCancel",
       [panel](ScriptedPlatform& p) {
         p.deviceScans = {panel, panel, panel};
         p.answers = {kIdOk, kIdOk, kIdOk, kIdCancel};
       },
       1, {b112, "scan", b106, "scan", b106, "scan", b106, b107, "release"}, true},
      {"DeviceStaysThenRemoved",
       [panel](ScriptedPlatform& p) {
         p.deviceScans = {panel, panel, {"USB Link Cable (RQ5-LNKCA-07)"}, {"Other"}};
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", b106, "scan", b106, "scan", b106, "scan", kSetupRun, b110, "release"}, true},
      {"NewerInstalledLeftAlone",
       [](ScriptedPlatform& p) { p.displayVersion = Installed("2.10.0"); }, 1,
       {b112, "scan", b113, "release"}, true},
      {"SameVersionUserCancels",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.1.0");
         p.answers = {kIdOk, kIdCancel};
       },
       1, {b112, "scan", b108, b107, "release"}, true},
      {"SameVersionReinstalled",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.1.0");
         p.processes[kMsiexec] = kExit0;
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", b108, kUninstallRun, kSetupRun, b110, "release"}, true},
      {"OlderVersionUpdated",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.0.9");
         p.processes[kMsiexec] = kExit0;
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", b108, kUninstallRun, kSetupRun, b110, "release"}, true},
      {"RemovalFails",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.1.0");
         p.processes[kMsiexec] = {true, 1605};
       },
       1, {b112, "scan", b108, kUninstallRun, b105, "release"}, true},
      {"RemovedButSetupFails",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.1.0");
         p.processes[kMsiexec] = kExit0;
         p.processes[kSetupPath] = {true, 2};
       },
       1, {b112, "scan", b108, kUninstallRun, kSetupRun, b109, "release"}, true},
      {"NoSystemFolderRunsNoBareMsiexec",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("2.1.0");
         p.systemFolder.clear();
       },
       1, {b112, "scan", b108, b105, "release"}, true},
      {"KeyWithoutDisplayVersionIsNotInstalled",
       [](ScriptedPlatform& p) {
         p.displayVersion = RegistryValue{};  // key may exist; the value does not
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", kSetupRun, b110, "release"}, true},
      {"EmptyDisplayVersionIsInstalled",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("");
         p.fileVersion = "0.1";
         p.answers = {kIdOk, kIdCancel};
       },
       1, {b112, "scan", b108, b107, "release"}, true},
      {"UnreadableFileVersionIsRefused",
       [](ScriptedPlatform& p) {
         p.displayVersion = Installed("1.0");
         p.fileVersion = "";
       },
       1, {b112, "scan", b113, "release"}, true},
      {"AnotherInstanceRunning", [](ScriptedPlatform& p) { p.mutexError = kErrorAlreadyExists; }, 1,
       {"hide", kMutex, Box(102, 0x10), "release"}, false},
      {"EmptyMutexNameCountsAsRunning",
       [](ScriptedPlatform& p) { p.texts.erase(IDS_INSTANCE_MUTEX_NAME); }, 1,
       {"hide", Box(102, 0x10)}, false},
      {"OtherMutexErrorGoesOn",
       [](ScriptedPlatform& p) {
         p.mutexError = 5;
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", kSetupRun, b110, "release"}, true},
      {"FailedMutexCreationGoesOn",
       [](ScriptedPlatform& p) {
         p.guardCreated = false;
         p.processes[kSetupPath] = kExit0;
       },
       0, {b112, "scan", kSetupRun, b110}, true},
      {"FrameworkFails", [](ScriptedPlatform& p) { p.frameworkStarts = false; }, 1, {}, false},
  };
}

TEST(VelmoraInstallerFlow, EveryOutcome) {
  for (const FlowCase& c : FlowCases()) {
    SCOPED_TRACE(c.name);
    ScriptedPlatform platform;
    UseIdsAsTexts(platform);
    c.arrange(platform);
    EXPECT_EQ(RunInstallerFlow(platform), c.exitCode);
    Events expected;
    if (c.commonStart) expected = {"hide", kMutex, kExists};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(platform.events, expected);
    EXPECT_TRUE(platform.answers.empty()) << "unused answers";
    EXPECT_TRUE(platform.deviceScans.empty()) << "unused device scans";
  }
}

TEST(VelmoraInstallerFlow, CarriedVersionIsReadFromTheSetupPath) {
  ScriptedPlatform platform;
  UseIdsAsTexts(platform);
  platform.displayVersion = Installed("2.1.0");
  platform.answers = {kIdOk, kIdCancel};
  RunInstallerFlow(platform);
  EXPECT_EQ(platform.fileVersionQueries, std::vector<std::string>{kSetupPath});
}

TEST(VelmoraInstallerFlow, UnknownModuleFolderLooksForASingleBackslashPath) {
  ScriptedPlatform platform;
  UseIdsAsTexts(platform);
  platform.moduleFolderKnown = false;
  platform.setupExists = false;
  RunInstallerFlow(platform);
  ASSERT_GE(platform.events.size(), 3u);
  EXPECT_EQ(platform.events[2], "exists \\Kalvuset.exe");
}

TEST(VelmoraInstallerFlow, FrameworkFailureWritesTheJapaneseConsoleLineOnly) {
  ScriptedPlatform platform;
  platform.frameworkStarts = false;
  EXPECT_EQ(RunInstallerFlow(platform), 1);
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.console, std::string(kFrameworkFailureText, kFrameworkFailureTextLength));
#if !defined(_WIN32)
  // The line is the code page 932 form of the Japanese text.
  const std::string utf8 = "致命的なエラー: MFC の初期化ができませんでした。\n";
  iconv_t cd = iconv_open("CP932", "UTF-8");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  std::string out(128, '\0');
  char* inPtr = &in[0];
  char* outPtr = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  ASSERT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  EXPECT_EQ(platform.console, out);
#endif
}

TEST(VelmoraDevicePresence, ExactDescriptionsOnly) {
  struct Row {
    std::vector<std::string> devices;
    bool present;
    int visited;
  };
  const Row rows[] = {
      {{}, false, 0},
      {{"Tesmark Tervik-Series USB Device"}, true, 1},
      {{"USB Link Cable (RQ5-LNKCA-07)"}, true, 1},
      {{"tesmark tervik-series usb device"}, false, 1},
      {{"USB Link Cable (RQ5-LNKCA-07) "}, false, 1},
      {{"Tesmark Tervik-Series USB Device "}, false, 1},
      {{" USB Link Cable (RQ5-LNKCA-07)"}, false, 1},
      {{"USB Root Hub", "USB Composite Device"}, false, 2},
      {{"USB Root Hub", "USB Link Cable (RQ5-LNKCA-07)", "Tesmark Tervik-Series USB Device"}, true, 2},
  };
  for (const Row& row : rows) {
    ScriptedPlatform platform;
    platform.deviceScans = {row.devices};
    EXPECT_EQ(IsDevicePresent(platform), row.present) << ::testing::PrintToString(row.devices);
    EXPECT_EQ(platform.devicesVisited, row.visited) << ::testing::PrintToString(row.devices);
  }
}

TEST(VelmoraVersionRule, Table) {
  struct Row {
    const char* candidate;
    const char* installed;
    bool notOlder;
  };
  const Row rows[] = {
      {"1.00.000", "1.00.000", true},
      {"1.10", "1.9", true},
      {"1.9", "1.10", false},
      {"2.0", "10.0", false},
      {"1.01", "1.1", true},
      {"1.00.000", "1.0.5", true},  // 00 against 0 decides; the 5 is never looked at
      {"1.0", "1", false},
      {"1", "1.0", true},
      {"", "1.0", false},
      {"1.0", "", true},
      {"", "", true},
      {"2.1.0", "2.10.0", false},
      {"2.1.0", "2.0.9", true},
      {"1.2.3", "1.2.4", false},
      {"1.2.10", "1.2.9", true},
      {"1.2", "1.2.0", true},        // tails 2 and 2.0, then 2 (the whole text) against 0
      {"a.1", "b.2", true},          // non-numeric heads are both 0
      {" 2.0", "2.0", true},         // leading blank: differs as text, atoi skips it
      {"2.0", " 3", false},
      {"-1", "0", false},
      {"+3", "3", true},
      {"3x.0", "3.5", true},         // digits up to the first other character
      {"99999999999", "2147483647", true},  // saturates at the 32-bit limit
      {"1.", "1", false},            // tails "" and 1 (the whole text): 0 < 1
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsVersionNotOlder(row.candidate, row.installed), row.notOlder)
        << "candidate '" << row.candidate << "' installed '" << row.installed << "'";
  }
}

// Found by fuzzing: each round copied the rest of both texts, so a registry value of a few
// hundred thousand periods held the installer for minutes. A mebibyte of them is decided at once.
TEST(VelmoraVersionRule, LongTextsOfManyFields) {
  const std::string dots(1 << 20, '.');
  std::string ones;
  for (int i = 0; i < (1 << 19); ++i) ones += "1.";
  EXPECT_TRUE(IsVersionNotOlder(dots, dots));
  EXPECT_FALSE(IsVersionNotOlder(dots, dots + "1"));
  EXPECT_TRUE(IsVersionNotOlder(dots + "1", dots));
  EXPECT_TRUE(IsVersionNotOlder(ones + "2", ones + "1"));
  EXPECT_FALSE(IsVersionNotOlder(ones + "1", ones + "2"));
  EXPECT_TRUE(IsVersionNotOlder(ones, ones + "0"));  // last fields "" and 0: both count 0
}

TEST(VelmoraVersionRule, FieldNumbersLikeAtoi) {
  const std::pair<const char*, std::int32_t> rows[] = {
      {"", 0},   {"7", 7},     {"007", 7},  {" \t12", 12},         {"-4", -4},
      {"+5", 5}, {"12ab", 12}, {"ab", 0},   {"2147483647", 2147483647},
      {"2147483648", 2147483647}, {"-2147483648", -2147483647 - 1}, {"-99999999999", -2147483647 - 1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(VersionFieldNumber(row.first), row.second) << "'" << row.first << "'";
  }
}

TEST(VelmoraVersionTexts, CarriedVersionTrimmedInstalledVersionKept) {
  ScriptedPlatform platform;
  platform.fileVersion = " \t2.1.0\r\n ";
  EXPECT_EQ(GetFileVersionString(platform, kSetupPath), "2.1.0");
  platform.fileVersion = "";
  EXPECT_EQ(GetFileVersionString(platform, kSetupPath), "");

  platform.displayVersion = Installed(" 2.1.0 ");
  EXPECT_EQ(GetInstalledVersion(platform), " 2.1.0 ");
  platform.displayVersion.data = std::string("2.1\0junk", 8);
  EXPECT_EQ(GetInstalledVersion(platform), "2.1");
  platform.displayVersion.data = "2.1";  // no NUL: never more than the bytes read
  EXPECT_EQ(GetInstalledVersion(platform), "2.1");
  platform.displayVersion.read = false;  // second read failed
  EXPECT_EQ(GetInstalledVersion(platform), "");
  EXPECT_TRUE(IsDriverInstalled(platform));
  platform.displayVersion = RegistryValue{};
  EXPECT_EQ(GetInstalledVersion(platform), "");
  EXPECT_FALSE(IsDriverInstalled(platform));
}

TEST(VelmoraCommandLines, ExactTexts) {
  const std::string setup = kSetupParameters;
  EXPECT_EQ(setup.size(), 50u);
  EXPECT_EQ(std::count(setup.begin(), setup.end(), '"'), 2);
  EXPECT_EQ(setup, "/s /v\"/qb! LAUNCH=Enable STATE=Inst IS_REBOOTED=1\"");
  EXPECT_EQ(MakeUninstallParameters(), "/x {6B1E94F0-27C3-4A5D-9E08-C3D2F1A7B654} /qb! STATE=Remove");
  EXPECT_EQ(std::string(g_strUninstallKey),
            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
            "{6B1E94F0-27C3-4A5D-9E08-C3D2F1A7B654}");
  EXPECT_EQ(MsiexecPathIn("C:\\Windows\\system32"), "C:\\Windows\\system32\\msiexec.exe");
  EXPECT_EQ(MsiexecPathIn("C:\\Windows\\system32\\"), "C:\\Windows\\system32\\msiexec.exe");
  EXPECT_EQ(MsiexecPathIn(""), "");
  EXPECT_EQ(StringFileInfoPath(0x0411, 0x04b0), "\\StringFileInfo\\041104b0\\FileVersion");
  EXPECT_EQ(StringFileInfoPath(0xABCD, 0x0001), "\\StringFileInfo\\abcd0001\\FileVersion");
}

TEST(VelmoraSetupPath, FolderAndFileName) {
  const std::pair<const char*, const char*> folders[] = {
      {"C:\\Program Files\\Velmora\\velmora.exe", "C:\\Program Files\\Velmora\\"},
      {"D:/tools/velmora.exe", "D:/tools/"},
      {"C:\\a/b\\velmora.exe", "C:\\a/b\\"},
      {"velmora.exe", ""},
  };
  for (const auto& row : folders) {
    EXPECT_EQ(ModuleFolderFromPath(row.first), row.second) << row.first;
  }
  EXPECT_EQ(BuildSetupPath("C:\\Velmora\\"), "C:\\Velmora\\\\Kalvuset.exe");
  EXPECT_EQ(BuildSetupPath(""), "\\Kalvuset.exe");
}

// Builds a string-table block from up to sixteen entries.
std::vector<unsigned char> Block(const std::vector<std::u16string>& entries) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < 16; ++i) {
    const std::u16string text = i < entries.size() ? entries[i] : std::u16string();
    bytes.push_back(static_cast<unsigned char>(text.size() & 0xFF));
    bytes.push_back(static_cast<unsigned char>(text.size() >> 8));
    for (char16_t c : text) {
      bytes.push_back(static_cast<unsigned char>(c & 0xFF));
      bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
  }
  return bytes;
}

TEST(VelmoraStringTable, EntriesOfABlock) {
  // Block 7 holds ids 96..111: 102 sits at position 6, 111 at 15.
  std::vector<std::u16string> entries(16);
  entries[6] = u"Cannot execute\nthis";
  entries[7] = u"USB Quillfer Driver - Installation";
  entries[15] = u"ドライバーのファイル";
  const std::vector<unsigned char> block = Block(entries);
  EXPECT_EQ(StringTableBlockId(102), 7u);
  EXPECT_EQ(StringTableBlockId(57344), 3585u);
  EXPECT_EQ(StringTableEntry(block.data(), block.size(), 102), entries[6]);
  EXPECT_EQ(StringTableEntry(block.data(), block.size(), 103), entries[7]);
  EXPECT_EQ(StringTableEntry(block.data(), block.size(), 111), entries[15]);
  EXPECT_EQ(StringTableEntry(block.data(), block.size(), 104), u"");  // length 0: absent
  // A block cut short never reads past its end.
  EXPECT_EQ(StringTableEntry(block.data(), block.size() - 2, 111), u"");
  EXPECT_EQ(StringTableEntry(block.data(), 13, 102), u"");
  EXPECT_EQ(StringTableEntry(nullptr, 0, 102), u"");
}

}  // namespace
}  // namespace velmora
