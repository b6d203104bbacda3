// Fuzz target: the image checks on an arbitrary file. The input is the whole file; it is checked
// for both roles, with and without the forced CRC. Checked: the header check agrees with a header
// parsed by hand, a file that passes holds what its header promises, the file stays open.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "binary_file.h"
#include "fuzz_support.h"
#include "image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = FuzzScratchFolder() + "/image.bin";
  FUZZ_CHECK(FuzzWriteFile(path, data, size));

  const int openBefore = CBinaryFile::OpenCount();
  {
    CBinaryFile file;
    FUZZ_CHECK(file.Open(path.c_str()));
    FUZZ_CHECK(file.Size() == static_cast<int64_t>(size));
    static const uint32_t kMagics[2] = {OSCORE_MAGIC, ILOADER_MAGIC};
    for (uint32_t magic : kMagics) {
      for (bool forceCrc : {false, true}) {
        ImageHeader header;
        const int result = CheckSourceFile(file, header, magic, forceCrc);
        FUZZ_CHECK(result == 0 || result == -1);
        FUZZ_CHECK(file.IsOpen());
        if (result == 0) {
          FUZZ_CHECK(size >= kImageHeaderSize);
          FUZZ_CHECK(header.magic == magic);
          FUZZ_CHECK(CheckFileHeader(header, magic) == 0);
          FUZZ_CHECK(header.total_size >= kImageHeaderSize && header.total_size <= size);
          // The body check agrees with the one computed over the bytes in memory.
          const uint8_t* body = data + kImageHeaderSize;
          const uint32_t bodyLength = header.total_size - kImageHeaderSize;
          uint32_t expected = 0;
          if (UsesWordSum(header, forceCrc))
            expected = CalcWordSum(body, bodyLength);
          else
            CalcCrc(body, bodyLength, expected);
          FUZZ_CHECK(expected == header.body_check);
        }
      }
    }
    if (size >= kImageHeaderSize) {
      uint8_t bytes[kImageHeaderSize];
      std::memcpy(bytes, data, sizeof bytes);
      const ImageHeader header = ImageHeader::Parse(bytes);
      uint8_t again[kImageHeaderSize];
      header.Serialize(again);
      FUZZ_CHECK(std::memcmp(bytes, again, sizeof bytes) == 0);
      const int result = CheckFileHeader(header, header.magic);
      FUZZ_CHECK(result == (CalcHeaderCrc(header) == header.header_crc ? 0 : -1));
    }
  }
  FUZZ_CHECK(CBinaryFile::OpenCount() == openBefore);
  return 0;
}
