// Whole recovery runs against the virtual panel on the simulated link: every outcome of a run,
// the faults the target can show, and the image files that must be refused.
#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "binary_file.h"
#include "image_check.h"
#include "operator_messages.h"
#include "recovery_fixture.h"

namespace {

using Lines = std::vector<std::string>;

constexpr size_t kBank = 65536;

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Lines kPhase1 = {"Connecting...", "Speed changed to 115200bps.", "Transferring program.", "Executing program."};
const Lines kPhase2Start = {"Connecting..."};

// The log of banks first..last as the default panel answers them (one erasing, one writing answer).
Lines BankLines(int first, int last, bool plain) {
  Lines lines;
  for (int b = first; b <= last; ++b) {
    lines.push_back("Sending Data No. " + std::to_string(b) + (plain ? " " : ""));
    lines.push_back("Erasing...");
    lines.push_back("Writing...");
  }
  return lines;
}

// Checks that hold after every run, whatever its outcome.
void ExpectCleanEnd(RecoveryRig& rig) {
  EXPECT_FALSE(rig.link.HostPortOpen()) << "the port stays open";
  ASSERT_FALSE(rig.dialog->closeButton.empty());
  EXPECT_EQ(rig.dialog->closeButton.front(), 0);
  EXPECT_EQ(rig.dialog->closeButton.back(), 1);
  EXPECT_EQ(rig.trans->m_dialog, nullptr) << "the dialog stays bound";
  EXPECT_EQ(CBinaryFile::OpenCount(), 0) << "an image file stays open";
}

int CountLines(const Lines& lines, const std::string& line) {
  int n = 0;
  for (const std::string& l : lines)
    if (l == line) ++n;
  return n;
}

// ---- result 0 ----

struct SuccessCase {
  const char* name;
  size_t coreBytes;
  size_t loaderBytes;
  uint32_t coreFlags;
  bool plain;
  int coreBanks;
  int loaderBanks;
};
void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.name; }

class RecoverySuccess : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(RecoverySuccess, FlashHoldsBothImagesAndTheLogIsExact) {
  const SuccessCase& c = GetParam();
  RecoveryRig rig;
  rig.WriteImages(c.coreBytes, c.loaderBytes, c.coreFlags);
  ASSERT_EQ(rig.Run(), 0);

  const Lines expected = Join({kPhase1, kPhase2Start, BankLines(0, c.coreBanks - 1, c.plain),
                               BankLines(c.coreBanks, c.coreBanks + c.loaderBanks - 1, false),
                               {"Writing...", "QRV is reset.", "Transfer completed."}});
  EXPECT_EQ(rig.dialog->Lines(), expected);
  EXPECT_GT(rig.dialog->dotsShown, 0);
  EXPECT_TRUE(rig.FlashHoldsImages());
  ASSERT_EQ(rig.panel->Banks().size(), static_cast<size_t>(c.coreBanks + c.loaderBanks));
  for (const auto& bank : rig.panel->Banks()) {
    const bool coreBank = bank.first < c.coreBanks;
    EXPECT_EQ(bank.second.compressed, coreBank ? !c.plain : true) << "bank " << bank.first;
    EXPECT_EQ(bank.second.writes, 1) << "bank " << bank.first;
  }
  EXPECT_TRUE(rig.panel->ResetAfterCompleteDownload());
  EXPECT_EQ(rig.panel->LoadAddress(), RecoveryRig::kLoadAddress);
  EXPECT_EQ(rig.panel->StartAddress(), RecoveryRig::kLoadAddress + RecoveryRig::kEntryOffset);
  EXPECT_EQ(rig.trace.Count("[CWinTransMainProc] WinTransMain end"), 1);
  EXPECT_EQ(rig.trace.Count("[FileDownload] File send OK"), 2);
  EXPECT_EQ(rig.trace.Count("[ErrCloseFree] Error ID [0]"), 2);  // one per file, on success too
  ExpectCleanEnd(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Images, RecoverySuccess,
    ::testing::Values(
        // Word-sum core with bit 0 set: compressed banks; the last bank holds a single byte.
        SuccessCase{"CompressedCore", 2 * kBank + 1, 3000, 0x00010001u, false, 3, 1},
        // format_flags low half zero: plain OPK banks; exactly one bank of 65,536 bytes.
        SuccessCase{"PlainCore", kBank, kBank + 500, 0, true, 1, 2},
        // Only the high half set: the word sum decides the check, the banks still go out plain.
        SuccessCase{"PlainWordSumCore", 70000, 1000, 0x00020000u, true, 2, 1}),
    [](const ::testing::TestParamInfo<SuccessCase>& info) { return std::string(info.param.name); });

TEST(RecoveryRun, TargetAlreadyOnIsAskedToSwitchOffFirst) {
  VirtualPanelConfig config;
  config.poweredAtStart = true;
  RecoveryRig rig(config);
  rig.WriteImages(40000, 2000, 0x1u);
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(rig.dialog->prompts, (Lines{"off", "connect"}));
  EXPECT_TRUE(rig.FlashHoldsImages());
  ExpectCleanEnd(rig);
}

TEST(RecoveryRun, TargetAlreadyOffSkipsThePowerOffPrompt) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(rig.dialog->prompts, (Lines{"connect"}));
  EXPECT_EQ(rig.trace.Count("[ConfirmTargetOff] GetTargetPowerStatus Already Power off"), 1);
}

