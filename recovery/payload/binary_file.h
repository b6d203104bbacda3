// A small portable file type for reading image files (stdio underneath, so the same code runs in
// the Linux and the Windows build). Files are opened for binary reading only; the one writer is
// WriteWholeFile, which replaces a file in one step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

class CBinaryFile {
 public:
  CBinaryFile() = default;
  ~CBinaryFile();
  CBinaryFile(const CBinaryFile&) = delete;
  CBinaryFile& operator=(const CBinaryFile&) = delete;
  CBinaryFile(CBinaryFile&& other) noexcept;
  CBinaryFile& operator=(CBinaryFile&& other) noexcept;

  // Opens an existing file for binary reading; closes whatever this object held before.
  // Returns false when the file cannot be opened (errno tells why).
  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

  // Reads up to `count` bytes from the current position. `received` is the number of bytes read.
  // Returns false on a read error or when the file is not open; reaching the end of the file is
  // not an error (received < count then).
  bool Read(void* buffer, size_t count, size_t& received);

  // Moves the position to `offset` bytes from the start. Returns false when the file is not open
  // or the position cannot be set.
  bool Seek(uint32_t offset);

  // Length of the file in bytes, or -1 when it is not open or cannot be measured. The position is
  // kept.
  int64_t Size();

  // Files currently open through this type, over the whole process (for leak checks).
  static int OpenCount();

  // Writes `size` bytes to a temporary file beside `path`, then renames it over `path`, so that
  // `path` is either left as it was or holds the whole new content. Returns false on any failure
  // (the temporary file is removed again).
  static bool WriteWholeFile(const char* path, const void* data, size_t size);

 private:
  std::FILE* file_ = nullptr;
};
