// One soak run's fault mix and the outcome the recovery must reach with it.
//
// The predictor follows the recovery's retry rules (30 greetings of the boot monitor, 10 of the
// initial loader and before each further speed command, 4 attempts of every command and bank) over
// the panel's faults, each of which acts on the first N occasions of its command. It decides from
// the mix alone, except for the two cable faults (silence-after, cts-drop-after): those cut the run
// at a byte count, and whether that count lies inside the run is known from a run of the same mix
// without them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_panel.h"

struct SoakMix {
  uint64_t seed = 0;
  size_t coreBytes = 0;
  size_t loaderBytes = 0;
  uint32_t coreFlags = 0;
  bool poweredAtStart = false;
  std::string identification = "QRV50008";
  std::string coreType;  // empty: the target reports none
  std::vector<PanelFault> faults;

  int CoreBanks() const { return static_cast<int>((coreBytes + 65535) / 65536); }
  int LoaderBanks() const { return static_cast<int>((loaderBytes + 65535) / 65536); }
  bool PlainCore() const { return (coreFlags & 0xFFFFu) == 0; }
  bool HasCableFault() const;
  // The mix without silence-after and cts-drop-after.
  SoakMix WithoutCableFaults() const;
  // "noise bad-sum:MID:times=2 ..." in the panel's fault grammar, plus the target's variants.
  std::string Describe() const;
};

// Draws a mix from a run's seed.
SoakMix DrawMix(uint64_t seed);

struct Prediction {
  int result = 0;
  // Whether the panel must have taken a reset: true, false, or not decided (-1) for the cable faults.
  int resetSeen = 0;
};

// The outcome for a mix without cable faults.
Prediction PredictWithoutCable(const SoakMix& mix);

// Name of a fault kind as the grammar writes it.
const char* FaultKindName(PanelFaultKind kind);
std::string FaultText(const PanelFault& fault);