TEST(RecoveryRun, SecondRunAfterAFailedOneSucceeds) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.dialog->connectAnswer = PromptAnswer::kCancel;
  EXPECT_EQ(rig.Run(), -32768);
  rig.dialog->connectAnswer = PromptAnswer::kSwitchPanel;
  rig.dialog->log.clear();
  rig.panel->PowerOff();
  EXPECT_EQ(rig.trans->CWinTransMainProc(rig.dialog.get()), 0);
  EXPECT_TRUE(rig.FlashHoldsImages());
  ExpectCleanEnd(rig);
}

// ---- the failure rows ----

TEST(RecoveryRun, CancelAtEitherPromptEndsWithoutMessageOrReset) {
  for (bool atPowerOff : {true, false}) {
    SCOPED_TRACE(atPowerOff ? "power-off prompt" : "connect prompt");
    VirtualPanelConfig config;
    config.poweredAtStart = true;
    RecoveryRig rig(config);
    rig.WriteImages(40000, 2000, 0x1u);
    (atPowerOff ? rig.dialog->powerOffAnswer : rig.dialog->connectAnswer) = PromptAnswer::kCancel;
    EXPECT_EQ(rig.Run(), -32768);
    EXPECT_EQ(rig.dialog->Lines(), (Lines{"Transfer canceled."}));
    EXPECT_EQ(ResultStringId(-32768), 0);
    EXPECT_EQ(rig.trace.Count(atPowerOff ? "[CWinTransMainProc] COM control Error"
                                         : "[CWinTransMainProc] COM control2 Error"),
              1);
    EXPECT_EQ(rig.link.BytesHostToTarget(), 0u);
    EXPECT_FALSE(rig.panel->ResetSeen());
    ExpectCleanEnd(rig);
  }
}

struct PortFailureCase {
  const char* name;
  std::function<void(RecoveryRig&)> arrange;
  Lines log;
  const char* endTrace;
};
void PrintTo(const PortFailureCase& c, std::ostream* os) { *os << c.name; }

class PortFailure : public ::testing::TestWithParam<PortFailureCase> {};

