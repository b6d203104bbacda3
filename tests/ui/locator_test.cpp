// The locator with the real library stand-in on real folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lorvex.h"
#include "source_file_locator.h"

namespace fs = std::filesystem;

namespace {

TEST(LocatorFolder, ModulePathSplitting) {
  struct Case {
    const char* modulePath;
    const char* folder;
  };
  const Case cases[] = {
      {"D:\\A\\B\\prog.exe", "D:\\A\\B\\"},
      {"C:\\prog.exe", "C:\\"},
      {"D:prog.exe", "D:"},
      {"prog.exe", ""},
      {"\\\\server\\share\\calvera.exe", "\\\\server\\share\\"},
      {"/opt/calvera/bin/calvera-cli", "/opt/calvera/bin/"},
      {"/calvera-cli", "/"},
      {"./calvera-cli", "./"},
      {"C:/mixed\\dir/prog.exe", "C:/mixed\\dir/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.modulePath);
    CSourceFileLocator locator;
    EXPECT_EQ(0, locator.InitProgramFolder(c.modulePath));
    EXPECT_STREQ(c.folder, locator.ProgramFolder());
    EXPECT_STREQ(c.modulePath, locator.ModulePath());
  }
}

TEST(LocatorFolder, NoUsableModulePath) {
  const std::string tooLong = "/" + std::string(259, 'a');  // 260 characters do not fit
  const char* paths[] = {nullptr, "", tooLong.c_str()};
  for (const char* path : paths) {
    CSourceFileLocator locator;
    EXPECT_EQ(-1, locator.InitProgramFolder(path));
    EXPECT_STREQ("", locator.ProgramFolder());
  }
  const std::string longest = "/" + std::string(258, 'a');  // 259 characters fit
  CSourceFileLocator fits;
  EXPECT_EQ(0, fits.InitProgramFolder(longest.c_str()));
  EXPECT_STREQ("/", fits.ProgramFolder());
}

class LocatorOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("locator_test_") + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    folder_ = (root_ / "").string();
    separator_ = folder_.back();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void WriteTable(const std::string& text, const char* systemName = "SYSTEM") {
    fs::create_directories(root_ / systemName);
    std::ofstream(root_ / systemName / "targets.txt", std::ios::binary) << text;
  }
  int Init(CSourceFileLocator& locator) {
    EXPECT_EQ(0, locator.InitProgramFolder((folder_ + "calvera.exe").c_str()));
    return locator.InitImageLibrary();
  }

  fs::path root_;
  std::string folder_;
  char separator_ = '/';
};

TEST_F(LocatorOnDisk, ResolvesBothPathsBelowSystem) {
  WriteTable("QRV5170K il_a.bin core_a.bin\n* il.bin core.bin\n");
  CSourceFileLocator locator;
  ASSERT_EQ(0, Init(locator));
  EXPECT_EQ(folder_, locator.ProgramFolder());
  std::string il, os;
  EXPECT_EQ(0, locator.ResolveImageFiles("QRV5170K", il, os));
  EXPECT_EQ(folder_ + "SYSTEM" + separator_ + "il_a.bin", il);
  EXPECT_EQ(folder_ + "SYSTEM" + separator_ + "core_a.bin", os);
  EXPECT_EQ(0, locator.ResolveImageFiles("QRV5000K", il, os));
  EXPECT_EQ(folder_ + "SYSTEM" + separator_ + "core.bin", os);
}

TEST_F(LocatorOnDisk, SystemFolderInAnotherCaseGivesPathsThatExist) {
  WriteTable("* il.bin core.bin\n", "system");
  std::ofstream(root_ / "system" / "il.bin") << "x";
  std::ofstream(root_ / "system" / "core.bin") << "x";
  CSourceFileLocator locator;
  ASSERT_EQ(0, Init(locator));
  std::string il, os;
  ASSERT_EQ(0, locator.ResolveImageFiles("QRV5170K", il, os));
  EXPECT_TRUE(fs::exists(il)) << il;
  EXPECT_TRUE(fs::exists(os)) << os;
}

TEST_F(LocatorOnDisk, UnsupportedAndBrokenTargets) {
  WriteTable("QRV5170K il.bin core.bin\nQRV5180K il_only.bin\n");
  CSourceFileLocator locator;
  ASSERT_EQ(0, Init(locator));
  std::string il = "old il", os = "old os";
  EXPECT_EQ(-7, locator.ResolveImageFiles("QRV9999K", il, os));
  EXPECT_EQ(folder_ + "SYSTEM" + separator_, il);
  EXPECT_EQ("old os", os);
  EXPECT_EQ(-8, locator.ResolveImageFiles("QRV5180K", il, os));
  EXPECT_EQ("old os", os);
}

TEST_F(LocatorOnDisk, InitTwiceKeepsOneObject) {
  WriteTable("* il.bin core.bin\n");
  CSourceFileLocator locator;
  ASSERT_EQ(0, Init(locator));
  Lorvex* first = locator.Library();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(0, locator.InitImageLibrary());
  EXPECT_EQ(first, locator.Library());
}

TEST_F(LocatorOnDisk, NoObjectLeavesStringsAlone) {
  struct Case {
    const char* label;
    const char* table;  // null: no SYSTEM folder at all
  };
  const Case cases[] = {{"missing folder", nullptr}, {"bad pattern", "QRV51 a b\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(root_ / "SYSTEM");
    if (c.table != nullptr) WriteTable(c.table);
    CSourceFileLocator locator;
    EXPECT_EQ(-8, Init(locator));
    EXPECT_EQ(nullptr, locator.Library());
    std::string il = "old il", os = "old os";
    EXPECT_EQ(-8, locator.ResolveImageFiles("QRV5170K", il, os));
    EXPECT_EQ("old il", il);
    EXPECT_EQ("old os", os);
  }
}

TEST_F(LocatorOnDisk, FreedLibraryResolvesNothing) {
  WriteTable("* il.bin core.bin\n");
  CSourceFileLocator locator;
  ASSERT_EQ(0, Init(locator));
  EXPECT_EQ(0, locator.FreeImageLibrary());
  EXPECT_EQ(nullptr, locator.Library());
  std::string il, os;
  EXPECT_EQ(-8, locator.ResolveImageFiles("QRV5170K", il, os));
}

}  // namespace
