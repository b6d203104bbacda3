// A scripted image library for the locator's tests: same classes as lorvex.h, linked instead of
// the real library, so that answers the real table never gives (-11, odd codes) can be played and
// the calls observed.
#pragma once

#include <string>
#include <vector>

struct FakeLorvexScript {
  int pathResult = 0;
  int iloaderResult = 0;
  int coreResult = 0;
  std::string iloaderName = "il.bin";
  std::string coreName = "core.bin";

  // Observations.
  int constructed = 0;
  int toolDestroyed = 0;
  int projectDestroyed = 0;
  std::vector<std::string> calls;  // "path:<folder>", "iloader:<id>", "core:<id>"
  unsigned long numberAtILoader = 99;
  const unsigned long* numberAddressILoader = nullptr;
  const unsigned long* numberAddressCore = nullptr;
  std::string nameBufferAtCore;  // what the name buffer held when the core lookup began
};

FakeLorvexScript& FakeLorvex();
