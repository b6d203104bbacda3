// The recovery sequence: one run from the dialog's Start to the result code.
#include <memory>

#include "trace.h"
#include "win_trans.h"

namespace {

// The run's port: opened once, closed on every way out of the run.
class RunPort {
 public:
  RunPort() = default;
  ~RunPort() { Close(); }
  RunPort(const RunPort&) = delete;
  RunPort& operator=(const RunPort&) = delete;

  bool Open(ISerialPortFactory* factory, const std::string& name) {
    if (factory == nullptr) return false;
    uint32_t osError = 0;
    port_ = factory->Open(name, osError);
    return port_ != nullptr;
  }
  void Close() {
    if (port_) {
      port_->Close();
      port_.reset();
    }
  }
  ISerialPort* get() const { return port_.get(); }

 private:
  std::unique_ptr<ISerialPort> port_;
};

// The model digit check of phase 1.
bool ModelAccepted(char digit, bool marker) {
  if (marker) return digit == '3';
  return !(digit >= '1' && digit <= '7');
}

}  // namespace

int CWinTrans::CWinTransMainProc(IDialogBridge* dialog) {
  TraceOut(kTraceChannel, kTraceId, "[CWinTransMainProc] WinTransMain start");
  BindDialog(dialog);
  EnableCloseButton(0);

  RunPort port;
  int result = kResultOk;
  const char* endTrace = "[CWinTransMainProc] WinTransMain end";

  if (GetComPortParameter() != kResultOk) {
    result = kResultPortFailure;
    endTrace = "[CWinTransMainProc] Getting COM parameter Error";
  } else if (GetBaudrateParameter() != kResultOk) {
    result = kResultSpeedUnreadable;
    endTrace = "[CWinTransMainProc] Getting Baud parameter Error";
  } else if (!port.Open(m_portFactory, m_portName)) {
    LogMessage("Failed to open %s port.\r\n", m_portName.c_str());
    result = kResultPortFailure;
    endTrace = "[CWinTransMainProc] COM open Error";
  } else if (InitializeComPort(port.get()) != kResultOk) {
    result = kResultPortFailure;
    endTrace = "[CWinTransMainProc] Initialize Com port Error";
  } else {
    int confirmed = ConfirmTargetOff(port.get());
    if (confirmed == kResultGoOn) {
      confirmed = ConfirmTargetOn(port.get());
      if (confirmed != kResultGoOn) endTrace = "[CWinTransMainProc] COM control2 Error";
    } else {
      endTrace = "[CWinTransMainProc] COM control Error";
    }
    if (confirmed == kResultPromptCancelled) {
      LogMessage("Transfer canceled.\r\n");
      result = kResultOperatorCancelled;
    } else if (confirmed != kResultGoOn) {
      result = kResultPortFailure;
    } else {
      TraceOut(kTraceChannel, kTraceId, "[CWinTransMainProc] Start transfer");
      result = GoTransfer(port.get());
      if (result < 0) {
        LogMessage("Transfer failed.\r\n");
        if (result == kResultFailed) result = kResultPortFailure;
      } else {
        LogMessage("Transfer completed.\r\n");
        result = kResultOk;
      }
    }
  }

  // Every way out: port closed, Close button back, dialog unbound, the end's trace, the result.
  // The Close button goes back through the dialog the run started with, even if something
  // unbound it on the way.
  port.Close();
  BindDialog(dialog);
  EnableCloseButton(1);
  BindDialog(nullptr);
  TraceOut(kTraceChannel, kTraceId, "%s", endTrace);
  return result;
}

int CWinTrans::GoTransfer(ISerialPort* port) {
  int result = GoTransROM(port);
  if (result >= 0) {
    TraceOut(kTraceChannel, kTraceId, "[GoTransfer] ILoader send success");
    result = GoTransOSCore(port);
    if (result >= 0) return kResultOk;
  }
  if (result != kResultFailed) GoReset(port);  // its own result does not change the run's
  return result;
}

int CWinTrans::GoTransROM(ISerialPort* port) {
  if (SetCom(port, kInitialBaud) != kResultOk) return kResultFailed;
  if (SetComTim(port, kHandshakeTimeoutMs, kHandshakeTimeoutMs) != kResultOk) return kResultFailed;
  LogMessage("Connecting...\r\n");
  if (GoHandshake(port, kBootMonitorGreeting, 30) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoTransROM] GoHandshake OK");
  if (SetComTim(port, kCommandTimeoutMs, kCommandTimeoutMs) != kResultOk) return kResultFailed;
  LogMessage("Speed changed to %dbps.\r\n", static_cast<int>(m_speed));
  if (GoComBoundrate(port, m_speed) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoTransROM] GoComBoundrate OK");
  if (GoMachineNo(port) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoTransROM] GoMachineNo OK");
  if (!ModelAccepted(m_machineId[7], m_marker != 0)) return kResultModelRefused;
  int resolved = GetIloaderAndOsCoreFileName();
  if (resolved < 0) return resolved;
  TraceOut(kTraceChannel, kTraceId, "[GoTransROM] GetIloaderAndOsCoreFileName OK");
  if (GoOSLoader(port) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[GoTransROM] GoOSLoader OK");
  return kResultOk;
}

int CWinTrans::GoTransOSCore(ISerialPort* port) {
  if (SetComTim(port, kHandshakeTimeoutMs, kHandshakeTimeoutMs) != kResultOk) return kResultFailed;
  LogMessage("Connecting...\r\n");
  if (GoHandshake(port, kInitialLoaderGreeting, 10) != kResultOk) return kResultFailed;
  int type = GetOSCoreType(port);
  if (type == kResultForeignCore) return kResultForeignCore;
  if (type < 0) return kResultFailed;
  if (SetComTim(port, kDownloadTimeoutMs, kDownloadTimeoutMs) != kResultOk) return kResultFailed;
  int downloaded = GoFileDownload(port);
  if (downloaded < 0) return downloaded;
  LogMessage("QRV is reset.\r\n");
  if (GoReset(port) != kResultOk) return kResultFailed;
  return kResultOk;
}
