#include <windows.h>

#include "program_path.h"

std::string GetProgramPath() {
  char buffer[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool ResolveBesideProgram(const std::string& folder, const std::string& relative,
                          std::string& resolved) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '\\' && joined.back() != '/') joined += '\\';
  for (char c : relative) joined += (c == '/') ? '\\' : c;
  resolved = joined;
  return GetFileAttributesA(joined.c_str()) != INVALID_FILE_ATTRIBUTES;
}
