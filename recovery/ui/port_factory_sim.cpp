// calvera-sim.exe: the port is a simulated link to an in-process virtual panel, paced in real
// time. The panel's power follows the prompts a moment after each appears (off for the power-off
// prompt, on for the connect prompt), so a whole recovery runs unattended. Never shipped.
//
// Settings, from the environment (for the tests and demos):
//   CALVERA_SIM_ID        the panel's identification (default "QRV50008")
//   CALVERA_SIM_PORT      the port name that reaches the panel (default "COM1"; others fail)
//   CALVERA_SIM_DELAY_MS  how long after a prompt appears the power switches (default 400); a
//                         negative value switches it before the prompt's window is created
//   CALVERA_SIM_LOSE_LINES=1  the port's modem status stops answering once a prompt is shown (as
//                         when the adapter is pulled out)
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port_factory.h"
#include "sim_link.h"
#include "virtual_panel.h"

namespace {

std::string EnvText(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

class CSimRig : public IRecoveryRig {
 public:
  CSimRig() : link_(clock_) {
    VirtualPanelConfig config;
    config.identification = EnvText("CALVERA_SIM_ID", "QRV50008");
    config.poweredAtStart = true;
    config.eraseStepMs = 5;
    config.writeStepMs = 5;
    delayMs_ = std::atoi(EnvText("CALVERA_SIM_DELAY_MS", "400").c_str());
    loseLines_ = EnvText("CALVERA_SIM_LOSE_LINES", "0") == "1";
    panel_.reset(new VirtualPanel(config, link_));
    link_.SetRealTimePacing(1.0);
    factory_ = link_.MakeFactory(EnvText("CALVERA_SIM_PORT", "COM1"));
  }

  ~CSimRig() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : switches_) t.join();
    factory_.reset();
    panel_.reset();
  }

  ISerialPortFactory* Factory() override { return factory_.get(); }

  void OnPromptRequested(PromptKind kind) override {
    if (delayMs_ < 0) Switch(kind == PromptKind::kConnect);
  }

  void OnPromptShown(PromptKind kind) override {
    if (loseLines_) {
      std::lock_guard<std::recursive_mutex> lock(link_.mutex());
      link_.faults().modemStatusFails = true;
      return;
    }
    if (delayMs_ < 0) return;
    const bool on = kind == PromptKind::kConnect;
    const int delayMs = delayMs_;
    std::lock_guard<std::mutex> lock(mu_);
    switches_.emplace_back([this, on, delayMs] {
      std::unique_lock<std::mutex> wait(mu_);
      if (wake_.wait_for(wait, std::chrono::milliseconds(delayMs), [this] { return stopping_; })) return;
      wait.unlock();
      Switch(on);
    });
  }

  void OnPromptEnded(PromptKind) override {}

 private:
  void Switch(bool on) {
    if (on) {
      panel_->PowerOn();
    } else {
      panel_->PowerOff();
    }
  }

  VirtualClock clock_;
  SimLink link_;
  std::unique_ptr<VirtualPanel> panel_;
  std::unique_ptr<ISerialPortFactory> factory_;
  int delayMs_ = 400;
  bool loseLines_ = false;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<std::thread> switches_;
};

}  // namespace

std::unique_ptr<IRecoveryRig> MakeRecoveryRig() { return std::make_unique<CSimRig>(); }
