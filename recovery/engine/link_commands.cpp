// Link commands: greeting, speed change, machine identification, core type, reset.
#include <cstring>

#include "hex_fields.h"
#include "trace.h"
#include "win_trans.h"

namespace {

bool SumMatches(const uint8_t* covered, int count, const uint8_t* sumField) {
  char sum[2];
  CWinTrans::MakeSum(sum, covered, count);
  return sum[0] == static_cast<char>(sumField[0]) && sum[1] == static_cast<char>(sumField[1]);
}

bool LettersAre(const uint8_t* body, const char* letters) {
  return std::memcmp(body, letters, 3) == 0;
}

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}

// The other product's core type; the target must not be overwritten when it holds it.
const char kForeignCoreType[] = "Scrivel";

const uint8_t kMachineNoCommand[7] = {kEsc, 'M', 'I', 'D', 'D', 'A', kCr};
const uint8_t kCoreTypeCommand[7] = {kEsc, 'O', 'T', 'N', 'F', '1', kCr};
const uint8_t kResetCommand[7] = {kEsc, 'R', 'S', 'T', 'F', '9', kCr};
const uint8_t kResetAnswer[8] = {'R', 'S', 'T', '0', '2', '9', kCr, kLf};

}  // namespace

char CWinTrans::SpeedCode(int speed) {
  switch (speed) {
    case 19200: return '1';
    case 38400: return '2';
    case 57600: return '3';
    case 115200: return '4';
    default: return '0';
  }
}

int CWinTrans::GoHandshake(ISerialPort* port, int expected, int attempts) {
  if (FlushRcv(port) != kResultOk) return kResultFailed;
  if (attempts <= 0) return kResultFailed;
  const uint8_t greeting = kEnq;
  const uint8_t expectedByte = static_cast<uint8_t>(expected & 0xFF);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (SndCom(port, &greeting, 1) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoHandshake] Cmd[%02x]", greeting);
    uint8_t answer[2] = {0, 0};
    if (RcvCom(port, answer, 2) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoHandshake] Rsp[%02x%02x]", answer[0], answer[1]);
    if (answer[0] == expectedByte && answer[1] == kLf) return kResultOk;
  }
  return kResultFailed;
}

int CWinTrans::GoComBoundrate(ISerialPort* port, int speed) {
  uint8_t command[9] = {kEsc, 'C', 'O', 'M', '2', static_cast<uint8_t>(SpeedCode(speed)), 0, 0, kCr};
  MakeSum(reinterpret_cast<char*>(command + 6), command + 1, 5);
  TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] Command created");

  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (attempt > 0) {
      // The target may have missed the speed change: greet it again before the next try.
      if (SetComTim(port, kHandshakeTimeoutMs, kHandshakeTimeoutMs) != kResultOk) return kResultFailed;
      if (GoHandshake(port, kBootMonitorGreeting, 10) != kResultOk) return kResultFailed;
      if (SetComTim(port, kCommandTimeoutMs, kCommandTimeoutMs) != kResultOk) return kResultFailed;
    }
    if (SndCom(port, command, sizeof command) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] Cmd[%02x%02x%02x%02x%02x%02x%02x]", command[0],
             command[1], command[2], command[3], command[4], command[5], command[6]);
    uint8_t body[9] = {};
    if (RcvRsp(port, body, 8) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", body[0],
             body[1], body[2], body[3], body[4], body[5], body[6], body[7]);
    if (!SumMatches(body, 4, body + 4)) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] receive checksum OK");
    if (!LettersAre(body, "COM") || body[3] != '0' || body[6] != kCr || body[7] != kLf) continue;

    if (SetCom(port, speed) != kResultOk) return kResultFailed;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] setting change");

    // At the new speed the target echoes the command after its ESC.
    if (RcvRsp(port, body, 9) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", body[0],
             body[1], body[2], body[3], body[4], body[5], body[6], body[7]);
    if (std::memcmp(body, command + 1, 8) == 0) return kResultOk;
    TraceOut(kTraceChannel, kTraceId, "[GoComBoundrate] communication NG");
  }
  return kResultFailed;
}

int CWinTrans::GoMachineNo(ISerialPort* port) {
  const uint8_t* c = kMachineNoCommand;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (SndCom(port, c, sizeof kMachineNoCommand) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoMachineNo] Cmd[%02x%02x%02x%02x%02x%02x%02x]", c[0], c[1], c[2],
             c[3], c[4], c[5], c[6]);
    uint8_t b[16] = {};
    if (RcvRsp(port, b, sizeof b) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId,
             "[GoMachineNo] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x]", b[0],
             b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    if (!SumMatches(b, 12, b + 12)) continue;
    if (!LettersAre(b, "MID") || b[3] != '0' || b[14] != kCr || b[15] != kLf) continue;
    // At most 8 characters, stopping at a NUL among them; the rest become NUL.
    std::memset(m_machineId, 0, sizeof m_machineId);
    for (int i = 0; i < 8 && b[4 + i] != 0; ++i) m_machineId[i] = static_cast<char>(b[4 + i]);
    return kResultOk;
  }
  return kResultFailed;
}

int CWinTrans::GetOSCoreType(ISerialPort* port) {
  const uint8_t* c = kCoreTypeCommand;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (SetComTim(port, kCommandTimeoutMs, kCommandTimeoutMs) != kResultOk) return kResultFailed;
    if (SndCom(port, c, sizeof kCoreTypeCommand) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GetOSCoreType] Cmd[%02x%02x%02x%02x%02x%02x%02x]", c[0], c[1],
             c[2], c[3], c[4], c[5], c[6]);
    uint8_t b[8] = {};
    if (RcvRsp(port, b, sizeof b) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GetOSCoreType] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", b[0], b[1],
             b[2], b[3], b[4], b[5], b[6], b[7]);
    if (!SumMatches(b, 6, b + 6) || !LettersAre(b, "OTN")) continue;

    if (b[3] != '0') {
      // No type text: two more bytes follow, neither their content nor their arrival matters.
      uint8_t tail[2];
      RcvCom(port, tail, 2);
      return kResultOk;
    }
    uint32_t length = 0;
    if (HexToInt(reinterpret_cast<const char*>(b + 4), length, 2) != 0) continue;
    uint8_t block[255 + 4] = {};
    if (RcvCom(port, block, static_cast<int>(length) + 4) != kResultOk) continue;
    if (!SumMatches(block, static_cast<int>(length), block + length) || block[length + 2] != kCr ||
        block[length + 3] != kLf)
      continue;

    char type[256] = {};
    std::memcpy(type, block, length);  // ends at the first NUL among the characters
    m_message = type;
    TraceOut(kTraceChannel, kTraceId, "[GetOSCoreType] Type[%s]", m_message.c_str());
    return EqualsIgnoringAsciiCase(m_message.c_str(), kForeignCoreType) ? kResultForeignCore : kResultOk;
  }
  return kResultFailed;
}

int CWinTrans::GoReset(ISerialPort* port) {
  const uint8_t* c = kResetCommand;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (SndCom(port, c, sizeof kResetCommand) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoReset] Cmd[%02x%02x%02x%02x%02x%02x%02x]", c[0], c[1], c[2],
             c[3], c[4], c[5], c[6]);
    uint8_t b[8] = {};
    if (RcvRsp(port, b, sizeof b) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoReset] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", b[0], b[1], b[2],
             b[3], b[4], b[5], b[6], b[7]);
    if (std::memcmp(b, kResetAnswer, sizeof kResetAnswer) == 0) return kResultOk;
  }
  return kResultFailed;
}