TEST_P(PortFailure, EndsWithMinusTwoBeforeAnythingIsSent) {
  const PortFailureCase& c = GetParam();
  VirtualPanelConfig config;
  config.poweredAtStart = true;
  RecoveryRig rig(config);
  rig.WriteImages(40000, 2000, 0x1u);
  c.arrange(rig);
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.dialog->Lines(), c.log);
  EXPECT_EQ(rig.trace.Count(c.endTrace), 1);
  EXPECT_EQ(rig.link.BytesHostToTarget(), 0u);
  EXPECT_FALSE(rig.panel->ResetSeen());
  EXPECT_EQ(ResultStringId(-2), kStrResultCheckCable);
  ExpectCleanEnd(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PortFailure,
    ::testing::Values(
        PortFailureCase{"PortMissing", [](RecoveryRig& r) { r.dialog->portText = "COM7"; },
                        {"Failed to open COM7 port."}, "[CWinTransMainProc] COM open Error"},
        PortFailureCase{"PortBusy", [](RecoveryRig& r) { r.link.faults().openFails = true; },
                        {"Failed to open COM3 port."}, "[CWinTransMainProc] COM open Error"},
        PortFailureCase{"PortSetupRefused", [](RecoveryRig& r) { r.link.faults().refuseGetLineSettings = true; },
                        {"Failed to get COM port state."}, "[CWinTransMainProc] Initialize Com port Error"},
        PortFailureCase{"NoModemLines", [](RecoveryRig& r) { r.link.faults().modemStatusFails = true; },
                        {"Failed to get COM port state."}, "[CWinTransMainProc] COM control Error"},
        PortFailureCase{"PromptCannotBeShown",
                        [](RecoveryRig& r) { r.dialog->powerOffAnswer = PromptAnswer::kCannotShow; }, {},
                        "[CWinTransMainProc] COM control Error"},
        PortFailureCase{"ConnectPromptCannotBeShown",
                        [](RecoveryRig& r) { r.dialog->connectAnswer = PromptAnswer::kCannotShow; }, {},
                        "[CWinTransMainProc] COM control2 Error"}),
    [](const ::testing::TestParamInfo<PortFailureCase>& info) { return std::string(info.param.name); });

TEST(RecoveryRun, NoDialogEndsWithMinusTwo) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.locator.InitImageLibrary();
  rig.trans.reset(new CWinTrans(rig.folder.ProgramPath()));
  rig.trans->SetPortFactory(rig.factory.get());
  EXPECT_EQ(rig.trans->CWinTransMainProc(nullptr), -2);
  EXPECT_EQ(rig.trace.Count("[CWinTransMainProc] Getting COM parameter Error"), 1);
  EXPECT_FALSE(rig.link.HostPortOpen());
  EXPECT_EQ(rig.link.BytesHostToTarget(), 0u);
}

TEST(RecoveryRun, SpeedUnreadableEndsWithMinusThree) {
  // The dialog goes away between the two reads: the speed cannot be read any more.
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.dialog->onPortBoxRead = [&rig] { rig.trans->BindDialog(nullptr); };
  EXPECT_EQ(rig.Run(), -3);
  EXPECT_TRUE(rig.dialog->Lines().empty());
  EXPECT_EQ(rig.trace.Count("[CWinTransMainProc] Getting Baud parameter Error"), 1);
  EXPECT_EQ(rig.link.BytesHostToTarget(), 0u);
  EXPECT_EQ(ResultStringId(-3), kStrResultCheckCable);
  ExpectCleanEnd(rig);
}

TEST(RecoveryRun, SilentBootMonitorIsGreetedThirtyTimesThenFails) {
  VirtualPanelConfig config;
  PanelFault silent;
  silent.kind = PanelFaultKind::kSilenceAfter;
  silent.value = 0;
  config.faults.push_back(silent);
  RecoveryRig rig(config);
  rig.WriteImages(40000, 2000, 0x1u);
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.dialog->Lines(), (Lines{"Connecting...", "Transfer failed."}));
  EXPECT_EQ(rig.trace.Count("[GoHandshake] Cmd[05]"), 30);
  EXPECT_EQ(rig.trace.Count("[GoReset] Cmd[1b52535446390d]"), 0);
  EXPECT_FALSE(rig.panel->ResetSeen());
  ExpectCleanEnd(rig);
}

