// Where the program lies, and files beside it whose names Windows treats without regard to case.
// One header; program_path_win32.cpp or program_path_posix.cpp is built.
#pragma once

#include <string>

// Full path of the running program's executable file, or empty when the system gives none.
std::string GetProgramPath();

// Folder part of a program path (drive and directories, ending in a separator), or empty when the
// path has no separator. Both '\\' and '/' separate, as the Windows path splitter allows.
std::string ProgramFolderOf(const std::string& programPath);

// Resolves `relative` (components separated by '\\' or '/') below `folder`. On Windows the names
// are joined as given (the file system ignores case). On POSIX hosts each component is matched
// without regard to ASCII case, an exact match first. Returns false when nothing exists there;
// `resolved` receives the full path found (when nothing is found, the plain join).
bool ResolveBesideProgram(const std::string& folder, const std::string& relative,
                          std::string& resolved);
