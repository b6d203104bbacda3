// Finds the program's folder, holds the one image-library object and turns a machine
// identification into the full paths of the initial-loader and OS-core image files.
// Portable: the Windows dialog hands it GetModuleFileNameA's answer, calvera-cli its own path.
//
// Separators. The program folder keeps the drive and directory of the module path exactly as
// given, ending in its last separator ('\' or '/', both are recognised on every platform). The
// image folder below it is written as "SYSTEM" followed by that same separator, so "D:\A\B\" gives
// "D:\A\B\SYSTEM\x.bin" and "/opt/calvera/" gives "/opt/calvera/SYSTEM/x.bin". When the folder is
// empty or ends in a drive only ("D:"), the platform's separator is used ('\' on Windows, '/'
// elsewhere). With '/' paths (POSIX hosts) an existing folder named "system" in another case is
// used under its real name, as the library itself finds it whatever its case.
#pragma once

#include <string>

class Lorvex;

class CSourceFileLocator {
 public:
  static constexpr int kPathBufferSize = 260;

  CSourceFileLocator();
  ~CSourceFileLocator();  // frees the library object
  CSourceFileLocator(const CSourceFileLocator&) = delete;
  CSourceFileLocator& operator=(const CSourceFileLocator&) = delete;

  // Keeps the module path and derives the program folder. -1 when the path is null, empty or
  // longer than 259 characters (the folder then stays empty), otherwise 0.
  int InitProgramFolder(const char* modulePath);
  // Creates the library object and hands it the program folder: 0 (also when an object exists
  // already) or -8 (folder refused; no object is kept).
  int InitImageLibrary();
  // Destroys the library object if there is one; always 0.
  int FreeImageLibrary();
  // 0: both paths set; -7: the library does not support this identification (-10, -11);
  // -8: no library object or any other lookup failure. Without an object neither string changes;
  // after a failed initial-loader lookup `initialLoaderPath` holds the folder and "SYSTEM\";
  // after a failed core lookup it is complete and `osCorePath` is untouched.
  int ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                        std::string& osCorePath);

  const char* ProgramFolder() const { return programFolder_; }
  const char* ModulePath() const { return modulePath_; }
  Lorvex* Library() const { return library_; }

  // The program folder of a module path (drive and directory, ending in the last separator).
  static std::string FolderOfModulePath(const std::string& modulePath);

 private:
  std::string ImageFolder() const;

  char programFolder_[kPathBufferSize];
  char modulePath_[kPathBufferSize];
  Lorvex* library_;
};
