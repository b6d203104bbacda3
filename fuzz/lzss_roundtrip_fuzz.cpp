// Fuzz target: Encode then decode gives the input back, and the stream stays within the worst
// case the encoder promises. The encoder object is reused across inputs: each Encode call must be
// independent of the ones before.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "lzss_decoder.h"
#include "lzss_encoder.h"

namespace {
constexpr size_t kMaxInput = 65536;  // one bank
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) size = kMaxInput;
  static CLzssEncoder* encoder = new CLzssEncoder;
  const int length = static_cast<int>(size);
  const size_t bound = static_cast<size_t>(CLzssEncoder::MaxEncodedSize(length));
  std::unique_ptr<uint8_t[]> packed(new uint8_t[bound > 0 ? bound : 1]);
  const int packedLength = encoder->Encode(data, packed.get(), length);
  FUZZ_CHECK(packedLength >= 0 && static_cast<size_t>(packedLength) <= bound);
  FUZZ_CHECK(size == 0 || packedLength > 0);

  // Decoded into a buffer exactly as long as the input: one byte more would be kOutputLimit.
  std::unique_ptr<uint8_t[]> back(new uint8_t[size > 0 ? size : 1]);
  size_t produced = 0;
  const LzssDecodeStatus status =
      LzssDecode(packed.get(), static_cast<size_t>(packedLength), back.get(), size, &produced);
  FUZZ_CHECK(status == LzssDecodeStatus::kOk);
  FUZZ_CHECK(produced == size);
  FUZZ_CHECK(size == 0 || std::memcmp(back.get(), data, size) == 0);

  // A second Encode of the same input gives the same stream.
  std::unique_ptr<uint8_t[]> again(new uint8_t[bound > 0 ? bound : 1]);
  FUZZ_CHECK(encoder->Encode(data, again.get(), length) == packedLength);
  FUZZ_CHECK(packedLength == 0 || std::memcmp(again.get(), packed.get(), static_cast<size_t>(packedLength)) == 0);
  return 0;
}
