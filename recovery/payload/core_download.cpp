// Operating-system core download: both image files in numbered 64 KiB banks (OPD compressed, OPK
// plain), each confirmed by the target's progress answers, then the final write command OPD$$.
#include <cstring>
#include <memory>

#include "binary_file.h"
#include "hex_fields.h"
#include "image_check.h"
#include "trace.h"
#include "win_trans.h"

namespace {

constexpr uint32_t kBankSize = 65536;
constexpr size_t kTransferBufferBytes = 131072;  // above the 73,728-byte worst case of a bank
// Bank numbers travel as two hex digits: 0 to 255.
constexpr int64_t kMaxBanks = 256;

static_assert(CLzssEncoder::MaxEncodedSize(kBankSize) <= static_cast<int64_t>(kTransferBufferBytes),
              "a compressed bank must fit the compression buffer");

const uint8_t kFinalCommand[9] = {kEsc, 'O', 'P', 'D', '$', '$', '2', 'B', kCr};

struct EngineBufferDeleter {
  CWinTrans* owner;
  void operator()(uint8_t* buffer) const { owner->FreeBuffer(buffer); }
};
using EngineBuffer = std::unique_ptr<uint8_t, EngineBufferDeleter>;

int64_t BanksOf(uint32_t totalSize) { return (static_cast<int64_t>(totalSize) + kBankSize - 1) / kBankSize; }

// Banks a file will take, from a header that passes its own checks; 0 when the header cannot be
// read or fails (FileDownload then reports the file as it always does).
int64_t BanksAnnounced(const std::string& path, uint32_t expectedMagic) {
  CBinaryFile file;
  if (!file.Open(path.c_str())) return 0;
  uint8_t bytes[kImageHeaderSize];
  size_t received = 0;
  if (!file.Read(bytes, sizeof bytes, received) || received != sizeof bytes) return 0;
  ImageHeader header = ImageHeader::Parse(bytes);
  if (CheckFileHeader(header, expectedMagic) != 0 || header.total_size < kImageHeaderSize) return 0;
  return BanksOf(header.total_size);
}

}  // namespace

int CWinTrans::GoFileDownload(ISerialPort* port) {
  // The bank number has two hex digits: a 257th bank would be told to the target as bank 0 and
  // overwrite flash already written. Such a pair is refused before anything is sent.
  const int64_t coreBanks = BanksAnnounced(m_osCorePath, OSCORE_MAGIC);
  const int64_t loaderBanks = BanksAnnounced(m_iloaderPath, ILOADER_MAGIC);
  if (coreBanks > kMaxBanks || coreBanks + loaderBanks > kMaxBanks) {
    const std::string& path = coreBanks > kMaxBanks ? m_osCorePath : m_iloaderPath;
    LogMessage("Transfer source file too large [%s].\r\n", path.c_str());
    TraceOut(kTraceChannel, kTraceId, "[GoFileDownload] Banks[%d] over the limit", static_cast<int>(coreBanks + loaderBanks));
    return kResultNoImageOrDialog;
  }

  int next = FileDownload(port, m_osCorePath, OSCORE_MAGIC, 0, false, true);
  if (next < 0) return next;
  next = FileDownload(port, m_iloaderPath, ILOADER_MAGIC, next, true, false);
  if (next < 0) return next;
  return SendFileDownloadBankWrite(port) == kResultOk ? kResultOk : kResultFailed;
}

int CWinTrans::FileDownload(ISerialPort* port, const std::string& path, uint32_t expectedMagic, int firstBank,
                            bool forceCrc, bool allowPlain) {
  TraceOut(kTraceChannel, kTraceId, "[FileDownload] FileName [%s]", path.c_str());

  CBinaryFile file;
  if (!file.Open(path.c_str())) {
    LogMessage("Transfer source file not found [%s].\r\n", path.c_str());
    return ErrCloseFree(1, nullptr, nullptr, nullptr);
  }

  ImageHeader header;
  if (CheckSourceFile(file, header, expectedMagic, forceCrc) != 0) {
    LogMessage("Transfer source file broken [%s].\r\n", path.c_str());
    ErrCloseFree(0, &file, nullptr, nullptr);
    return kResultNoImageOrDialog;
  }
  // The same limit as GoFileDownload's, for the file as it is now.
  if (firstBank < 0 || firstBank + BanksOf(header.total_size) > kMaxBanks) {
    LogMessage("Transfer source file too large [%s].\r\n", path.c_str());
    ErrCloseFree(0, &file, nullptr, nullptr);
    return kResultNoImageOrDialog;
  }

  EngineBuffer readBuffer(static_cast<uint8_t*>(AllocBuffer(kTransferBufferBytes)), EngineBufferDeleter{this});
  EngineBuffer packBuffer(readBuffer ? static_cast<uint8_t*>(AllocBuffer(kTransferBufferBytes)) : nullptr,
                          EngineBufferDeleter{this});
  if (!readBuffer || !packBuffer) {
    LogMessage("Failed to reserve transfer buffer.\r\n");
    return ErrCloseFree(5, &file, readBuffer.release(), packBuffer.release());
  }

  if (!file.Seek(0)) return ErrCloseFree(2, &file, readBuffer.release(), packBuffer.release());

  const bool plain = m_rawBlock != 0 && allowPlain && (header.format_flags & 0xFFFFu) == 0;
  int bank = firstBank;
  uint32_t remaining = header.total_size;
  while (remaining != 0) {
    const uint32_t n = remaining < kBankSize ? remaining : kBankSize;
    size_t received = 0;
    if (!file.Read(readBuffer.get(), n, received) || received != n)
      return ErrCloseFree(3, &file, readBuffer.release(), packBuffer.release());

    const uint8_t* data = readBuffer.get();
    int length = static_cast<int>(n);
    if (!plain) {
      length = m_encoder.Encode(readBuffer.get(), packBuffer.get(), static_cast<int>(n));
      data = packBuffer.get();
    }
    TraceOut(kTraceChannel, kTraceId, "[FileDownload] Bank[%d]", bank);
    if (SendFileDownloadBank(port, length, data, bank, plain) != kResultOk)
      return ErrCloseFree(0, &file, readBuffer.release(), packBuffer.release());
    remaining -= n;
    ++bank;
  }

  ErrCloseFree(0, &file, readBuffer.release(), packBuffer.release());
  TraceOut(kTraceChannel, kTraceId, "[FileDownload] File send OK");
  return bank;
}

