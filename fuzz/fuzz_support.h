// Helpers shared by the fuzz targets: a scratch folder per process, whole-file writes and a check
// that ends the run loudly.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Aborts with a message: libFuzzer reports it as a crash and keeps the input.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

// A folder of this process under the system's temporary folder, created on first use.
inline const std::string& FuzzScratchFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/calvera-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    if (made == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return std::string(made);
  }();
  return folder;
}

inline bool FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  ok = std::fclose(file) == 0 && ok;
  return ok;
}
