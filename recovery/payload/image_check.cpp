#include "image_check.h"

#include <array>

#include "trace.h"

namespace {

// The 256-entry table of the reflected CRC-32 (polynomial 0xEDB88320), built at compile time.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1u) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
    table[i] = value;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du, "CRC table");

constexpr uint32_t kFileChunk = 1024;

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t SumWords(uint32_t sum, const uint8_t* data, size_t length) {
  for (size_t i = 0; i + 4 <= length; i += 4) sum += LoadLe32(data + i);
  return sum;
}

// The trace record the engine's ErrCloseFree writes; here there is nothing to close or free.
void TraceErrCloseFree(int errorId) { TraceOut(kTraceChannel, kTraceId, "[ErrCloseFree] Error ID [%d]", errorId); }

// Reads `length` bytes in chunks and feeds them to `accumulate`. false on a failed or short read.
template <typename Accumulate>
bool ReadChunks(CBinaryFile& file, uint32_t length, Accumulate accumulate) {
  uint8_t buffer[kFileChunk];
  uint32_t remaining = length;
  while (remaining > 0) {
    const uint32_t want = remaining < kFileChunk ? remaining : kFileChunk;
    size_t received = 0;
    if (!file.Read(buffer, want, received) || received != want) return false;
    accumulate(buffer, want);
    remaining -= want;
  }
  return true;
}

}  // namespace

ImageHeader ImageHeader::Parse(const uint8_t (&bytes)[kImageHeaderSize]) {
  ImageHeader header;
  header.magic = LoadLe32(bytes + 0);
  header.header_crc = LoadLe32(bytes + 4);
  header.body_check = LoadLe32(bytes + 8);
  header.total_size = LoadLe32(bytes + 12);
  header.load_address = LoadLe32(bytes + 16);
  header.entry_offset = LoadLe32(bytes + 20);
  header.format_flags = LoadLe32(bytes + 24);
  header.reserved = LoadLe32(bytes + 28);
  return header;
}

void ImageHeader::Serialize(uint8_t (&bytes)[kImageHeaderSize]) const {
  StoreLe32(bytes + 0, magic);
  StoreLe32(bytes + 4, header_crc);
  StoreLe32(bytes + 8, body_check);
  StoreLe32(bytes + 12, total_size);
  StoreLe32(bytes + 16, load_address);
  StoreLe32(bytes + 20, entry_offset);
  StoreLe32(bytes + 24, format_flags);
  StoreLe32(bytes + 28, reserved);
}

uint32_t CrcUpdate(uint32_t reg, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) reg = (reg >> 8) ^ kCrcTable[(reg ^ data[i]) & 0xFFu];
  return reg;
}

void CalcCrc(const uint8_t* data, uint32_t length, uint32_t& crc) { crc = ~CrcUpdate(0, data, length); }

uint32_t CalcWordSum(const uint8_t* data, uint32_t length) { return 0u - SumWords(0, data, length); }

uint32_t CalcHeaderCrc(const ImageHeader& header) {
  uint8_t bytes[kImageHeaderSize];
  header.Serialize(bytes);
  uint32_t crc = 0;
  CalcCrc(bytes + kHeaderCrcOffset, kHeaderCrcLength, crc);
  return crc;
}

int CalcFileCrc(CBinaryFile& file, uint32_t length, uint32_t& crc) {
  uint32_t reg = 0;
  if (!ReadChunks(file, length, [&reg](const uint8_t* data, uint32_t n) { reg = CrcUpdate(reg, data, n); })) {
    return -1;
  }
  crc = ~reg;
  return 0;
}

int CalcFileSum(CBinaryFile& file, uint32_t length, uint32_t& sum) {
  uint32_t total = 0;
  if (!ReadChunks(file, length, [&total](const uint8_t* data, uint32_t n) { total = SumWords(total, data, n); })) {
    return -1;
  }
  sum = 0u - total;
  return 0;
}

int CheckFileHeader(const ImageHeader& header, uint32_t expectedMagic) {
  if (header.magic != expectedMagic) return -1;
  return CalcHeaderCrc(header) == header.header_crc ? 0 : -1;
}

int CheckSourceFile(CBinaryFile& file, ImageHeader& header, uint32_t expectedMagic, bool forceCrc) {
  if (!file.Seek(0)) {
    TraceErrCloseFree(2);
    return -1;
  }
  uint8_t bytes[kImageHeaderSize];
  size_t received = 0;
  if (!file.Read(bytes, sizeof bytes, received) || received != sizeof bytes) {
    TraceErrCloseFree(3);
    return -1;
  }
  header = ImageHeader::Parse(bytes);
  if (CheckFileHeader(header, expectedMagic) != 0) return -1;

  // A total_size below the header size would wrap the body length, and one beyond the end of the
  // file promises bytes that are not there: both make the file broken here, so nobody later sizes
  // a buffer or a bank count from them.
  const int64_t fileSize = file.Size();
  if (header.total_size < kImageHeaderSize || fileSize < 0 || static_cast<int64_t>(header.total_size) > fileSize) {
    return -1;
  }

  if (!file.Seek(kImageHeaderSize)) {
    TraceErrCloseFree(2);
    return -1;
  }
  const uint32_t bodyLength = header.total_size - kImageHeaderSize;
  uint32_t value = 0;
  const int result = UsesWordSum(header, forceCrc) ? CalcFileSum(file, bodyLength, value)
                                                   : CalcFileCrc(file, bodyLength, value);
  if (result != 0) return -1;
  return value == header.body_check ? 0 : -1;
}
