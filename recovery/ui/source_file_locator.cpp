#include "source_file_locator.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <new>

#include "lorvex.h"

namespace {

constexpr int kResolved = 0;
constexpr int kNoModulePath = -1;
constexpr int kNotSupported = -7;
constexpr int kNotResolved = -8;
constexpr int kLibraryNoMatch = -10;
constexpr int kLibraryUnknownTarget = -11;

#if defined(_WIN32)
constexpr char kPlatformSeparator = '\\';
#else
constexpr char kPlatformSeparator = '/';
#endif

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "SYSTEM" below a '/' folder, under the case the folder really has.
std::string SystemFolderName(const std::string& folder) {
  const char* kName = "SYSTEM";
  std::error_code ec;
  std::filesystem::path dir = folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder);
  if (std::filesystem::exists(dir / kName, ec)) return kName;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return kName;
  for (const auto& entry : it) {
    std::string name = entry.path().filename().string();
    if (name.size() != std::strlen(kName)) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = std::toupper(static_cast<unsigned char>(name[i])) == kName[i];
    }
    if (same && entry.is_directory(ec)) return name;
  }
  return kName;
}

}  // namespace

CSourceFileLocator::CSourceFileLocator() : library_(nullptr) {
  std::memset(programFolder_, 0, sizeof programFolder_);
  std::memset(modulePath_, 0, sizeof modulePath_);
}

CSourceFileLocator::~CSourceFileLocator() { FreeImageLibrary(); }

std::string CSourceFileLocator::FolderOfModulePath(const std::string& modulePath) {
  size_t driveLength = 0;
  if (modulePath.size() >= 2 && modulePath[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(modulePath[0]))) {
    driveLength = 2;
  }
  size_t lastSeparator = std::string::npos;
  for (size_t i = driveLength; i < modulePath.size(); ++i) {
    if (IsSeparator(modulePath[i])) lastSeparator = i;
  }
  if (lastSeparator == std::string::npos) return modulePath.substr(0, driveLength);
  return modulePath.substr(0, lastSeparator + 1);
}

int CSourceFileLocator::InitProgramFolder(const char* modulePath) {
  std::memset(modulePath_, 0, sizeof modulePath_);
  std::memset(programFolder_, 0, sizeof programFolder_);  // a refused path leaves no folder behind
  if (modulePath == nullptr || modulePath[0] == '\0') return kNoModulePath;
  size_t length = std::strlen(modulePath);
  // A cut path would name the wrong folder: refuse it rather than guess.
  if (length >= sizeof modulePath_) return kNoModulePath;
  std::memcpy(modulePath_, modulePath, length + 1);
  std::string folder = FolderOfModulePath(modulePath_);
  std::memset(programFolder_, 0, sizeof programFolder_);
  std::memcpy(programFolder_, folder.c_str(), folder.size() + 1);
  return kResolved;
}

int CSourceFileLocator::InitImageLibrary() {
  if (library_ != nullptr) return kResolved;
  Lorvex* library = new (std::nothrow) Lorvex;
  if (library == nullptr) return kNotResolved;
  if (library->LorvexToolPath(programFolder_) == 0) {
    library_ = library;
    return kResolved;
  }
  // Folder refused: the whole object goes (its tool part, then its project part).
  delete library;
  return kNotResolved;
}

int CSourceFileLocator::FreeImageLibrary() {
  delete library_;
  library_ = nullptr;
  return kResolved;
}

std::string CSourceFileLocator::ImageFolder() const {
  std::string folder = programFolder_;
  char separator = (!folder.empty() && IsSeparator(folder.back())) ? folder.back() : kPlatformSeparator;
  std::string name = separator == '/' ? SystemFolderName(folder) : std::string("SYSTEM");
  return folder + name + separator;
}

int CSourceFileLocator::ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                                          std::string& osCorePath) {
  char identification[kPathBufferSize] = {};
  char name[kPathBufferSize] = {};
  unsigned long lineNumber = 0;
  if (library_ == nullptr) return kNotResolved;

  const std::string imageFolder = ImageFolder();
  initialLoaderPath = imageFolder;
  if (machineId != nullptr) {
    for (size_t i = 0; i < sizeof identification - 1 && machineId[i] != '\0'; ++i) {
      identification[i] = machineId[i];
    }
  }

  int result = library_->LorvexToolILoader(identification, name, &lineNumber);
  if (result == 0) {
    name[sizeof name - 1] = '\0';  // the library promises a terminated name; do not trust it blindly
    initialLoaderPath += name;
    result = library_->LorvexToolOSCore(identification, name, &lineNumber);
    if (result == 0) {
      name[sizeof name - 1] = '\0';
      osCorePath = imageFolder + name;
      return kResolved;
    }
  }
  if (result == kLibraryNoMatch || result == kLibraryUnknownTarget) return kNotSupported;
  return kNotResolved;
}
