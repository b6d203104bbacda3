#include "hex_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct HexToIntCase {
  const char* text;
  int count;
  int result;
  uint32_t value;  // expected value (the old value 0xDEADBEEF when the call fails)
};

TEST(HexToInt, ParsesExactlyCountCharacters) {
  const HexToIntCase cases[] = {
      {"1f", 2, 0, 31},
      {"1F", 2, 0, 31},
      {"1G", 2, -1, 0xDEADBEEF},
      {"", 0, 0, 0},
      {"12", -3, 0, 0},
      {"1Fxyz", 2, 0, 31},  // characters after count are not looked at
      {"0003A", 5, 0, 0x3A},
      {"aBcDeF09", 8, 0, 0xABCDEF09},
      {"123456789", 9, 0, 0x23456789},  // more than 8 digits keep the last 8
      {" 1", 2, -1, 0xDEADBEEF},
      {"-1", 2, -1, 0xDEADBEEF},
      {"+1", 2, -1, 0xDEADBEEF},
      {"1\xC1", 2, -1, 0xDEADBEEF},
      {"g", 1, -1, 0xDEADBEEF},
      {"/", 1, -1, 0xDEADBEEF},
      {":", 1, -1, 0xDEADBEEF},
      {"@", 1, -1, 0xDEADBEEF},
      {"`", 1, -1, 0xDEADBEEF},
  };
  for (const auto& c : cases) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(HexToInt(c.text, value, c.count), c.result) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(IntToHex, WritesExactlyCountUpperCaseDigits) {
  struct Case {
    uint32_t value;
    int count;
    const char* expected;
  };
  const Case cases[] = {
      {0x3A, 5, "0003A"},   {0x12345, 2, "45"},  {0x101, 2, "01"},        {0xABCDEF09, 8, "ABCDEF09"},
      {0xFFFFFFFF, 8, "FFFFFFFF"}, {0x0A3F1, 5, "0A3F1"}, {0, 1, "0"}, {0x10000, 5, "10000"},
  };
  for (const auto& c : cases) {
    char out[12];
    std::memset(out, '#', sizeof out);
    IntToHex(c.value, out, c.count);
    EXPECT_EQ(std::string(out, static_cast<size_t>(c.count)), c.expected);
    EXPECT_EQ(out[c.count], '#') << "no terminator and nothing beyond count";
  }
}

TEST(IntToHex, CountOfZeroOrLessWritesNothing) {
  char out[4] = {'#', '#', '#', '#'};
  IntToHex(0x12, out, 0);
  IntToHex(0x12, out, -2);
  EXPECT_EQ(std::string(out, 4), "####");
}

TEST(HexFields, RoundTripEightDigits) {
  for (uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x5A5AC3C3u}) {
    char text[8];
    IntToHex(v, text, 8);
    uint32_t back = 0;
    ASSERT_EQ(HexToInt(text, back, 8), 0);
    EXPECT_EQ(back, v);
  }
}

}  // namespace
