// The image-library stand-in: table rule, matching order, errors and folder lookup.
#include "lorvex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TempFolder {
 public:
  TempFolder() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("lorvex_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             std::to_string(++counter));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  // The folder as the program hands it over: ending in a separator.
  std::string Folder() const { return (path_ / "").string(); }
  void Write(const std::string& relative, const std::string& text) const {
    fs::path file = path_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Answer {
  int result;
  std::string name;
  unsigned long line;
};

Answer Ask(Lorvex& library, const char* id, bool core) {
  char ident[260] = {};
  std::strncpy(ident, id, sizeof ident - 1);
  char name[260];
  std::memset(name, 'Z', sizeof name);
  name[259] = '\0';
  unsigned long line = 12345;
  int result = core ? library.LorvexToolOSCore(ident, name, &line) : library.LorvexToolILoader(ident, name, &line);
  return Answer{result, name, line};
}

const char* kTable =
    "# targets of the panel family\r\n"
    "\r\n"
    "   # an indented comment\n"
    "QRV5170K  il_5170.bin  core_5170.bin\n"
    "QRV5??0K\til_50.bin\tcore_50.bin\n"
    "QRV5180K  il_second.bin core_second.bin\n"
    "qrv51x0k  lower_il.bin lower_core.bin\n"
    "*         il_any.bin   core_any.bin\n";

struct MatchCase {
  const char* id;
  const char* iloader;
  const char* core;
  unsigned long line;
};

TEST(LorvexTable, FirstMatchingLineWinsWildcardsAndCase) {
  TempFolder dir;
  dir.Write("SYSTEM/targets.txt", kTable);
  Lorvex library;
  std::string folder = dir.Folder();
  ASSERT_EQ(0, library.LorvexToolPath(folder.data()));

  const MatchCase cases[] = {
      {"QRV5170K", "il_5170.bin", "core_5170.bin", 4},   // exact line before the wildcard
      {"QRV5180K", "il_50.bin", "core_50.bin", 5},       // '?' line comes first, later exact loses
      {"QRV5990K", "il_50.bin", "core_50.bin", 5},
      {"qrv51x0k", "lower_il.bin", "lower_core.bin", 7}, // case counts in patterns
      {"QRV5170k", "il_any.bin", "core_any.bin", 8},     // differs in case only: falls to '*'
      {"QRV5170", "il_any.bin", "core_any.bin", 8},      // 7 characters: only '*' matches
      {"", "il_any.bin", "core_any.bin", 8},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.id);
    Answer il = Ask(library, c.id, false);
    Answer core = Ask(library, c.id, true);
    EXPECT_EQ(0, il.result);
    EXPECT_EQ(c.iloader, il.name);
    EXPECT_EQ(c.line, il.line);
    EXPECT_EQ(0, core.result);
    EXPECT_EQ(c.core, core.name);
  }
}

struct ErrorCase {
  const char* label;
  std::string table;
  const char* id;
  int expected;
};

TEST(LorvexTable, LookupErrors) {
  const std::string name259(259, 'n');
  const std::string name260(260, 'n');
  const ErrorCase cases[] = {
      {"no line matches", "QRV5170K a b\n", "QRV5171K", -10},
      {"empty table", "# nothing\n\n", "QRV5170K", -10},
      {"matching line lacks the core", "QRV5170K il.bin\n", "QRV5170K", -3},
      {"matching line has a fourth field", "QRV5170K il.bin core.bin extra\n", "QRV5170K", -3},
      {"matching pattern alone", "QRV5170K\n", "QRV5170K", -3},
      {"malformed line that does not match is skipped", "QRV1111K il.bin\nQRV5170K a b\n", "QRV5170K", 0},
      {"malformed line before a match stops it", "*\nQRV5170K a b\n", "QRV5170K", -3},
      {"iloader name of 260", "QRV5170K " + name260 + " core.bin\n", "QRV5170K", -3},
      {"core name of 260", "QRV5170K il.bin " + name260 + "\n", "QRV5170K", -3},
      {"names of 259 fit", "QRV5170K " + name259 + " " + name259 + "\n", "QRV5170K", 0},
      // Found by fuzzing: the name was cut at the NUL and reported as found.
      {"iloader name holding a NUL", std::string("QRV5170K \0\0L_A.bin core.bin\n", 28), "QRV5170K", -3},
      {"core name holding a NUL", std::string("QRV5170K il.bin co\0re.bin\n", 26), "QRV5170K", -3},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder dir;
    dir.Write("SYSTEM/targets.txt", c.table);
    Lorvex library;
    std::string folder = dir.Folder();
    ASSERT_EQ(0, library.LorvexToolPath(folder.data()));
    Answer il = Ask(library, c.id, false);
    Answer core = Ask(library, c.id, true);
    EXPECT_EQ(c.expected, il.result);
    EXPECT_EQ(c.expected, core.result);
    if (c.expected != 0) {
      // A failed lookup leaves the caller's buffer and number alone.
      EXPECT_EQ(std::string(259, 'Z'), il.name);
      EXPECT_EQ(12345u, il.line);
    }
  }
}

TEST(LorvexTable, FolderRefused) {
  struct Case {
    const char* label;
    const char* file;  // relative file to write, or null
    const char* text;
  };
  const Case cases[] = {
      {"no SYSTEM folder", nullptr, ""},
      {"no targets.txt", "SYSTEM/other.txt", "QRV5170K a b\n"},
      {"pattern of 7", "SYSTEM/targets.txt", "QRV517K a b\n"},
      {"pattern of 9", "SYSTEM/targets.txt", "QRV51700K a b\n"},
      {"star inside a pattern", "SYSTEM/targets.txt", "QRV5*70K a b\n"},
      {"two stars", "SYSTEM/targets.txt", "** a b\n"},
      {"bad pattern after good lines", "SYSTEM/targets.txt", "QRV5170K a b\nX a b\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder dir;
    if (c.file != nullptr) dir.Write(c.file, c.text);
    Lorvex library;
    std::string folder = dir.Folder();
    EXPECT_NE(0, library.LorvexToolPath(folder.data()));
    EXPECT_EQ(-1, Ask(library, "QRV5170K", false).result);  // no table: not "unsupported"
    EXPECT_EQ(-1, Ask(library, "QRV5170K", true).result);
  }
}

TEST(LorvexTable, RefusedFolderDropsEarlierTable) {
  TempFolder good;
  good.Write("SYSTEM/targets.txt", "* a b\n");
  TempFolder empty;
  Lorvex library;
  std::string goodFolder = good.Folder();
  std::string emptyFolder = empty.Folder();
  ASSERT_EQ(0, library.LorvexToolPath(goodFolder.data()));
  EXPECT_EQ(0, Ask(library, "QRV5170K", false).result);
  EXPECT_NE(0, library.LorvexToolPath(emptyFolder.data()));
  EXPECT_EQ(-1, Ask(library, "QRV5170K", false).result);
}

TEST(LorvexTable, FolderAndFileFoundWhateverTheirCase) {
  const char* layouts[] = {"system/targets.txt", "System/TARGETS.TXT", "SYSTEM/Targets.Txt"};
  for (const char* layout : layouts) {
    SCOPED_TRACE(layout);
    TempFolder dir;
    dir.Write(layout, "* il.bin core.bin\n");
    Lorvex library;
    std::string folder = dir.Folder();
    ASSERT_EQ(0, library.LorvexToolPath(folder.data()));
    EXPECT_EQ("core.bin", Ask(library, "QRV5170K", true).name);
  }
}

TEST(LorvexTable, FolderWithoutTrailingSeparator) {
  TempFolder dir;
  dir.Write("SYSTEM/targets.txt", "* il.bin core.bin\n");
  Lorvex library;
  std::string folder = dir.path().string();
  EXPECT_EQ(0, library.LorvexToolPath(folder.data()));
}

TEST(LorvexTable, NullArguments) {
  TempFolder dir;
  dir.Write("SYSTEM/targets.txt", "* il.bin core.bin\n");
  Lorvex library;
  EXPECT_EQ(-2, library.LorvexToolPath(nullptr));
  std::string folder = dir.Folder();
  ASSERT_EQ(0, library.LorvexToolPath(folder.data()));
  char id[] = "QRV5170K";
  char name[260];
  unsigned long line = 0;
  EXPECT_EQ(-2, library.LorvexToolILoader(nullptr, name, &line));
  EXPECT_EQ(-2, library.LorvexToolILoader(id, nullptr, &line));
  EXPECT_EQ(-2, library.LorvexToolOSCore(id, name, nullptr));
}

TEST(LorvexTable, ObjectIsMadeOfBothParts) {
  Lorvex library;
  LorvexProject& project = library;
  LorvexTool& tool = library;
  EXPECT_EQ(100, project.LorvexProjectVersion());
  char id[] = "QRV5170K";
  char name[260];
  unsigned long line = 0;
  EXPECT_EQ(-1, tool.LorvexToolILoader(id, name, &line));
}

}  // namespace
