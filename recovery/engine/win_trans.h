// CWinTrans: the transfer engine of calvera. One object lives as long as the main dialog; every
// operation of the serial layer, the frames, the link commands, the recovery sequence and the
// payload download is a member.
//
// Conventions kept by every member:
//  - Results are int codes (the constants below); nothing throws, prints or exits.
//  - A visible message is formatted into m_message and handed to the bridge's AppendLog.
//  - Trace records go through TraceOut(kTraceChannel, kTraceId, "[Operation] ...").
//  - The port is borrowed: the engine never closes or deletes a port it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dialog_bridge.h"
#include "lzss_encoder.h"
#include "serial_port.h"

class CBinaryFile;
struct ImageHeader;

// Result codes.
constexpr int kResultOk = 0;
constexpr int kResultGoOn = 1;              // prompt: the awaited CTS change was seen
constexpr int kResultPromptCancelled = 2;   // prompt: cancelled, or modem status unreadable
constexpr int kResultFailed = -1;           // a port setting, send, receive, command or file step
constexpr int kResultPortFailure = -2;      // port open/setup/query, prompt, or the link failed
constexpr int kResultSpeedUnreadable = -3;
constexpr int kResultForeignCore = -5;      // the target holds another product's core
constexpr int kResultModelRefused = -6;
constexpr int kResultNotSupported = -7;
constexpr int kResultNoImageOrDialog = -8;  // image unresolved or broken, or no dialog bound
constexpr int kResultOperatorCancelled = -32768;

// Serial layer figures.
constexpr uint32_t kQueueBytes = 10240;          // requested input and output queue sizes
constexpr uint32_t kFallbackQueueBytes = 1024;   // asked for when the driver refuses the above
constexpr int kSendChunkBytes = 10240;           // one write of SndCom, one progress dot
constexpr int kWaitSndPauses = 10000;            // 1 ms pauses while the output queue drains
constexpr uint32_t kInitialBaud = 9600;

// Time-out pairs (read, write) in ms.
constexpr int kHandshakeTimeoutMs = 700;     // the target answers a greeting within this
constexpr int kCommandTimeoutMs = 10000;     // ordinary commands
constexpr int kDownloadTimeoutMs = 30000;    // downloads, erase/write progress, the final reset

// Frames.
constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kEnq = 0x05;                 // the greeting byte
constexpr uint8_t kBootMonitorGreeting = 0x03;
constexpr uint8_t kInitialLoaderGreeting = 0x02;
constexpr int kCommandAttempts = 4;
// RcvEsc gives up after discarding this many bytes without an ESC (a line that keeps talking
// without ever starting a frame would otherwise hold the run forever). Far above any honest
// answer, which carries at most a few dozen bytes before its ESC.
constexpr int kMaxBytesBeforeEsc = 65536;

class CWinTrans {
 public:
  // Looks for the marker file "system\QMTrans.cfg" beside the running program.
  CWinTrans();
  // The same, for a program at `programPath` (full path of the executable).
  explicit CWinTrans(const std::string& programPath);
  ~CWinTrans() = default;
  CWinTrans(const CWinTrans&) = delete;
  CWinTrans& operator=(const CWinTrans&) = delete;

  // ---- fields, in this order ----
  CLzssEncoder m_encoder;          // compressor state, used only by the core download
  char m_machineId[9];             // 8 characters and NUL; [7] is the model digit
  int32_t m_speed;                 // bit/s for the transfer phase
  int32_t m_rawBlock;              // non-zero: core banks may go out plain
  IDialogBridge* m_dialog;         // bound for the length of a run, not owned
  std::string m_portName;
  std::string m_message;           // last operator-log message; GetOSCoreType leaves its type here
  std::string m_iloaderPath;
  std::string m_osCorePath;
  int32_t m_marker;                // 1 when the marker file existed at construction

