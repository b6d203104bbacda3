// What the dialog needs from the link it works on: a port factory, and word of the prompts
// (the test build switches its virtual panel's power by them; the real program ignores them).
// port_factory_win32.cpp (calvera.exe) or port_factory_sim.cpp (calvera-sim.exe) is linked.
#pragma once

#include <memory>

#include "serial_port.h"

enum class PromptKind { kPowerOff, kConnect };

class IRecoveryRig {
 public:
  virtual ~IRecoveryRig() = default;
  virtual ISerialPortFactory* Factory() = 0;
  // A prompt is about to be created / its window has appeared / it has ended.
  virtual void OnPromptRequested(PromptKind kind) = 0;
  virtual void OnPromptShown(PromptKind kind) = 0;
  virtual void OnPromptEnded(PromptKind kind) = 0;
};

std::unique_ptr<IRecoveryRig> MakeRecoveryRig();
