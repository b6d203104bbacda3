#include "fake_lorvex.h"

#include <cstring>

#include "lorvex.h"

FakeLorvexScript& FakeLorvex() {
  static FakeLorvexScript script;
  return script;
}

LorvexProject::LorvexProject() : version_(0) {}
LorvexProject::~LorvexProject() { ++FakeLorvex().projectDestroyed; }
int LorvexProject::LorvexProjectVersion() const { return version_; }

LorvexTool::LorvexTool() : table_(nullptr) {}
LorvexTool::~LorvexTool() { ++FakeLorvex().toolDestroyed; }

int LorvexTool::LorvexToolPath(char* folder) {
  FakeLorvex().calls.push_back(std::string("path:") + folder);
  return FakeLorvex().pathResult;
}

int LorvexTool::LorvexToolILoader(char* identification, char* name260, unsigned long* number) {
  FakeLorvexScript& s = FakeLorvex();
  s.calls.push_back(std::string("iloader:") + identification);
  s.numberAtILoader = *number;
  s.numberAddressILoader = number;
  if (s.iloaderResult == 0) std::strcpy(name260, s.iloaderName.c_str());
  *number = 7;
  return s.iloaderResult;
}

int LorvexTool::LorvexToolOSCore(char* identification, char* name260, unsigned long* number) {
  FakeLorvexScript& s = FakeLorvex();
  s.calls.push_back(std::string("core:") + identification);
  s.numberAddressCore = number;
  s.nameBufferAtCore = name260;
  if (s.coreResult == 0) std::strcpy(name260, s.coreName.c_str());
  return s.coreResult;
}

Lorvex::Lorvex() { ++FakeLorvex().constructed; }
Lorvex::~Lorvex() = default;
