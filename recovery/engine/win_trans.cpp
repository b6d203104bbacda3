// The transfer object: construction, the marker file, the bridge operations and the log helper.
#include "win_trans.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "program_path.h"
#include "trace.h"

namespace {
// The marker beside the program; its presence changes the accepted target models.
const char kMarkerRelativePath[] = "system\\QMTrans.cfg";
}  // namespace

CWinTrans::CWinTrans() { Initialize(GetProgramPath()); }

CWinTrans::CWinTrans(const std::string& programPath) { Initialize(programPath); }

void CWinTrans::Initialize(const std::string& programPath) {
  std::memset(m_machineId, 0, sizeof m_machineId);
  m_speed = 115200;
  m_rawBlock = 1;
  m_dialog = nullptr;
  m_marker = 0;
  if (programPath.empty()) return;

  std::string markerPath;
  if (!ResolveBesideProgram(ProgramFolderOf(programPath), kMarkerRelativePath, markerPath)) return;
  // Only its existence counts: opened for binary reading and closed at once, never read.
  if (std::FILE* marker = std::fopen(markerPath.c_str(), "rb")) {
    m_marker = 1;
    std::fclose(marker);
  }
}

void CWinTrans::LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) length = 0;
  m_message.assign(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(&m_message[0], m_message.size(), format, args);
  m_message.resize(static_cast<size_t>(length));
  va_end(args);
  AppendLog(m_message.c_str());
}

void CWinTrans::EnableCloseButton(int flag) {
  if (m_dialog != nullptr) m_dialog->EnableCloseButton(flag);
}

void CWinTrans::AppendLog(const char* text) {
  if (m_dialog != nullptr) m_dialog->AppendLog(text);
}

void CWinTrans::TrimLog(int count) {
  if (m_dialog != nullptr) m_dialog->TrimLog(count);
}

int CWinTrans::GetComPortParameter() {
  if (m_dialog == nullptr) return kResultNoImageOrDialog;
  m_portName = m_dialog->GetPortBoxText();
  TraceOut(kTraceChannel, kTraceId, "[GetComPortParameter] Port is %s", m_portName.c_str());
  return kResultOk;
}

int32_t ParseDecimalLikeAtol(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > limit) value = limit;
    ++i;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

int CWinTrans::GetBaudrateParameter() {
  if (m_dialog == nullptr) return kResultNoImageOrDialog;
  std::string text = m_dialog->GetSpeedBoxText();
  TraceOut(kTraceChannel, kTraceId, "[GetBaudrateParameter] Baudrate is %s", text.c_str());
  m_speed = ParseDecimalLikeAtol(text);
  return kResultOk;
}

int CWinTrans::GetIloaderAndOsCoreFileName() {
  if (m_dialog == nullptr) return kResultNoImageOrDialog;
  return m_dialog->ResolveImageFiles(m_machineId, m_iloaderPath, m_osCorePath);
}

int CWinTrans::GetTargetPowerStatus(ISerialPort* port) {
  uint32_t status = 0;
  if (!port->GetModemStatus(status)) {
    LogMessage("Failed to get COM port state.\r\n");
    return kResultPortFailure;
  }
  return (status & kModemStatusCtsOn) != 0 ? 1 : 0;
}

int CWinTrans::ConfirmTargetOff(ISerialPort* port) {
  if (m_dialog == nullptr) return kResultNoImageOrDialog;
  int status = GetTargetPowerStatus(port);
  if (status < 0) {
    TraceOut(kTraceChannel, kTraceId, "[ConfirmTargetOff] GetTargetPowerStatus Error");
    return status;
  }
  if (status == 0) {
    TraceOut(kTraceChannel, kTraceId, "[ConfirmTargetOff] GetTargetPowerStatus Already Power off");
    return kResultGoOn;
  }
  m_dialog->SetPromptPort(port);
  int result = m_dialog->PromptPowerOff();
  m_dialog->SetPromptPort(nullptr);
  return result;
}

int CWinTrans::ConfirmTargetOn(ISerialPort* port) {
  if (m_dialog == nullptr) return kResultNoImageOrDialog;
  m_dialog->SetPromptPort(port);
  int result = m_dialog->PromptConnect();
  m_dialog->SetPromptPort(nullptr);
  return result;
}
