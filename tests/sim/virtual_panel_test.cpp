// The virtual panel driven by a scripted host side on the simulated link: a full recovery exchange
// and what each injected fault and each refused command looks like from the host.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lzss_encoder.h"
#include "sim_link.h"
#include "virtual_panel.h"
#include "host_frames.h"

namespace {

const std::string kEsc = "\x1b";

using host_frames::Command;
using host_frames::Hex;
using host_frames::SumOf;

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A host end written for these tests only (the engine is not used).
class Host {
 public:
  explicit Host(SimLink& link) {
    uint32_t err = 0;
    port_ = link.OpenHostPort(err);
    SetBaud(9600);
    SetTimeoutMs(2000);
  }
  void SetBaud(uint32_t baud) {
    SerialLineSettings s;
    port_->GetLineSettings(s);
    s.BaudRate = baud;
    s.fOutxCtsFlow = 1;
    port_->SetLineSettings(s);
  }
  void SetTimeoutMs(uint32_t ms) {
    SerialTimeouts t;
    t.ReadIntervalTimeout = ms;
    t.ReadTotalTimeoutConstant = ms;
    t.WriteTotalTimeoutConstant = 200000;  // a 64 KiB bank at 9600 bit/s takes 68 s
    port_->SetTimeouts(t);
  }
  bool Send(const std::string& s) {
    uint32_t written = 0;
    return port_->Write(s.data(), static_cast<uint32_t>(s.size()), written) && written == s.size();
  }
  std::string Recv(uint32_t n) {
    std::string buf(n, '\0');
    uint32_t got = 0;
    port_->Read(&buf[0], n, got);
    buf.resize(got);
    return buf;
  }
  // Skips to the next ESC, then reads n bytes; "" when no ESC comes. `skipped` gets what came before.
  std::string RecvBody(uint32_t n, std::string* skipped = nullptr) {
    for (int i = 0; i < 256; ++i) {
      std::string c = Recv(1);
      if (c.empty()) return "";
      if (c == kEsc) return Recv(n);
      if (skipped) *skipped += c;
    }
    return "";
  }
  std::string Exchange(const std::string& frame, uint32_t bodyLength) {
    if (!Send(frame)) return "";
    return RecvBody(bodyLength);
  }
  ISerialPort& port() { return *port_; }

 private:
  std::unique_ptr<ISerialPort> port_;
};

std::vector<uint8_t> MakeImage(uint32_t magic, uint32_t totalSize, uint32_t loadAddress, uint32_t entry,
                               uint32_t flags, uint32_t seed) {
  std::vector<uint8_t> img(totalSize);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, magic);
  put(12, totalSize);
  put(16, loadAddress);
  put(20, entry);
  put(24, flags);
  // Compressible but not trivial content.
  for (size_t i = 32; i < img.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    img[i] = (i % 97 < 60) ? static_cast<uint8_t>(i / 13) : static_cast<uint8_t>(seed >> 24);
  }
  return img;
}

constexpr uint32_t kCoreMagic = 0x5A5A5A5Au;
constexpr uint32_t kLoaderMagic = 0x5A5AC3C3u;

