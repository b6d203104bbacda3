// Fuzz target: the LZSS decoder on an arbitrary stream with a caller's limit. The first two input
// bytes give the limit (0 to 65535); the rest is the stream. The output buffer is exactly the
// limit long (its own heap block, so AddressSanitizer sees a write past it). Checked: never more
// than the limit, never more than 9 bytes per stream byte, the same stream with a larger limit
// yields the same bytes first.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "lzss_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t limit = static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8);
  // The stream in its own block too, so a read past its end is caught.
  const size_t length = size - 2;
  std::unique_ptr<uint8_t[]> stream(new uint8_t[length > 0 ? length : 1]);
  if (length > 0) std::memcpy(stream.get(), data + 2, length);

  std::unique_ptr<uint8_t[]> out(new uint8_t[limit > 0 ? limit : 1]);
  size_t produced = 12345;
  const LzssDecodeStatus status = LzssDecode(stream.get(), length, out.get(), limit, &produced);
  FUZZ_CHECK(produced <= limit);
  FUZZ_CHECK(produced <= 9 * length);
  FUZZ_CHECK(status == LzssDecodeStatus::kOk || status == LzssDecodeStatus::kOutputLimit ||
             status == LzssDecodeStatus::kTruncated);
  FUZZ_CHECK(status != LzssDecodeStatus::kOutputLimit || produced == limit);
  FUZZ_CHECK(LzssDecodeStatusText(status) != nullptr);

  // Without a limit that matters (9 bytes per stream byte always fit) the stream decodes fully or
  // ends inside a reference, and the limited run produced a prefix of it.
  const size_t full = 9 * length;
  std::unique_ptr<uint8_t[]> whole(new uint8_t[full > 0 ? full : 1]);
  size_t wholeProduced = 0;
  const LzssDecodeStatus wholeStatus = LzssDecode(stream.get(), length, whole.get(), full, &wholeProduced);
  FUZZ_CHECK(wholeStatus != LzssDecodeStatus::kOutputLimit);
  FUZZ_CHECK(wholeProduced >= produced);
  FUZZ_CHECK(produced == 0 || std::memcmp(out.get(), whole.get(), produced) == 0);
  if (status == LzssDecodeStatus::kOk) FUZZ_CHECK(wholeStatus == LzssDecodeStatus::kOk && wholeProduced == produced);

  // A null `produced` is allowed.
  LzssDecode(stream.get(), length, out.get(), limit, nullptr);
  return 0;
}
