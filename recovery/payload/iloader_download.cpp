// Initial-loader download and start: PDL sends the loader's body to the target's RAM, PGO starts it.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "binary_file.h"
#include "hex_fields.h"
#include "image_check.h"
#include "trace.h"
#include "win_trans.h"

namespace {

// A buffer from the engine's heap; handed to ErrCloseFree with release() on the failure paths.
struct EngineBufferDeleter {
  CWinTrans* owner;
  void operator()(uint8_t* buffer) const { owner->FreeBuffer(buffer); }
};
using EngineBuffer = std::unique_ptr<uint8_t, EngineBufferDeleter>;

// Answers of PDL and PGO: letters, status '0', the sum of those four bytes, CR LF.
bool LoaderAnswerAccepted(const uint8_t* body, const char* letters) {
  char sum[2];
  CWinTrans::MakeSum(sum, body, 4);
  return std::memcmp(body, letters, 3) == 0 && body[3] == '0' && body[4] == static_cast<uint8_t>(sum[0]) &&
         body[5] == static_cast<uint8_t>(sum[1]) && body[6] == kCr && body[7] == kLf;
}

uint8_t AddBytes(uint8_t sum, const uint8_t* bytes, size_t count) {
  uint32_t s = sum;
  for (size_t i = 0; i < count; ++i) s += bytes[i];
  return static_cast<uint8_t>(s);
}

}  // namespace

int CWinTrans::GoOSLoader(ISerialPort* port) {
  if (SetComTim(port, kDownloadTimeoutMs, kDownloadTimeoutMs) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoOSLoader] SetComTim OK");
  LogMessage("Transferring program.\r\n");

  ImageHeader header;
  if (GoOSloaderDown(port, header) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoOSLoader] GoOSloaderDown OK");
  LogMessage("Executing program.\r\n");

  if (GoOSloaderRun(port, header) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoOSLoader] GoOSloaderRun OK");
  return kResultOk;
}

int CWinTrans::GoOSloaderDown(ISerialPort* port, ImageHeader& header) {
  CBinaryFile file;
  if (!file.Open(m_iloaderPath.c_str())) return ErrCloseFree(1, nullptr, nullptr, nullptr);

  uint8_t headerBytes[kImageHeaderSize];
  size_t received = 0;
  if (!file.Read(headerBytes, sizeof headerBytes, received) || received != sizeof headerBytes)
    return ErrCloseFree(3, &file, nullptr, nullptr);
  header = ImageHeader::Parse(headerBytes);
  if (CheckFileHeader(header, ILOADER_MAGIC) != 0) return ErrCloseFree(23, &file, nullptr, nullptr);

  // A total_size below the header leaves no body length, and a body beyond what one send can
  // count is more than any memory holds: no buffer is sized from either.
  if (header.total_size < kImageHeaderSize || header.total_size - kImageHeaderSize > 0x7FFFFFFFu)
    return ErrCloseFree(5, &file, nullptr, nullptr);
  const uint32_t bodyLength = header.total_size - kImageHeaderSize;
  // A body that the file does not hold would be a short read: refused before a buffer of that
  // size is asked for.
  const int64_t fileSize = file.Size();
  if (fileSize < 0 || static_cast<int64_t>(header.total_size) > fileSize)
    return ErrCloseFree(3, &file, nullptr, nullptr);

  EngineBuffer body(static_cast<uint8_t*>(AllocBuffer(bodyLength > 0 ? bodyLength : 1)), EngineBufferDeleter{this});
  if (!body) return ErrCloseFree(5, &file, nullptr, nullptr);
  received = 0;
  if (bodyLength > 0 && (!file.Read(body.get(), bodyLength, received) || received != bodyLength))
    return ErrCloseFree(3, &file, body.release(), nullptr);
  file.Close();
  TraceOut(kTraceChannel, kTraceId, "[GoOSloaderDown] Source file is OK");

  static const uint8_t kCommand[4] = {kEsc, 'P', 'D', 'L'};
  char address[8];
  char length[8];
  IntToHex(header.load_address, address, 8);
  IntToHex(bodyLength, length, 8);
  const uint8_t bodySum = AddBytes(0, body.get(), bodyLength);

  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    uint8_t sum = 0xE0;  // "PDL"
    if (SndCom(port, kCommand, sizeof kCommand) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoOSloaderDown] Cmd[%02x%02x%02x%02x]", kCommand[0], kCommand[1],
             kCommand[2], kCommand[3]);
    sum = AddBytes(sum, reinterpret_cast<const uint8_t*>(address), sizeof address);
    if (SndCom(port, address, sizeof address) != kResultOk) continue;
    sum = AddBytes(sum, reinterpret_cast<const uint8_t*>(length), sizeof length);
    if (SndCom(port, length, sizeof length) != kResultOk) continue;
    sum = static_cast<uint8_t>(sum + bodySum);
    if (SndCom(port, body.get(), static_cast<int>(bodyLength)) != kResultOk) continue;
    uint8_t trailer[3];
    IntToHex(sum, reinterpret_cast<char*>(trailer), 2);
    trailer[2] = kCr;
    if (SndCom(port, trailer, sizeof trailer) != kResultOk) continue;

    uint8_t answer[8] = {};
    if (RcvRsp(port, answer, sizeof answer) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoOSloaderDown] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", answer[0],
             answer[1], answer[2], answer[3], answer[4], answer[5], answer[6], answer[7]);
    if (LoaderAnswerAccepted(answer, "PDL")) return kResultOk;  // the buffer goes with `body`
  }
  return kResultFailed;
}

int CWinTrans::GoOSloaderRun(ISerialPort* port, const ImageHeader& header) {
  uint8_t command[15];
  command[0] = kEsc;
  command[1] = 'P';
  command[2] = 'G';
  command[3] = 'O';
  const uint32_t start = header.load_address + header.entry_offset;  // wraps at 32 bits
  IntToHex(start, reinterpret_cast<char*>(command + 4), 8);
  MakeSum(reinterpret_cast<char*>(command + 12), command + 1, 11);
  command[14] = kCr;

  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    if (SndCom(port, command, sizeof command) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoOSloaderRun] Cmd[%02x%02x%02x%02x%02x%02x%02x]", command[0],
             command[1], command[2], command[3], command[4], command[5], command[6]);
    uint8_t answer[8] = {};
    if (RcvRsp(port, answer, sizeof answer) != kResultOk) continue;
    TraceOut(kTraceChannel, kTraceId, "[GoOSloaderRun] Rsp[%02x%02x%02x%02x%02x%02x%02x%02x]", answer[0],
             answer[1], answer[2], answer[3], answer[4], answer[5], answer[6], answer[7]);
    if (LoaderAnswerAccepted(answer, "PGO")) return kResultOk;
  }
  return kResultFailed;
}
