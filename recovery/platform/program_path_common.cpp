#include "program_path.h"

std::string ProgramFolderOf(const std::string& programPath) {
  size_t cut = programPath.find_last_of("\\/");
  if (cut == std::string::npos) {
    // A bare "C:name" still has its drive.
    if (programPath.size() >= 2 && programPath[1] == ':') return programPath.substr(0, 2);
    return std::string();
  }
  return programPath.substr(0, cut + 1);
}
