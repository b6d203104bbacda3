// Fuzz target: every answer parser of the transfer engine, fed from the simulated link.
//
// Input layout:
//   byte 0      which operation runs (modulo 10: greeting, speed change, MID, OTN, RST, PDL,
//               PGO, bank, final write, the whole transfer from greeting to reset)
//   then replies, each a length byte and that many bytes:
//     0x00-0x7F  a reply of that length, sent once the host has been quiet for 2 ms
//     0x80-0xFE  a reply of (length & 0x7F) bytes sent right after the previous reply, once the
//                target has switched to the host's current speed (the echo after a speed change)
//     0xFF       the rest of the input is one last reply
// After the replies run out the target stays silent; the engine's time-outs (virtual time) end
// the operation. Checked after every run: a result code the operation may return, no image file
// left open, the machine identification still terminated, every trace record whole.
// CALVERA_FUZZ_VERBOSE in the environment prints each operation's result.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "binary_file.h"
#include "dialog_bridge.h"
#include "fuzz_support.h"
#include "image_check.h"
#include "sim_link.h"
#include "trace.h"
#include "virtual_clock.h"
#include "win_trans.h"

namespace {

// Header followed by `body`; magic, total_size, header CRC and body CRC all valid.
std::vector<uint8_t> FuzzMakeImage(uint32_t magic, const std::vector<uint8_t>& body, uint32_t loadAddress,
                                          uint32_t entryOffset) {
  ImageHeader header;
  header.magic = magic;
  header.total_size = static_cast<uint32_t>(kImageHeaderSize + body.size());
  header.load_address = loadAddress;
  header.entry_offset = entryOffset;
  CalcCrc(body.data(), static_cast<uint32_t>(body.size()), header.body_check);
  header.header_crc = CalcHeaderCrc(header);
  uint8_t bytes[kImageHeaderSize];
  header.Serialize(bytes);
  std::vector<uint8_t> image(bytes, bytes + kImageHeaderSize);
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

constexpr uint64_t kQuietUs = 2000;
constexpr uint64_t kFollowToken = 1ull << 63;

struct Reply {
  std::string bytes;
  bool follow = false;
};

// Answers whenever the host has been quiet for 2 ms (a greeting, a command frame, a download
// body: whatever the host sent, it then waits for an answer).
class FuzzTarget : public ISimTarget {
 public:
  FuzzTarget(SimLink& link, std::deque<Reply> replies) : link_(link), replies_(std::move(replies)) {
    link_.AttachTarget(this);
  }
  ~FuzzTarget() override { link_.AttachTarget(nullptr); }

  void OnByte(uint8_t) override {
    ++generation_;
    link_.ScheduleTarget(link_.clock().NowUs() + kQuietUs, generation_);
  }

  void OnTimer(uint64_t token) override {
    if ((token & kFollowToken) != 0) {
      link_.SetTargetBaud(link_.HostBaud());
      SendNext(true);
      return;
    }
    if (token != generation_) return;  // the host spoke again since
    SendNext(false);
  }

 private:
  void SendNext(bool follow) {
    if (replies_.empty() || replies_.front().follow != follow) return;
    link_.TargetSend(replies_.front().bytes);
    replies_.pop_front();
    if (!replies_.empty() && replies_.front().follow)
      link_.ScheduleTarget(link_.TargetIdleAtUs() + 1000, kFollowToken | ++followCount_);
  }

  SimLink& link_;
  std::deque<Reply> replies_;
  uint64_t generation_ = 0;
  uint64_t followCount_ = 0;
};

// Every record must be whole: the prefix, at most 511 characters, CR LF at the end.
class CheckingTrace : public ITraceReceiver {
 public:
  bool IsListening() override { return true; }
  void Deliver(const char* record) override {
    const size_t length = std::strlen(record);
    FUZZ_CHECK(length < kTraceBufferSize);
    FUZZ_CHECK(length >= 2 && record[length - 2] == '\r' && record[length - 1] == '\n');
    FUZZ_CHECK(std::strncmp(record, "_QTRACE_ID_40000:", 17) == 0);
  }
};

std::deque<Reply> ParseReplies(const uint8_t* data, size_t size) {
  std::deque<Reply> replies;
  size_t i = 0;
  while (i < size) {
    const uint8_t tag = data[i++];
    size_t length = tag == 0xFF ? size - i : (tag & 0x7Fu);
    if (length > size - i) length = size - i;
    Reply reply;
    reply.bytes.assign(reinterpret_cast<const char*>(data + i), length);
    reply.follow = tag != 0xFF && (tag & 0x80u) != 0;
    replies.push_back(std::move(reply));
    i += length;
  }
  return replies;
}

const std::string& CoreImagePath() {
  static const std::string path = [] {
    std::string p = FuzzScratchFolder() + "/oscore.bin";
    std::vector<uint8_t> body(96);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i % 7 == 0 ? 0x1B : i);
    const std::vector<uint8_t> image = FuzzMakeImage(OSCORE_MAGIC, body, 0x8C010000u, 0u);
    FUZZ_CHECK(FuzzWriteFile(p, image.data(), image.size()));
    return p;
  }();
  return path;
}

const std::string& LoaderImagePath() {
  static const std::string path = [] {
    std::string p = FuzzScratchFolder() + "/iloader.bin";
    const std::vector<uint8_t> image = FuzzMakeImage(ILOADER_MAGIC, std::vector<uint8_t>(48, 0x41), 0x8C000000u, 0x100u);
    FUZZ_CHECK(FuzzWriteFile(p, image.data(), image.size()));
    return p;
  }();
  return path;
}

class NullBridge : public IDialogBridge {
 public:
  void AppendLog(const char* text) override { FUZZ_CHECK(text != nullptr); }
  void TrimLog(int count) override { FUZZ_CHECK(count >= 0); }
  void EnableCloseButton(int) override {}
  std::string GetPortBoxText() override { return "COM1"; }
  std::string GetSpeedBoxText() override { return "115200"; }
  void SetPromptPort(ISerialPort*) override {}
  int PromptPowerOff() override { return 1; }
  int PromptConnect() override { return 1; }
  int ResolveImageFiles(const char* machineId, std::string& iloader, std::string& osCore) override {
    FUZZ_CHECK(machineId != nullptr && std::strlen(machineId) <= 8);
    iloader = LoaderImagePath();
    osCore = CoreImagePath();
    return 0;
  }
};

bool OneOf(int result, std::initializer_list<int> allowed) {
  for (int a : allowed)
    if (result == a) return true;
  return false;
}

CheckingTrace g_trace;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetTraceReceiver(&g_trace);
  LoaderImagePath();
  CoreImagePath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t operation = data[0] % 10;
  const int openBefore = CBinaryFile::OpenCount();

