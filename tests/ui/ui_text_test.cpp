// Portable pieces of the main dialog: the hidden build-version line and the result-to-message
// table.
#include <gtest/gtest.h>

#include "operator_messages.h"
#include "version_line.h"

namespace {

TEST(VersionLine, FromCompilerDateAndTime) {
  struct Case {
    const char* date;
    const char* time;
    const char* line;
  };
  const Case cases[] = {
      {"May 31 2011", "09:39:33", "Build Ver : 0011.0531.0939"},
      {"Jun  1 2011", "09:05:07", "Build Ver : 0011.0601.0905"},  // day below 10: two blanks
      {"Dec 11 2026", "23:59:59", "Build Ver : 0026.1211.2359"},
      {"Jan  9 2030", "00:00:00", "Build Ver : 0030.0109.0000"},
      {"jan 15 2020", "12:34:56", "Build Ver : 0020.0115.1234"},  // month compared without case
      {"Xyz 15 2020", "12:34:56", "Build Ver : 0020.Xyz15.1234"}, // unknown month stays
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, BuildVersionLine(c.date, c.time)) << c.date << " " << c.time;
  }
}

TEST(VersionLine, ThisBuildHasTheShape) {
  std::string line = BuildVersionLine(__DATE__, __TIME__);
  ASSERT_EQ(26u, line.size()) << line;
  EXPECT_EQ("Build Ver : 0", line.substr(0, 13));
  EXPECT_EQ('.', line[16]);
  EXPECT_EQ('.', line[21]);
}

TEST(ResultMessage, CodeToString) {
  struct Case {
    int code;
    int id;
  };
  const Case cases[] = {
      {0, 0},      {-32768, 0},  {-8, 1005}, {-7, 1004}, {-6, 1003}, {-5, 1002},
      {-4, 1001},  {-3, 1001},   {-2, 1001}, {-1, 1000}, {-9, 1000}, {0x7FFF, 1000},
      {1, 1000},   {2, 1000},    {-32767, 1000},
  };
  for (const Case& c : cases) EXPECT_EQ(c.id, ResultStringId(c.code)) << c.code;
}

}  // namespace
