// Helpers shared by the fuzz targets: a scratch folder per process, whole-file writes and a check
// that ends the run loudly.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// A folder of this process under TMPDIR, /dev/shm or /tmp, created on first use and removed when
// the process ends normally.
inline const std::string& FuzzScratchFolder() {
  // The name is also kept in a plain array: the exit handler runs after the string is destroyed.
  static char made[4096];
  static const std::string folder = [] {
    // Memory-backed when the machine has /dev/shm: the targets write a file per input.
    const char* base = std::getenv("TMPDIR");
    std::string parent = base != nullptr && *base != '\0' ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::snprintf(made, sizeof made, "%s/calvera-fuzz-XXXXXX", parent.c_str());
    if (mkdtemp(made) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
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
