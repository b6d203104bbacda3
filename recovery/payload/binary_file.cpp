#include "binary_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <random>
#include <string>

namespace {
std::atomic<int> g_openFiles{0};
}

CBinaryFile::~CBinaryFile() { Close(); }

CBinaryFile::CBinaryFile(CBinaryFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }

CBinaryFile& CBinaryFile::operator=(CBinaryFile&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = other.file_;
    other.file_ = nullptr;
  }
  return *this;
}

bool CBinaryFile::Open(const char* path) {
  Close();
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  file_ = std::fopen(path, "rb");
  if (file_ == nullptr) return false;
  ++g_openFiles;
  return true;
}

void CBinaryFile::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
    --g_openFiles;
  }
}

bool CBinaryFile::Read(void* buffer, size_t count, size_t& received) {
  received = 0;
  if (file_ == nullptr) return false;
  if (count == 0) return true;
  received = std::fread(buffer, 1, count, file_);
  if (received < count && std::ferror(file_)) {
    std::clearerr(file_);
    return false;
  }
  return true;
}

bool CBinaryFile::Seek(uint32_t offset) {
  if (file_ == nullptr) return false;
  // long is 32 bits on Windows: offsets beyond LONG_MAX cannot be set through fseek.
  if (offset > static_cast<uint32_t>(LONG_MAX)) return false;
  return std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0;
}

int64_t CBinaryFile::Size() {
  if (file_ == nullptr) return -1;
  const long position = std::ftell(file_);
  if (position < 0) return -1;
  if (std::fseek(file_, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(file_);
  if (std::fseek(file_, position, SEEK_SET) != 0) return -1;
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

int CBinaryFile::OpenCount() { return g_openFiles.load(); }

bool CBinaryFile::WriteWholeFile(const char* path, const void* data, size_t size) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return false;
  }
  std::random_device seed;
  const std::string temp = std::string(path) + ".tmp" + std::to_string(seed() % 1000000u);
  std::FILE* out = std::fopen(temp.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
  ok = std::fflush(out) == 0 && ok;
  ok = std::fclose(out) == 0 && ok;
  if (ok && std::rename(temp.c_str(), path) != 0) {
    // Windows does not rename over an existing file: remove the old one and try once more.
    const int renameError = errno;
    ok = std::remove(path) == 0 && std::rename(temp.c_str(), path) == 0;
    if (!ok) errno = renameError;
  }
  if (!ok) {
    const int savedError = errno;
    std::remove(temp.c_str());
    errno = savedError;
  }
  return ok;
}
