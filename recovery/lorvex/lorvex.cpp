// Lorvex stand-in: the targets.txt table described in lorvex.h.
#include "lorvex.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <strings.h>

#include <filesystem>
#endif

namespace {

constexpr int kLorvexVersion = 100;  // 1.00
constexpr size_t kPatternLength = 8;
constexpr size_t kMaxNameLength = kLorvexNameBufferSize - 1;

// Field indices of a line.
constexpr int kFieldILoader = 1;
constexpr int kFieldOSCore = 2;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

bool PatternWellFormed(const std::string& pattern) {
  if (pattern == "*") return true;
  return pattern.size() == kPatternLength && pattern.find('*') == std::string::npos;
}

bool PatternMatches(const std::string& pattern, const char* identification) {
  if (pattern == "*") return true;
  if (std::strlen(identification) != kPatternLength) return false;
  for (size_t i = 0; i < kPatternLength; ++i) {
    if (pattern[i] != '?' && pattern[i] != identification[i]) return false;
  }
  return true;
}

#if defined(_WIN32)
// Windows file names ignore case already.
bool FindTableFile(const std::string& folder, std::string& path) {
  path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  path += "SYSTEM\\targets.txt";
  return true;
}
#else
// The entry of `dir` whose name equals `name` ignoring case; the exact name wins.
bool FindEntryIgnoringCase(const std::filesystem::path& dir, const char* name,
                           std::filesystem::path& found) {
  std::error_code ec;
  if (std::filesystem::exists(dir / name, ec)) {
    found = dir / name;
    return true;
  }
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return false;
  for (const auto& entry : it) {
    if (strcasecmp(entry.path().filename().c_str(), name) == 0) {
      found = entry.path();
      return true;
    }
  }
  return false;
}

bool FindTableFile(const std::string& folder, std::string& path) {
  std::filesystem::path dir = folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder);
  std::filesystem::path system;
  std::filesystem::path table;
  if (!FindEntryIgnoringCase(dir, "SYSTEM", system)) return false;
  if (!FindEntryIgnoringCase(system, "targets.txt", table)) return false;
  path = table.string();
  return true;
}
#endif

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  size_t got = 0;
  bool ok = true;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  if (std::ferror(file)) ok = false;
  std::fclose(file);
  return ok;
}

}  // namespace

struct LorvexTargetLine {
  unsigned long lineNumber;
  std::vector<std::string> fields;  // fields[0] is the pattern
};

struct LorvexTargetTable {
  std::vector<LorvexTargetLine> lines;
};

LorvexProject::LorvexProject() : version_(kLorvexVersion) {}
LorvexProject::~LorvexProject() = default;
int LorvexProject::LorvexProjectVersion() const { return version_; }

LorvexTool::LorvexTool() : table_(nullptr) {}

LorvexTool::~LorvexTool() { delete table_; }

int LorvexTool::LorvexToolPath(char* folder) {
  delete table_;
  table_ = nullptr;
  if (folder == nullptr) return kLorvexBadArgument;

  std::string path;
  std::string text;
  if (!FindTableFile(folder, path) || !ReadWholeFile(path, text)) return kLorvexNoTable;

  LorvexTargetTable* table = new LorvexTargetTable;
  unsigned long lineNumber = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields = SplitFields(line);
    if (fields.empty() || fields[0][0] == '#') continue;
    if (!PatternWellFormed(fields[0])) {
      delete table;
      return kLorvexMalformed;
    }
    table->lines.push_back(LorvexTargetLine{lineNumber, std::move(fields)});
  }
  table_ = table;
  return kLorvexOk;
}

int LorvexTool::Lookup(const char* identification, int field, char* name260,
                       unsigned long* lineNumber) {
  if (identification == nullptr || name260 == nullptr || lineNumber == nullptr) {
    return kLorvexBadArgument;
  }
  if (table_ == nullptr) return kLorvexNoTable;
  for (const LorvexTargetLine& line : table_->lines) {
    if (!PatternMatches(line.fields[0], identification)) continue;
    if (line.fields.size() != 3) return kLorvexMalformed;
    if (line.fields[1].size() > kMaxNameLength || line.fields[2].size() > kMaxNameLength) {
      return kLorvexMalformed;
    }
    // A NUL byte inside a name would hand the caller a shorter name than the line holds.
    if (line.fields[1].find('\0') != std::string::npos || line.fields[2].find('\0') != std::string::npos) {
      return kLorvexMalformed;
    }
    const std::string& name = line.fields[field];
    std::memcpy(name260, name.c_str(), name.size() + 1);
    *lineNumber = line.lineNumber;
    return kLorvexOk;
  }
  return kLorvexNoMatch;
}

int LorvexTool::LorvexToolILoader(char* identification, char* name260, unsigned long* lineNumber) {
  return Lookup(identification, kFieldILoader, name260, lineNumber);
}

int LorvexTool::LorvexToolOSCore(char* identification, char* name260, unsigned long* lineNumber) {
  return Lookup(identification, kFieldOSCore, name260, lineNumber);
}

Lorvex::Lorvex() = default;
Lorvex::~Lorvex() = default;
