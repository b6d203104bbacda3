#include "image_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "test_files.h"

namespace {

const std::string kErrSeek = "_QTRACE_ID_40000:[ErrCloseFree] Error ID [2]\r\n";
const std::string kErrRead = "_QTRACE_ID_40000:[ErrCloseFree] Error ID [3]\r\n";

uint32_t Crc(const Bytes& data) {
  uint32_t crc = 0;
  CalcCrc(data.data(), static_cast<uint32_t>(data.size()), crc);
  return crc;
}

// A sound image of the given kind: header with sizes and header CRC, body check by the flags.
Bytes MakeImage(uint32_t magic, const Bytes& body, uint32_t flags, bool wordSum) {
  ImageHeader h;
  h.magic = magic;
  h.total_size = static_cast<uint32_t>(kImageHeaderSize + body.size());
  h.load_address = 0x8C010000;
  h.entry_offset = 0x1000;
  h.format_flags = flags;
  h.reserved = 0x12345678;
  h.body_check = wordSum ? CalcWordSum(body.data(), static_cast<uint32_t>(body.size())) : Crc(body);
  h.header_crc = CalcHeaderCrc(h);
  uint8_t bytes[kImageHeaderSize];
  h.Serialize(bytes);
  Bytes image(kImageHeaderSize + body.size());
  std::memcpy(image.data(), bytes, kImageHeaderSize);
  std::copy(body.begin(), body.end(), image.begin() + kImageHeaderSize);
  return image;
}

void SetLe32(Bytes& image, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Rewrites header_crc after a header field was changed on purpose.
void FixHeaderCrc(Bytes& image) {
  uint32_t crc = 0;
  CalcCrc(image.data() + kHeaderCrcOffset, kHeaderCrcLength, crc);
  SetLe32(image, 4, crc);
}

TEST(CalcCrc, KnownValues) {
  EXPECT_EQ(Crc(FromText("123456789")), 0xD202D277u);
  EXPECT_EQ(Crc(FromText("abc")), 0x359A672Fu);
  EXPECT_EQ(Crc(Bytes()), 0xFFFFFFFFu);
  EXPECT_EQ(Crc(Bytes(20, 0)), 0xFFFFFFFFu);
  // Leading zero bytes leave the value unchanged.
  Bytes padded(7, 0);
  padded.insert(padded.end(), {'a', 'b', 'c'});
  EXPECT_EQ(Crc(padded), 0x359A672Fu);
}

TEST(CalcCrc, StepwiseEqualsWhole) {
  const Bytes data = RandomBytes(3000, 7);
  uint32_t reg = CrcUpdate(0, data.data(), 1000);
  reg = CrcUpdate(reg, data.data() + 1000, 2000);
  EXPECT_EQ(~reg, Crc(data));
}

TEST(CalcWordSum, NegatedSumOfWholeWords) {
  EXPECT_EQ(CalcWordSum(FromHex("01000000 02000000").data(), 8), 0xFFFFFFFDu);
  EXPECT_EQ(CalcWordSum(FromHex("01000000 02000000 77").data(), 9), 0xFFFFFFFDu);
  EXPECT_EQ(CalcWordSum(nullptr, 0), 0u);
}

TEST(ImageHeader, ParsesLittleEndianFieldsByteByByte) {
  const Bytes raw = FromHex(
      "C3C35A5A 04030201 08070605 20000000 00000188 00100000 01000100 FFEEDDCC");
  uint8_t bytes[kImageHeaderSize];
  std::memcpy(bytes, raw.data(), sizeof bytes);
  const ImageHeader h = ImageHeader::Parse(bytes);
  EXPECT_EQ(h.magic, ILOADER_MAGIC);
  EXPECT_EQ(h.header_crc, 0x01020304u);
  EXPECT_EQ(h.body_check, 0x05060708u);
  EXPECT_EQ(h.total_size, 32u);
  EXPECT_EQ(h.load_address, 0x88010000u);
  EXPECT_EQ(h.entry_offset, 0x00001000u);
  EXPECT_EQ(h.format_flags, 0x00010001u);
  EXPECT_EQ(h.reserved, 0xCCDDEEFFu);
  uint8_t back[kImageHeaderSize];
  h.Serialize(back);
  EXPECT_EQ(0, std::memcmp(back, bytes, sizeof bytes));
  static_assert(OSCORE_MAGIC == 0x5A5A5A5Au && ILOADER_MAGIC == 0x5A5AC3C3u, "magic values");
}

TEST(CheckFileHeader, MagicAndHeaderCrc) {
  const Bytes image = MakeImage(OSCORE_MAGIC, FromText("body"), 0, false);
  uint8_t bytes[kImageHeaderSize];
  std::memcpy(bytes, image.data(), sizeof bytes);
  EXPECT_EQ(CheckFileHeader(ImageHeader::Parse(bytes), OSCORE_MAGIC), 0);
  EXPECT_EQ(CheckFileHeader(ImageHeader::Parse(bytes), ILOADER_MAGIC), -1);

  // Every byte of offsets 12-31 is covered by the header CRC; bytes 4-11 are not covered, but
  // the stored CRC itself must match.
  for (size_t offset = 4; offset < kImageHeaderSize; ++offset) {
    uint8_t changed[kImageHeaderSize];
    std::memcpy(changed, bytes, sizeof changed);
    changed[offset] ^= 0x01;
    const int expected = (offset >= 8 && offset < 12) ? 0 : -1;
    EXPECT_EQ(CheckFileHeader(ImageHeader::Parse(changed), OSCORE_MAGIC), expected) << "offset " << offset;
  }
}

class CheckSourceFileTest : public ::testing::Test {
 protected:
  ScratchDir dir{CurrentTestName()};

  // Writes `image` to a file and runs CheckSourceFile on it.
  int Check(const Bytes& image, uint32_t magic, bool forceCrc, ImageHeader* out = nullptr) {
    const std::string path = dir.Path("image.bin");
    WriteBytes(path, image);
    CBinaryFile file;
    EXPECT_TRUE(file.Open(path.c_str()));
    ImageHeader header;
    const int result = CheckSourceFile(file, header, magic, forceCrc);
    EXPECT_TRUE(file.IsOpen()) << "the file stays open";
    if (out != nullptr) *out = header;
    return result;
  }
};

TEST_F(CheckSourceFileTest, SoundFilesOfBothKinds) {
  const Bytes body = FirmwareLikeBytes(5000, 3);
  ImageHeader header;
  EXPECT_EQ(Check(MakeImage(OSCORE_MAGIC, body, 0x0001, false), OSCORE_MAGIC, false, &header), 0);
  EXPECT_EQ(header.total_size, 5032u);
  EXPECT_EQ(header.load_address, 0x8C010000u);
  EXPECT_EQ(Check(MakeImage(ILOADER_MAGIC, body, 0, false), ILOADER_MAGIC, true), 0);
  EXPECT_EQ(Check(MakeImage(OSCORE_MAGIC, Bytes(), 0, false), OSCORE_MAGIC, false), 0) << "empty body";
  EXPECT_EQ(Check(MakeImage(ILOADER_MAGIC, body, 0, false), OSCORE_MAGIC, false), -1) << "wrong magic";
}

TEST_F(CheckSourceFileTest, FlagsChooseTheBodyCheck) {
  const Bytes body = RandomBytes(3001, 11);  // a 1-byte tail is left out of the word sum
  struct Case {
    uint32_t flags;
    bool storedAsSum;
    bool forceCrc;
    int expected;
  };
  const Case cases[] = {
      {0x00010000, true, false, 0},   // word sum requested and applied
      {0x00010000, true, true, -1},   // forced to the CRC: the stored sum does not match
      {0x00010000, false, true, 0},   // forced to the CRC: a stored CRC matches
      {0x40000000, true, false, 0},   // bit 30 is still part of the mask
      {0x80000000, false, false, 0},  // bit 31 selects nothing: CRC
      {0x80000000, true, false, -1},
      {0x0000FFFF, false, false, 0},  // compression bits do not affect the check
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Check(MakeImage(OSCORE_MAGIC, body, c.flags, c.storedAsSum), OSCORE_MAGIC, c.forceCrc), c.expected)
        << std::hex << c.flags << " sum=" << c.storedAsSum << " force=" << c.forceCrc;
  }
}

TEST_F(CheckSourceFileTest, ChangedBytesAndLengths) {
  const Bytes body = RandomBytes(2500, 5);
  const Bytes good = MakeImage(OSCORE_MAGIC, body, 0, false);

  Bytes appended = good;
  appended.insert(appended.end(), {1, 2, 3});
  EXPECT_EQ(Check(appended, OSCORE_MAGIC, false), 0) << "bytes after total_size are ignored";

  Bytes shorter(good.begin(), good.end() - 1);
  EXPECT_EQ(Check(shorter, OSCORE_MAGIC, false), -1);

  Bytes bodyCheck = good;
  bodyCheck[8] ^= 0x80;
  uint8_t bytes[kImageHeaderSize];
  std::memcpy(bytes, bodyCheck.data(), sizeof bytes);
  EXPECT_EQ(CheckFileHeader(ImageHeader::Parse(bytes), OSCORE_MAGIC), 0);
  EXPECT_EQ(Check(bodyCheck, OSCORE_MAGIC, false), -1);

  Bytes bodyByte = good;
  bodyByte[1000] ^= 0x01;
  EXPECT_EQ(Check(bodyByte, OSCORE_MAGIC, false), -1);
}

// A total_size below 32 or beyond the end of the file is refused up front, with a header that is
// otherwise valid (its CRC covers the changed size).
TEST_F(CheckSourceFileTest, ImpossibleTotalSizeIsBroken) {
  const Bytes good = MakeImage(OSCORE_MAGIC, RandomBytes(100, 9), 0, false);
  for (uint32_t size : {0u, 1u, 31u, 133u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFE0u}) {
    Bytes image = good;
    SetLe32(image, 12, size);
    FixHeaderCrc(image);
    TraceCapture trace;
    EXPECT_EQ(Check(image, OSCORE_MAGIC, false), -1) << size;
    EXPECT_TRUE(trace.records.empty()) << size;
  }
  // total_size 32 (no body) and total_size equal to the file length are fine.
  Bytes headerOnly = good;
  SetLe32(headerOnly, 12, 32);
  SetLe32(headerOnly, 8, 0xFFFFFFFF);  // CRC of an empty body
  FixHeaderCrc(headerOnly);
  EXPECT_EQ(Check(headerOnly, OSCORE_MAGIC, false), 0);
}

TEST_F(CheckSourceFileTest, TraceRecordsOfSeekAndHeaderRead) {
  TraceCapture trace;
  EXPECT_EQ(Check(Bytes(20, 0x5A), OSCORE_MAGIC, false), -1);
  EXPECT_EQ(Check(Bytes(), OSCORE_MAGIC, false), -1);
  CBinaryFile closed;
  ImageHeader header;
  EXPECT_EQ(CheckSourceFile(closed, header, OSCORE_MAGIC, false), -1);
  // A bad magic, a bad header CRC and a bad body leave no record.
  Bytes badCrc = MakeImage(OSCORE_MAGIC, FromText("x"), 0, false);
  badCrc[16] ^= 1;
  EXPECT_EQ(Check(badCrc, OSCORE_MAGIC, false), -1);
  EXPECT_EQ(Check(MakeImage(OSCORE_MAGIC, FromText("x"), 0, false), ILOADER_MAGIC, false), -1);
  EXPECT_EQ(trace.records, (std::vector<std::string>{kErrRead, kErrRead, kErrSeek}));
}

class FileChecksTest : public ::testing::Test {
 protected:
  ScratchDir dir{CurrentTestName()};
};

TEST_F(FileChecksTest, FileCrcAndSumFromTheCurrentPosition) {
  const Bytes data = RandomBytes(5000, 21);
  const std::string path = dir.Path("data.bin");
  WriteBytes(path, data);
  CBinaryFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  // Lengths around the 1024-byte chunk, from offset 10.
  for (uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 2049u, 4990u}) {
    ASSERT_TRUE(file.Seek(10));
    uint32_t crc = 0;
    EXPECT_EQ(CalcFileCrc(file, length, crc), 0);
    uint32_t expected = 0;
    CalcCrc(data.data() + 10, length, expected);
    EXPECT_EQ(crc, expected) << length;

    ASSERT_TRUE(file.Seek(10));
    uint32_t sum = 1;
    EXPECT_EQ(CalcFileSum(file, length, sum), 0);
    EXPECT_EQ(sum, CalcWordSum(data.data() + 10, length)) << length;
  }
}

TEST_F(FileChecksTest, ShortReadStoresNothing) {
  const std::string path = dir.Path("five.bin");
  WriteBytes(path, FromHex("01 00 00 00 FF"));
  CBinaryFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  uint32_t sum = 0;
  EXPECT_EQ(CalcFileSum(file, 5, sum), 0);
  EXPECT_EQ(sum, 0xFFFFFFFFu) << "the fifth byte is not summed";

  ASSERT_TRUE(file.Seek(0));
  uint32_t value = 0x11111111;
  EXPECT_EQ(CalcFileCrc(file, 6, value), -1);
  EXPECT_EQ(value, 0x11111111u);
  ASSERT_TRUE(file.Seek(0));
  EXPECT_EQ(CalcFileSum(file, 6, value), -1);
  EXPECT_EQ(value, 0x11111111u);

  CBinaryFile closed;
  EXPECT_EQ(CalcFileCrc(closed, 0, value), 0) << "no read for an empty region";
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(CalcFileCrc(closed, 1, value), -1);
}

}  // namespace
