// Runs calvera-image as a separate process and checks exit codes, output and the files it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "binary_file.h"
#include "image_check.h"
#include "lzss_encoder.h"
#include "test_files.h"

namespace {

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

class CalveraImageTest : public ::testing::Test {
 protected:
  ScratchDir dir{CurrentTestName()};

  std::string P(const std::string& name) const { return dir.Path(name); }

  Result Run(const std::string& args) {
    const std::string out = P("stdout.txt");
    const std::string err = P("stderr.txt");
    const std::string command = std::string("'") + CALVERA_IMAGE_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    Result r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadText(out);
    r.err = ReadText(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
  }

  // Files in the scratch folder other than `expected` (temporary files left behind).
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(P(""))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  Bytes Pack(const std::string& kind, const std::string& flags, const Bytes& body) {
    WriteBytes(P("body.bin"), body);
    const Result r = Run("pack --kind " + kind + " --load-address 8C010000 --entry-offset 0x1000 --flags " + flags +
                         " --reserved 0BADF00D '" + P("body.bin") + "' '" + P("image.bin") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    return ReadBytes(P("image.bin"));
  }
};

TEST_F(CalveraImageTest, PackWritesSoundImagesThatInfoAndVerifyAccept) {
  struct Case {
    const char* kind;
    const char* flags;
    uint32_t magic;
    const char* kindLine;
    const char* bodyCheckLine;
    const char* banksGoLine;
  };
  const Case cases[] = {
      {"oscore", "0", OSCORE_MAGIC, "kind:          OS core", "body check:    image CRC, pass", "banks go:      plain"},
      {"oscore", "00000001", OSCORE_MAGIC, "kind:          OS core", "body check:    image CRC, pass",
       "banks go:      LZSS-compressed"},
      {"oscore", "10001", OSCORE_MAGIC, "kind:          OS core", "body check:    negated word sum, pass",
       "banks go:      LZSS-compressed"},
      {"oscore", "80000000", OSCORE_MAGIC, "kind:          OS core", "body check:    image CRC, pass", "banks go:      plain"},
      {"iloader", "00010000", ILOADER_MAGIC, "kind:          initial loader", "body check:    image CRC, pass",
       "banks go:      LZSS-compressed (always"},
  };
  const Bytes body = FirmwareLikeBytes(3 * 65536 + 100, 8);  // header + body: 4 banks
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.flags);
    const Bytes image = Pack(c.kind, c.flags, body);
    ASSERT_EQ(image.size(), body.size() + 32);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), image.begin() + 32));

    // The library agrees, with the reader's rule for the body check.
    CBinaryFile file;
    ASSERT_TRUE(file.Open(P("image.bin").c_str()));
    ImageHeader h;
    EXPECT_EQ(CheckSourceFile(file, h, c.magic, c.magic == ILOADER_MAGIC), 0);
    EXPECT_EQ(h.load_address, 0x8C010000u);
    EXPECT_EQ(h.entry_offset, 0x1000u);
    EXPECT_EQ(h.reserved, 0x0BADF00Du);
    file.Close();

    const Result info = Run("info '" + P("image.bin") + "'");
    EXPECT_EQ(info.exitCode, 0) << info.err;
    for (const char* line : {c.kindLine, c.bodyCheckLine, c.banksGoLine, "load_address:  0x8C010000\n",
                             "entry_offset:  0x00001000 (start address 0x8C011000)", "reserved:      0x0BADF00D",
                             "total_size:    0x00030084 (196740 bytes)", "header CRC:    pass", "banks:         4 of 64 KiB",
                             "verdict:       sound"}) {
      EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    }
    const Result verify = Run("verify '" + P("image.bin") + "'");
    EXPECT_EQ(verify.exitCode, 0);
    EXPECT_EQ(CountLines(verify.out), 1) << verify.out;
    EXPECT_NE(verify.out.find("sound"), std::string::npos);
  }
}

