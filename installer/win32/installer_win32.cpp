// Win32 side of velmora: thin adapters between the portable flow and the system.
#include "installer_win32.h"

#include <setupapi.h>
#include <shellapi.h>

#include <cstdio>
#include <new>
#include <vector>

namespace velmora {

namespace {

// Pause that lets a new console title reach the console window.
constexpr DWORD kConsoleTitleSettleMs = 40;
constexpr DWORD kConsoleTitleChars = 1024;
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// Entry point of a loaded library as a typed function pointer (null when absent).
template <class Function>
Function ProcAs(HMODULE module, const char* name) {
  // Through void(*)(): the one function-pointer type that converts to any other without warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string SystemFolder() {
  char buffer[MAX_PATH];
  const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return std::string();
  }
  return std::string(buffer, length);
}

// The system-folder libraries that velmora loads at run time, by full path, with the entry points
// it uses from them.
class SystemLibraries {
 public:
  using GetFileVersionInfoSizeAFn = DWORD(WINAPI*)(LPCSTR, LPDWORD);
  using GetFileVersionInfoAFn = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
  using VerQueryValueAFn = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);
  using SetupDiGetClassDevsAFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
  using SetupDiEnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
  using SetupDiGetDeviceRegistryPropertyAFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD,
                                                            PDWORD, PBYTE, DWORD, PDWORD);
  using SetupDiDestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
  using ShellExecuteExAFn = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
  using PathFileExistsAFn = BOOL(WINAPI*)(LPCSTR);

  static SystemLibraries& Instance() {
    static SystemLibraries libraries;
    return libraries;
  }

  SystemLibraries(const SystemLibraries&) = delete;
  SystemLibraries& operator=(const SystemLibraries&) = delete;

  GetFileVersionInfoSizeAFn getFileVersionInfoSize = nullptr;
  GetFileVersionInfoAFn getFileVersionInfo = nullptr;
  VerQueryValueAFn verQueryValue = nullptr;
  SetupDiGetClassDevsAFn getClassDevs = nullptr;
  SetupDiEnumDeviceInfoFn enumDeviceInfo = nullptr;
  SetupDiGetDeviceRegistryPropertyAFn getDeviceRegistryProperty = nullptr;
  SetupDiDestroyDeviceInfoListFn destroyDeviceInfoList = nullptr;
  ShellExecuteExAFn shellExecuteEx = nullptr;
  PathFileExistsAFn pathFileExists = nullptr;

  bool HasVersionFunctions() const {
    return getFileVersionInfoSize && getFileVersionInfo && verQueryValue;
  }
  bool HasSetupFunctions() const {
    return getClassDevs && enumDeviceInfo && getDeviceRegistryProperty && destroyDeviceInfoList;
  }

 private:
  SystemLibraries() {
    version_ = LoadFromSystemFolder("version.dll");
    setupapi_ = LoadFromSystemFolder("setupapi.dll");
    shell32_ = LoadFromSystemFolder("shell32.dll");
    shlwapi_ = LoadFromSystemFolder("shlwapi.dll");
    if (shell32_) shellExecuteEx = ProcAs<ShellExecuteExAFn>(shell32_, "ShellExecuteExA");
    if (shlwapi_) pathFileExists = ProcAs<PathFileExistsAFn>(shlwapi_, "PathFileExistsA");
    if (version_) {
      getFileVersionInfoSize =
          ProcAs<GetFileVersionInfoSizeAFn>(version_, "GetFileVersionInfoSizeA");
      getFileVersionInfo =
          ProcAs<GetFileVersionInfoAFn>(version_, "GetFileVersionInfoA");
      verQueryValue = ProcAs<VerQueryValueAFn>(version_, "VerQueryValueA");
    }
    if (setupapi_) {
      getClassDevs =
          ProcAs<SetupDiGetClassDevsAFn>(setupapi_, "SetupDiGetClassDevsA");
      enumDeviceInfo =
          ProcAs<SetupDiEnumDeviceInfoFn>(setupapi_, "SetupDiEnumDeviceInfo");
      getDeviceRegistryProperty = ProcAs<SetupDiGetDeviceRegistryPropertyAFn>(setupapi_, "SetupDiGetDeviceRegistryPropertyA");
      destroyDeviceInfoList = ProcAs<SetupDiDestroyDeviceInfoListFn>(setupapi_, "SetupDiDestroyDeviceInfoList");
    }
  }
  ~SystemLibraries() {
    for (HMODULE module : {shlwapi_, shell32_, setupapi_, version_}) {
      if (module) FreeLibrary(module);
    }
  }


  static HMODULE LoadFromSystemFolder(const char* fileName) {
    const std::string folder = SystemFolder();
    if (folder.empty()) {
      return nullptr;
    }
    const std::string path = folder + "\\" + fileName;
    // A full path: the library's own dependencies are searched beside it, in the system folder.
    return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }

  HMODULE version_ = nullptr;
  HMODULE setupapi_ = nullptr;
  HMODULE shell32_ = nullptr;
  HMODULE shlwapi_ = nullptr;
};

