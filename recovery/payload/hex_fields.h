// Hex text fields of the serial protocol: a number travels as a fixed count of ASCII hex digits,
// most significant first, upper case on output, no terminator, no sign.
#pragma once

#include <cstdint>

// Parses exactly `count` characters of `text`. Returns 0 and stores the value, or -1 when a
// character is not 0-9, a-f or A-F (then `value` keeps its old content). A count of 0 or less
// stores 0; more than 8 digits keep the value of the last 8.
int HexToInt(const char* text, uint32_t& value, int count);

// Writes exactly `count` upper-case digits of `value` (modulo 16^count) to `out`, no terminator.
// A count of 0 or less writes nothing.
void IntToHex(uint32_t value, char* out, int count);
