// A whole recovery in virtual time: the engine against the virtual panel on the simulated link at
// 115200 bit/s, with a 4 MiB OS core (compressed banks) and a 128 KiB initial loader.
// Prints the virtual duration, the bytes on the wire, the line-rate bound (wire bytes x 10 / speed)
// and how close the run came to it, for the whole run and for the bank data phase, and the wall and
// CPU time spent on the host side.
//
//   recovery_bench [CORE_BYTES [LOADER_BYTES]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dialog_bridge.h"
#include "image_check.h"
#include "sim_link.h"
#include "virtual_clock.h"
#include "virtual_panel.h"
#include "win_trans.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSpeed = 115200;
using Bytes = std::vector<uint8_t>;

// Code-like words, strings, address tables and zero padding, deterministic.
Bytes FirmwareLike(size_t size, uint32_t seed) {
  Bytes out;
  out.reserve(size + 4096);
  auto rnd = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return ((seed >> 8) & 0x7FFFFF) % n;
  };
  auto word = [&out](uint32_t w) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  };
  const char* strings[] = {"Transfer error\r\n", "Bank written\r\n", "OS core ready", "Checksum NG"};
  while (out.size() < size) {
    uint32_t kind = rnd(10);
    if (kind < 5) {
      for (uint32_t i = 0, n = 8 + rnd(100); i < n; ++i)
        word(0xE5900000u | (rnd(8) << 16) | (rnd(8) << 12) | rnd(64));
    } else if (kind < 7) {
      for (uint32_t i = 0, n = 1 + rnd(4); i < n; ++i) {
        const char* s = strings[rnd(4)];
        out.insert(out.end(), s, s + std::char_traits<char>::length(s) + 1);
      }
    } else if (kind < 9) {
      uint32_t address = 0x8C010000u + rnd(0x4000) * 4;
      for (uint32_t i = 0, n = 4 + rnd(40); i < n; ++i) {
        word(address);
        address += 4 * (1 + rnd(16));
      }
    } else {
      out.insert(out.end(), 64 + rnd(1024), 0);
    }
  }
  out.resize(size);
  return out;
}