// Results that come with a reset of the target.
struct ResetCase {
  const char* name;
  std::function<void(RecoveryRig&)> arrange;
  int result;
  int stringId;
  Lines log;  // the whole log; empty: only the last line is checked
  int resetTimeoutMs;  // the time-outs in force when the reset goes out
};
void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

// The time-outs last set before the first reset command, from the trace.
int TimeoutsAtReset(const TraceRecorder& trace) {
  int timeout = -1;
  const std::string setPrefix = "[SetComTim] SetComTim OK RD[";
  for (const std::string& t : trace.texts) {
    if (t == "[GoReset] Cmd[1b52535446390d]") return timeout;
    if (t.compare(0, setPrefix.size(), setPrefix) == 0) timeout = std::stoi(t.substr(setPrefix.size()));
  }
  return -1;
}

class FailureWithReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(FailureWithReset, SendsOneResetAndReports) {
  const ResetCase& c = GetParam();
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  c.arrange(rig);
  EXPECT_EQ(rig.Run(), c.result);
  EXPECT_EQ(ResultStringId(c.result), c.stringId);
  if (c.log.empty()) {
    ASSERT_FALSE(rig.dialog->Lines().empty());
    EXPECT_EQ(rig.dialog->Lines().back(), "Transfer failed.");
  } else {
    EXPECT_EQ(rig.dialog->Lines(), c.log);
  }
  EXPECT_TRUE(rig.panel->ResetSeen());
  EXPECT_EQ(rig.trace.Count("[GoReset] Cmd[1b52535446390d]"), 1);
  EXPECT_EQ(TimeoutsAtReset(rig.trace), c.resetTimeoutMs);
  EXPECT_FALSE(rig.panel->DownloadComplete());
  EXPECT_EQ(rig.trace.Count("[CWinTransMainProc] WinTransMain end"), 1);
  ExpectCleanEnd(rig);
}

VirtualPanelConfig Identified(const std::string& id) {
  VirtualPanelConfig config;
  config.identification = id;
  return config;
}

const Lines kUntilIdentified = {"Connecting...", "Speed changed to 115200bps.", "Transfer failed."};

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureWithReset,
    ::testing::Values(
        ResetCase{"ModelRefused",
                  [](RecoveryRig& r) {
                    r.panel.reset();
                    r.panel.reset(new VirtualPanel(Identified("QRV50005"), r.link));
                    r.dialog.reset(new RecordingDialog(*r.panel, r.locator));
                  },
                  -6, kStrResultModelRefused, kUntilIdentified, 10000},
        ResetCase{"ModelRefusedWithMarker",
                  [](RecoveryRig& r) {
                    r.WriteMarker();
                    // '8' passes without the marker file; with it only '3' does.
                  },
                  -6, kStrResultModelRefused, kUntilIdentified, 10000},
        ResetCase{"NotSupported", [](RecoveryRig& r) { r.WriteTargets("QRV4????  IL.BIN  OS.BIN\n"); }, -7,
                  kStrResultNotSupported, kUntilIdentified, 10000},
        ResetCase{"TargetTableMalformed", [](RecoveryRig& r) { r.WriteTargets("QRV5????  IL.BIN\n"); }, -8,
                  kStrResultSourceFile, kUntilIdentified, 10000},
        ResetCase{"ForeignCore",
                  [](RecoveryRig& r) {
                    VirtualPanelConfig config;
                    config.hasCoreType = true;
                    config.coreType = "Scrivel";
                    r.panel.reset();
                    r.panel.reset(new VirtualPanel(config, r.link));
                    r.dialog.reset(new RecordingDialog(*r.panel, r.locator));
                  },
                  -5, kStrResultOtherProduct, Join({kPhase1, kPhase2Start, {"Transfer failed."}}), 10000},
        ResetCase{"CoreBroken",
                  [](RecoveryRig& r) {
                    r.coreFile[100] ^= 0xFF;
                    r.folder.Write("SYSTEM/OSCORE.BIN", r.coreFile);
                  },
                  -8, kStrResultSourceFile, {}, 30000},
        ResetCase{"LoaderBrokenAfterCoreBanks",
                  [](RecoveryRig& r) {
                    // The body is what breaks: PDL still sends and starts the loader.
                    r.loaderFile[1000] ^= 0xFF;
                    r.folder.Write("SYSTEM/ILOADER.BIN", r.loaderFile);
                  },
                  -8, kStrResultSourceFile, {}, 30000}),
    [](const ::testing::TestParamInfo<ResetCase>& info) { return std::string(info.param.name); });

