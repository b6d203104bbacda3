// Runs under Wine with COM5 mapped to a pseudo-terminal whose other end wine_com_port_test.py
// drives. Opens the port through the Win32 adapter, sets line settings and time-outs through the
// engine's serial layer, and exchanges bytes. Exit code 0 when every step held; otherwise the
// number of the failing step.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "serial_port_system.h"
#include "win_trans.h"

namespace {

int Fail(int step, const char* what, ISerialPort* port) {
  std::printf("wine-com-check: step %d failed: %s (error %u)\n", step, what,
              port != nullptr ? static_cast<unsigned>(port->LastError()) : 0u);
  std::fflush(stdout);
  return step;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "COM5";
  std::unique_ptr<ISerialPortFactory> factory = MakeSystemSerialPortFactory();
  uint32_t error = 0;
  std::unique_ptr<ISerialPort> port = factory->Open(name, error);
  if (port == nullptr) {
    std::printf("wine-com-check: cannot open %s (error %u)\n", name.c_str(), static_cast<unsigned>(error));
    return 2;
  }
  ISerialPort* p = port.get();
  CWinTrans trans{std::string()};

  if (trans.InitializeComPort(p) != kResultOk) return Fail(3, "InitializeComPort", p);
  if (trans.SetCom(p, 57600) != kResultOk) return Fail(4, "SetCom 57600", p);
  SerialLineSettings s;
  if (!p->GetLineSettings(s)) return Fail(5, "line settings read back", p);
  std::printf("wine-com-check: read back baud %u size %u parity %u stop %u cts %u rts %u dtr %u\n",
              static_cast<unsigned>(s.BaudRate), s.ByteSize, s.Parity, s.StopBits,
              static_cast<unsigned>(s.fOutxCtsFlow), static_cast<unsigned>(s.fRtsControl),
              static_cast<unsigned>(s.fDtrControl));
  // Wine keeps RTS/CTS handshaking as one termios flag (CRTSCTS, checked on the Linux side) and
  // reports RTS control "enable" when it is read back; Windows reports "handshake".
  const bool rtsOk = s.fRtsControl == kRtsControlHandshake || s.fRtsControl == 1;
  if (s.BaudRate != 57600 || s.ByteSize != 8 || s.Parity != 0 ||
      s.StopBits != 0 || s.fOutxCtsFlow != 1 || !rtsOk || s.fDtrControl != kDtrControlEnable)
    return Fail(5, "line settings read back", p);
  if (trans.SetComTim(p, 5000, 5000) != kResultOk) return Fail(6, "SetComTim", p);
  SerialTimeouts t;
  if (!p->GetTimeouts(t) || t.ReadIntervalTimeout != 5000 || t.ReadTotalTimeoutConstant != 5000 ||
      t.ReadTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 5000)
    return Fail(7, "time-outs read back", p);

  const char hello[] = "HELLO-FROM-WIN32\n";
  if (trans.SndCom(p, hello, static_cast<int>(std::strlen(hello))) != kResultOk) return Fail(8, "send", p);
  char ping[8];
  if (trans.RcvCom(p, ping, 8) != kResultOk || std::memcmp(ping, "PING1234", 8) != 0)
    return Fail(9, "receive PING1234", p);
  std::string got = "GOT:" + std::string(ping, 8);
  if (trans.SndCom(p, got.data(), static_cast<int>(got.size())) != kResultOk) return Fail(10, "send GOT", p);

  // Nothing comes: the read ends after the total time-out with no byte and no failure.
  SerialTimeouts quiet;
  quiet.ReadIntervalTimeout = 300;
  quiet.ReadTotalTimeoutConstant = 300;
  quiet.WriteTotalTimeoutConstant = 5000;
  if (!p->SetTimeouts(quiet)) return Fail(11, "quiet time-outs", p);
  char buffer[4];
  uint32_t received = 99;
  if (!p->Read(buffer, 4, received) || received != 0) return Fail(12, "read on a quiet line", p);

  // Two of four bytes come: the gap ends the read long before the total.
  SerialTimeouts gap;
  gap.ReadIntervalTimeout = 300;
  gap.ReadTotalTimeoutConstant = 20000;
  gap.WriteTotalTimeoutConstant = 5000;
  if (!p->SetTimeouts(gap)) return Fail(13, "gap time-outs", p);
  const char ready[] = "READY\n";
  if (trans.SndCom(p, ready, 6) != kResultOk) return Fail(14, "send READY", p);
  if (!p->Read(buffer, 4, received) || received != 2 || std::memcmp(buffer, "AB", 2) != 0)
    return Fail(15, "read ended by the gap", p);

  std::printf("wine-com-check: ok\n");
  return 0;
}