class PanelTest : public ::testing::Test {
 protected:
  void Start(VirtualPanelConfig config = VirtualPanelConfig{}) {
    host.reset();
    panel.reset();
    panel.reset(new VirtualPanel(config, link));
    host.reset(new Host(link));
    panel->PowerOn();
  }
  void Greet(char expected) {
    ASSERT_TRUE(host->Send("\x05"));
    ASSERT_EQ(host->Recv(2), (std::string{expected, '\n'}));
  }
  // PDL and PGO of a small loader, leaving the panel in its initial loader.
  void LoadAndStart(const std::string& body = std::string("\x01\x02\x03\x04", 4)) {
    ASSERT_EQ(host->Exchange(PdlFrame(0x00200000, body), 8), "PDL010\r\n");
    ASSERT_EQ(host->Exchange(Command("PGO00200000"), 8), "PGO016\r\n");
    Greet('\x02');
  }
  static std::string PdlFrame(uint32_t address, const std::string& body, bool breakSum = false) {
    std::string head = "PDL" + Hex(address, 8) + Hex(static_cast<uint32_t>(body.size()), 8);
    uint32_t sum = 0;
    for (unsigned char c : head + body) sum += c;
    if (breakSum) ++sum;
    return kEsc + head + body + Hex(sum & 0xFF, 2) + "\r";
  }
  // Sends one bank; returns the acknowledgement and the progress answers, e.g. "06 1A|B1|B2|E0".
  std::string SendBank(int number, const std::vector<uint8_t>& plain, bool compressed, bool breakSum = false) {
    std::vector<uint8_t> wire = plain;
    if (compressed) {
      std::unique_ptr<CLzssEncoder> enc(new CLzssEncoder);
      wire.resize(static_cast<size_t>(CLzssEncoder::MaxEncodedSize(static_cast<int>(plain.size()))));
      wire.resize(static_cast<size_t>(enc->Encode(plain.data(), wire.data(), static_cast<int>(plain.size()))));
    }
    return SendRawBank(number, Bytes(wire), compressed, breakSum);
  }
  std::string SendRawBank(int number, const std::string& data, bool compressed, bool breakSum = false) {
    std::string cmd = Command(std::string(compressed ? "OPD" : "OPK") + Hex(static_cast<uint32_t>(number), 2) +
                              Hex(static_cast<uint32_t>(data.size()), 5));
    if (!host->Send(cmd)) return "send failed";
    std::string ack = host->Recv(2);
    if (ack != "\x06\x1a") return ack == "\x15\x1a" ? "15 1A" : "no ack";
    std::string sum = SumOf(data);
    if (breakSum) sum = sum == "00" ? "01" : "00";
    if (!host->Send(data + sum)) return "data send failed";
    return "06 1A" + Progress();
  }
  std::string Progress() {
    std::string out;
    for (int i = 0; i < 100; ++i) {
      std::string a = host->RecvBody(7);
      if (a.size() != 7 || a.compare(0, 3, "OPD") != 0) return out + "|?" + a;
      out += "|" + a.substr(3, 2);
      if (a[3] == 'E') return out;
    }
    return out;
  }

  VirtualClock clock;
  SimLink link{clock};
  std::unique_ptr<VirtualPanel> panel;
  std::unique_ptr<Host> host;
};

// ---------------------------------------------------------------------------------------------
// The whole exchange, as a recovery runs it, up to "reset after complete download".

