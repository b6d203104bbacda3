#include "bank_progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kBankLine[] = "Sending Data No. ";
constexpr uint32_t kBankCommandBytes = 14;
constexpr uint8_t kEsc = 0x1B;

uint64_t BanksOf(uint64_t bytes) { return (bytes + CBankProgress::kBankBytes - 1) / CBankProgress::kBankBytes; }

bool HexField(const uint8_t* text, int digits, uint32_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const uint8_t c = text[i];
    uint32_t d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    value = value * 16 + d;
  }
  return true;
}

}  // namespace

void CBankProgress::SetImages(uint64_t coreBytes, uint64_t loaderBytes) {
  core_ = coreBytes;
  loader_ = loaderBytes;
}

int CBankProgress::BankCount() const { return static_cast<int>(BanksOf(core_) + BanksOf(loader_)); }

uint64_t CBankProgress::BankImageBytes(int bank) const {
  const uint64_t coreBanks = BanksOf(core_);
  const uint64_t b = static_cast<uint64_t>(bank);
  const uint64_t size = b < coreBanks ? core_ : loader_;
  const uint64_t index = b < coreBanks ? b : b - coreBanks;
  if (index >= BanksOf(size)) return 0;
  const uint64_t left = size - index * kBankBytes;
  return left < kBankBytes ? left : kBankBytes;
}

uint64_t CBankProgress::BytesBefore(int bank) const {
  uint64_t sum = 0;
  for (int b = 0; b < bank; ++b) sum += BankImageBytes(b);
  return sum;
}

void CBankProgress::OnLogLine(const std::string& line, uint64_t nowMs) {
  if (line.compare(0, sizeof kBankLine - 1, kBankLine) != 0) return;
  const int bank = std::atoi(line.c_str() + sizeof kBankLine - 1);
  if (bank < 0) return;
  if (bank_ < 0) startMs_ = nowMs;
  bank_ = bank;
  // A new bank, or the same one again after a refusal: its data starts from nothing.
  wireLength_ = 0;
  wireSent_ = 0;
}

void CBankProgress::OnWritten(const uint8_t* data, uint32_t count, uint64_t) {
  if (bank_ < 0 || count == 0) return;
  uint32_t value = 0;
  if (count == kBankCommandBytes && data[0] == kEsc && data[1] == 'O' && data[2] == 'P' &&
      (data[3] == 'D' || data[3] == 'K') && HexField(data + 6, 5, value)) {
    wireLength_ = value;
    wireSent_ = 0;
    return;
  }
  if (wireLength_ == 0) return;
  const uint32_t room = wireLength_ - wireSent_;
  wireSent_ += count < room ? count : room;
}

uint64_t CBankProgress::SentBytes() const {
  if (bank_ < 0) return 0;
  uint64_t sent = BytesBefore(bank_);
  if (wireLength_ != 0) sent += BankImageBytes(bank_) * wireSent_ / wireLength_;
  const uint64_t total = TotalBytes();
  return sent < total ? sent : total;
}

double CBankProgress::BytesPerSecond(uint64_t nowMs) const {
  if (bank_ < 0 || nowMs <= startMs_) return 0;
  const uint64_t elapsedMs = nowMs - startMs_;
  if (elapsedMs < 200) return 0;  // too short to say anything
  return static_cast<double>(SentBytes()) * 1000.0 / static_cast<double>(elapsedMs);
}

int64_t CBankProgress::SecondsLeft(uint64_t nowMs) const {
  const double rate = BytesPerSecond(nowMs);
  if (rate <= 0) return -1;
  const uint64_t left = TotalBytes() - SentBytes();
  return static_cast<int64_t>(static_cast<double>(left) / rate + 0.5);
}

std::string CBankProgress::StatusLine(uint64_t nowMs) const {
  if (bank_ < 0) return std::string();
  const uint64_t total = TotalBytes();
  const uint64_t sent = SentBytes();
  const int percent = total == 0 ? 0 : static_cast<int>(sent * 100 / total);
  char rate[32] = "-- KB/s";
  const double bps = BytesPerSecond(nowMs);
  if (bps > 0) std::snprintf(rate, sizeof rate, "%.1f KB/s", bps / 1000.0);
  char left[32] = "--:-- left";
  const int64_t seconds = SecondsLeft(nowMs);
  if (seconds >= 0) {
    if (seconds >= 3600)
      std::snprintf(left, sizeof left, "%d:%02d:%02d left", static_cast<int>(seconds / 3600),
                    static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    else
      std::snprintf(left, sizeof left, "%d:%02d left", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  }
  char line[160];
  std::snprintf(line, sizeof line, "bank %d of %d  %llu/%llu bytes  %d%%  %s  %s", bank_ + 1, BankCount(),
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total), percent, rate, left);
  std::string text = line;
  if (text.size() > 79) text.resize(79);
  return text;
}
