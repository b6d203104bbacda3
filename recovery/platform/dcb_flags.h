// The packed flag word of the Windows DCB and SerialLineSettings, both ways. Portable, so that
// the rule can be checked on any host:
//   bit 0 fBinary, 1 fParity, 2 fOutxCtsFlow, 3 fOutxDsrFlow, 4-5 fDtrControl, 6 fDsrSensitivity,
//   7 fTXContinueOnXoff, 8 fOutX, 9 fInX, 10 fErrorChar, 11 fNull, 12-13 fRtsControl,
//   14 fAbortOnError, 15-31 reserved (kept as read).
#pragma once

#include <cstdint>

#include "serial_port.h"

inline void UnpackDcbFlags(uint32_t word, SerialLineSettings& s) {
  s.fBinary = word & 1u;
  s.fParity = (word >> 1) & 1u;
  s.fOutxCtsFlow = (word >> 2) & 1u;
  s.fOutxDsrFlow = (word >> 3) & 1u;
  s.fDtrControl = (word >> 4) & 3u;
  s.fDsrSensitivity = (word >> 6) & 1u;
  s.fTXContinueOnXoff = (word >> 7) & 1u;
  s.fOutX = (word >> 8) & 1u;
  s.fInX = (word >> 9) & 1u;
  s.fErrorChar = (word >> 10) & 1u;
  s.fNull = (word >> 11) & 1u;
  s.fRtsControl = (word >> 12) & 3u;
  s.fAbortOnError = (word >> 14) & 1u;
}

// The word for `s`, with the reserved bits 15-31 taken from `previous`.
inline uint32_t PackDcbFlags(const SerialLineSettings& s, uint32_t previous) {
  uint32_t word = previous & 0xFFFF8000u;
  word |= (s.fBinary & 1u) | (s.fParity & 1u) << 1 | (s.fOutxCtsFlow & 1u) << 2 |
          (s.fOutxDsrFlow & 1u) << 3 | (s.fDtrControl & 3u) << 4 | (s.fDsrSensitivity & 1u) << 6 |
          (s.fTXContinueOnXoff & 1u) << 7 | (s.fOutX & 1u) << 8 | (s.fInX & 1u) << 9 |
          (s.fErrorChar & 1u) << 10 | (s.fNull & 1u) << 11 | (s.fRtsControl & 3u) << 12 |
          (s.fAbortOnError & 1u) << 14;
  return word;
}