TEST_F(PanelTest, FullExchangeEndsInResetAfterCompleteDownload) {
  VirtualPanelConfig cfg;
  cfg.hasCoreType = true;
  cfg.coreType = "Velk";
  cfg.eraseProgressCount = 2;
  cfg.writeProgressCount = 3;
  Start(cfg);
  const auto core = MakeImage(kCoreMagic, 150000, 0, 0, 0x0001, 1);     // 3 banks, compressed
  const auto loader = MakeImage(kLoaderMagic, 70000, 0x00200000, 0x100, 0, 2);  // 2 banks
  const std::string loaderBody(loader.begin() + 32, loader.end());

  EXPECT_TRUE(link.Cts());
  Greet('\x03');
  // Speed change to 115200: first answer at 9600, echo at the new speed.
  ASSERT_TRUE(host->Send(Command("COM24")));
  ASSERT_EQ(host->RecvBody(8), "COM00F\r\n");
  host->SetBaud(115200);
  std::string echo = host->RecvBody(9);
  ASSERT_EQ(echo.size(), 9u);
  EXPECT_EQ(echo.substr(0, 8), "COM2445\r");
  EXPECT_EQ(panel->Speed(), 115200u);

  std::string mid = host->Exchange(Command("MID"), 16);
  ASSERT_EQ(mid.size(), 16u);
  EXPECT_EQ(mid.substr(0, 12), "MID0QRV50008");
  EXPECT_EQ(mid.substr(12), SumOf(mid.substr(0, 12)) + "\r\n");

  ASSERT_EQ(host->Exchange(PdlFrame(0x00200000, loaderBody), 8), "PDL010\r\n");
  ASSERT_EQ(host->Exchange(Command("PGO00200100"), 8), "PGO016\r\n");
  EXPECT_EQ(panel->StartAddress(), 0x00200100u);
  Greet('\x02');

  ASSERT_TRUE(host->Send(Command("OTN")));
  std::string otn = host->RecvBody(8);
  EXPECT_EQ(otn, "OTN004" + SumOf("OTN004"));
  EXPECT_EQ(host->Recv(8), "Velk" + SumOf("Velk") + "\r\n");

  int bank = 0;
  for (const auto* img : {&core, &loader}) {
    for (size_t off = 0; off < img->size(); off += 65536, ++bank) {
      std::vector<uint8_t> part(img->begin() + off, img->begin() + std::min(img->size(), off + 65536));
      EXPECT_EQ(SendBank(bank, part, true), "06 1A|B1|B1|B2|B2|B2|E0") << "bank " << bank;
    }
  }
  ASSERT_TRUE(host->Send(std::string("\x1bOPD$$2B\r")));
  EXPECT_EQ(Progress(), "|B2|B2|B2|E0");
  EXPECT_TRUE(panel->DownloadComplete());
  EXPECT_FALSE(panel->ResetSeen());
  EXPECT_EQ(host->Exchange(std::string("\x1bRST" "F9\r"), 8), "RST029\r\n");
  EXPECT_TRUE(panel->ResetAfterCompleteDownload());

  std::vector<uint8_t> gotCore, gotLoader;
  ASSERT_TRUE(panel->ReassembleImages(gotCore, gotLoader));
  EXPECT_TRUE(gotCore == core);
  EXPECT_TRUE(gotLoader == loader);
  EXPECT_EQ(Bytes(panel->LoaderRam()), loaderBody);
  EXPECT_EQ(panel->LoadAddress(), 0x00200000u);
  ASSERT_EQ(panel->Banks().size(), 5u);
  for (const auto& kv : panel->Banks()) EXPECT_TRUE(kv.second.compressed);
  // A whole recovery at these sizes stays within a few virtual seconds.
  EXPECT_LT(clock.NowUs(), 60u * 1000000u);
}

TEST_F(PanelTest, PlainBanksAreStoredAsSentAndMarkedPlain) {
  Start();
  LoadAndStart();
  const auto core = MakeImage(kCoreMagic, 65537, 0, 0, 0, 3);
  std::vector<uint8_t> b0(core.begin(), core.begin() + 65536), b1(core.begin() + 65536, core.end());
  EXPECT_EQ(SendBank(0, b0, false), "06 1A|B1|B2|E0");
  EXPECT_EQ(SendBank(1, b1, false), "06 1A|B1|B2|E0");
  const auto loader = MakeImage(kLoaderMagic, 100, 0, 0, 0, 4);
  EXPECT_EQ(SendBank(2, loader, true), "06 1A|B1|B2|E0");
  std::vector<uint8_t> c, l;
  ASSERT_TRUE(panel->ReassembleImages(c, l));
  EXPECT_TRUE(c == core);
  EXPECT_TRUE(l == loader);
  EXPECT_FALSE(panel->Banks().at(0).compressed);
  EXPECT_TRUE(panel->Banks().at(2).compressed);
}

TEST_F(PanelTest, ResetWithoutDownloadIsSeenButNotComplete) {
  Start();
  Greet('\x03');
  EXPECT_EQ(host->Exchange(std::string("\x1bRSTF9\r"), 8), "RST029\r\n");
  EXPECT_TRUE(panel->ResetSeen());
  EXPECT_FALSE(panel->ResetAfterCompleteDownload());
  // The restarted system no longer answers the monitor's greeting.
  ASSERT_TRUE(host->Send("\x05"));
  EXPECT_EQ(host->Recv(2), "");
}

// ---------------------------------------------------------------------------------------------
// Power and CTS.

