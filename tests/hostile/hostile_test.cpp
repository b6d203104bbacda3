// Hostile and broken input, each in a whole recovery against the virtual panel: image files that
// lie about themselves, names at and beyond 259 characters, port names that are no serial device,
// and targets that talk without end. Every case must end with its prescribed result and log line,
// send the target nothing it should not get, and end in bounded virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "binary_file.h"
#include "image_check.h"
#include "recovery_fixture.h"
#include "serial_port_system.h"

namespace {

using Lines = std::vector<std::string>;

constexpr size_t kCoreBytes = 70000;   // two banks
constexpr size_t kLoaderBytes = 3000;  // one bank

bool HostSent(const RecoveryRig& rig, const std::string& bytes) {
  const std::vector<uint8_t>& w = rig.link.HostWritten();
  return std::search(w.begin(), w.end(), bytes.begin(), bytes.end()) != w.end();
}

const std::string kPdl = "\x1bPDL";
const std::string kReset = "\x1bRST";
const std::string kCompressedBank = "\x1bOPD0";
const std::string kPlainBank = "\x1bOPK0";

void ExpectCleanEnd(RecoveryRig& rig) {
  EXPECT_FALSE(rig.link.HostPortOpen()) << "the port stays open";
  EXPECT_EQ(rig.trans->m_dialog, nullptr) << "the dialog stays bound";
  EXPECT_EQ(CBinaryFile::OpenCount(), 0) << "an image file stays open";
  ASSERT_FALSE(rig.dialog->closeButton.empty());
  EXPECT_EQ(rig.dialog->closeButton.back(), 1);
  EXPECT_EQ(rig.trace.Count("[CWinTransMainProc] WinTransMain end"), 1);
}

// Header bytes with a correct header CRC for whatever the fields say.
Bytes Header(uint32_t magic, uint32_t totalSize, uint32_t bodyCheck, uint32_t formatFlags) {
  ImageHeader h;
  h.magic = magic;
  h.total_size = totalSize;
  h.body_check = bodyCheck;
  h.load_address = RecoveryRig::kLoadAddress;
  h.entry_offset = RecoveryRig::kEntryOffset;
  h.format_flags = formatFlags;
  h.header_crc = CalcHeaderCrc(h);
  uint8_t bytes[kImageHeaderSize];
  h.Serialize(bytes);
  return Bytes(bytes, bytes + kImageHeaderSize);
}

// A sound file of the rig with one header field changed (header CRC made right again).
Bytes Reheadered(const Bytes& file, const std::function<void(ImageHeader&)>& change) {
  uint8_t bytes[kImageHeaderSize];
  std::copy(file.begin(), file.begin() + kImageHeaderSize, bytes);
  ImageHeader h = ImageHeader::Parse(bytes);
  change(h);
  h.header_crc = CalcHeaderCrc(h);
  h.Serialize(bytes);
  Bytes out = file;
  std::copy(bytes, bytes + kImageHeaderSize, out.begin());
  return out;
}

// ---- image files ----

enum class Role { kLoader, kCore };

struct ImageCase {
  const char* name;
  Role role;
  // The replacement file, made from the sound one.
  std::function<Bytes(const Bytes& sound)> make;
  int result;
  const char* errorTrace;  // "[ErrCloseFree] Error ID [n]" expected once (nullptr: not checked)
  bool pdlSent;            // the initial loader went out
  bool banksSent;          // any bank went out
  bool reset;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

Bytes Empty(const Bytes&) { return Bytes(); }
Bytes ShortOfHeader(const Bytes& sound) { return Bytes(sound.begin(), sound.begin() + 20); }
std::function<Bytes(const Bytes&)> TotalSize(uint32_t size) {
  return [size](const Bytes& sound) {
    return Reheadered(sound, [size](ImageHeader& h) { h.total_size = size; });
  };
}
Bytes OneByteShort(const Bytes& sound) { return Bytes(sound.begin(), sound.end() - 1); }
Bytes BodyCheckFlipped(const Bytes& sound) {
  return Reheadered(sound, [](ImageHeader& h) { h.body_check ^= 1u; });
}
Bytes CoreMagic(const Bytes& sound) {
  return Reheadered(sound, [](ImageHeader& h) { h.magic = OSCORE_MAGIC; });
}
Bytes LoaderMagic(const Bytes& sound) {
  return Reheadered(sound, [](ImageHeader& h) { h.magic = ILOADER_MAGIC; });
}
// A header alone that announces itself only: a body of nothing, with the check of nothing.
Bytes HeaderAlone(uint32_t magic) {
  uint32_t crc = 0;
  CalcCrc(nullptr, 0, crc);
  return Header(magic, kImageHeaderSize, crc, 1);
}

class BrokenImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(BrokenImage, EndsWithThePrescribedResultAndSendsNothingOfIt) {
  const ImageCase& c = GetParam();
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  const bool loader = c.role == Role::kLoader;
  const Bytes file = c.make(loader ? rig.loaderFile : rig.coreFile);
  rig.folder.Write(loader ? "SYSTEM/ILOADER.BIN" : "SYSTEM/OSCORE.BIN", file);
  if (loader) rig.loaderFile = file;
  else rig.coreFile = file;