  VirtualClock clock;
  SimLink link(clock);
  FuzzTarget target(link, ParseReplies(data + 1, size - 1));
  NullBridge bridge;
  CWinTrans trans{std::string()};
  trans.BindDialog(&bridge);
  uint32_t osError = 0;
  std::unique_ptr<ISerialPort> port = link.OpenHostPort(osError);
  FUZZ_CHECK(port != nullptr);
  link.SetTargetBaud(kInitialBaud);
  link.SetCts(true);
  FUZZ_CHECK(trans.InitializeComPort(port.get()) == kResultOk);
  FUZZ_CHECK(trans.SetComTim(port.get(), kCommandTimeoutMs, kCommandTimeoutMs) == kResultOk);

  int result = 0;
  switch (operation) {
    case 0:
      FUZZ_CHECK(trans.SetComTim(port.get(), kHandshakeTimeoutMs, kHandshakeTimeoutMs) == kResultOk);
      result = trans.GoHandshake(port.get(), kBootMonitorGreeting, 3);
      break;
    case 1:
      result = trans.GoComBoundrate(port.get(), 115200);
      break;
    case 2:
      result = trans.GoMachineNo(port.get());
      break;
    case 3:
      result = trans.GetOSCoreType(port.get());
      FUZZ_CHECK(trans.m_message.size() <= 255);
      break;
    case 4:
      result = trans.GoReset(port.get());
      break;
    case 5: {
      trans.m_iloaderPath = LoaderImagePath();
      FUZZ_CHECK(trans.SetComTim(port.get(), kDownloadTimeoutMs, kDownloadTimeoutMs) == kResultOk);
      ImageHeader header;
      result = trans.GoOSloaderDown(port.get(), header);
      break;
    }
    case 6: {
      ImageHeader header;
      header.load_address = 0x8C000000u;
      header.entry_offset = 0x100u;
      result = trans.GoOSloaderRun(port.get(), header);
      break;
    }
    case 7: {
      // A plain bank without ESC, CR or ENQ in it.
      const std::vector<uint8_t> bank(64, 0x5A);
      result = trans.SendFileDownloadBank(port.get(), static_cast<int>(bank.size()), bank.data(), 3, true);
      break;
    }
    case 8:
      result = trans.SendFileDownloadBankWrite(port.get());
      break;
    default:
      result = trans.GoTransfer(port.get());
      break;
  }
  static const bool verbose = std::getenv("CALVERA_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "operation %d result %d machine [%s]\n", operation, result, trans.m_machineId);
  if (operation == 9)
    FUZZ_CHECK(OneOf(result, {kResultOk, kResultFailed, kResultForeignCore, kResultModelRefused}));
  else
    FUZZ_CHECK(OneOf(result, {kResultOk, kResultFailed}) || (operation == 3 && result == kResultForeignCore));
  FUZZ_CHECK(trans.m_machineId[8] == '\0');
  FUZZ_CHECK(CBinaryFile::OpenCount() == openBefore);
  port->Close();
  return 0;
}
