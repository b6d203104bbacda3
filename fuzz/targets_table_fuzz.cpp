// Fuzz target: the targets.txt parser of the image-library stand-in and its lookups. The first
// input byte gives the length (0 to 15) of the identification that follows; the rest is the
// table file. Checked: results are the documented codes, a found name is terminated within 260
// bytes and is a field of the line reported, a failed lookup leaves the buffer and line alone.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "lorvex.h"

namespace {

const std::string& ToolFolder() {
  static const std::string folder = [] {
    std::string f = FuzzScratchFolder() + "/tool";
    mkdir(f.c_str(), 0700);
    mkdir((f + "/SYSTEM").c_str(), 0700);
    return f;
  }();
  return folder;
}

// The 1-based line `number` of `table`, without its line end.
std::string LineOf(const std::string& table, unsigned long number) {
  size_t pos = 0;
  for (unsigned long n = 1; n < number; ++n) {
    pos = table.find('\n', pos);
    if (pos == std::string::npos) return std::string();
    ++pos;
  }
  size_t end = table.find('\n', pos);
  return table.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

void CheckLookup(int result, const char* name, unsigned long line, const std::string& table) {
  FUZZ_CHECK(result == kLorvexOk || result == kLorvexNoTable || result == kLorvexMalformed ||
             result == kLorvexNoMatch);
  if (result != kLorvexOk) {
    FUZZ_CHECK(std::memcmp(name, "untouched", 10) == 0);
    FUZZ_CHECK(line == 77777);
    return;
  }
  const void* end = std::memchr(name, '\0', kLorvexNameBufferSize);
  FUZZ_CHECK(end != nullptr);
  const size_t length = static_cast<const char*>(end) - name;
  FUZZ_CHECK(length > 0);
  FUZZ_CHECK(line >= 1);
  FUZZ_CHECK(LineOf(table, line).find(std::string(name, length)) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t idLength = data[0] & 0x0F;
  if (idLength > size - 1) idLength = size - 1;
  std::string identification(reinterpret_cast<const char*>(data + 1), idLength);
  const std::string table(reinterpret_cast<const char*>(data + 1 + idLength), size - 1 - idLength);
  FUZZ_CHECK(FuzzWriteFile(ToolFolder() + "/SYSTEM/targets.txt", reinterpret_cast<const uint8_t*>(table.data()),
                           table.size()));

  Lorvex lorvex;
  std::string folder = ToolFolder();
  const int loaded = lorvex.LorvexToolPath(&folder[0]);
  FUZZ_CHECK(loaded == kLorvexOk || loaded == kLorvexMalformed);

  for (int field = 0; field < 2; ++field) {
    char name[kLorvexNameBufferSize] = "untouched";
    unsigned long line = 77777;
    const int result = field == 0 ? lorvex.LorvexToolILoader(&identification[0], name, &line)
                                  : lorvex.LorvexToolOSCore(&identification[0], name, &line);
    if (loaded != kLorvexOk) FUZZ_CHECK(result == kLorvexNoTable);
    CheckLookup(result, name, line, table);
  }
  return 0;
}