  EXPECT_EQ(rig.Run(), c.result);
  const Lines lines = rig.dialog->Lines();
  ASSERT_GE(lines.size(), 2u);
  if (c.result == 0) {
    EXPECT_EQ(lines.back(), "Transfer completed.");
    EXPECT_TRUE(rig.FlashHoldsImages());
  } else {
    EXPECT_EQ(lines.back(), "Transfer failed.");
  }
  if (c.result == -8) {
    const std::string path = loader ? rig.LoaderPath() : rig.CorePath();
    // Beyond 256 banks the file is named too large instead (the count is checked first).
    const char* word = (std::string(c.name) == "CoreTotalSizeAllOnes" || std::string(c.name) == "CoreOneByteBeyond256Banks") ? "too large" : "broken";
    EXPECT_EQ(lines[lines.size() - 2], std::string("Transfer source file ") + word + " [" + path + "].");
  }
  if (c.result == -2 && !c.pdlSent) {
    EXPECT_EQ(lines[lines.size() - 2], "Transferring program.");
  }
  if (c.errorTrace != nullptr) {
    EXPECT_EQ(rig.trace.Count(c.errorTrace), 1) << c.errorTrace;
  }
  EXPECT_EQ(HostSent(rig, kPdl), c.pdlSent);
  EXPECT_EQ(HostSent(rig, kCompressedBank) || HostSent(rig, kPlainBank), c.banksSent);
  if (!c.banksSent) {
    EXPECT_TRUE(rig.panel->Banks().empty());
  }
  EXPECT_EQ(HostSent(rig, kReset), c.reset);
  if (c.result != 0) {
    EXPECT_FALSE(rig.panel->DownloadComplete());
  }
  ExpectCleanEnd(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenImage,
    ::testing::Values(
        // The initial loader is read first, for PDL, in phase 1: a failure there is -1 (no reset).
        ImageCase{"LoaderEmpty", Role::kLoader, Empty, -2, "[ErrCloseFree] Error ID [3]", false, false, false},
        ImageCase{"LoaderShorterThanHeader", Role::kLoader, ShortOfHeader, -2, "[ErrCloseFree] Error ID [3]", false,
                  false, false},
        ImageCase{"LoaderTotalSize0", Role::kLoader, TotalSize(0), -2, "[ErrCloseFree] Error ID [5]", false, false,
                  false},
        ImageCase{"LoaderTotalSize31", Role::kLoader, TotalSize(31), -2, "[ErrCloseFree] Error ID [5]", false,
                  false, false},
        // A header and no body: an empty program goes out, and the target refuses to start it.
        ImageCase{"LoaderTotalSize32", Role::kLoader,
                  [](const Bytes&) { return HeaderAlone(ILOADER_MAGIC); }, -2, nullptr, true, false, false},
        ImageCase{"LoaderLargerThanFile", Role::kLoader, OneByteShort, -2, "[ErrCloseFree] Error ID [3]", false,
                  false, false},
        ImageCase{"LoaderTotalSizeAllOnes", Role::kLoader, TotalSize(0xFFFFFFFFu), -2,
                  "[ErrCloseFree] Error ID [5]", false, false, false},
        ImageCase{"LoaderWithCoreMagic", Role::kLoader, CoreMagic, -2, "[ErrCloseFree] Error ID [23]", false, false,
                  false},
        // The body is checked only before its banks: the loader runs, the core banks go out, then -8.
        ImageCase{"LoaderBodyCheckFlipped", Role::kLoader, BodyCheckFlipped, -8, nullptr, true, true, true},
        // The OS core is checked in full before its first bank, in phase 2: -8 and a reset.
        ImageCase{"CoreEmpty", Role::kCore, Empty, -8, "[ErrCloseFree] Error ID [3]", true, false, true},
        ImageCase{"CoreShorterThanHeader", Role::kCore, ShortOfHeader, -8, "[ErrCloseFree] Error ID [3]", true,
                  false, true},
        ImageCase{"CoreTotalSize0", Role::kCore, TotalSize(0), -8, nullptr, true, false, true},
        ImageCase{"CoreTotalSize31", Role::kCore, TotalSize(31), -8, nullptr, true, false, true},
        // A header alone with the check of nothing is a sound file of one 32-byte bank.
        ImageCase{"CoreTotalSize32", Role::kCore, [](const Bytes&) { return HeaderAlone(OSCORE_MAGIC); }, 0,
                  nullptr, true, true, true},
        ImageCase{"CoreLargerThanFile", Role::kCore, OneByteShort, -8, nullptr, true, false, true},
        ImageCase{"CoreTotalSizeAllOnes", Role::kCore, TotalSize(0xFFFFFFFFu), -8, nullptr, true, false, true},
        ImageCase{"CoreWithLoaderMagic", Role::kCore, LoaderMagic, -8, nullptr, true, false, true},
        ImageCase{"CoreBodyCheckFlipped", Role::kCore, BodyCheckFlipped, -8, nullptr, true, false, true},
        // 256 banks and one byte: refused as too large before the first bank.
        ImageCase{"CoreOneByteBeyond256Banks", Role::kCore,
                  [](const Bytes&) { return Header(OSCORE_MAGIC, 256u * 65536u + 1u, 0, 1); }, -8, nullptr, true,
                  false, true}),
    [](const ::testing::TestParamInfo<ImageCase>& info) { return std::string(info.param.name); });

// The 256-bank case names the file as too large rather than broken.
TEST(BrokenImageLog, TooManyBanksIsNamedTooLarge) {
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  rig.folder.Write("SYSTEM/OSCORE.BIN", Header(OSCORE_MAGIC, 256u * 65536u + 1u, 0, 1));
  EXPECT_EQ(rig.Run(), -8);
  const Lines lines = rig.dialog->Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Transfer source file too large [" + rig.CorePath() + "].");
}

// ---- names at and beyond 259 characters ----

// A folder below `base` whose full path plus `tail` is exactly `length` characters long.
std::string FolderForLength(const std::string& base, size_t length, const std::string& tail) {
  std::string path = base;
  const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
  while (path.size() + tail.size() < length) {
    const size_t room = length - tail.size() - path.size() - 1;  // characters after the separator
    const size_t part = std::min<size_t>(room, 60);
    // Leave no room for a component of zero characters at the end.
    const size_t take = (room - part > 0 && room - part < 2) ? part - 2 : part;
    path += sep + std::string(take, 'd');
  }
  return path;
}

// A whole recovery from a program at `programPath` (the images and table below its folder).
int RunFrom(RecoveryRig& rig, const std::string& programPath) {
  rig.locator.InitProgramFolder(programPath.c_str());
  rig.locator.InitImageLibrary();
  rig.trans.reset(new CWinTrans(programPath));
  rig.trans->SetPortFactory(rig.factory.get());
  return rig.trans->CWinTransMainProc(rig.dialog.get());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

TEST(LongNames, ProgramPathOf259CharactersIsUsedAnd260IsRefused) {
  for (size_t length : {259u, 260u}) {
    SCOPED_TRACE(length);
    RecoveryRig rig;
    rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
    const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
    const std::string tail = std::string(1, sep) + "calvera.exe";
    const std::string folder = FolderForLength(rig.folder.PathOf("deep"), length, tail);
    const std::string program = folder + tail;
    ASSERT_EQ(program.size(), length);
    const std::string system = folder + sep + "SYSTEM" + sep;
    WriteFile(system + "targets.txt", Bytes{'*', ' ', 'I', '.', 'B', ' ', 'O', '.', 'B', '\n'});
    WriteFile(system + "I.B", rig.loaderFile);
    WriteFile(system + "O.B", rig.coreFile);

    const int result = RunFrom(rig, program);
    const Lines lines = rig.dialog->Lines();
    ASSERT_FALSE(lines.empty());
    if (length == 259) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(lines.back(), "Transfer completed.");
      EXPECT_TRUE(rig.FlashHoldsImages());
    } else {
      // The folder is refused, so no library and no image files: -8 after the identification.
      EXPECT_EQ(result, -8);
      EXPECT_EQ(lines.back(), "Transfer failed.");
      EXPECT_FALSE(HostSent(rig, kPdl));
      EXPECT_TRUE(HostSent(rig, kReset));
    }
    ExpectCleanEnd(rig);
  }
}

TEST(LongNames, TargetTableNamesOf259CharactersResolveAnd260AreRefused) {
  const char sep = '/';
  for (size_t length : {259u, 260u, 1000u}) {
    SCOPED_TRACE(length);
    RecoveryRig rig;
    rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
    // A name of `length` characters made of folders, so that the file can exist.
    std::string name;
    while (name.size() + 1 + 60 < length - 4) name += std::string(60, 'n') + sep;
    name += std::string(length - 4 - name.size(), 'f') + ".BIN";
    ASSERT_EQ(name.size(), length);
    rig.WriteTargets("* " + name + " OSCORE.BIN\n");
    rig.folder.Write("SYSTEM/" + name, rig.loaderFile);

    const int result = rig.Run();
    const Lines lines = rig.dialog->Lines();
    ASSERT_FALSE(lines.empty());
    if (length == 259) {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(rig.FlashHoldsImages());
    } else {
      EXPECT_EQ(result, -8);
      EXPECT_EQ(lines.back(), "Transfer failed.");
      EXPECT_FALSE(HostSent(rig, kPdl));
      EXPECT_TRUE(HostSent(rig, kReset));
    }
    ExpectCleanEnd(rig);
  }
}

TEST(LongNames, TargetTableLineOfManyThousandCharactersIsRefused) {
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  rig.WriteTargets("* " + std::string(70000, 'x') + " OSCORE.BIN\n");
  EXPECT_EQ(rig.Run(), -8);
  EXPECT_FALSE(HostSent(rig, kPdl));
  EXPECT_TRUE(HostSent(rig, kReset));
  ExpectCleanEnd(rig);
}

// ---- port names that are no serial device ----

// What the system adapter's first failing step reports for a name that is no serial device.
struct PortRefusal {
  const char* message;  // "%s" stands for the name
  const char* endTrace;
};

std::string Expand(const char* format, const std::string& name) {
  std::string text = format;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

#if defined(_WIN32)
// CreateFileA takes the name as the port box shows it; the first port call on the handle fails.
const PortRefusal kRefusal = {"Failed to set COM port speed.", "[CWinTransMainProc] Initialize Com port Error"};
const char* const kDeviceNames[] = {"NUL"};
#else
// The adapter opens only terminals.
const PortRefusal kRefusal = {"Failed to open %s port.", "[CWinTransMainProc] COM open Error"};
const char* const kDeviceNames[] = {"/dev/null", "COM0", "COM257"};
#endif

void ExpectPortRefused(RecoveryRig& rig, const std::string& name) {
  rig.factory = MakeSystemSerialPortFactory();
  rig.dialog->portText = name;
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.dialog->Lines(), (Lines{Expand(kRefusal.message, name)}));
  EXPECT_EQ(rig.trace.Count(kRefusal.endTrace), 1);
  EXPECT_TRUE(rig.dialog->prompts.empty());
  EXPECT_EQ(rig.trans->m_dialog, nullptr);
  ASSERT_FALSE(rig.dialog->closeButton.empty());
  EXPECT_EQ(rig.dialog->closeButton.back(), 1);
}

TEST(PortName, AnOrdinaryFileIsRefusedAndLeftAsItWas) {
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  const std::string victim = rig.folder.PathOf("not-a-port.txt");
  const Bytes content = {'k', 'e', 'e', 'p', '\n'};
  WriteFile(victim, content);
  ExpectPortRefused(rig, victim);
  std::ifstream in(std::filesystem::path(victim), std::ios::binary);
  const Bytes after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, content) << "the file was written";
}

TEST(PortName, DevicesThatAreNoSerialPortAreRefused) {
  for (const char* name : kDeviceNames) {
    SCOPED_TRACE(name);
    RecoveryRig rig;
    rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
    ExpectPortRefused(rig, name);
  }
}

// ---- targets that talk without end ----

// Plays the virtual panel until the host sends `trigger`, then takes over the target's end.
class TakeoverTarget : public ISimTarget {
 public:
  static constexpr uint64_t kOwnTimer = 1ull << 62;