Bytes ImageFile(uint32_t magic, size_t totalSize, uint32_t flags, uint32_t seed) {
  Bytes body = FirmwareLike(totalSize - kImageHeaderSize, seed);
  ImageHeader h;
  h.magic = magic;
  h.total_size = static_cast<uint32_t>(totalSize);
  h.load_address = 0x8C000000u;
  h.entry_offset = 0x100;
  h.format_flags = flags;
  if (magic == OSCORE_MAGIC && (flags & kFlagsWordSumMask) != 0)
    h.body_check = CalcWordSum(body.data(), static_cast<uint32_t>(body.size()));
  else
    CalcCrc(body.data(), static_cast<uint32_t>(body.size()), h.body_check);
  h.header_crc = CalcHeaderCrc(h);
  uint8_t bytes[kImageHeaderSize];
  h.Serialize(bytes);
  body.insert(body.begin(), std::begin(bytes), std::end(bytes));
  return body;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// The dialog side: switches the panel's power for the prompts and notes when the banks begin and end.
class BenchBridge : public IDialogBridge {
 public:
  BenchBridge(SimLink& link, VirtualPanel& panel, std::string loader, std::string core)
      : link_(link), panel_(panel), loader_(std::move(loader)), core_(std::move(core)) {}
  void AppendLog(const char* text) override {
    std::string t = text;
    if (t == "Sending Data No. 0\r\n" && banksStartUs == 0) {
      banksStartUs = link_.clock().NowUs();
      banksStartBytes = link_.BytesHostToTarget() + link_.BytesTargetToHost();
    } else if (t == "QRV is reset.\r\n") {
      banksEndUs = link_.clock().NowUs();
      banksEndBytes = link_.BytesHostToTarget() + link_.BytesTargetToHost();
    }
    if (t != ".") log += t;
  }
  void TrimLog(int) override {}
  void EnableCloseButton(int) override {}
  std::string GetPortBoxText() override { return "COM1"; }
  std::string GetSpeedBoxText() override { return std::to_string(kSpeed); }
  void SetPromptPort(ISerialPort*) override {}
  int PromptPowerOff() override {
    panel_.PowerOff();
    return 1;
  }
  int PromptConnect() override {
    panel_.PowerOn();
    return 1;
  }
  int ResolveImageFiles(const char*, std::string& initialLoaderPath, std::string& osCorePath) override {
    initialLoaderPath = loader_;
    osCorePath = core_;
    return 0;
  }

  std::string log;
  uint64_t banksStartUs = 0, banksEndUs = 0, banksStartBytes = 0, banksEndBytes = 0;

 private:
  SimLink& link_;
  VirtualPanel& panel_;
  std::string loader_, core_;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t coreBytes = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 4u << 20;
  const size_t loaderBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : 128u << 10;

  const fs::path dir = fs::temp_directory_path() / ("calvera_recovery_bench_" + std::to_string(std::time(nullptr)));
  fs::create_directories(dir);
  const std::string corePath = (dir / "OSCORE.BIN").string();
  const std::string loaderPath = (dir / "ILOADER.BIN").string();
  const Bytes core = ImageFile(OSCORE_MAGIC, coreBytes, 0x00010001u, 1);
  const Bytes loader = ImageFile(ILOADER_MAGIC, loaderBytes, 0, 2);
  std::ofstream(corePath, std::ios::binary).write(reinterpret_cast<const char*>(core.data()), core.size());
  std::ofstream(loaderPath, std::ios::binary).write(reinterpret_cast<const char*>(loader.data()), loader.size());

  VirtualClock clock;
  SimLink link(clock);
  VirtualPanelConfig config;
  VirtualPanel panel(config, link);
  auto factory = link.MakeFactory("COM1");
  BenchBridge bridge(link, panel, loaderPath, corePath);
  CWinTrans trans(dir.string() + "/calvera.exe");
  trans.SetPortFactory(factory.get());

  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  const int result = trans.CWinTransMainProc(&bridge);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const double cpu = CpuSeconds() - cpu0;

  Bytes gotCore, gotLoader;
  const bool match = panel.ReassembleImages(gotCore, gotLoader) && gotCore == core && gotLoader == loader;
  std::error_code ignored;
  fs::remove_all(dir, ignored);

  const double virtualS = clock.NowUs() / 1e6;
  const uint64_t wire = link.BytesHostToTarget() + link.BytesTargetToHost();
  const double bound = wire * 10.0 / kSpeed;
  const double bankS = (bridge.banksEndUs - bridge.banksStartUs) / 1e6;
  const uint64_t bankWire = bridge.banksEndBytes - bridge.banksStartBytes;
  const double bankBound = bankWire * 10.0 / kSpeed;

  std::printf("recovery at %u bit/s: OS core %zu bytes (%zu banks, compressed), initial loader %zu bytes\n", kSpeed,
              coreBytes, (coreBytes + 65535) / 65536, loaderBytes);
  std::printf("result                    %d (%s)\n", result, match ? "flash holds both images" : "FLASH DIFFERS");
  std::printf("virtual duration          %.3f s\n", virtualS);
  std::printf("bytes on the wire         %llu (host->target %llu, target->host %llu)\n",
              static_cast<unsigned long long>(wire), static_cast<unsigned long long>(link.BytesHostToTarget()),
              static_cast<unsigned long long>(link.BytesTargetToHost()));
  std::printf("line-rate bound           %.3f s   ratio %.4f (whole run; the greeting runs at 9600 bit/s)\n", bound,
              virtualS / bound);
  std::printf("bank data phase           %.3f s for %llu wire bytes, bound %.3f s, ratio %.4f (%.2f%% above)\n",
              bankS, static_cast<unsigned long long>(bankWire), bankBound, bankS / bankBound,
              (bankS / bankBound - 1.0) * 100.0);
  std::printf("host wall time            %.3f s\n", wall);
  std::printf("host CPU time             %.3f s = %.3f%% of the virtual duration (engine and simulated panel)\n",
              cpu, cpu / virtualS * 100.0);
  return result == 0 && match ? 0 : 1;
}
