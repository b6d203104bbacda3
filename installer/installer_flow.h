// velmora: the installer flow and its rules, in portable C++.
//
// Everything the flow needs from Windows is reached through IInstallerPlatform, so the order of
// checks, the messages, the version rule and the command lines are the same code on every build.
// The Win32 program (installer/win32) supplies the platform and the no-argument operations
// (IsDevicePresent(), RunInstaller(), ...) on top of this file.
#ifndef VELMORA_INSTALLER_FLOW_H
#define VELMORA_INSTALLER_FLOW_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "resource_ids.h"

#define VELMORA_PRODUCT_CODE "{6B1E94F0-27C3-4A5D-9E08-C3D2F1A7B654}"

namespace velmora {

// Installer constants.
inline constexpr char g_strSetupFileName[] = "Kalvuset.exe";
inline constexpr char g_strProductCode[] = VELMORA_PRODUCT_CODE;
inline constexpr char g_strUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" VELMORA_PRODUCT_CODE;
inline constexpr char g_strLinkCableDesc[] = "USB Link Cable (RQ5-LNKCA-07)";
inline constexpr char g_strDeviceDesc[] = "Tesmark Tervik-Series USB Device";

// Registry value of the uninstall entry that tells an installed package.
inline constexpr char kDisplayVersionValue[] = "DisplayVersion";

// Parameters of the setup program: /s /v"/qb! LAUNCH=Enable STATE=Inst IS_REBOOTED=1" (50 chars).
inline constexpr char kSetupParameters[] = "/s /v\"/qb! LAUNCH=Enable STATE=Inst IS_REBOOTED=1\"";
// Windows Installer program, always taken from the system folder.
inline constexpr char kMsiexecFileName[] = "msiexec.exe";

// Message-box styles and answers (the Win32 values).
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbIconHand = 0x10;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

inline constexpr std::uint32_t kErrorAlreadyExists = 183;

// Exit codes of the program.
inline constexpr int kExitInstalled = 0;
inline constexpr int kExitNotInstalled = 1;

// Console line written when the start-up fails: Japanese text in code page 932, byte for byte.
extern const char kFrameworkFailureText[];
extern const std::size_t kFrameworkFailureTextLength;

// One value read from HKEY_LOCAL_MACHINE.
struct RegistryValue {
  bool present = false;  // the key opened and the size query for the value succeeded
  bool read = false;     // the data were read as well
  std::string data;      // the bytes read (may hold NULs; exactly the count the read returned)
};

// A started program and its end.
struct ProcessResult {
  bool started = false;         // the shell started it (or satisfied the request)
  std::uint32_t exitCode = 0;   // 0 when no process handle came back
};

// The single-instance mutex, held for as long as the object lives.
class IInstanceGuard {
 public:
  virtual ~IInstanceGuard() = default;
  // The error code taken right after the mutex was created (183: the name already existed).
  virtual std::uint32_t CreationError() const = 0;
};

// What the flow needs from the machine. The Win32 implementation lives in installer/win32.
class IInstallerPlatform {
 public:
  virtual ~IInstallerPlatform() = default;

  // Makes the string resources reachable and loads the message-box caption.
  virtual bool StartFramework() = 0;
  // Writes bytes unchanged to standard output.
  virtual void WriteConsoleBytes(const char* bytes, std::size_t count) = 0;
  // Finds the console window the process is attached to and hides it (nothing when none).
  virtual void HideConsoleWindow() = 0;
  virtual std::unique_ptr<IInstanceGuard> CreateInstanceGuard(const std::string& name) = 0;
  // Folder of the running program, ending in a separator; false (folder untouched) when unknown.
  virtual bool GetModuleFolder(std::string& folder) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // String-table entry in the user's display language; empty when absent.
  virtual std::string LoadText(unsigned id) = 0;
  // Message box with the application caption and no owner; returns the button id.
  virtual int ShowMessageBox(const std::string& text, unsigned style) = 0;
  // Walks the present devices of the USB enumerator in order and hands every readable device
  // description to visit; stops as soon as visit returns true.
  virtual void ForEachPresentUsbDevice(const std::function<bool(const std::string&)>& visit) = 0;
  virtual RegistryValue ReadMachineValue(const std::string& key, const std::string& name) = 0;
  // "FileVersion" text of the first translation of the file's version resource, unchanged;
  // empty when the file has none.
  virtual std::string ReadFileVersionText(const std::string& path) = 0;
  // The system folder (without a trailing separator); empty when it cannot be read.
  virtual std::string GetSystemFolder() = 0;
  // Starts the program through the shell ("open", shown normally) and waits without a limit.
  virtual ProcessResult RunAndWait(const std::string& file, const std::string& parameters) = 0;
};

// The flow; returns the process exit code (0 after a completed installation, else 1).
int RunInstallerFlow(IInstallerPlatform& platform);

// Asks message 106 for as long as a device stays plugged in and the user presses OK.
bool WaitForDeviceRemoval(IInstallerPlatform& platform);

bool IsDevicePresent(IInstallerPlatform& platform);
bool IsDriverInstalled(IInstallerPlatform& platform);
std::string GetInstalledVersion(IInstallerPlatform& platform);
std::string GetFileVersionString(IInstallerPlatform& platform, const std::string& path);
bool UninstallDriver(IInstallerPlatform& platform);
bool RunDriverSetup(IInstallerPlatform& platform, const std::string& path);
std::string LoadMessageText(IInstallerPlatform& platform, unsigned id);
int ShowMessage(IInstallerPlatform& platform, unsigned id, unsigned style);

// The version rule: true when candidate is not older than installed.
bool IsVersionNotOlder(const std::string& candidate, const std::string& installed);
// atoi-like conversion of one version field (white space, sign, digits; saturates at 32 bits).
std::int32_t VersionFieldNumber(const std::string& field);
// Removes leading and trailing " \t\n\v\f\r".
std::string TrimVersionText(const std::string& text);

// Folder part of a module path: everything up to and including the last '\' or '/';
// empty when the path has neither.
std::string ModuleFolderFromPath(const std::string& modulePath);
// "%s\%s" of the folder and the setup file name (the doubled backslash is kept).
std::string BuildSetupPath(const std::string& folder);
// "/x <product code> /qb! STATE=Remove".
std::string MakeUninstallParameters();
// Full path of the Windows Installer in the given system folder; empty when the folder is empty.
std::string MsiexecPathIn(const std::string& systemFolder);
// "\StringFileInfo\llllcccc\FileVersion" for one translation pair.
std::string StringFileInfoPath(std::uint16_t language, std::uint16_t codePage);

// Entry `id` of a string-table block as stored in a resource (sixteen strings, each a
// little-endian 16-bit length followed by that many UTF-16 units). Empty when the block is too
// short or the entry has length 0.
std::u16string StringTableEntry(const unsigned char* block, std::size_t bytes, unsigned id);
// Resource name of the block that holds `id`.
inline unsigned StringTableBlockId(unsigned id) { return id / 16 + 1; }

}  // namespace velmora

#endif  // VELMORA_INSTALLER_FLOW_H
