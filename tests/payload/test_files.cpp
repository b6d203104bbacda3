#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

ScratchDir::ScratchDir(const std::string& name) : dir_(std::filesystem::current_path() / ("scratch_" + name)) {
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::Path(const std::string& file) const { return (dir_ / file).string(); }

std::string CurrentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info == nullptr ? std::string("no_test") : std::string(info->test_suite_name()) + "_" + info->name();
}

void WriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(gen() >> 24);
  return out;
}

Bytes FirmwareLikeBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  static const char* const kWords[] = {"error ", "bank ", "loader ", "panel ", "COM", "ready\r\n", "0x", "status="};
  static const uint8_t kOps[] = {0xE5, 0x9F, 0xE1, 0xA0, 0xE3, 0x1A, 0xEB, 0x00, 0xE2, 0x8D};
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    const unsigned kind = gen() % 4;
    const size_t run = 16 + gen() % 600;
    for (size_t i = 0; i < run && out.size() < size; ++i) {
      switch (kind) {
        case 0:  // instruction-like words: a few common opcodes with varying operands
          out.push_back((i % 4 == 3) ? kOps[gen() % 10] : static_cast<uint8_t>(gen() % 16));
          break;
        case 1: {  // strings
          const char* w = kWords[gen() % 8];
          while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
          break;
        }
        case 2:  // a table of increasing little-endian words
          out.push_back(static_cast<uint8_t>((i / 4) * 4 + (i % 4 == 0 ? i : 0)));
          break;
        default:  // padding
          out.push_back(0);
          break;
      }
    }
  }
  out.resize(size);
  return out;
}