TEST_F(PanelTest, PowerSwitchesCtsAndSilencesThePanel) {
  panel.reset(new VirtualPanel(VirtualPanelConfig{}, link));
  host.reset(new Host(link));
  EXPECT_FALSE(link.Cts());
  host->port().PauseMs(1);
  panel->PowerOn();
  EXPECT_TRUE(link.Cts());
  Greet('\x03');
  panel->PowerOff();
  EXPECT_FALSE(link.Cts());
  // CTS off with flow control: the host's output does not even leave.
  EXPECT_FALSE(host->Send("\x05"));
  EXPECT_EQ(host->Recv(2), "");
  panel->PowerOn();
  Greet('\x03');  // back in the boot monitor
}

// ---------------------------------------------------------------------------------------------
// Refusals: what a real target would not accept.

TEST_F(PanelTest, MalformedCommandsGetNoAnswer) {
  Start();
  struct {
    const char* what;
    std::string frame;
  } cases[] = {
      {"wrong sum", std::string("\x1bMIDDB\r")},
      {"lower-case sum", std::string("\x1bMIDda\r")},
      {"no CR", std::string("\x1bMIDDA\n")},
      {"loader command in the monitor", Command("OTN")},
      {"unknown command", Command("XYZ")},
      {"speed command with a bad code", Command("COM29")},
      {"PGO address in lower case", Command("PGO00200a00")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host->Exchange(c.frame, 8), "") << c.what;
  }
  // Still alive and strict afterwards.
  EXPECT_EQ(host->Exchange(Command("MID"), 16).substr(0, 4), "MID0");
}

TEST_F(PanelTest, LoaderRefusals) {
  Start();
  Greet('\x03');
  EXPECT_EQ(host->Exchange(Command("PGO00200000"), 8), "PGO1" + SumOf("PGO1") + "\r\n") << "nothing loaded";
  EXPECT_EQ(host->Exchange(PdlFrame(0x00200000, "abcd", true), 8), "PDL1" + SumOf("PDL1") + "\r\n");
  EXPECT_TRUE(panel->LoaderRam().empty());
  EXPECT_EQ(host->Exchange(PdlFrame(0x00200000, "abcd"), 8), "PDL010\r\n");
  EXPECT_FALSE(panel->LoaderStarted());
  VirtualPanelConfig small;
  small.ramBytes = 3;
  Start(small);
  EXPECT_EQ(host->Exchange(PdlFrame(0x00200000, "abcd"), 8), "PDL1" + SumOf("PDL1") + "\r\n") << "too big";
}

TEST_F(PanelTest, BadBanksAreRefusedAndNotStored) {
  Start();
  LoadAndStart();
  std::vector<uint8_t> data(1000, 0x41);
  EXPECT_EQ(SendBank(0, data, true, /*breakSum=*/true), "06 1A|E4");
  // A stream that ends inside a reference: flag byte 00, then one byte of a reference.
  EXPECT_EQ(SendRawBank(0, std::string("\x00\xEE", 2), true), "06 1A|E3");
  // 4,000 references of 18 bytes expand to 72,000 bytes: more than a bank.
  std::string big;
  for (int g = 0; g < 500; ++g) big += std::string("\x00\xDC\xFF\xDC\xFF\xDC\xFF\xDC\xFF\xDC\xFF\xDC\xFF\xDC\xFF\xDC\xFF", 17);
  EXPECT_EQ(SendRawBank(0, big, true), "06 1A|E2");
  EXPECT_TRUE(panel->Banks().empty());
  // Bank commands the loader cannot take: plain bank above 64 KiB, zero length, lower-case digits.
  EXPECT_EQ(SendRawBank(0, std::string(65537, 'x'), false), "15 1A");
  EXPECT_EQ(SendRawBank(0, "", true), "15 1A");
  ASSERT_TRUE(host->Send(Command("OPD0a00010")));
  EXPECT_EQ(host->Recv(2), "\x15\x1a");
}

// ---------------------------------------------------------------------------------------------
// Injected faults.

std::vector<PanelFault> Faults(std::initializer_list<const char*> texts) {
  std::vector<PanelFault> out;
  for (const char* s : texts) {
    PanelFault f;
    std::string err;
    EXPECT_TRUE(ParsePanelFault(s, f, err)) << s << ": " << err;
    out.push_back(f);
  }
  return out;
}