TEST(RecoveryRun, BrokenImagesAreNamedInTheLog) {
  {
    RecoveryRig rig;
    rig.WriteImages(40000, 2000, 0x1u);
    rig.coreFile[100] ^= 0xFF;
    rig.folder.Write("SYSTEM/OSCORE.BIN", rig.coreFile);
    EXPECT_EQ(rig.Run(), -8);
    EXPECT_EQ(rig.dialog->Lines(), Join({kPhase1, kPhase2Start,
                                         {"Transfer source file broken [" + rig.CorePath() + "].", "Transfer failed."}}));
    EXPECT_TRUE(rig.panel->Banks().empty());
  }
  {
    RecoveryRig rig;
    rig.WriteImages(40000, 2000, 0x1u);
    rig.loaderFile[1000] ^= 0xFF;
    rig.folder.Write("SYSTEM/ILOADER.BIN", rig.loaderFile);
    EXPECT_EQ(rig.Run(), -8);
    EXPECT_EQ(rig.dialog->Lines(),
              Join({kPhase1, kPhase2Start, BankLines(0, 0, false),
                    {"Transfer source file broken [" + rig.LoaderPath() + "].", "Transfer failed."}}));
    EXPECT_EQ(rig.panel->Banks().size(), 1u);
  }
}

TEST(RecoveryRun, ModelDigitThreeNeedsTheMarker) {
  for (bool marker : {true, false}) {
    SCOPED_TRACE(marker ? "marker" : "no marker");
    RecoveryRig rig(Identified("QRV50003"));
    rig.WriteImages(40000, 2000, 0x1u);
    if (marker) rig.WriteMarker();
    EXPECT_EQ(rig.Run(), marker ? 0 : -6);
    EXPECT_EQ(rig.FlashHoldsImages(), marker);
  }
}

TEST(RecoveryRun, MissingCoreFileFailsWithoutReset) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.folder.Remove("SYSTEM/OSCORE.BIN");
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.dialog->Lines(), Join({kPhase1, kPhase2Start,
                                       {"Transfer source file not found [" + rig.CorePath() + "].", "Transfer failed."}}));
  EXPECT_EQ(rig.trace.Count("[ErrCloseFree] Error ID [1]"), 1);
  EXPECT_FALSE(rig.panel->ResetSeen());
  ExpectCleanEnd(rig);
}

TEST(RecoveryRun, MissingLoaderFileFailsInPhaseOne) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.folder.Remove("SYSTEM/ILOADER.BIN");
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.dialog->Lines(), (Lines{"Connecting...", "Speed changed to 115200bps.", "Transferring program.",
                                        "Transfer failed."}));
  EXPECT_EQ(rig.trace.Count("[ErrCloseFree] Error ID [1]"), 1);
  EXPECT_FALSE(rig.panel->ResetSeen());
  ExpectCleanEnd(rig);
}

TEST(RecoveryRun, LoaderWithCoreMagicIsNotSent) {
  RecoveryRig rig;
  rig.WriteImages(40000, 2000, 0x1u);
  rig.folder.Write("SYSTEM/ILOADER.BIN", rig.coreFile);
  EXPECT_EQ(rig.Run(), -2);
  EXPECT_EQ(rig.trace.Count("[ErrCloseFree] Error ID [23]"), 1);
  EXPECT_EQ(rig.trace.Count("[GoOSloaderDown] Cmd[1b50444c]"), 0);
  EXPECT_FALSE(rig.panel->ResetSeen());
}

// ---- more than 256 banks ----

