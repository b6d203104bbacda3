// The host's side of the frames, written for the tests of the virtual panel and independent of the
// engine's frame code, so that a fault in one cannot hide behind the same fault in the other.
#pragma once

#include <cstdint>
#include <string>

namespace host_frames {

// v as `digits` uppercase hex digits, most significant first.
inline std::string Hex(uint32_t v, int digits) {
  std::string s(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = "0123456789ABCDEF"[v & 0xF];
  return s;
}

// The frame sum: the 8-bit byte sum as two uppercase hex digits.
inline std::string SumOf(const std::string& s) {
  uint32_t sum = 0;
  for (unsigned char c : s) sum += c;
  return Hex(sum & 0xFF, 2);
}

// ESC, letters and fields, their sum, CR.
inline std::string Command(const std::string& body) { return "\x1b" + body + SumOf(body) + "\r"; }

}  // namespace host_frames