  TakeoverTarget(SimLink& link, VirtualPanel& panel, std::string trigger)
      : link_(link), panel_(panel), trigger_(std::move(trigger)) {
    link_.AttachTarget(this);
  }
  ~TakeoverTarget() override {
    if (link_.AttachedTarget() == this) link_.AttachTarget(&panel_);
  }

  void OnByte(uint8_t byte) override {
    if (!active) {
      seen_.push_back(static_cast<char>(byte));
      if (seen_.size() > trigger_.size()) seen_.erase(0, seen_.size() - trigger_.size());
      panel_.OnByte(byte);
      if (seen_ == trigger_) {
        active = true;
        link_.ScheduleTarget(link_.clock().NowUs(), kOwnTimer);
      }
      return;
    }
    ++bytesAfterTakeover;
    if (onByte) onByte(byte);
  }
  void OnTimer(uint64_t token) override {
    if (token < kOwnTimer) {
      panel_.OnTimer(token);
      return;
    }
    if (onTimer) onTimer(token - kOwnTimer);
  }
  void Schedule(uint64_t atUs, uint64_t token) { link_.ScheduleTarget(atUs, kOwnTimer + token); }

  bool active = false;
  uint64_t bytesAfterTakeover = 0;
  std::function<void(uint8_t)> onByte;
  std::function<void(uint64_t)> onTimer;

