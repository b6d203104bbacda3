// velmora on Win32: the platform behind the portable flow, and the installer's operations in the
// form the rest of the program calls them (no platform argument).
#ifndef VELMORA_INSTALLER_WIN32_H
#define VELMORA_INSTALLER_WIN32_H

#include <windows.h>

#include <string>

#include "installer_flow.h"

namespace velmora {

// Named, initially owned mutex, held for the guard's lifetime. An empty name opens nothing and
// reports ERROR_ALREADY_EXISTS.
class CSingleInstanceGuard : public IInstanceGuard {
 public:
  explicit CSingleInstanceGuard(const std::string& name);
  ~CSingleInstanceGuard() override;
  CSingleInstanceGuard(const CSingleInstanceGuard&) = delete;
  CSingleInstanceGuard& operator=(const CSingleInstanceGuard&) = delete;

  std::uint32_t CreationError() const override { return m_dwCreationError; }

 private:
  HANDLE m_hMutex = nullptr;
  DWORD m_dwCreationError = 0;
};

// Removes the program's folder and the current folder from the DLL search, and loads the
// libraries that are not imported at load time (version.dll, setupapi.dll, shell32.dll,
// shlwapi.dll) by full path from the system folder, so that no DLL planted beside the program
// or in the current folder runs with its rights. Call first thing in main.
void HardenLibraryLoading();

// The program's main routine: returns the process exit code.
int RunInstaller();

HWND FindConsoleWindow();
bool GetModuleFolder(std::string& folder);
bool WaitForDeviceRemoval();
bool IsDevicePresent();
bool IsDriverInstalled();
std::string GetInstalledVersion();
std::string GetFileVersionString(const std::string& path);
bool UninstallDriver();
bool RunDriverSetup(const std::string& path);
// Starts file with parameters through the shell and waits; true when it ended with exit code 0.
bool ShellExecuteAndWait(const std::string& file, const std::string& parameters);
std::string LoadMessageText(unsigned id);
int ShowMessage(unsigned id, unsigned style);

}  // namespace velmora

#endif  // VELMORA_INSTALLER_WIN32_H
