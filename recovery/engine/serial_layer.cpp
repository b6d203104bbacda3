// The serial port layer: queue sizes, line settings, time-outs, raw send and receive.
#include <cstdlib>

#include "binary_file.h"
#include "trace.h"
#include "win_trans.h"

void CWinTrans::ApplyLinkSettings(SerialLineSettings& settings, uint32_t baud) {
  // 8N1, RTS/CTS handshake, DTR on; fBinary, fTXContinueOnXoff, fErrorChar, fNull and
  // fAbortOnError keep what the port reported.
  settings.BaudRate = baud;
  settings.fParity = 1;
  settings.fOutxCtsFlow = 1;
  settings.fOutxDsrFlow = 0;
  settings.fDtrControl = kDtrControlEnable;
  settings.fDsrSensitivity = 0;
  settings.fOutX = 0;
  settings.fInX = 0;
  settings.fRtsControl = kRtsControlHandshake;
  settings.ByteSize = 8;
  settings.Parity = 0;
  settings.StopBits = 0;
}

uint32_t CWinTrans::SupportedBaud(int speed) {
  switch (speed) {
    case 19200:
    case 38400:
    case 57600:
    case 115200:
      return static_cast<uint32_t>(speed);
    default:
      return kInitialBaud;
  }
}

int CWinTrans::SetupPort(ISerialPort* port, uint32_t baud) {
  if (!port->SetupQueues(kQueueBytes, kQueueBytes) &&
      !port->SetupQueues(kFallbackQueueBytes, kFallbackQueueBytes)) {
    LogMessage("Failed to set COM port speed.\r\n");
    return kResultFailed;
  }
  SerialLineSettings settings;
  if (!port->GetLineSettings(settings)) {
    LogMessage("Failed to get COM port state.\r\n");
    return kResultFailed;
  }
  ApplyLinkSettings(settings, baud);
  if (!port->SetLineSettings(settings)) {
    LogMessage("Failed in COM port copmmunication setting.\r\n");
    return kResultFailed;
  }
  return kResultOk;
}

int CWinTrans::InitializeComPort(ISerialPort* port) {
  if (SetupPort(port, kInitialBaud) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[InitializeComPort]Initialize COM port Successfully!");
  return kResultOk;
}

int CWinTrans::SetCom(ISerialPort* port, int speed) {
  uint32_t baud = SupportedBaud(speed);
  if (SetupPort(port, baud) != kResultOk) return kResultFailed;
  TraceOut(kTraceChannel, kTraceId, "[SetCom] Com parameters Baud[%d]", static_cast<int>(baud));
  return kResultOk;
}

int CWinTrans::SetComTim(ISerialPort* port, int readMs, int writeMs) {
  SerialTimeouts timeouts;
  bool ok = port->GetTimeouts(timeouts);
  if (ok) {
    timeouts.ReadIntervalTimeout = static_cast<uint32_t>(readMs);
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<uint32_t>(readMs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<uint32_t>(writeMs);
    ok = port->SetTimeouts(timeouts);
  }
  if (!ok) {
    LogMessage("Failed in COM port timeout setting.\r\n");
    return kResultFailed;
  }
  TraceOut(kTraceChannel, kTraceId, "[SetComTim] SetComTim OK RD[%d] WR[%d]", readMs, writeMs);
  return kResultOk;
}

int CWinTrans::RcvCom(ISerialPort* port, void* buffer, int count) {
  uint32_t received = 0;
  bool ok = count >= 0 && port->Read(buffer, static_cast<uint32_t>(count), received);
  if (!ok || received != static_cast<uint32_t>(count)) {
    TraceOut(kTraceChannel, kTraceId, "[RcvCom] ReadFile Error Buff[%d] Recv[%d]", count,
             static_cast<int>(received));
    return kResultFailed;
  }
  return kResultOk;
}

int CWinTrans::SndCom(ISerialPort* port, const void* buffer, int count) {
  const uint8_t* next = static_cast<const uint8_t*>(buffer);
  int chunk = kSendChunkBytes;
  int remaining = count;
  int dots = 0;
  uint32_t written = 0;

  while (remaining >= chunk) {
    LogMessage(".");
    ++dots;
    written = 0;
    bool ok = port->Write(next, static_cast<uint32_t>(chunk), written);
    if (!ok) {
      if (written == 0 || written >= static_cast<uint32_t>(chunk)) {
        TrimLog(dots);
        TraceOut(kTraceChannel, kTraceId, "[SndCom] WriteFile Error [%x]", static_cast<unsigned>(written));
        return kResultFailed;
      }
      // The driver took part of the chunk: that part counts, and it is the chunk size from now on.
      TraceOut(kTraceChannel, kTraceId, "[SndCom] BufferSize changed [%x]", static_cast<unsigned>(written));
      chunk = static_cast<int>(written);
    }
    if (WaitSnd(port) != kResultOk) {
      TrimLog(dots);
      TraceOut(kTraceChannel, kTraceId, "[SndCom] WriteFile Error [%x]", static_cast<unsigned>(written));
      return kResultFailed;
    }
    next += chunk;
    remaining -= chunk;
  }

  if (remaining > 0) {
    LogMessage(".");
    ++dots;
    written = 0;
    bool ok = port->Write(next, static_cast<uint32_t>(remaining), written);
    if (!ok || written != static_cast<uint32_t>(remaining)) {
      TrimLog(dots);
      TraceOut(kTraceChannel, kTraceId, "[SndCom] WriteFile(last) Error [%x]", static_cast<unsigned>(written));
      return kResultFailed;
    }
  }
  TrimLog(dots);
  return kResultOk;
}

int CWinTrans::FlushRcv(ISerialPort* port) {
  uint32_t inputQueue = 0;
  uint32_t outputQueue = 0;
  if (!port->ClearError(inputQueue, outputQueue)) return kResultFailed;
  for (uint32_t i = 0; i < inputQueue; ++i) {
    uint8_t discarded = 0;
    uint32_t received = 0;
    if (!port->Read(&discarded, 1, received) || received == 0) return kResultFailed;
  }
  return kResultOk;
}

int CWinTrans::WaitSnd(ISerialPort* port) {
  uint32_t inputQueue = 0;
  uint32_t outputQueue = 0;
  if (!port->ClearError(inputQueue, outputQueue)) return kResultFailed;
  int pauses = 0;
  while (outputQueue != 0) {
    if (pauses >= kWaitSndPauses) return kResultFailed;
    port->PauseMs(1);
    ++pauses;
    if (!port->ClearError(inputQueue, outputQueue)) return kResultFailed;
  }
  return kResultOk;
}

void* CWinTrans::AllocBuffer(size_t bytes) { return std::malloc(bytes); }

void CWinTrans::FreeBuffer(void* buffer) { std::free(buffer); }

int CWinTrans::ErrCloseFree(int errorId, CBinaryFile* file, void* buffer1, void* buffer2) {
  if (file != nullptr) file->Close();
  if (buffer1 != nullptr) FreeBuffer(buffer1);
  if (buffer2 != nullptr) FreeBuffer(buffer2);
  TraceOut(kTraceChannel, kTraceId, "[ErrCloseFree] Error ID [%d]", errorId);
  return kResultFailed;
}