  // ---- wiring ----
  // Binds the dialog (null unbinds). The recovery sequence binds on entry and unbinds on exit.
  void BindDialog(IDialogBridge* dialog) { m_dialog = dialog; }
  // Where the recovery sequence opens its port. Borrowed; must outlive the runs.
  void SetPortFactory(ISerialPortFactory* factory) { m_portFactory = factory; }
  ISerialPortFactory* PortFactory() const { return m_portFactory; }

  // ---- bridge operations ----
  void EnableCloseButton(int flag);
  void AppendLog(const char* text);
  void TrimLog(int count);
  int GetComPortParameter();
  int GetBaudrateParameter();
  int GetIloaderAndOsCoreFileName();
  int ConfirmTargetOff(ISerialPort* port);
  int ConfirmTargetOn(ISerialPort* port);
  int GetTargetPowerStatus(ISerialPort* port);

  // ---- serial layer ----
  int InitializeComPort(ISerialPort* port);
  int SetCom(ISerialPort* port, int speed);
  int SetComTim(ISerialPort* port, int readMs, int writeMs);
  int RcvCom(ISerialPort* port, void* buffer, int count);
  int SndCom(ISerialPort* port, const void* buffer, int count);
  int FlushRcv(ISerialPort* port);
  int WaitSnd(ISerialPort* port);
  // Closes `file` and frees both buffers (each may be null); traces the error number; returns -1.
  int ErrCloseFree(int errorId, CBinaryFile* file, void* buffer1, void* buffer2);
  // The C heap behind the buffers ErrCloseFree frees.
  void* AllocBuffer(size_t bytes);
  void FreeBuffer(void* buffer);

  // ---- frames ----
  static void MakeSum(char* out, const uint8_t* bytes, int count);
  int RcvEsc(ISerialPort* port);
  int RcvRsp(ISerialPort* port, void* buffer, int count);

  // ---- link commands ----
  int GoHandshake(ISerialPort* port, int expected, int attempts);
  int GoComBoundrate(ISerialPort* port, int speed);
  int GoMachineNo(ISerialPort* port);
  int GetOSCoreType(ISerialPort* port);
  int GoReset(ISerialPort* port);

  // ---- initial-loader download and start ----
  int GoOSLoader(ISerialPort* port);
  int GoOSloaderDown(ISerialPort* port, ImageHeader& header);
  int GoOSloaderRun(ISerialPort* port, const ImageHeader& header);

  // ---- operating-system core download ----
  int GoFileDownload(ISerialPort* port);
  // The next free bank number, -8 for a file that fails its checks, -1 otherwise.
  int FileDownload(ISerialPort* port, const std::string& path, uint32_t expectedMagic, int firstBank,
                   bool forceCrc, bool allowPlain);
  int SendFileDownloadBank(ISerialPort* port, int length, const uint8_t* data, int bank, bool plain);
  int SendFileDownloadBankWrite(ISerialPort* port);

  // ---- recovery sequence ----
  int CWinTransMainProc(IDialogBridge* dialog);
  int GoTransfer(ISerialPort* port);
  int GoTransROM(ISerialPort* port);
  int GoTransOSCore(ISerialPort* port);

  // Formats into m_message and hands it to AppendLog.
  void LogMessage(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  // The line settings both InitializeComPort and SetCom apply over what the port reported.
  static void ApplyLinkSettings(SerialLineSettings& settings, uint32_t baud);
  // The speed SetCom sets for a requested speed (9600 for anything unsupported).
  static uint32_t SupportedBaud(int speed);
  // The speed code of the speed command ('1'..'4', '0' for anything else).
  static char SpeedCode(int speed);

 private:
  int SetupPort(ISerialPort* port, uint32_t baud);
  void Initialize(const std::string& programPath);

  ISerialPortFactory* m_portFactory = nullptr;
};

// Decimal value of a text as atol reads it: leading blanks, an optional sign, digits up to the
// first non-digit; no digits give 0. Values beyond 32 bits are clamped instead of overflowing.
int32_t ParseDecimalLikeAtol(const std::string& text);
