// Command frames: the frame sum and finding a response in the byte stream.
#include "trace.h"
#include "win_trans.h"

void CWinTrans::MakeSum(char* out, const uint8_t* bytes, int count) {
  static const char kDigits[] = "0123456789ABCDEF";
  uint8_t sum = 0;
  for (int i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  out[0] = kDigits[sum >> 4];
  out[1] = kDigits[sum & 0x0F];
}

int CWinTrans::RcvEsc(ISerialPort* port) {
  // Bytes before the ESC are noise and are dropped; a line that never sends an ESC ends like a
  // time-out once kMaxBytesBeforeEsc bytes have been dropped.
  for (int discarded = 0; discarded <= kMaxBytesBeforeEsc; ++discarded) {
    uint8_t byte = 0;
    if (RcvCom(port, &byte, 1) != kResultOk) break;
    if (byte == kEsc) return kResultOk;
  }
  LogMessage("Failed to receive data.\r\n");
  return kResultFailed;
}

int CWinTrans::RcvRsp(ISerialPort* port, void* buffer, int count) {
  if (RcvEsc(port) != kResultOk) return kResultFailed;
  return RcvCom(port, buffer, count);
}