int CWinTrans::SendFileDownloadBank(ISerialPort* port, int length, const uint8_t* data, int bank, bool plain) {
  uint8_t command[14];
  command[0] = kEsc;
  command[1] = 'O';
  command[2] = 'P';
  command[3] = plain ? 'K' : 'D';
  IntToHex(static_cast<uint32_t>(bank), reinterpret_cast<char*>(command + 4), 2);
  IntToHex(static_cast<uint32_t>(length), reinterpret_cast<char*>(command + 6), 5);
  MakeSum(reinterpret_cast<char*>(command + 11), command + 1, 10);
  command[13] = kCr;
  char dataSum[2];
  MakeSum(dataSum, data, length);

  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    LogMessage(plain ? "Sending Data No. %d \r\n" : "Sending Data No. %d\r\n", bank);
    if (SndCom(port, command, sizeof command) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBank] Cmd[%02x%02x%02x%02x%02x%02x%02x]", command[0],
             command[1], command[2], command[3], command[4], command[5], command[6]);
    uint8_t ack[2] = {0, 0};
    if (RcvCom(port, ack, 2) != kResultOk || ack[0] != 0x06 || ack[1] != 0x1A) continue;
    if (SndCom(port, data, length) != kResultOk) continue;
    if (SndCom(port, dataSum, 2) != kResultOk) continue;
    if (SetComTim(port, kDownloadTimeoutMs, kDownloadTimeoutMs) != kResultOk) return kResultFailed;

    for (;;) {
      uint8_t answer[7] = {};
      if (RcvRsp(port, answer, sizeof answer) != kResultOk) {
        TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBank] ESC recv NG");
        break;
      }
      TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBank] Rsp[%02x%02x%02x%02x%02x%02x%02x]", answer[0],
               answer[1], answer[2], answer[3], answer[4], answer[5], answer[6]);
      if (std::memcmp(answer, "OPD", 3) != 0) {
        TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBank] Command format NG");
        break;
      }
      if (answer[3] == 'E') {
        if (answer[4] == '0') return kResultOk;
        break;
      }
      LogMessage(answer[4] == '1' ? "Erasing...\r\n" : "Writing...\r\n");
    }
  }
  return kResultFailed;
}

int CWinTrans::SendFileDownloadBankWrite(ISerialPort* port) {
  const uint8_t* c = kFinalCommand;
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (SndCom(port, c, sizeof kFinalCommand) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBankWrite] Cmd[%02x%02x%02x%02x%02x%02x%02x%02x%02x]", c[0],
             c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8]);
    if (SetComTim(port, kDownloadTimeoutMs, kDownloadTimeoutMs) != kResultOk) return kResultFailed;
    for (;;) {
      uint8_t answer[7] = {};
      if (RcvRsp(port, answer, sizeof answer) != kResultOk) break;
      TraceOut(kTraceChannel, kTraceId, "[SendFileDownloadBankWrite] Rsp[%02x%02x%02x%02x%02x%02x%02x]", answer[0],
               answer[1], answer[2], answer[3], answer[4], answer[5], answer[6]);
      if (std::memcmp(answer, "OPD", 3) != 0) break;
      if (answer[3] == 'E') {
        if (answer[4] == '0') return kResultOk;
        break;
      }
      LogMessage(answer[4] == '1' ? "Erasing...\r\n" : "Writing...\r\n");
    }
  }
  return kResultFailed;
}