 private:
  SimLink& link_;
  VirtualPanel& panel_;
  std::string trigger_;
  std::string seen_;
};

TEST(EndlessTarget, BytesWithoutAnEscEndEveryWaitAfterTheBound) {
  // From the identification query on the target streams bytes at line rate and never an ESC.
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  TakeoverTarget target(rig.link, *rig.panel, "\x1bMID");
  uint64_t streamed = 0;
  target.onTimer = [&](uint64_t) {
    const std::string chunk(256, '\x55');
    rig.link.TargetSend(chunk);
    streamed += chunk.size();
    target.Schedule(rig.link.TargetIdleAtUs(), 0);
  };
  EXPECT_EQ(rig.Run(), -2);
  const Lines lines = rig.dialog->Lines();
  // Every one of the four attempts gives up after the bound on bytes before an ESC.
  EXPECT_EQ(lines, (Lines{"Connecting...", "Speed changed to 115200bps.", "Failed to receive data.",
                          "Failed to receive data.", "Failed to receive data.", "Failed to receive data.",
                          "Transfer failed."}));
  EXPECT_EQ(rig.trace.Count("[GoMachineNo] Cmd[1b4d494444410d]"), kCommandAttempts);
  EXPECT_FALSE(HostSent(rig, kPdl));
  EXPECT_FALSE(HostSent(rig, kReset));
  // Four attempts of at most kMaxBytesBeforeEsc + 1 bytes each at 115200 bit/s: under 25 s.
  EXPECT_LT(rig.clock.NowUs(), 60ull * 1000 * 1000);
  EXPECT_GE(streamed, 4ull * kMaxBytesBeforeEsc);
  ExpectCleanEnd(rig);
}

// Answers each bank with 06 1A, takes its data, then reports "still working" (ESC "OPDB1" CR LF)
// every `intervalMs` for ever; the cable is pulled at `pullAtMs` (0: never).
struct StillWorking {
  StillWorking(RecoveryRig& rig, uint64_t intervalMs, uint64_t pullAtMs)
      : target(rig.link, *rig.panel, "\x1bOTNF1\r") {
    // OTN is answered by the panel; the first bank command after it is ours.
    target.onByte = [this, &rig, intervalMs, pullAtMs](uint8_t b) {
      if (pulled) return;
      if (state == kCommand) {
        command.push_back(static_cast<char>(b));
        if (command.size() == 1 && b != 0x1B) command.clear();
        if (command.size() == 14) {
          remaining = std::stoul(command.substr(6, 5), nullptr, 16) + 2;
          rig.link.TargetSend(std::string("\x06\x1a"));
          state = kData;
          command.clear();
        }
      } else if (state == kData && --remaining == 0) {
        state = kWorking;
        target.Schedule(rig.clock.NowUs() + intervalMs * 1000, 1);
        // (Timers set before the prompts would go with the panel's power cycle.)
        if (pullAtMs > 0) target.Schedule(pullAtMs * 1000, 2);
      }
    };
    target.onTimer = [this, &rig, intervalMs, pullAtMs](uint64_t token) {
      if (token == 2) {
        pulled = true;
        rig.link.PullCable();
        return;
      }
      if (token != 1 || pulled || state != kWorking) return;
      rig.link.TargetSend(std::string("\x1bOPDB1\r\n"));
      ++answers;
      target.Schedule(rig.clock.NowUs() + intervalMs * 1000, 1);
    };
  }
  enum State { kCommand, kData, kWorking };
  TakeoverTarget target;
  State state = kCommand;
  std::string command;
  unsigned long remaining = 0;
  uint64_t answers = 0;
  bool pulled = false;
};

TEST(EndlessTarget, StillWorkingEvery29SecondsKeepsTheRunWaitingUntilTheCableIsPulled) {
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  const uint64_t pullAtMs = 6ull * 3600 * 1000;  // six hours of "still working"
  StillWorking target(rig, 29000, pullAtMs);
  EXPECT_EQ(rig.Run(), -2);
  // Every answer came within the 30-second read time-out, so only the pulled cable ended the wait.
  EXPECT_GE(target.answers, pullAtMs / 29000 - 2);
  EXPECT_GE(rig.clock.NowUs(), pullAtMs * 1000);
  const Lines lines = rig.dialog->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Erasing..."), static_cast<long>(target.answers));
  EXPECT_EQ(lines.back(), "Transfer failed.");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Sending Data No. 0"), kCommandAttempts);
  EXPECT_FALSE(HostSent(rig, kReset));
  EXPECT_TRUE(rig.panel->Banks().empty());
  // After the cable: the wait ends after one read time-out, and each later attempt after its own.
  EXPECT_LT(rig.clock.NowUs(), (pullAtMs + 5 * 30000 + 5 * 30000) * 1000);
  ExpectCleanEnd(rig);
}

TEST(EndlessTarget, StillWorkingLaterThan30SecondsEndsTheAttempt) {
  RecoveryRig rig;
  rig.WriteImages(kCoreBytes, kLoaderBytes, 0x1u);
  StillWorking target(rig, 30100, 0);
  EXPECT_EQ(rig.Run(), -2);
  const Lines lines = rig.dialog->Lines();
  // The first answer is late: the wait gives up after 30 s, before any "Erasing...".
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Erasing..."), 0);
  EXPECT_GE(std::count(lines.begin(), lines.end(), "Failed to receive data."), 1);
  EXPECT_EQ(rig.trace.Count("[SendFileDownloadBank] ESC recv NG"), 1);
  EXPECT_EQ(lines.back(), "Transfer failed.");
  EXPECT_FALSE(HostSent(rig, kReset));
  ExpectCleanEnd(rig);
}

}  // namespace