TEST(PanelFaultGrammar, ParsesTheGrammarAndRefusesNonsense) {
  PanelFault f;
  std::string err;
  ASSERT_TRUE(ParsePanelFault("e1:bank=0:times=2", f, err));
  EXPECT_EQ(f.kind, PanelFaultKind::kE1);
  EXPECT_EQ(f.bank, 0);
  EXPECT_EQ(f.times, 2);
  ASSERT_TRUE(ParsePanelFault("e1:bank=2:always", f, err));
  EXPECT_EQ(f.times, -1);
  ASSERT_TRUE(ParsePanelFault("no-answer:OPD$$", f, err));
  EXPECT_EQ(f.command, "OPD$$");
  ASSERT_TRUE(ParsePanelFault("noise", f, err));
  EXPECT_EQ(f.times, -1);
  EXPECT_TRUE(f.command.empty());
  ASSERT_TRUE(ParsePanelFault("silence-after:200", f, err));
  EXPECT_EQ(f.value, 200u);
  for (const char* bad : {"", "bogus", "bad-sum", "bad-sum:XYZ", "nak:bank=x", "nak:bank=256", "delay",
                          "delay:abc", "status:MID:times=0", "echo-mismatch:MID", "noise:MID:color=red"}) {
    EXPECT_FALSE(ParsePanelFault(bad, f, err)) << bad;
    EXPECT_FALSE(err.empty());
  }
}

TEST_F(PanelTest, NoiseComesBeforeTheEscAndNeverContainsOne) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"noise"});
  Start(cfg);
  ASSERT_TRUE(host->Send(Command("MID")));
  std::string skipped;
  EXPECT_EQ(host->RecvBody(16, &skipped).substr(0, 12), "MID0QRV50008");
  EXPECT_FALSE(skipped.empty());
  EXPECT_EQ(skipped.find('\x1b'), std::string::npos);
}

TEST_F(PanelTest, WrongAndLowerCaseSumsOnlyAsOftenAsConfigured) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"bad-sum:MID:times=2", "lower-sum:COM"});
  Start(cfg);
  const std::string good = "MID0QRV50008" + SumOf("MID0QRV50008") + "\r\n";
  for (int i = 0; i < 2; ++i) {
    std::string a = host->Exchange(Command("MID"), 16);
    EXPECT_EQ(a.substr(0, 12), "MID0QRV50008");
    EXPECT_NE(a, good);
  }
  EXPECT_EQ(host->Exchange(Command("MID"), 16), good);
  EXPECT_EQ(host->Exchange(Command("COM20"), 8), "COM00f\r\n");
}

TEST_F(PanelTest, MissingAnswerThenNormal) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"no-answer:OTN", "no-answer:HSK:times=2"});
  Start(cfg);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(host->Send("\x05"));
    EXPECT_EQ(host->Recv(2), "");
  }
  LoadAndStart();
  EXPECT_EQ(host->Exchange(Command("OTN"), 8), "");
  EXPECT_EQ(host->Exchange(Command("OTN"), 8), "OTN100" + SumOf("OTN100"));
}

TEST_F(PanelTest, StrayEscShiftsTheAnswer) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"stray-esc:MID"});
  Start(cfg);
  ASSERT_TRUE(host->Send(Command("MID")));
  EXPECT_EQ(host->Recv(17).substr(0, 7), "\x1b\x1bMID0Q");
}

TEST_F(PanelTest, StatusFaultRefusesWithACorrectSum) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"status:RST", "status:PDL"});
  Start(cfg);
  EXPECT_EQ(host->Exchange(PdlFrame(0x1000, "ab"), 8), "PDL1" + SumOf("PDL1") + "\r\n");
  EXPECT_TRUE(panel->LoaderRam().empty());
  EXPECT_EQ(host->Exchange(Command("RST"), 8), "RST1" + SumOf("RST1") + "\r\n");
  EXPECT_FALSE(panel->ResetSeen());
  EXPECT_EQ(host->Exchange(Command("RST"), 8), "RST029\r\n");
}