// An image file whose header announces `banks` banks; the body is not there (the check of the
// header alone decides the limit, before any bank is sent).
Bytes HeaderOnly(uint32_t magic, uint32_t totalSize) {
  ImageHeader header;
  header.magic = magic;
  header.total_size = totalSize;
  header.format_flags = 1;
  header.header_crc = CalcHeaderCrc(header);
  uint8_t bytes[kImageHeaderSize];
  header.Serialize(bytes);
  return Bytes(bytes, bytes + kImageHeaderSize);
}

TEST(RecoveryRun, PairOfImagesAboveTwoHundredFiftySixBanksIsRefusedBeforeTheFirstBank) {
  struct Case {
    uint32_t coreBanks;
    uint32_t loaderBanks;
    bool refused;
    bool coreNamed;
  };
  for (const Case& c : {Case{255, 1, false, false}, Case{255, 2, true, false}, Case{257, 0, true, true},
                        Case{250, 7, true, false}}) {
    SCOPED_TRACE(std::to_string(c.coreBanks) + "+" + std::to_string(c.loaderBanks));
    RecoveryRig rig;
    rig.WriteImages(40000, 2000, 0x1u);
    rig.folder.Write("SYSTEM/OSCORE.BIN", HeaderOnly(OSCORE_MAGIC, c.coreBanks * 65536u));
    if (c.loaderBanks > 0) {
      // The loader goes out by PDL first, so it stays a sound file: only its header is enlarged
      // by making the file that size.
      Bytes loader = MakeImageFile(ILOADER_MAGIC, SampleBody(c.loaderBanks * 65536u - 32, 5),
                                   RecoveryRig::kLoadAddress, RecoveryRig::kEntryOffset, 0);
      rig.folder.Write("SYSTEM/ILOADER.BIN", loader);
    }
    const int result = rig.Run();
    EXPECT_EQ(result, -8);
    const std::string named = c.coreNamed ? rig.CorePath() : rig.LoaderPath();
    const Lines lines = rig.dialog->Lines();
    ASSERT_GE(lines.size(), 2u);
    if (c.refused) {
      EXPECT_EQ(lines[lines.size() - 2], "Transfer source file too large [" + named + "].");
    } else {
      // Within the limit: the (bodiless) core is refused as broken by its full check instead.
      EXPECT_EQ(lines[lines.size() - 2], "Transfer source file broken [" + rig.CorePath() + "].");
    }
    EXPECT_TRUE(rig.panel->Banks().empty());
    EXPECT_EQ(rig.trace.Count("[FileDownload] Bank[0]"), 0);
    EXPECT_TRUE(rig.panel->ResetSeen());
    ExpectCleanEnd(rig);
  }
}

// ---- faults of the target ----

