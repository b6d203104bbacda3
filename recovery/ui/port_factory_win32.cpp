// calvera.exe: the system's COM ports.
#include "port_factory.h"

#include "serial_port_system.h"

namespace {

class CSystemRig : public IRecoveryRig {
 public:
  CSystemRig() : factory_(MakeSystemSerialPortFactory()) {}
  ISerialPortFactory* Factory() override { return factory_.get(); }
  void OnPromptRequested(PromptKind) override {}
  void OnPromptShown(PromptKind) override {}
  void OnPromptEnded(PromptKind) override {}

 private:
  std::unique_ptr<ISerialPortFactory> factory_;
};

}  // namespace

std::unique_ptr<IRecoveryRig> MakeRecoveryRig() { return std::make_unique<CSystemRig>(); }
