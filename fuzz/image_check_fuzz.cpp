// Fuzz target: the image checks on an arbitrary file. The input is the whole file; it is checked
// for both roles, with and without the forced CRC, three times: as given, with its header CRC
// made right, and with its body check made right as well (so that the size and body paths are
// reached, not only the header CRC). Checked: a file that passes holds what its header promises
// and its body check agrees with one computed in memory; a repaired file whose total_size lies
// within the file passes; the file stays open and nothing is left open afterwards.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binary_file.h"
#include "fuzz_support.h"
#include "image_check.h"

namespace {

// Results of CheckSourceFile on `bytes` written as one file: [role][forceCrc], role 0 the OS
// core, 1 the initial loader.
struct Results {
  int value[2][2];
  int For(uint32_t magic, bool forceCrc) const { return value[magic == OSCORE_MAGIC ? 0 : 1][forceCrc ? 1 : 0]; }
};

const uint32_t kMagics[2] = {OSCORE_MAGIC, ILOADER_MAGIC};

Results CheckBytes(const std::vector<uint8_t>& bytes) {
  static const std::string path = FuzzScratchFolder() + "/image.bin";
  FUZZ_CHECK(FuzzWriteFile(path, bytes.data(), bytes.size()));
  CBinaryFile file;
  FUZZ_CHECK(file.Open(path.c_str()));
  FUZZ_CHECK(file.Size() == static_cast<int64_t>(bytes.size()));
  Results results{};
  for (int role = 0; role < 2; ++role) {
    for (int force = 0; force < 2; ++force) {
      const uint32_t magic = kMagics[role];
      const bool forceCrc = force != 0;
      ImageHeader header;
      const int result = CheckSourceFile(file, header, magic, forceCrc);
      FUZZ_CHECK(result == 0 || result == -1);
      FUZZ_CHECK(file.IsOpen());
      results.value[role][force] = result;
      if (result != 0) continue;
      FUZZ_CHECK(bytes.size() >= kImageHeaderSize);
      FUZZ_CHECK(header.magic == magic);
      FUZZ_CHECK(CheckFileHeader(header, magic) == 0);
      FUZZ_CHECK(header.total_size >= kImageHeaderSize && header.total_size <= bytes.size());
      const uint8_t* body = bytes.data() + kImageHeaderSize;
      const uint32_t bodyLength = header.total_size - kImageHeaderSize;
      uint32_t expected = 0;
      if (UsesWordSum(header, forceCrc))
        expected = CalcWordSum(body, bodyLength);
      else
        CalcCrc(body, bodyLength, expected);
      FUZZ_CHECK(expected == header.body_check);
    }
  }
  return results;
}

ImageHeader HeaderOf(const std::vector<uint8_t>& bytes) {
  uint8_t raw[kImageHeaderSize];
  std::memcpy(raw, bytes.data(), sizeof raw);
  return ImageHeader::Parse(raw);
}

void StoreHeader(std::vector<uint8_t>& bytes, const ImageHeader& header) {
  uint8_t raw[kImageHeaderSize];
  header.Serialize(raw);
  std::memcpy(bytes.data(), raw, sizeof raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int openBefore = CBinaryFile::OpenCount();
  std::vector<uint8_t> bytes(data, data + size);
  CheckBytes(bytes);

  if (size >= kImageHeaderSize) {
    ImageHeader header = HeaderOf(bytes);
    uint8_t again[kImageHeaderSize];
    header.Serialize(again);
    FUZZ_CHECK(std::memcmp(data, again, sizeof again) == 0);
    FUZZ_CHECK(CheckFileHeader(header, header.magic) == (CalcHeaderCrc(header) == header.header_crc ? 0 : -1));

    // Header CRC made right: the header passes for its own magic; the rest decides.
    header.header_crc = CalcHeaderCrc(header);
    StoreHeader(bytes, header);
    FUZZ_CHECK(CheckFileHeader(header, header.magic) == 0);
    const bool sizeFits = header.total_size >= kImageHeaderSize && header.total_size <= size;
    const bool known = header.magic == OSCORE_MAGIC || header.magic == ILOADER_MAGIC;
    if (known && !sizeFits) FUZZ_CHECK(CheckBytes(bytes).For(header.magic, false) == -1);

    // Body check made right too (the one that applies without forcing the CRC): it passes
    // exactly when total_size lies within the file.
    if (sizeFits) {
      const uint8_t* body = bytes.data() + kImageHeaderSize;
      const uint32_t bodyLength = header.total_size - kImageHeaderSize;
      if (UsesWordSum(header, false))
        header.body_check = CalcWordSum(body, bodyLength);
      else
        CalcCrc(body, bodyLength, header.body_check);
      header.header_crc = CalcHeaderCrc(header);
      StoreHeader(bytes, header);
    }
    if (known && sizeFits) {
      const Results repaired = CheckBytes(bytes);
      FUZZ_CHECK(repaired.For(header.magic, false) == 0);
      if (!UsesWordSum(header, false)) FUZZ_CHECK(repaired.For(header.magic, true) == 0);
    }
  }
  FUZZ_CHECK(CBinaryFile::OpenCount() == openBefore);
  return 0;
}
