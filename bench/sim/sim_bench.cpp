// Wall time of a whole simulated recovery exchange (virtual panel on the simulated link, a minimal
// scripted host): how much faster than real time the virtual clock runs it.
//   sim_bench [core KiB] [loader KiB] [speed]
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lzss_encoder.h"
#include "sim_link.h"
#include "virtual_panel.h"
#include "host_frames.h"

namespace {

using host_frames::Command;
using host_frames::Hex;
using host_frames::SumOf;

struct Host {
  std::unique_ptr<ISerialPort> port;
  // In 10240-byte writes, as the engine sends (each write has its own 30 s time-out).
  void Send(const std::string& s) {
    for (size_t off = 0; off < s.size(); off += 10240) {
      uint32_t w = 0;
      port->Write(s.data() + off, static_cast<uint32_t>(std::min<size_t>(10240, s.size() - off)), w);
    }
  }
  std::string Recv(uint32_t n) {
    std::string b(n, '\0');
    uint32_t got = 0;
    port->Read(&b[0], n, got);
    b.resize(got);
    return b;
  }
};

std::vector<uint8_t> Image(uint32_t magic, size_t size) {
  std::vector<uint8_t> v(size);
  uint32_t seed = magic;
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    v[i] = (i % 64 < 40) ? static_cast<uint8_t>(i >> 7) : static_cast<uint8_t>(seed >> 24);
  }
  for (int i = 0; i < 4; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(magic >> (8 * i));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  size_t coreKiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2048;
  size_t loaderKiB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
  int speed = argc > 3 ? std::atoi(argv[3]) : 115200;
  const char code = speed == 19200 ? '1' : speed == 38400 ? '2' : speed == 57600 ? '3' : speed == 115200 ? '4' : '0';

  auto core = Image(0x5A5A5A5Au, coreKiB * 1024);
  auto loader = Image(0x5A5AC3C3u, loaderKiB * 1024);
  std::unique_ptr<CLzssEncoder> enc(new CLzssEncoder);
  std::vector<uint8_t> packed(131072);
  double encodeSeconds = 0;

  auto wall0 = std::chrono::steady_clock::now();
  VirtualClock clock;
  SimLink link(clock);
  VirtualPanel panel(VirtualPanelConfig{}, link);
  Host h;
  uint32_t err = 0;
  h.port = link.OpenHostPort(err);
  SerialLineSettings ls;
  h.port->GetLineSettings(ls);
  ls.fOutxCtsFlow = 1;
  h.port->SetLineSettings(ls);
  SerialTimeouts t;
  t.ReadIntervalTimeout = t.ReadTotalTimeoutConstant = t.WriteTotalTimeoutConstant = 30000;
  h.port->SetTimeouts(t);
  panel.PowerOn();

  h.Send("\x05");
  h.Recv(2);
  h.Send(Command(std::string("COM2") + code));
  h.Recv(9);
  ls.BaudRate = static_cast<uint32_t>(speed);
  h.port->SetLineSettings(ls);
  h.Recv(10);
  std::string pdl = "PDL00200000" + Hex(4, 8);
  h.Send("\x1b" + pdl + "abcd" + SumOf(pdl + "abcd") + "\r");
  h.Recv(9);
  h.Send(Command("PGO00200000"));
  h.Recv(9);
  h.Send("\x05");
  h.Recv(2);
  int bank = 0;
  for (const auto* img : {&core, &loader}) {
    for (size_t off = 0; off < img->size(); off += 65536, ++bank) {
      int n = static_cast<int>(std::min<size_t>(65536, img->size() - off));
      auto e0 = std::chrono::steady_clock::now();
      int len = enc->Encode(img->data() + off, packed.data(), n);
      encodeSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - e0).count();
      std::string data(packed.begin(), packed.begin() + len);
      h.Send(Command("OPD" + Hex(static_cast<uint32_t>(bank), 2) + Hex(static_cast<uint32_t>(len), 5)));
      h.Recv(2);
      h.Send(data + SumOf(data));
      while (true) {
        std::string a = h.Recv(8);
        if (a.size() != 8 || a[4] == 'E') break;
      }
    }
  }
  h.Send("\x1bOPD$$2B\r");
  while (true) {
    std::string a = h.Recv(8);
    if (a.size() != 8 || a[4] == 'E') break;
  }
  h.Send("\x1bRSTF9\r");
  h.Recv(9);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

  std::vector<uint8_t> c, l;
  bool same = panel.ReassembleImages(c, l) && c == core && l == loader && panel.ResetAfterCompleteDownload();
  double virt = static_cast<double>(clock.NowUs()) / 1e6;
  std::printf("images %zu + %zu KiB at %d bit/s, %d banks: virtual %.1f s, wall %.3f s (of which encoding %.3f s),"
              " %.0fx real time, %llu bytes host->target; images %s\n",
              coreKiB, loaderKiB, speed, bank, virt, wall, encodeSeconds, virt / wall,
              static_cast<unsigned long long>(link.BytesHostToTarget()), same ? "reassembled exactly" : "DIFFER");
  return same ? 0 : 1;
}
