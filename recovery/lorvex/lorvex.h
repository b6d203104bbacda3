// Lorvex: the image-file library that tells the recovery tool which initial-loader and
// operating-system core files fit a target.
//
// A tool folder holds SYSTEM\targets.txt (on POSIX hosts the folder "SYSTEM" and the file
// "targets.txt" are found whatever their case). One target per line:
//
//     PATTERN  ILOADER-FILE  OSCORE-FILE
//
//  - Blank lines and lines whose first non-blank character is '#' are ignored.
//  - Fields are separated by blanks or tabs; file names therefore contain no blanks.
//  - PATTERN is either 8 characters, where '?' matches any one character of the target's
//    identification and every other character matches only itself (case counts), or a single '*'
//    that matches any identification. A '*' inside an 8-character pattern is not allowed.
//  - The first matching line wins.
//  - File names are relative to SYSTEM\ and are returned exactly as written.
//
// LorvexToolPath(folder) reads the table once: 0 when the file was found and every line's pattern
// is well formed; otherwise the object keeps no table and every lookup fails.
// Lookups (LorvexToolILoader, LorvexToolOSCore):
//      0  found: the name buffer holds the terminated file name; *lineNumber = its line (1-based)
//    -10  no line matches the identification
//     -3  the matching line is malformed (not exactly three fields) or a name in it is longer
//         than 259 characters or holds a NUL byte
//     -1  no table: LorvexToolPath has not succeeded
//     -2  a null argument
// On any failure the name buffer and *lineNumber are left as they were.
#pragma once

#if defined(_WIN32) && defined(LORVEX_SHARED)
#if defined(LORVEX_BUILDING)
#define LORVEX_API __declspec(dllexport)
#else
#define LORVEX_API __declspec(dllimport)
#endif
#else
#define LORVEX_API
#endif

// Results of the lookups.
constexpr int kLorvexOk = 0;
constexpr int kLorvexNoTable = -1;
constexpr int kLorvexBadArgument = -2;
constexpr int kLorvexMalformed = -3;
constexpr int kLorvexNoMatch = -10;
// Size of the caller's name buffer, terminator included.
constexpr int kLorvexNameBufferSize = 260;

// The library's identity part.
class LORVEX_API LorvexProject {
 public:
  LorvexProject();
  ~LorvexProject();
  LorvexProject(const LorvexProject&) = delete;
  LorvexProject& operator=(const LorvexProject&) = delete;

  // Version of the library as major * 100 + minor.
  int LorvexProjectVersion() const;

 private:
  int version_;
};

struct LorvexTargetTable;

// The lookup part. The table lives inside the library (opaque to callers), so objects can be
// created in one module and used through the DLL's exported members.
class LORVEX_API LorvexTool {
 public:
  LorvexTool();
  ~LorvexTool();
  LorvexTool(const LorvexTool&) = delete;
  LorvexTool& operator=(const LorvexTool&) = delete;

  int LorvexToolPath(char* folder);
  int LorvexToolILoader(char* identification, char* name260, unsigned long* lineNumber);
  int LorvexToolOSCore(char* identification, char* name260, unsigned long* lineNumber);

 private:
  int Lookup(const char* identification, int field, char* name260, unsigned long* lineNumber);
  LorvexTargetTable* table_;
};

class LORVEX_API Lorvex : public LorvexProject, public LorvexTool {
 public:
  Lorvex();
  ~Lorvex();
};
