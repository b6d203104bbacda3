// Image CRC, negated word sum, the 32-byte image file header and the checks built on them.
// All routines are stateless; lengths, header fields and check values are 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binary_file.h"

constexpr uint32_t OSCORE_MAGIC = 0x5A5A5A5Au;   // bytes 5A 5A 5A 5A
constexpr uint32_t ILOADER_MAGIC = 0x5A5AC3C3u;  // bytes C3 C3 5A 5A
constexpr uint32_t kImageHeaderSize = 32;
// format_flags: any of bits 0-15 set sends OS-core banks compressed; any of bits 16-30 set makes
// body_check the negated word sum. Bit 31 means nothing.
constexpr uint32_t kFlagsCompressedMask = 0x0000FFFFu;
constexpr uint32_t kFlagsWordSumMask = 0x7FFF0000u;
// The header CRC covers header bytes 12 to 31 (total_size through reserved).
constexpr uint32_t kHeaderCrcOffset = 12;
constexpr uint32_t kHeaderCrcLength = 20;

// The header of both image files: eight unsigned 32-bit little-endian fields.
struct ImageHeader {
  uint32_t magic = 0;
  uint32_t header_crc = 0;
  uint32_t body_check = 0;
  uint32_t total_size = 0;
  uint32_t load_address = 0;
  uint32_t entry_offset = 0;
  uint32_t format_flags = 0;
  uint32_t reserved = 0;

  // Byte by byte, independent of host byte order and struct layout.
  static ImageHeader Parse(const uint8_t (&bytes)[kImageHeaderSize]);
  void Serialize(uint8_t (&bytes)[kImageHeaderSize]) const;
};

// Which body check applies: the word sum only for a file not forced to the CRC whose format_flags
// ask for it.
inline bool UsesWordSum(const ImageHeader& header, bool forceCrc) {
  return !forceCrc && (header.format_flags & kFlagsWordSumMask) != 0;
}

// Image CRC (reflected CRC-32, register starts at 0, inverted at the end) of `length` bytes.
void CalcCrc(const uint8_t* data, uint32_t length, uint32_t& crc);
// The same CRC in steps: start with register 0, feed blocks, the value is the inverted register.
uint32_t CrcUpdate(uint32_t reg, const uint8_t* data, size_t length);
// Negated sum of the whole little-endian 32-bit words of `length` bytes (a 1-3 byte tail is not
// summed).
uint32_t CalcWordSum(const uint8_t* data, uint32_t length);

// Image CRC of header bytes 12-31 (total_size through reserved): the value header_crc must hold.
uint32_t CalcHeaderCrc(const ImageHeader& header);

// Check value of the next `length` bytes of `file` from its current position, read in 1024-byte
// chunks. Return 0 with the value stored, or -1 (nothing stored) on a failed or short read.
int CalcFileCrc(CBinaryFile& file, uint32_t length, uint32_t& crc);
int CalcFileSum(CBinaryFile& file, uint32_t length, uint32_t& sum);

// 0 when `magic` equals expectedMagic and header_crc matches header bytes 12-31, else -1.
int CheckFileHeader(const ImageHeader& header, uint32_t expectedMagic);

// Reads the header of `file` into `header` and validates header and body. 0 when the file is
// sound, else -1. A failed seek traces "[ErrCloseFree] Error ID [2]", a failed or short header
// read "[ErrCloseFree] Error ID [3]"; other failures leave no trace record. A total_size below 32
// or beyond the end of the file makes the file broken before anything is read on its strength.
// The file stays open either way.
int CheckSourceFile(CBinaryFile& file, ImageHeader& header, uint32_t expectedMagic, bool forceCrc);
