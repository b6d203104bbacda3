#include "lzss_decoder.h"

#include <cstring>

namespace {
constexpr unsigned kRingSize = 4096;
constexpr unsigned kRingMask = kRingSize - 1;
constexpr unsigned kStartPosition = 4078;
constexpr unsigned kMinMatch = 3;
}  // namespace

LzssDecodeStatus LzssDecode(const uint8_t* stream, size_t length, uint8_t* out, size_t outCapacity,
                            size_t* produced) {
  // Positions 0 to 4077 start as zero bytes; 4078 to 4095 are zeroed too, although a stream from
  // the encoder never reads them before writing them.
  uint8_t ring[kRingSize];
  std::memset(ring, 0, sizeof ring);
  unsigned writePos = kStartPosition;
  size_t in = 0;
  size_t written = 0;
  LzssDecodeStatus status = LzssDecodeStatus::kOk;

  while (in < length && status == LzssDecodeStatus::kOk) {
    const unsigned flags = stream[in++];
    for (unsigned bit = 0; bit < 8 && in < length; ++bit) {
      if (flags & (1u << bit)) {
        if (written == outCapacity) {
          status = LzssDecodeStatus::kOutputLimit;
          break;
        }
        const uint8_t c = stream[in++];
        out[written++] = c;
        ring[writePos] = c;
        writePos = (writePos + 1) & kRingMask;
      } else {
        if (length - in < 2) {
          status = LzssDecodeStatus::kTruncated;
          break;
        }
        const unsigned b0 = stream[in];
        const unsigned b1 = stream[in + 1];
        in += 2;
        const unsigned position = b0 | ((b1 & 0xF0u) << 4);
        const unsigned count = (b1 & 0x0Fu) + kMinMatch;
        for (unsigned k = 0; k < count; ++k) {
          if (written == outCapacity) {
            status = LzssDecodeStatus::kOutputLimit;
            break;
          }
          const uint8_t c = ring[(position + k) & kRingMask];
          out[written++] = c;
          ring[writePos] = c;
          writePos = (writePos + 1) & kRingMask;
        }
        if (status != LzssDecodeStatus::kOk) break;
      }
    }
  }
  if (produced != nullptr) *produced = written;
  return status;
}

const char* LzssDecodeStatusText(LzssDecodeStatus status) {
  switch (status) {
    case LzssDecodeStatus::kOk:
      return "ok";
    case LzssDecodeStatus::kOutputLimit:
      return "decoded data exceeds the output limit";
    case LzssDecodeStatus::kTruncated:
      return "stream ends inside a reference";
  }
  return "unknown status";
}
