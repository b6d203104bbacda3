// Test stand-in for a DLL planted beside velmora.exe (copied there as version.dll, setupapi.dll,
// shlwapi.dll). Any process that loads it notes its own name in "planted-dll-loaded.txt" beside
// the DLL.
#include <windows.h>

#include <cstdio>
#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    std::string marker(path, length < MAX_PATH ? length : 0);
    marker = marker.substr(0, marker.find_last_of("\\/") + 1) + "planted-dll-loaded.txt";
    char process[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, process, MAX_PATH);
    if (FILE* file = std::fopen(marker.c_str(), "ab")) {
      std::fprintf(file, "%s loaded %s\n", process, path);
      std::fclose(file);
    }
  }
  return TRUE;
}
