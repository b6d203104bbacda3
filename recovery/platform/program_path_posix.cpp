#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "program_path.h"

std::string GetProgramPath() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(length));
}

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Name of an entry of `folder` equal to `name` without regard to ASCII case; exact match first.
bool FindEntry(const std::string& folder, const std::string& name, std::string& found) {
  std::string base = folder.empty() ? std::string(".") : folder;
  if (Exists(base + "/" + name)) {
    found = name;
    return true;
  }
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      ok = true;
      break;
    }
  }
  closedir(dir);
  return ok;
}

}  // namespace

bool ResolveBesideProgram(const std::string& folder, const std::string& relative,
                          std::string& resolved) {
  std::string current = folder;
  while (!current.empty() && current.size() > 1 && (current.back() == '/' || current.back() == '\\'))
    current.pop_back();
  std::string plain = current;
  bool ok = true;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find_first_of("\\/", start);
    if (end == std::string::npos) end = relative.size();
    std::string component = relative.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    std::string prefix = (plain.empty() || plain == "/") ? plain : plain + "/";
    plain = prefix + component;
    if (ok) {
      std::string found;
      if (component != "." && component != ".." && FindEntry(current, component, found)) {
        current = ((current.empty() || current == "/") ? current : current + "/") + found;
      } else if (component == "." || component == "..") {
        current = ((current.empty() || current == "/") ? current : current + "/") + component;
      } else {
        ok = false;
      }
    }
  }
  resolved = ok ? current : plain;
  return ok;
}
