#include "hex_fields.h"

int HexToInt(const char* text, uint32_t& value, int count) {
  uint32_t result = 0;
  for (int i = 0; i < count; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    result = (result << 4) + digit;
  }
  value = result;
  return 0;
}

void IntToHex(uint32_t value, char* out, int count) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = count - 1; i >= 0; --i) {
    out[i] = kDigits[value & 0xF];
    value >>= 4;
  }
}
