// The locator against a scripted library: path building from a Windows module path, the mapping
// of library results onto -7 / -8, which lookups are made, and object ownership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_lorvex.h"
#include "lorvex.h"
#include "source_file_locator.h"

namespace {

class LocatorFake : public ::testing::Test {
 protected:
  void SetUp() override { FakeLorvex() = FakeLorvexScript(); }

  // A locator for D:\A\B\prog.exe with its library in place.
  void Ready(CSourceFileLocator& locator) {
    ASSERT_EQ(0, locator.InitProgramFolder("D:\\A\\B\\prog.exe"));
    ASSERT_EQ(0, locator.InitImageLibrary());
  }
};

TEST_F(LocatorFake, WindowsModulePathGivesFolderAndFullPaths) {
  CSourceFileLocator locator;
  Ready(locator);
  EXPECT_STREQ("D:\\A\\B\\", locator.ProgramFolder());
  EXPECT_STREQ("D:\\A\\B\\prog.exe", locator.ModulePath());
  FakeLorvex().iloaderName = "x.bin";
  FakeLorvex().coreName = "y.bin";
  std::string il, os;
  EXPECT_EQ(0, locator.ResolveImageFiles("QRV5170K", il, os));
  EXPECT_EQ("D:\\A\\B\\SYSTEM\\x.bin", il);
  EXPECT_EQ("D:\\A\\B\\SYSTEM\\y.bin", os);
  const std::vector<std::string> expected = {"path:D:\\A\\B\\", "iloader:QRV5170K", "core:QRV5170K"};
  EXPECT_EQ(expected, FakeLorvex().calls);
  // The number starts at 0, the same one goes to both lookups, and the name buffer is not
  // cleared between them.
  EXPECT_EQ(0u, FakeLorvex().numberAtILoader);
  EXPECT_EQ(FakeLorvex().numberAddressILoader, FakeLorvex().numberAddressCore);
  EXPECT_EQ("x.bin", FakeLorvex().nameBufferAtCore);
}

struct MappingCase {
  const char* label;
  int iloaderResult;
  int coreResult;
  int expected;
  bool coreAsked;
  const char* initialLoaderPath;  // expected afterwards; the OS-core path is untouched on failure
};

TEST_F(LocatorFake, LibraryResultsMapOntoRunResults) {
  const MappingCase cases[] = {
      {"core -11: unsupported, loader path complete", 0, -11, -7, true, "D:\\A\\B\\SYSTEM\\il.bin"},
      {"core -10: unsupported", 0, -10, -7, true, "D:\\A\\B\\SYSTEM\\il.bin"},
      {"core -3: broken", 0, -3, -8, true, "D:\\A\\B\\SYSTEM\\il.bin"},
      {"loader -3: broken, core never asked", -3, 0, -8, false, "D:\\A\\B\\SYSTEM\\"},
      {"loader -10: unsupported", -10, 0, -7, false, "D:\\A\\B\\SYSTEM\\"},
      {"loader -11: unsupported", -11, 0, -7, false, "D:\\A\\B\\SYSTEM\\"},
      {"loader -1: broken", -1, 0, -8, false, "D:\\A\\B\\SYSTEM\\"},
      {"loader positive: broken", 5, 0, -8, false, "D:\\A\\B\\SYSTEM\\"},
      {"core -12: broken", 0, -12, -8, true, "D:\\A\\B\\SYSTEM\\il.bin"},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeLorvex() = FakeLorvexScript();
    FakeLorvex().iloaderResult = c.iloaderResult;
    FakeLorvex().coreResult = c.coreResult;
    CSourceFileLocator locator;
    Ready(locator);
    std::string il = "old il", os = "old os";
    EXPECT_EQ(c.expected, locator.ResolveImageFiles("QRV5170K", il, os));
    EXPECT_EQ(c.initialLoaderPath, il);
    EXPECT_EQ("old os", os);
    EXPECT_EQ(c.coreAsked ? 3u : 2u, FakeLorvex().calls.size());
  }
}

TEST_F(LocatorFake, RefusedFolderDestroysBothPartsAndKeepsNoObject) {
  FakeLorvex().pathResult = 1;
  CSourceFileLocator locator;
  ASSERT_EQ(0, locator.InitProgramFolder("D:\\A\\B\\prog.exe"));
  EXPECT_EQ(-8, locator.InitImageLibrary());
  EXPECT_EQ(nullptr, locator.Library());
  EXPECT_EQ(1, FakeLorvex().constructed);
  EXPECT_EQ(1, FakeLorvex().toolDestroyed);
  EXPECT_EQ(1, FakeLorvex().projectDestroyed);
  std::string il = "old il", os = "old os";
  EXPECT_EQ(-8, locator.ResolveImageFiles("QRV5170K", il, os));
  EXPECT_EQ("old il", il);
  EXPECT_EQ("old os", os);
}

TEST_F(LocatorFake, OneObjectForTwoInitsFreedOnce) {
  {
    CSourceFileLocator locator;
    Ready(locator);
    Lorvex* first = locator.Library();
    EXPECT_EQ(0, locator.InitImageLibrary());
    EXPECT_EQ(first, locator.Library());
    EXPECT_EQ(1, FakeLorvex().constructed);
    EXPECT_EQ(0, locator.FreeImageLibrary());
    EXPECT_EQ(nullptr, locator.Library());
    EXPECT_EQ(0, locator.FreeImageLibrary());
    EXPECT_EQ(1, FakeLorvex().toolDestroyed);
    EXPECT_EQ(0, locator.InitImageLibrary());  // a later init makes a new one
    EXPECT_EQ(2, FakeLorvex().constructed);
  }
  // The locator's destructor frees what is left.
  EXPECT_EQ(2, FakeLorvex().toolDestroyed);
  EXPECT_EQ(2, FakeLorvex().projectDestroyed);
}

TEST_F(LocatorFake, IdentificationIsCutAt259Characters) {
  CSourceFileLocator locator;
  Ready(locator);
  std::string longId(300, 'Q');
  std::string il, os;
  EXPECT_EQ(0, locator.ResolveImageFiles(longId.c_str(), il, os));
  EXPECT_EQ("iloader:" + std::string(259, 'Q'), FakeLorvex().calls[1]);
}

TEST_F(LocatorFake, FailedProgramFolderHandsTheLibraryAnEmptyFolder) {
  CSourceFileLocator locator;
  EXPECT_EQ(-1, locator.InitProgramFolder(""));
  EXPECT_EQ(0, locator.InitImageLibrary());
  EXPECT_EQ("path:", FakeLorvex().calls[0]);
}

}  // namespace
