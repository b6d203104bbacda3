// Test stand-in for the driver setup program Kalvuset.exe (never shipped).
//
// Started as  Kalvuset.exe /s /v"<Windows Installer options>"  it installs Kalvuset.msi from its
// own folder through the system's Windows Installer with those options and ends with the
// Windows Installer's exit code. Beside itself it appends to Kalvuset.log:
//   params=<everything after the program name>
//   installed-before=<yes|no>   (the uninstall entry of the product existed when it started)
// When Kalvuset.exitcode lies beside it, the number in it is returned at once instead.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "installer_flow.h"

namespace {

constexpr int kBadParameters = 87;  // ERROR_INVALID_PARAMETER

std::string OwnFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return velmora::ModuleFolderFromPath(std::string(path, length < MAX_PATH ? length : 0));
}

// The command line after the program name (quoted or not) and the blanks that follow it.
std::string Parameters() {
  const char* line = GetCommandLineA();
  if (*line == '"') {
    ++line;
    while (*line && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

bool ProductInstalled() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, velmora::g_strUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  const bool present = RegQueryValueExA(key, "DisplayVersion", nullptr, nullptr, nullptr, nullptr) ==
                       ERROR_SUCCESS;
  RegCloseKey(key);
  return present;
}

}  // namespace

int main() {
  const std::string folder = OwnFolder();
  const std::string parameters = Parameters();
  if (FILE* log = std::fopen((folder + "Kalvuset.log").c_str(), "ab")) {
    std::fprintf(log, "params=%s\ninstalled-before=%s\n", parameters.c_str(),
                 ProductInstalled() ? "yes" : "no");
    std::fclose(log);
  }

  if (FILE* forced = std::fopen((folder + "Kalvuset.exitcode").c_str(), "rb")) {
    unsigned long code = 0;
    if (std::fscanf(forced, "%lu", &code) != 1) code = 1;
    std::fclose(forced);
    return static_cast<int>(code);
  }

  // /s /v"options"
  const std::string prefix = "/s /v\"";
  if (parameters.compare(0, prefix.size(), prefix) != 0 || parameters.size() < prefix.size() + 1 ||
      parameters.back() != '"') {
    return kBadParameters;
  }
  const std::string options =
      parameters.substr(prefix.size(), parameters.size() - prefix.size() - 1);

  char system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return kBadParameters;
  const std::string msiexec = velmora::MsiexecPathIn(system);
  std::string commandLine =
      "\"" + msiexec + "\" /i \"" + folder + "Kalvuset.msi\" " + options;

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(msiexec.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return static_cast<int>(GetLastError());
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
