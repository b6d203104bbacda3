// How far the banks of a recovery have gone, for calvera-cli's status line. Portable arithmetic, no
// I/O and no clock: the caller passes the time in milliseconds.
//
// The sources are what the engine already shows: the log lines "Sending Data No. %d" (the bank
// being sent, numbered from 0 over the OS core's banks and then the initial loader's), the image
// sizes (64 KiB of image per bank), and the bytes written to the port. A bank goes out as a
// 14-byte command ESC "OPD"/"OPK" bank(2 hex) length(5 hex) sum(2) CR followed by `length` bytes of
// (compressed) data; the part of those bytes written tells how far into the bank the send is.
#pragma once

#include <cstdint>
#include <string>

class CBankProgress {
 public:
  static constexpr uint32_t kBankBytes = 65536;

  // Image sizes from the files' headers (total sizes); 0 for an image not known.
  void SetImages(uint64_t coreBytes, uint64_t loaderBytes);
  // A log line of the engine (with or without its line break).
  void OnLogLine(const std::string& line, uint64_t nowMs);
  // Bytes that went out on the port, in order.
  void OnWritten(const uint8_t* data, uint32_t count, uint64_t nowMs);

  bool Active() const { return bank_ >= 0; }
  int Bank() const { return bank_; }  // 0-based
  int BankCount() const;
  uint64_t TotalBytes() const { return core_ + loader_; }
  uint64_t SentBytes() const;  // image bytes: banks before the current one plus the part sent of it
  // Image bytes per second since the first bank began; 0 until a measurable time has passed.
  double BytesPerSecond(uint64_t nowMs) const;
  // Seconds left at the present rate; -1 while there is no rate.
  int64_t SecondsLeft(uint64_t nowMs) const;

  // "bank 2 of 5  131072/310000 bytes  42%  11.5 KB/s  0:16 left" (at most 79 characters).
  std::string StatusLine(uint64_t nowMs) const;

 private:
  uint64_t BankImageBytes(int bank) const;
  uint64_t BytesBefore(int bank) const;

  uint64_t core_ = 0;
  uint64_t loader_ = 0;
  int bank_ = -1;
  uint64_t startMs_ = 0;
  uint32_t wireLength_ = 0;  // data bytes of the current bank's send, from its command
  uint32_t wireSent_ = 0;    // of those, written so far
};
