// Decoder of the compressed bank stream (the rule the target applies). Used by the virtual panel,
// the image tool and the tests; the engine only encodes.
#pragma once

#include <cstddef>
#include <cstdint>

enum class LzssDecodeStatus {
  kOk,             // the whole stream was decoded
  kOutputLimit,    // the output would exceed the caller's capacity; output stops at the limit
  kTruncated,      // the stream ends inside a reference (one byte of its two is missing)
};

// Decodes `length` stream bytes into `out`, writing at most `outCapacity` bytes. `produced`
// receives the number of bytes written (also on failure). Nothing is read outside the stream and
// nothing is written past out + outCapacity. A decoded stream never holds more than 9 bytes per
// stream byte (a 2-byte reference gives at most 18).
LzssDecodeStatus LzssDecode(const uint8_t* stream, size_t length, uint8_t* out, size_t outCapacity,
                            size_t* produced);

// Short English text for a status, for messages.
const char* LzssDecodeStatusText(LzssDecodeStatus status);