TEST_F(CalveraImageTest, BrokenImagesAreReportedWithExitOne) {
  const Bytes good = Pack("oscore", "10001", RandomBytes(5000, 3));
  struct Case {
    const char* name;
    size_t offset;  // byte to flip; SIZE_MAX: cut the last byte instead
    const char* reason;
  };
  const Case cases[] = {
      {"body byte", 100, "word sum of the body does not match"},
      {"body_check", 8, "word sum of the body does not match"},
      {"load_address", 17, "header CRC mismatch"},
      {"magic", 0, "unknown magic 0x5A5A5A5B"},
      {"one byte short", SIZE_MAX, "exceeds the file length"},
  };
  for (const auto& c : cases) {
    Bytes image = good;
    if (c.offset == SIZE_MAX) {
      image.pop_back();
    } else {
      image[c.offset] ^= 0x01;
    }
    WriteBytes(P("bad.bin"), image);
    const Result verify = Run("verify '" + P("bad.bin") + "'");
    EXPECT_EQ(verify.exitCode, 1) << c.name;
    EXPECT_NE(verify.out.find(c.reason), std::string::npos) << c.name << ": " << verify.out;
    const Result info = Run("info '" + P("bad.bin") + "'");
    EXPECT_EQ(info.exitCode, 1) << c.name;
    EXPECT_NE(info.out.find("verdict:       broken"), std::string::npos) << c.name;
  }
  // Bytes after total_size are ignored.
  Bytes longer = good;
  longer.push_back(0x77);
  WriteBytes(P("long.bin"), longer);
  EXPECT_EQ(Run("verify '" + P("long.bin") + "'").exitCode, 0);
}

