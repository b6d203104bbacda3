// Reads the compiled resources of velmora.exe back (string tables as UTF-16 in both languages,
// manifest, version block) and the version text of the Kalvuset.exe stand-in.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer_flow.h"
#include "installer_win32.h"
#include "velmora_version.h"

namespace {

constexpr WORD kEnglish = 0x0409;
constexpr WORD kJapanese = 0x0411;

std::string TestFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return velmora::ModuleFolderFromPath(path);
}

std::string VelmoraPath() { return TestFolder() + VELMORA_EXE_FROM_TESTS; }
std::string KalvusetPath() { return TestFolder() + "Kalvuset.exe"; }

class VelmoraResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(VelmoraPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << VelmoraPath();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  // The bytes of one resource in one language; empty when absent.
  std::vector<unsigned char> Resource(LPCSTR type, LPCSTR name, WORD language) const {
    HRSRC found = FindResourceExA(module_, type, name, language);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const auto* data = static_cast<const unsigned char*>(LockResource(loaded));
    return std::vector<unsigned char>(data, data + SizeofResource(module_, found));
  }

  std::u16string Text(unsigned id, WORD language) const {
    const std::vector<unsigned char> block =
        Resource(MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(velmora::StringTableBlockId(id)), language);
    return velmora::StringTableEntry(block.data(), block.size(), id);
  }

  HMODULE module_ = nullptr;
};

struct Entry {
  unsigned id;
  const char16_t* english;
  const char16_t* japanese;
};

const Entry kCatalogue[] = {
    {102,
     u"Cannot execute this installer since our installer is being executed.\nExecute the installer "
     u"again after the current installer process is completed.",
     u"弊社製品のインストーラが実行されているため、このインストーラを継続できません。\n"
     u"インストーラが終了後、再度実行してください。"},
    {103, u"USB Quillfer Driver - Installation", u"USB Quillfer Driver - Installation"},
    {104, u"", u""},
    {105, u"Unable to install driver.", u"ドライバーのアンインストールに失敗しました。"},
    {106, u"The USB cable is connected, please disconnect to continue installation.",
     u"USBケーブルが接続されています。\nUSBケーブルを取り外してからインストールを続行してください。"},
    {107, u"Driver installation aborted.", u"ドライバーのインストールが中止されました。"},
    {108, u"Driver is already installed.\nDo you want to update or reinstall?",
     u"ドライバーは既にインストールされています。\nドライバーの更新、または再インストールを行いますか?"},
    {109, u"Unable to install driver.", u"ドライバー のインストールに失敗しました。"},
    {110, u"Driver installation complete.\nPlease restart your PC and connect USB cable.",
     u"ドライバーのインストールが完了しました。\nPCを再起動後、USBケーブルを接続してください。"},
    {111, u"Driver installation file not found.\nUnable to start installation.",
     u"ドライバーのファイルが無いため、インストールを開始できません。"},
    {112, u"Remove the unit before installing driver.",
     u"ドライバーをインストールする前に、USBケーブルを取り外してください。"},
    {113, u"A newer version has already been installed.",
     u"より新しいバージョンが既にインストールされています。"},
    {57344, u"USB Quillfer Driver - Installation", u"USB Quillfer Driver - Installation"},
};

TEST_F(VelmoraResources, StringTablesInBothLanguages) {
  for (const Entry& entry : kCatalogue) {
    EXPECT_EQ(Text(entry.id, kEnglish), entry.english) << "English " << entry.id;
    EXPECT_EQ(Text(entry.id, kJapanese), entry.japanese) << "Japanese " << entry.id;
  }
  // Line feeds only, never carriage returns.
  for (WORD language : {kEnglish, kJapanese}) {
    for (const Entry& entry : kCatalogue) {
      EXPECT_EQ(Text(entry.id, language).find(u'\r'), std::u16string::npos) << entry.id;
    }
  }
}

TEST_F(VelmoraResources, Manifest) {
  const std::vector<unsigned char> bytes = Resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), kEnglish);
  ASSERT_FALSE(bytes.empty());
  const std::string manifest(bytes.begin(), bytes.end());
  for (const char* needle :
       {"xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"",
        "<assemblyIdentity version=\"1.0.0.0\" processorArchitecture=\"X86\" name=\"Velmora\" "
        "type=\"win32\"/>",
        "<description>Velmora</description>", "xmlns=\"urn:schemas-microsoft-com:asm.v3\"",
        "<requestedExecutionLevel level=\"requireAdministrator\"/>",
        "xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"",
        "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",
        "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>"}) {
    EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
  }
}

BOOL CALLBACK NoteIcon(HMODULE, LPCSTR, LPSTR, LONG_PTR found) {
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

TEST_F(VelmoraResources, NoIcon) {
  bool any = false;
  EnumResourceNamesA(module_, MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, NoteIcon,
                     reinterpret_cast<LONG_PTR>(&any));
  EXPECT_FALSE(any);
}

std::wstring Widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

TEST(VelmoraVersionBlock, BothStringBlocksAndTranslation) {
  const std::wstring path = Widen(VelmoraPath());
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 4u);
  EXPECT_EQ(fixed->dwFileType, 1u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);  // one pair
  EXPECT_EQ(translation[0], 0x0411);
  EXPECT_EQ(translation[1], 0x04b0);

  const std::wstring version = Widen(VELMORA_VERSION_TEXT);
  const std::pair<const wchar_t*, std::wstring> values[] = {
      {L"FileDescription", L"Install USB Quillfer Driver"},
      {L"FileVersion", version},
      {L"InternalName", L"Velmora"},
      {L"OriginalFilename", L"velmora.exe"},
      {L"ProductName", L"Velmora"},
      {L"ProductVersion", version},
  };
  for (const wchar_t* blockName : {L"000004b0", L"041104b0"}) {
    for (const auto& value : values) {
      const std::wstring query = std::wstring(L"\\StringFileInfo\\") + blockName + L"\\" + value.first;
      wchar_t* text = nullptr;
      ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
          << std::string(query.begin(), query.end());
      EXPECT_EQ(std::wstring(text), value.second) << std::string(query.begin(), query.end());
    }
  }
  EXPECT_EQ(std::string(VELMORA_VERSION_TEXT), "1.00.000");
}

TEST(VelmoraVersionTexts, ReadBackThroughTheInstallersOwnReader) {
  EXPECT_EQ(velmora::GetFileVersionString(VelmoraPath()), VELMORA_VERSION_TEXT);
  // The stand-in's FileVersion has blanks around it; the reader drops them.
  EXPECT_EQ(velmora::GetFileVersionString(KalvusetPath()), VELMORA_TEST_PACKAGE_VERSION);
  EXPECT_EQ(velmora::GetFileVersionString(TestFolder() + "no-such-file.exe"), "");
}

}  // namespace
