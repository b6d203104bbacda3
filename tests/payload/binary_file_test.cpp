#include "binary_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "test_files.h"

namespace {

class BinaryFileTest : public ::testing::Test {
 protected:
  void SetUp() override { openBefore = CBinaryFile::OpenCount(); }
  void TearDown() override { EXPECT_EQ(CBinaryFile::OpenCount(), openBefore) << "a file stayed open"; }
  ScratchDir dir{CurrentTestName()};
  int openBefore = 0;
};

TEST_F(BinaryFileTest, ReadSeekSizeAndEnd) {
  const std::string path = dir.Path("data.bin");
  // CR LF and 0x1A must come back unchanged: the file is binary in both builds.
  const Bytes data = FromHex("0D 0A 1A 00 FF 0A 0D 41");
  WriteBytes(path, data);
  CBinaryFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(CBinaryFile::OpenCount(), openBefore + 1);
  EXPECT_EQ(file.Size(), 8);

  uint8_t buffer[16] = {};
  size_t received = 99;
  ASSERT_TRUE(file.Read(buffer, 3, received));
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(file.Size(), 8) << "Size keeps the position";
  ASSERT_TRUE(file.Read(buffer + 3, 16, received));
  EXPECT_EQ(received, 5u) << "the end of the file is a short read, not an error";
  EXPECT_EQ(Bytes(buffer, buffer + 8), data);
  ASSERT_TRUE(file.Read(buffer, 4, received));
  EXPECT_EQ(received, 0u);

  ASSERT_TRUE(file.Seek(6));
  ASSERT_TRUE(file.Read(buffer, 4, received));
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(buffer[0], 0x0D);

  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Read(buffer, 1, received));
  EXPECT_FALSE(file.Seek(0));
  EXPECT_EQ(file.Size(), -1);
}

TEST_F(BinaryFileTest, MissingFileAndMoves) {
  CBinaryFile missing;
  EXPECT_FALSE(missing.Open(dir.Path("absent.bin").c_str()));
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_FALSE(missing.Open(nullptr));
  EXPECT_EQ(CBinaryFile::OpenCount(), openBefore);

  const std::string path = dir.Path("a.bin");
  WriteBytes(path, FromText("abc"));
  {
    CBinaryFile first;
    ASSERT_TRUE(first.Open(path.c_str()));
    CBinaryFile second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.IsOpen());
    CBinaryFile third;
    ASSERT_TRUE(third.Open(path.c_str()));
    EXPECT_EQ(CBinaryFile::OpenCount(), openBefore + 2);
    third = std::move(second);  // closes what third held
    EXPECT_EQ(CBinaryFile::OpenCount(), openBefore + 1);
    EXPECT_TRUE(third.Open(path.c_str())) << "reopening closes the previous file";
    EXPECT_EQ(CBinaryFile::OpenCount(), openBefore + 1);
  }
  EXPECT_EQ(CBinaryFile::OpenCount(), openBefore) << "closed on destruction";
}

TEST_F(BinaryFileTest, WriteWholeFileReplacesOrLeavesAlone) {
  const std::string path = dir.Path("out.bin");
  const Bytes first = RandomBytes(3000, 1);
  ASSERT_TRUE(CBinaryFile::WriteWholeFile(path.c_str(), first.data(), first.size()));
  EXPECT_EQ(ReadBytes(path), first);
  const Bytes second = FromHex("0D 0A");
  ASSERT_TRUE(CBinaryFile::WriteWholeFile(path.c_str(), second.data(), second.size()));
  EXPECT_EQ(ReadBytes(path), second);
  ASSERT_TRUE(CBinaryFile::WriteWholeFile(path.c_str(), nullptr, 0));
  EXPECT_TRUE(ReadBytes(path).empty());

  EXPECT_FALSE(CBinaryFile::WriteWholeFile(dir.Path("no/such/dir/out.bin").c_str(), first.data(), first.size()));
  EXPECT_FALSE(CBinaryFile::WriteWholeFile("", first.data(), first.size()));
  // Nothing but the written file is left behind.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

}  // namespace
