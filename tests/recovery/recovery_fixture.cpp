#include "recovery_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

#include "image_check.h"

namespace fs = std::filesystem;

Bytes MakeImageFile(uint32_t magic, const Bytes& body, uint32_t loadAddress, uint32_t entryOffset,
                    uint32_t formatFlags) {
  ImageHeader header;
  header.magic = magic;
  header.total_size = static_cast<uint32_t>(kImageHeaderSize + body.size());
  header.load_address = loadAddress;
  header.entry_offset = entryOffset;
  header.format_flags = formatFlags;
  const uint32_t length = static_cast<uint32_t>(body.size());
  if ((formatFlags & kFlagsWordSumMask) != 0 && magic == OSCORE_MAGIC) {
    header.body_check = CalcWordSum(body.data(), length);
  } else {
    CalcCrc(body.data(), length, header.body_check);
  }
  header.header_crc = CalcHeaderCrc(header);
  uint8_t bytes[kImageHeaderSize];
  header.Serialize(bytes);
  Bytes file(bytes, bytes + kImageHeaderSize);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

Bytes SampleBody(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    out[i] = (i % 97 < 60) ? static_cast<uint8_t>(i / 13) : static_cast<uint8_t>(state >> 24);
  }
  return out;
}

ProgramFolder::ProgramFolder() {
  static int counter = 0;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->name()) : std::string("rig");
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  path_ = fs::temp_directory_path() / ("calvera_recovery_" + name + "_" + std::to_string(++counter));
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  fs::create_directories(path_ / "SYSTEM");
}

ProgramFolder::~ProgramFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ProgramFolder::ProgramPath() const { return (path_ / "calvera.exe").string(); }

std::string ProgramFolder::PathOf(const std::string& relative) const {
  std::string path = (path_ / "").string();
  const char separator = static_cast<char>(fs::path::preferred_separator);
  for (char c : relative) path += c == '/' ? separator : c;
  return path;
}

void ProgramFolder::Write(const std::string& relative, const Bytes& data) const {
  fs::path file = path_ / fs::path(relative);
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void ProgramFolder::WriteText(const std::string& relative, const std::string& text) const {
  Write(relative, Bytes(text.begin(), text.end()));
}

void ProgramFolder::Remove(const std::string& relative) const {
  std::error_code ignored;
  fs::remove(path_ / fs::path(relative), ignored);
}

void TraceRecorder::Deliver(const char* record) {
  std::string text = record;
  const std::string prefix = "_QTRACE_ID_40000:";
  if (text.compare(0, prefix.size(), prefix) == 0) text = text.substr(prefix.size());
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  texts.push_back(text);
}

int TraceRecorder::Count(const std::string& text) const {
  int n = 0;
  for (const std::string& t : texts)
    if (t == text) ++n;
  return n;
}

void RecordingDialog::AppendLog(const char* text) {
  if (std::string(text) == ".") ++dotsShown;
  log += text;
}

void RecordingDialog::TrimLog(int count) {
  const size_t n = static_cast<size_t>(count);
  log.resize(n > log.size() ? 0 : log.size() - n);
}

std::string RecordingDialog::GetPortBoxText() {
  if (onPortBoxRead) onPortBoxRead();
  return portText;
}

int RecordingDialog::Prompt(bool powerOn, PromptAnswer answer) {
  prompts.push_back(powerOn ? "connect" : "off");
  if (promptPort_ == nullptr) return -1;
  if (answer == PromptAnswer::kCancel) return 2;
  if (answer == PromptAnswer::kCannotShow) return -1;
  if (powerOn) panel_.PowerOn();
  else panel_.PowerOff();
  // The line watch: the prompt ends once CTS shows the awaited state.
  for (int poll = 0; poll < 1000; ++poll) {
    uint32_t status = 0;
    if (!promptPort_->GetModemStatus(status)) return 2;
    if (((status & kModemStatusCtsOn) != 0) == powerOn) return 1;
    promptPort_->PauseMs(1);
  }
  return 2;
}

int RecordingDialog::PromptPowerOff() { return Prompt(false, powerOffAnswer); }
int RecordingDialog::PromptConnect() { return Prompt(true, connectAnswer); }

int RecordingDialog::ResolveImageFiles(const char* machineId, std::string& initialLoaderPath,
                                       std::string& osCorePath) {
  return locator_.ResolveImageFiles(machineId, initialLoaderPath, osCorePath);
}

std::vector<std::string> RecordingDialog::Lines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(log.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

RecoveryRig::RecoveryRig(VirtualPanelConfig panelConfig) : config(panelConfig) {
  panel.reset(new VirtualPanel(config, link));
  factory = link.MakeFactory("COM3");
  locator.InitProgramFolder(folder.ProgramPath().c_str());
  dialog.reset(new RecordingDialog(*panel, locator));
  WriteTargets("# test targets\n* ILOADER.BIN OSCORE.BIN\n");
}

void RecoveryRig::WriteImages(size_t coreBytes, size_t loaderBytes, uint32_t coreFlags) {
  coreFile = MakeImageFile(OSCORE_MAGIC, SampleBody(coreBytes - kImageHeaderSize, 7), 0x8C010000u, 0, coreFlags);
  loaderFile = MakeImageFile(ILOADER_MAGIC, SampleBody(loaderBytes - kImageHeaderSize, 11), kLoadAddress,
                             kEntryOffset, 0);
  folder.Write("SYSTEM/OSCORE.BIN", coreFile);
  folder.Write("SYSTEM/ILOADER.BIN", loaderFile);
}

int RecoveryRig::Run() {
  locator.InitImageLibrary();
  trans.reset(new CWinTrans(folder.ProgramPath()));
  trans->SetPortFactory(factory.get());
  return trans->CWinTransMainProc(dialog.get());
}

bool RecoveryRig::FlashHoldsImages() const {
  Bytes core, loader;
  if (!panel->ReassembleImages(core, loader)) return false;
  return core == coreFile && loader == loaderFile;
}