// A zero-filled buffer; false when the memory is not there.
bool Allocate(std::vector<BYTE>& buffer, std::size_t size) {
  try {
    buffer.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

class RegistryKey {
 public:
  RegistryKey(HKEY root, const char* path) {
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~RegistryKey() {
    if (key_) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(const SystemLibraries& libs) : libs_(libs) {
    set_ = libs_.getClassDevs(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  }
  ~DeviceInfoSet() {
    if (valid()) libs_.destroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  const SystemLibraries& libs_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

struct ShellStart {
  bool started = false;
  DWORD exitCode = 0;
};

ShellStart StartAndWait(const std::string& file, const std::string& parameters) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = "open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  ShellStart result;
  const SystemLibraries& libs = SystemLibraries::Instance();
  if (!libs.shellExecuteEx || !libs.shellExecuteEx(&info)) {
    return result;
  }
  result.started = true;
  if (info.hProcess) {
    WaitForSingleObject(info.hProcess, INFINITE);
    result.exitCode = 0;
    if (!GetExitCodeProcess(info.hProcess, &result.exitCode)) {
      result.exitCode = 0;
    }
    CloseHandle(info.hProcess);
  }
  return result;
}

class CWin32InstallerPlatform : public IInstallerPlatform {
 public:
  bool StartFramework() override {
    module_ = GetModuleHandleA(nullptr);
    if (!module_) {
      return false;
    }
    caption_ = LoadText(IDS_APP_TITLE);
    if (caption_.empty()) {
      // No title in the resources: the program's file name without its extension.
      char path[MAX_PATH] = {};
      const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
      const std::string modulePath(path, length < MAX_PATH ? length : 0);
      const std::string name = modulePath.substr(ModuleFolderFromPath(modulePath).size());
      caption_ = name.substr(0, name.rfind('.'));
    }
    return true;
  }

  void WriteConsoleBytes(const char* bytes, std::size_t count) override {
    std::fwrite(bytes, 1, count, stdout);
    std::fflush(stdout);
  }

  void HideConsoleWindow() override { ShowWindow(FindConsoleWindow(), SW_HIDE); }

  std::unique_ptr<IInstanceGuard> CreateInstanceGuard(const std::string& name) override {
    return std::make_unique<CSingleInstanceGuard>(name);
  }

  bool GetModuleFolder(std::string& folder) override { return velmora::GetModuleFolder(folder); }

  bool FileExists(const std::string& path) override {
    const SystemLibraries& libs = SystemLibraries::Instance();
    return libs.pathFileExists && libs.pathFileExists(path.c_str()) != FALSE;
  }

  std::string LoadText(unsigned id) override {
    HMODULE module = module_ ? module_ : GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(StringTableBlockId(id)),
                                   MAKEINTRESOURCEA(6) /* RT_STRING */);
    if (!resource) {
      return std::string();
    }
    HGLOBAL loaded = LoadResource(module, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) {
      return std::string();
    }
    const std::u16string text = StringTableEntry(static_cast<const unsigned char*>(data),
                                                 SizeofResource(module, resource), id);
    if (text.empty()) {
      return std::string();
    }
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
      return std::string();
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, wide, units, &narrow[0], bytes, nullptr, nullptr);
    return narrow;
  }

  int ShowMessageBox(const std::string& text, unsigned style) override {
    return MessageBoxA(nullptr, text.c_str(), caption_.c_str(), style);
  }

  void ForEachPresentUsbDevice(const std::function<bool(const std::string&)>& visit) override {
    const SystemLibraries& libs = SystemLibraries::Instance();
    if (!libs.HasSetupFunctions()) {
      return;
    }
    DeviceInfoSet set(libs);
    if (!set.valid()) {
      return;
    }
    SP_DEVINFO_DATA record = {};
    record.cbSize = sizeof(record);
    for (DWORD index = 0; libs.enumDeviceInfo(set.get(), index, &record); ++index) {
      DWORD required = 0;
      libs.getDeviceRegistryProperty(set.get(), &record, SPDRP_DEVICEDESC, nullptr, nullptr, 0,
                                     &required);
      std::vector<BYTE> buffer;
      if (!Allocate(buffer, static_cast<std::size_t>(required) + 1)) {
        return;  // out of memory ends the walk
      }
      DWORD type = 0;
      if (!libs.getDeviceRegistryProperty(set.get(), &record, SPDRP_DEVICEDESC, &type,
                                          buffer.data(), required, nullptr)) {
        continue;  // no readable description: skip the device
      }
      // The extra zero byte ends the text even when the stored value has no NUL.
      const std::string description(reinterpret_cast<const char*>(buffer.data()));
      if (visit(description)) {
        return;
      }
    }
  }

  RegistryValue ReadMachineValue(const std::string& key, const std::string& name) override {
    RegistryValue value;
    RegistryKey opened(HKEY_LOCAL_MACHINE, key.c_str());
    if (!opened.get()) {
      return value;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(opened.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return value;
    }
    value.present = true;
    std::vector<BYTE> buffer;
    if (!Allocate(buffer, size ? size : 1)) {
      return value;
    }
    DWORD read = size;
    if (RegQueryValueExA(opened.get(), name.c_str(), nullptr, &type, buffer.data(), &read) ==
            ERROR_SUCCESS &&
        read <= size) {
      value.read = true;
      value.data.assign(reinterpret_cast<const char*>(buffer.data()), read);
    }
    return value;
  }

  std::string ReadFileVersionText(const std::string& path) override {
    const SystemLibraries& libs = SystemLibraries::Instance();
    if (!libs.HasVersionFunctions()) {
      return std::string();
    }
    DWORD ignored = 0;
    const DWORD size = libs.getFileVersionInfoSize(path.c_str(), &ignored);
    if (size == 0) {
      return std::string();
    }
    std::vector<BYTE> block;
    if (!Allocate(block, size)) {
      return std::string();
    }
    void* translation = nullptr;
    UINT translationLength = 0;
    if (!libs.getFileVersionInfo(path.c_str(), 0, size, block.data()) ||
        !libs.verQueryValue(block.data(), "\\VarFileInfo\\Translation", &translation,
                            &translationLength) ||
        translationLength < 2 * sizeof(WORD) || translation == nullptr) {
      return std::string();
    }
    const WORD* pair = static_cast<const WORD*>(translation);
    const std::string subBlock = StringFileInfoPath(pair[0], pair[1]);
    void* text = nullptr;
    UINT textLength = 0;
    if (!libs.verQueryValue(block.data(), subBlock.c_str(), &text, &textLength) ||
        textLength == 0 || text == nullptr) {
      return std::string();
    }
    // The length counts characters; keep inside the block whatever it says.
    const char* begin = static_cast<const char*>(text);
    const char* blockEnd = reinterpret_cast<const char*>(block.data()) + block.size();
    std::size_t limit = textLength;
    if (begin + limit > blockEnd) {
      limit = static_cast<std::size_t>(blockEnd - begin);
    }
    std::size_t length = 0;
    while (length < limit && begin[length] != '\0') {
      ++length;
    }
    return std::string(begin, length);
  }

  std::string GetSystemFolder() override { return SystemFolder(); }

  ProcessResult RunAndWait(const std::string& file, const std::string& parameters) override {
    const ShellStart start = StartAndWait(file, parameters);
    ProcessResult result;
    result.started = start.started;
    result.exitCode = start.exitCode;
    return result;
  }

 private:
  HMODULE module_ = nullptr;
  std::string caption_;
};

CWin32InstallerPlatform& Platform() {
  static CWin32InstallerPlatform platform;
  return platform;
}

}  // namespace

CSingleInstanceGuard::CSingleInstanceGuard(const std::string& name) {
  if (name.empty()) {
    m_dwCreationError = ERROR_ALREADY_EXISTS;
    return;
  }
  m_hMutex = CreateMutexA(nullptr, TRUE, name.c_str());
  m_dwCreationError = GetLastError();
}

CSingleInstanceGuard::~CSingleInstanceGuard() {
  if (m_hMutex) {
    ReleaseMutex(m_hMutex);  // fails quietly when another process owns it
    CloseHandle(m_hMutex);
  }
}

void HardenLibraryLoading() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto setDefault =
      kernel ? ProcAs<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories") : nullptr;
  if (!setDefault || !setDefault(kLoadLibrarySearchSystem32)) {
    // Older systems without the update: at least drop the current folder from the search.
    SetDllDirectoryA("");
  }
  SystemLibraries::Instance();
}

int RunInstaller() { return RunInstallerFlow(Platform()); }

HWND FindConsoleWindow() {
  char savedTitle[kConsoleTitleChars] = {};
  char probeTitle[kConsoleTitleChars] = {};
  GetConsoleTitleA(savedTitle, kConsoleTitleChars);
  wsprintfA(probeTitle, "%d/%d", static_cast<int>(GetTickCount()),
            static_cast<int>(GetCurrentProcessId()));
  SetConsoleTitleA(probeTitle);
  Sleep(kConsoleTitleSettleMs);
  HWND window = FindWindowA(nullptr, probeTitle);
  SetConsoleTitleA(savedTitle);
  return window;
}

bool GetModuleFolder(std::string& folder) {
  // Grows past MAX_PATH so that a long path is never cut off in the middle.
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return false;
    }
    if (length < path.size()) {
      folder = ModuleFolderFromPath(std::string(path.data(), length));
      return true;
    }
    if (path.size() >= 32768) {
      return false;
    }
    path.resize(path.size() * 2);
  }
}

bool WaitForDeviceRemoval() { return WaitForDeviceRemoval(Platform()); }
bool IsDevicePresent() { return IsDevicePresent(Platform()); }
bool IsDriverInstalled() { return IsDriverInstalled(Platform()); }
std::string GetInstalledVersion() { return GetInstalledVersion(Platform()); }
std::string GetFileVersionString(const std::string& path) {
  return GetFileVersionString(Platform(), path);
}
bool UninstallDriver() { return UninstallDriver(Platform()); }
bool RunDriverSetup(const std::string& path) { return RunDriverSetup(Platform(), path); }

bool ShellExecuteAndWait(const std::string& file, const std::string& parameters) {
  const ShellStart start = StartAndWait(file, parameters);
  return start.started && start.exitCode == 0;
}

std::string LoadMessageText(unsigned id) { return LoadMessageText(Platform(), id); }
int ShowMessage(unsigned id, unsigned style) { return ShowMessage(Platform(), id, style); }

}  // namespace velmora