struct FaultCase {
  const char* name;
  std::vector<std::string> faults;
  int result;
  bool resetExpected;
  const char* countedLine;  // a log line and how often it must appear (nullptr: not checked)
  int count;
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class TargetFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TargetFault, IsRecoveredWithinFourAttemptsOrFailsCleanly) {
  const FaultCase& c = GetParam();
  VirtualPanelConfig config;
  for (const std::string& spec : c.faults) {
    PanelFault fault;
    std::string error;
    ASSERT_TRUE(ParsePanelFault(spec, fault, error)) << spec << ": " << error;
    config.faults.push_back(fault);
  }
  RecoveryRig rig(config);
  rig.WriteImages(kBank + 5000, 3000, 0x1u);  // banks 0-1 core, bank 2 loader
  EXPECT_EQ(rig.Run(), c.result);
  const Lines lines = rig.dialog->Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), c.result == 0 ? "Transfer completed." : "Transfer failed.");
  if (c.result == 0) {
    EXPECT_TRUE(rig.FlashHoldsImages());
    EXPECT_TRUE(rig.panel->ResetAfterCompleteDownload());
  } else {
    EXPECT_EQ(rig.panel->ResetSeen(), c.resetExpected);
  }
  if (c.countedLine != nullptr) {
    EXPECT_EQ(CountLines(lines, c.countedLine), c.count) << c.countedLine;
  }
  ExpectCleanEnd(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Panel, TargetFault,
    ::testing::Values(
        FaultCase{"NoiseBeforeEveryAnswer", {"noise"}, 0, true, nullptr, 0},
        FaultCase{"StrayEsc", {"stray-esc:MID", "stray-esc:PDL", "stray-esc:OTN"}, 0, true, nullptr, 0},
        FaultCase{"BadSums", {"bad-sum:MID", "bad-sum:PDL", "bad-sum:OTN"}, 0, true, nullptr, 0},
        FaultCase{"LowerCaseSum", {"lower-sum:MID:times=3"}, 0, true, nullptr, 0},
        FaultCase{"EchoMismatch", {"echo-mismatch:times=3"}, 0, true, nullptr, 0},
        FaultCase{"SpeedCommandUnanswered", {"no-answer:COM:times=3"}, 0, true, nullptr, 0},
        FaultCase{"BootMonitorLateGreeting", {"no-answer:HSK:times=29"}, 0, true, nullptr, 0},
        FaultCase{"PdlRefusedThreeTimes", {"status:PDL:times=3"}, 0, true, nullptr, 0},
        FaultCase{"PgoUnanswered", {"no-answer:PGO:times=3"}, 0, true, nullptr, 0},
        FaultCase{"CoreTypeUnanswered", {"no-answer:OTN:times=3"}, 0, true, nullptr, 0},
        FaultCase{"BankNak", {"nak:bank=1:times=3"}, 0, true, "Sending Data No. 1", 4},
        FaultCase{"BankE1", {"e1:bank=0:times=3"}, 0, true, "Sending Data No. 0", 4},
        FaultCase{"BankUnanswered", {"no-answer:OPD:times=3"}, 0, true, "Sending Data No. 0", 4},
        FaultCase{"FinalCommandE1", {"e1:bank=$$:times=3"}, 0, true, nullptr, 0},
        FaultCase{"ResetUnanswered", {"no-answer:RST:times=3"}, 0, true, nullptr, 0},
        FaultCase{"SlowAnswers", {"delay:50"}, 0, true, nullptr, 0},
        // Beyond four attempts.
        FaultCase{"BootMonitorNeverGreets", {"no-answer:HSK:times=30"}, -2, false, nullptr, 0},
        FaultCase{"MidFourTimes", {"bad-sum:MID:times=4"}, -2, false, nullptr, 0},
        FaultCase{"PdlRefusedFourTimes", {"status:PDL:times=4"}, -2, false, "Executing program.", 0},
        FaultCase{"PgoFourTimes", {"status:PGO:times=4"}, -2, false, nullptr, 0},
        FaultCase{"CoreTypeFourTimes", {"no-answer:OTN:times=4"}, -2, false, nullptr, 0},
        FaultCase{"BankNakFourTimes", {"nak:bank=1:times=4"}, -2, false, "Sending Data No. 1", 4},
        FaultCase{"BankE1Always", {"e1:bank=2:always"}, -2, false, "Sending Data No. 2", 4},
        FaultCase{"FinalCommandFourTimes", {"e1:bank=$$:times=4"}, -2, false, nullptr, 0},
        FaultCase{"ResetFourTimes", {"no-answer:RST:times=4"}, -2, false, "QRV is reset.", 1},
        FaultCase{"CablePulledDuringBanks", {"silence-after:120"}, -2, false, nullptr, 0},
        // A retry cannot help once the target acted on a command whose answer was spoilt: it has
        // changed its speed, or it runs the initial loader, which knows no PGO.
        FaultCase{"SpeedAnswerSpoilt", {"bad-sum:COM"}, -2, false, "Transferring program.", 0},
        FaultCase{"StartAnswerSpoilt", {"bad-sum:PGO"}, -2, false, "Connecting...", 1},
        FaultCase{"CtsDropsDuringBanks", {"cts-drop-after:30000"}, -2, false, nullptr, 0}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
