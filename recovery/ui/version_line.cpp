#include "version_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// Fields between single separators; two separators in a row give an empty field.
std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string Field(const std::vector<std::string>& fields, size_t index) {
  return index < fields.size() ? fields[index] : std::string();
}

std::string TwoDigits(const std::string& text) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", std::atoi(text.c_str()));
  return buffer;
}

bool SameIgnoringCase(const char* a, const char* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] - 'A' + 'a' : b[i];
    if (x != y) return false;
    if (x == '\0') return true;
  }
  return true;
}

// printf's "%Ns" for a field: at least N characters, padded with blanks on the left.
std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::string BuildVersionLine(const char* date, const char* time) {
  std::vector<std::string> dateFields = SplitAt(date ? date : "", ' ');
  std::vector<std::string> timeFields = SplitAt(time ? time : "", ':');
  std::string month = Field(dateFields, 0);
  std::string day = Field(dateFields, 1);
  std::string year = Field(dateFields, 2);
  std::string hours = Field(timeFields, 0);
  std::string minutes = Field(timeFields, 1);

  if (day.empty()) {
    day = TwoDigits(Field(dateFields, 2));
    year = TwoDigits(Field(dateFields, 3));
    hours = TwoDigits(hours);
    minutes = TwoDigits(minutes);
  }

  for (int i = 0; i < 12; ++i) {
    std::tm when = {};
    when.tm_mon = i;
    when.tm_mday = 1;
    when.tm_year = 100;
    char name[32] = {};
    std::strftime(name, sizeof name, "%b", &when);
    if (SameIgnoringCase(name, month.c_str(), 3)) {
      char number[8];
      std::snprintf(number, sizeof number, "%02d", i + 1);
      month = number;
      break;
    }
  }

  if (!year.empty()) year.erase(0, 1);

  // "Build Ver : %1d%03s.%2s%2s.%2s%2s" with 0, year, month, day, hours, minutes.
  return "Build Ver : 0" + PadLeft(year, 3) + "." + PadLeft(month, 2) + PadLeft(day, 2) + "." +
         PadLeft(hours, 2) + PadLeft(minutes, 2);
}