TEST_F(CalveraImageTest, BadFilesGetOneLineOnStderr) {
  WriteBytes(P("empty.bin"), Bytes());
  WriteBytes(P("short.bin"), Bytes(20, 0x5A));
  std::filesystem::create_directories(P("folder"));
  struct Case {
    std::string args;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {"verify '" + P("missing.bin") + "'", 2, "cannot open"},
      {"info '" + P("missing.bin") + "'", 2, "cannot open"},
      {"verify '" + P("folder") + "'", 2, "cannot read"},
      {"verify '" + P("empty.bin") + "'", 1, "file is empty"},
      {"info '" + P("short.bin") + "'", 1, "shorter than the 32-byte header"},
      {"compress '" + P("empty.bin") + "' '" + P("out.bin") + "'", 1, "input file is empty"},
      {"expand '" + P("empty.bin") + "' '" + P("out.bin") + "'", 1, "input file is empty"},
      {"compress '" + P("missing.bin") + "' '" + P("out.bin") + "'", 2, "cannot open"},
      {"expand '" + P("folder") + "' '" + P("out.bin") + "'", 2, "cannot read"},
      {"pack --kind oscore --load-address 0 --entry-offset 0 '" + P("empty.bin") + "' '" + P("out.bin") + "'", 1,
       "body file is empty"},
      {"compress '" + P("short.bin") + "' '" + P("folder") + "/no/such/out.bin'", 2, "cannot write"},
      // Usage errors.
      {"frobnicate", 2, "unknown command"},
      {"verify", 2, "needs exactly one FILE"},
      {"compress '" + P("short.bin") + "'", 2, "needs IN and OUT"},
      {"pack --load-address 0 --entry-offset 0 a b", 2, "needs --kind"},
      {"pack --kind rom --load-address 0 --entry-offset 0 a b", 2, "--kind must be oscore or iloader"},
      {"pack --kind oscore --entry-offset 0 a b", 2, "needs --load-address"},
      {"pack --kind oscore --load-address 0 a b", 2, "needs --entry-offset"},
      {"pack --kind oscore --load-address 123456789 --entry-offset 0 a b", 2, "not a hex number"},
      {"pack --kind oscore --load-address 0x --entry-offset 0 a b", 2, "not a hex number"},
      {"pack --kind oscore --load-address 0 --entry-offset -1 a b", 2, "not a hex number"},
      {"pack --kind oscore --load-address 0 --entry-offset 0 --flags G a b", 2, "not a hex number"},
      {"pack --kind oscore --load-address 0 --entry-offset 0 --speed 1 a b", 2, "unknown option --speed"},
      {"pack --kind oscore --load-address 0 --entry-offset 0 a", 2, "needs BODY and OUT"},
      {"pack --kind oscore --load-address 0 --entry-offset 0 a b", 2, "cannot open a"},
      {"pack --kind oscore --load-address 0 --entry-offset", 2, "needs a value"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args;
    EXPECT_EQ(CountLines(r.err), 1) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_FALSE(std::filesystem::exists(P("out.bin"))) << c.args;
  }
  EXPECT_EQ(Run("").exitCode, 2) << "no arguments";
  const Result help = Run("help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("usage: calvera-image info FILE"), std::string::npos);
}

TEST_F(CalveraImageTest, CompressAndExpandRoundTrip) {
  struct Case {
    const char* name;
    Bytes data;
  };
  const Case cases[] = {
      {"firmware", FirmwareLikeBytes(200000, 12)},
      {"random", RandomBytes(70000, 13)},
      {"one byte", FromText("a")},
      {"zeros (expands about 8 times)", Bytes(1000000, 0)},
  };
  for (const auto& c : cases) {
    WriteBytes(P("in.bin"), c.data);
    const Result compress = Run("compress '" + P("in.bin") + "' '" + P("stream.lz") + "'");
    ASSERT_EQ(compress.exitCode, 0) << c.name << compress.err;
    const Bytes stream = ReadBytes(P("stream.lz"));
    // One stream for the whole input, exactly what Encode produces.
    auto encoder = std::make_unique<CLzssEncoder>();
    Bytes expected(static_cast<size_t>(CLzssEncoder::MaxEncodedSize(static_cast<int>(c.data.size()))));
    expected.resize(static_cast<size_t>(encoder->Encode(c.data.data(), expected.data(), static_cast<int>(c.data.size()))));
    EXPECT_EQ(stream, expected) << c.name;

    const Result expand = Run("expand '" + P("stream.lz") + "' '" + P("out.bin") + "'");
    ASSERT_EQ(expand.exitCode, 0) << c.name << expand.err;
    EXPECT_EQ(ReadBytes(P("out.bin")), c.data) << c.name;
  }
  WriteBytes(P("ten.lz"), FromHex("01 61 EE F6"));
  ASSERT_EQ(Run("expand '" + P("ten.lz") + "' '" + P("ten.bin") + "'").exitCode, 0);
  EXPECT_EQ(ReadBytes(P("ten.bin")), FromText("aaaaaaaaaa"));
}

TEST_F(CalveraImageTest, NothingIsOverwrittenOnFailure) {
  const Bytes keep = FromText("keep me");
  WriteBytes(P("out.bin"), keep);
  WriteBytes(P("cut.lz"), FromHex("03 41 42 EE"));  // ends inside a reference
  WriteBytes(P("in.bin"), FromText("data"));
  const std::string out = "'" + P("out.bin") + "'";
  const std::string failing[] = {
      "expand '" + P("cut.lz") + "' " + out,
      "compress '" + P("missing.bin") + "' " + out,
      "pack --kind oscore --load-address 0 --entry-offset 0 '" + P("missing.bin") + "' " + out,
      "pack --kind oscore --load-address XYZ --entry-offset 0 '" + P("in.bin") + "' " + out,
  };
  const auto before = Entries();
  for (const auto& args : failing) {
    const Result r = Run(args);
    EXPECT_NE(r.exitCode, 0) << args;
    EXPECT_EQ(ReadBytes(P("out.bin")), keep) << args;
    EXPECT_EQ(Entries(), before) << "no temporary file left: " << args;
  }
  const Result cut = Run("expand '" + P("cut.lz") + "' " + out);
  EXPECT_EQ(cut.exitCode, 1);
  EXPECT_NE(cut.err.find("stream ends inside a reference"), std::string::npos) << cut.err;

  // A successful run replaces the file and leaves no temporary file either.
  ASSERT_EQ(Run("compress '" + P("in.bin") + "' " + out).exitCode, 0);
  EXPECT_EQ(ReadBytes(P("out.bin")), FromHex("0F 64 61 74 61"));
  EXPECT_EQ(Entries(), before);
}

}  // namespace