TEST_F(PanelTest, NakAndE1FaultsPerBank) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"nak:bank=1", "e1:bank=0:times=2", "e1:bank=2:always"});
  Start(cfg);
  LoadAndStart();
  std::vector<uint8_t> data(300, 7);
  data[0] = 0x5A;
  EXPECT_EQ(SendBank(0, data, true), "06 1A|B1|B2|E1");
  EXPECT_EQ(SendBank(0, data, true), "06 1A|B1|B2|E1");
  EXPECT_EQ(SendBank(0, data, true), "06 1A|B1|B2|E0");
  EXPECT_EQ(SendBank(1, data, true), "15 1A");
  EXPECT_EQ(SendBank(1, data, true), "06 1A|B1|B2|E0");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SendBank(2, data, true), "06 1A|B1|B2|E1");
  EXPECT_EQ(panel->Banks().at(0).writes, 1);
  EXPECT_EQ(panel->Banks().count(2), 0u);
}

TEST_F(PanelTest, EchoMismatchOnce) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"echo-mismatch"});
  Start(cfg);
  ASSERT_EQ(host->Exchange(Command("COM24"), 8), "COM00F\r\n");
  host->SetBaud(115200);
  std::string echo = host->RecvBody(9);
  ASSERT_EQ(echo.size(), 9u);
  EXPECT_NE(echo.substr(0, 8), "COM2445\r");
}

TEST_F(PanelTest, SpeedEchoIsGarbledWhenTheHostStaysBehind) {
  Start();
  ASSERT_EQ(host->Exchange(Command("COM24"), 8), "COM00F\r\n");
  std::string rest = host->Recv(10);  // the host did not switch
  EXPECT_EQ(rest.find("COM2445"), std::string::npos);
  // At 9600 the panel (now at 115200) hears only garbage and answers nothing.
  ASSERT_TRUE(host->Send("\x05"));
  EXPECT_EQ(host->Recv(2), "");
}

TEST_F(PanelTest, SilenceAfterSomeBytes) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"silence-after:5"});
  Start(cfg);
  Greet('\x03');  // 2 bytes
  ASSERT_TRUE(host->Send(Command("MID")));
  EXPECT_EQ(host->Recv(17), "\x1bMI");  // 3 more, then nothing
  EXPECT_EQ(host->Exchange(Command("MID"), 16), "");
}

TEST_F(PanelTest, CtsDropStallsTheHostMidBank) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"cts-drop-after:100"});
  Start(cfg);
  Greet('\x03');
  std::string body(200, 'x');
  EXPECT_FALSE(host->Send(PdlFrame(0x1000, body)));  // the write time-out ends it
  EXPECT_FALSE(link.Cts());
  EXPECT_EQ(panel->BytesReceived(), 100u);
}

TEST_F(PanelTest, DelayedAnswers) {
  VirtualPanelConfig cfg;
  cfg.faults = Faults({"delay:500"});
  Start(cfg);
  uint64_t t0 = clock.NowUs();
  Greet('\x03');
  // One byte out, 500 ms, two bytes back (9600 bit/s: 1,042 us a byte).
  EXPECT_EQ(clock.NowUs() - t0, 500000u + 3 * 1042u);
  // The speed change still switches only after its (delayed) first answer has gone out.
  ASSERT_EQ(host->Exchange(Command("COM24"), 8), "COM00F\r\n");
  host->SetBaud(115200);
  EXPECT_EQ(host->RecvBody(9).substr(0, 8), "COM2445\r");
}

TEST_F(PanelTest, RunsAreDeterministic) {
  auto run = [] {
    VirtualClock c;
    SimLink l(c);
    VirtualPanelConfig cfg;
    cfg.faults = Faults({"noise", "bad-sum:MID"});
    VirtualPanel p(cfg, l);
    Host h(l);
    p.PowerOn();
    std::string all;
    h.Send("\x05");
    all += h.Recv(2);
    all += h.Exchange(Command("MID"), 16);
    all += h.Exchange(Command("MID"), 16);
    return all + std::to_string(c.NowUs());
  };
  EXPECT_EQ(run(), run());
}

}  // namespace
