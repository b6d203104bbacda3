// calvera-image: a command-line tool for the people who prepare and check image files.
//
//   calvera-image info FILE
//   calvera-image verify FILE
//   calvera-image pack --kind oscore|iloader --load-address HEX --entry-offset HEX
//                      [--flags HEX] [--reserved HEX] BODY OUT
//   calvera-image compress IN OUT
//   calvera-image expand IN OUT
//
// Exit codes: 0 sound / done, 1 broken image or bad input data, 2 usage or I/O error.
// Output files are written to a temporary file and renamed, so nothing is overwritten on failure.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "binary_file.h"
#include "hex_fields.h"
#include "image_check.h"
#include "lzss_decoder.h"
#include "lzss_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kExitOk = 0;
constexpr int kExitBroken = 1;
constexpr int kExitUsage = 2;
constexpr uint32_t kBankSize = 65536;
// Inputs of the tool are image files and banks; anything beyond this is refused, not loaded.
constexpr size_t kMaxInput = 256u * 1024u * 1024u;
constexpr size_t kMaxOutput = 1024u * 1024u * 1024u;

const char kUsage[] =
    "usage: calvera-image info FILE\n"
    "       calvera-image verify FILE\n"
    "       calvera-image pack --kind oscore|iloader --load-address HEX --entry-offset HEX\n"
    "                          [--flags HEX] [--reserved HEX] BODY OUT\n"
    "       calvera-image compress IN OUT\n"
    "       calvera-image expand IN OUT\n"
    "       calvera-image help | --help | --version\n";

const char kHelp[] =
    "\n"
    "Inspects, checks and makes the image files of the recovery (initial loader, OS core).\n"
    "\n"
    "  info FILE      the header fields and the checks of an image file\n"
    "  verify FILE    only the checks: header CRC, sizes, body check\n"
    "  pack           makes an image file OUT from the body BODY:\n"
    "    --kind oscore|iloader   the header's magic\n"
    "    --load-address HEX      load address (1 to 8 hex digits)\n"
    "    --entry-offset HEX      entry offset\n"
    "    --flags HEX             format flags (default 0)\n"
    "    --reserved HEX          the reserved field (default 0)\n"
    "  compress IN OUT  IN as one LZSS stream of the kind the target expands\n"
    "  expand IN OUT    an LZSS stream IN back to its bytes\n"
    "  help, --help     this text\n"
    "  --version        the version\n"
    "\n"
    "Output files are written to a temporary file and renamed: nothing is overwritten on failure.\n"
    "\n"
    "Exit status: 0 sound / done; 1 broken image or bad input data; 2 usage or I/O error.\n";

// One line on stderr, then the exit code.
int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "calvera-image: %s\n", message.c_str());
  return code;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "calvera-image: %s (run 'calvera-image help' for usage)\n", message.c_str());
  return kExitUsage;
}

std::string Hex8(uint32_t value) {
  char digits[9];
  IntToHex(value, digits, 8);
  digits[8] = '\0';
  return std::string("0x") + digits;
}

// "1A2B", "0x1a2b": 1 to 8 hex digits.
bool ParseHex(const std::string& text, uint32_t& value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8) return false;
  return HexToInt(digits.c_str(), value, static_cast<int>(digits.size())) == 0;
}

// Reads a whole file. 0 on success, else prints one line and returns the exit code.
int ReadWhole(const std::string& path, Bytes& data) {
  CBinaryFile file;
  if (!file.Open(path.c_str())) return Fail(kExitUsage, "cannot open " + path + ": " + std::strerror(errno));
  data.clear();
  uint8_t chunk[kBankSize];
  for (;;) {
    size_t received = 0;
    errno = 0;
    if (!file.Read(chunk, sizeof chunk, received)) {
      const int err = errno;
      return Fail(kExitUsage, "cannot read " + path + (err != 0 ? std::string(": ") + std::strerror(err) : ""));
    }
    if (data.size() + received > kMaxInput) return Fail(kExitBroken, path + ": larger than 256 MiB, refused");
    data.insert(data.end(), chunk, chunk + received);
    if (received < sizeof chunk) return 0;
  }
}

int WriteWhole(const std::string& path, const Bytes& data) {
  if (!CBinaryFile::WriteWholeFile(path.c_str(), data.data(), data.size())) {
    return Fail(kExitUsage, "cannot write " + path + ": " + std::strerror(errno));
  }
  return 0;
}

// ---- info / verify ------------------------------------------------------------------------------

enum class Kind { kOsCore, kInitialLoader, kUnknown };

struct Report {
  ImageHeader header;
  Kind kind = Kind::kUnknown;
  int64_t fileSize = 0;
  uint32_t computedHeaderCrc = 0;
  bool headerCrcOk = false;
  bool sizeOk = false;
  bool wordSum = false;
  bool bodyComputed = false;
  uint32_t computedBody = 0;
  bool bodyOk = false;
  bool sound = false;
  std::string reason;  // why the file is broken
};

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kOsCore:
      return "OS core";
    case Kind::kInitialLoader:
      return "initial loader";
    case Kind::kUnknown:
      break;
  }
  return "unknown magic";
}

// Examines FILE. Returns 0 with `report` filled, or an exit code after one line on stderr.
int Examine(const std::string& path, Report& report) {
  CBinaryFile file;
  if (!file.Open(path.c_str())) return Fail(kExitUsage, "cannot open " + path + ": " + std::strerror(errno));
  uint8_t bytes[kImageHeaderSize];
  size_t received = 0;
  errno = 0;
  if (!file.Read(bytes, sizeof bytes, received)) {
    const int err = errno;
    return Fail(kExitUsage, "cannot read " + path + (err != 0 ? std::string(": ") + std::strerror(err) : ""));
  }
  if (received == 0) return Fail(kExitBroken, path + ": file is empty");
  if (received < sizeof bytes) {
    return Fail(kExitBroken, path + ": " + std::to_string(received) + " bytes, shorter than the 32-byte header");
  }
  report.fileSize = file.Size();
  if (report.fileSize < 0) return Fail(kExitUsage, "cannot measure " + path);

  const ImageHeader& h = report.header = ImageHeader::Parse(bytes);
  report.kind = h.magic == OSCORE_MAGIC ? Kind::kOsCore : h.magic == ILOADER_MAGIC ? Kind::kInitialLoader : Kind::kUnknown;
  report.computedHeaderCrc = CalcHeaderCrc(h);
  report.headerCrcOk = report.computedHeaderCrc == h.header_crc;
  report.sizeOk = h.total_size >= kImageHeaderSize && static_cast<int64_t>(h.total_size) <= report.fileSize;
  report.wordSum = report.kind == Kind::kOsCore && UsesWordSum(h, false);

  if (report.sizeOk && file.Seek(kImageHeaderSize)) {
    const uint32_t bodyLength = h.total_size - kImageHeaderSize;
    const int result = report.wordSum ? CalcFileSum(file, bodyLength, report.computedBody)
                                      : CalcFileCrc(file, bodyLength, report.computedBody);
    if (result != 0) return Fail(kExitUsage, "cannot read the body of " + path);
    report.bodyComputed = true;
    report.bodyOk = report.computedBody == h.body_check;
  }

  // The verdict is the one the transfer engine reaches.
  if (report.kind != Kind::kUnknown) {
    ImageHeader checked;
    const uint32_t magic = report.kind == Kind::kOsCore ? OSCORE_MAGIC : ILOADER_MAGIC;
    report.sound = CheckSourceFile(file, checked, magic, report.kind == Kind::kInitialLoader) == 0;
  }
  if (report.kind == Kind::kUnknown) {
    report.reason = "unknown magic " + Hex8(h.magic);
  } else if (!report.headerCrcOk) {
    report.reason = "header CRC mismatch";
  } else if (h.total_size < kImageHeaderSize) {
    report.reason = "total_size below the 32-byte header";
  } else if (!report.sizeOk) {
    report.reason = "total_size " + std::to_string(h.total_size) + " exceeds the file length " +
                    std::to_string(report.fileSize);
  } else if (!report.bodyOk) {
    report.reason = std::string(report.wordSum ? "word sum" : "image CRC") + " of the body does not match body_check";
  }
  if (!report.sound && report.reason.empty()) report.reason = "the file check failed";
  return 0;
}

int CommandInfo(const std::string& path) {
  Report r;
  if (const int code = Examine(path, r)) return code;
  const ImageHeader& h = r.header;
  std::printf("file:          %s (%lld bytes)\n", path.c_str(), static_cast<long long>(r.fileSize));
  std::printf("kind:          %s\n", KindName(r.kind));
  std::printf("magic:         %s\n", Hex8(h.magic).c_str());
  std::printf("header_crc:    %s\n", Hex8(h.header_crc).c_str());
  std::printf("body_check:    %s\n", Hex8(h.body_check).c_str());
  std::printf("total_size:    %s (%u bytes)\n", Hex8(h.total_size).c_str(), static_cast<unsigned>(h.total_size));
  std::printf("load_address:  %s\n", Hex8(h.load_address).c_str());
  std::printf("entry_offset:  %s (start address %s)\n", Hex8(h.entry_offset).c_str(),
              Hex8(h.load_address + h.entry_offset).c_str());
  std::printf("format_flags:  %s\n", Hex8(h.format_flags).c_str());
  std::printf("reserved:      %s\n", Hex8(h.reserved).c_str());
  std::printf("header CRC:    %s (computed %s)\n", r.headerCrcOk ? "pass" : "FAIL", Hex8(r.computedHeaderCrc).c_str());
  const char* method = r.wordSum ? "negated word sum" : "image CRC";
  if (r.bodyComputed) {
    std::printf("body check:    %s, %s (computed %s)\n", method, r.bodyOk ? "pass" : "FAIL", Hex8(r.computedBody).c_str());
  } else {
    std::printf("body check:    %s, not computed (total_size does not fit the file)\n", method);
  }
  if (r.sizeOk) {
    std::printf("banks:         %u of 64 KiB\n", static_cast<unsigned>((h.total_size + (kBankSize - 1ull)) / kBankSize));
  } else {
    std::printf("banks:         unknown\n");
  }
  if (r.kind == Kind::kOsCore) {
    std::printf("banks go:      %s\n", (h.format_flags & kFlagsCompressedMask) ? "LZSS-compressed" : "plain");
  } else if (r.kind == Kind::kInitialLoader) {
    std::printf("banks go:      LZSS-compressed (always for the initial loader)\n");
  }
  if (r.sound) {
    std::printf("verdict:       sound\n");
    return kExitOk;
  }
  std::printf("verdict:       broken: %s\n", r.reason.c_str());
  return kExitBroken;
}

int CommandVerify(const std::string& path) {
  Report r;
  if (const int code = Examine(path, r)) return code;
  if (r.sound) {
    std::printf("%s: sound (%s, %s)\n", path.c_str(), KindName(r.kind), r.wordSum ? "negated word sum" : "image CRC");
    return kExitOk;
  }
  std::printf("%s: broken: %s\n", path.c_str(), r.reason.c_str());
  return kExitBroken;
}

// ---- pack ---------------------------------------------------------------------------------------

int CommandPack(const std::vector<std::string>& args) {
  std::string kind;
  uint32_t loadAddress = 0;
  uint32_t entryOffset = 0;
  uint32_t flags = 0;
  uint32_t reserved = 0;
  bool haveLoad = false;
  bool haveEntry = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) return UsageError(arg + " needs a value");
    const std::string value = args[++i];
    if (arg == "--kind") {
      if (value != "oscore" && value != "iloader") return UsageError("--kind must be oscore or iloader, not '" + value + "'");
      kind = value;
      continue;
    }
    uint32_t number = 0;
    uint32_t* target = nullptr;
    if (arg == "--load-address") {
      target = &loadAddress;
      haveLoad = true;
    } else if (arg == "--entry-offset") {
      target = &entryOffset;
      haveEntry = true;
    } else if (arg == "--flags") {
      target = &flags;
    } else if (arg == "--reserved") {
      target = &reserved;
    } else {
      return UsageError("unknown option " + arg);
    }
    if (!ParseHex(value, number)) return UsageError(arg + ": '" + value + "' is not a hex number of 1 to 8 digits");
    *target = number;
  }
  if (kind.empty()) return UsageError("pack needs --kind oscore|iloader");
  if (!haveLoad) return UsageError("pack needs --load-address HEX");
  if (!haveEntry) return UsageError("pack needs --entry-offset HEX");
  if (positional.size() != 2) return UsageError("pack needs BODY and OUT");

  Bytes body;
  if (const int code = ReadWhole(positional[0], body)) return code;
  if (body.empty()) return Fail(kExitBroken, positional[0] + ": body file is empty");

  ImageHeader h;
  h.magic = kind == "oscore" ? OSCORE_MAGIC : ILOADER_MAGIC;
  h.total_size = static_cast<uint32_t>(kImageHeaderSize + body.size());
  h.load_address = loadAddress;
  h.entry_offset = entryOffset;
  h.format_flags = flags;
  h.reserved = reserved;
  // The same rule the reader applies: the initial loader is always checked with the CRC.
  if (UsesWordSum(h, kind == "iloader")) {
    h.body_check = CalcWordSum(body.data(), static_cast<uint32_t>(body.size()));
  } else {
    CalcCrc(body.data(), static_cast<uint32_t>(body.size()), h.body_check);
  }
  h.header_crc = CalcHeaderCrc(h);

  Bytes image(kImageHeaderSize + body.size());
  uint8_t header[kImageHeaderSize];
  h.Serialize(header);
  std::memcpy(image.data(), header, kImageHeaderSize);
  std::memcpy(image.data() + kImageHeaderSize, body.data(), body.size());
  if (const int code = WriteWhole(positional[1], image)) return code;
  std::printf("%s: %s image, %u bytes, %u bank(s)\n", positional[1].c_str(), h.magic == OSCORE_MAGIC ? "OS core" : "initial loader",
              static_cast<unsigned>(h.total_size), static_cast<unsigned>((h.total_size + (kBankSize - 1ull)) / kBankSize));
  return kExitOk;
}

// ---- compress / expand --------------------------------------------------------------------------

int CommandCompress(const std::string& in, const std::string& out) {
  Bytes input;
  if (const int code = ReadWhole(in, input)) return code;
  if (input.empty()) return Fail(kExitBroken, in + ": input file is empty");
  const int length = static_cast<int>(input.size());
  Bytes stream(static_cast<size_t>(CLzssEncoder::MaxEncodedSize(length)));
  CLzssEncoder encoder;  // about 54 KiB of fixed state
  const int written = encoder.Encode(input.data(), stream.data(), length);
  stream.resize(static_cast<size_t>(written));
  if (const int code = WriteWhole(out, stream)) return code;
  std::printf("%s: %d bytes -> %d bytes\n", out.c_str(), length, written);
  return kExitOk;
}

int CommandExpand(const std::string& in, const std::string& out) {
  Bytes stream;
  if (const int code = ReadWhole(in, stream)) return code;
  if (stream.empty()) return Fail(kExitBroken, in + ": input file is empty");
  // A 2-byte reference gives at most 18 bytes, so 9 output bytes per stream byte is enough; the
  // buffer starts smaller and grows only for streams that really expand that far.
  const size_t bound = stream.size() * 9;
  size_t capacity = std::min(bound, stream.size() * 3 + kBankSize);
  Bytes output;
  size_t produced = 0;
  LzssDecodeStatus status;
  for (;;) {
    if (capacity > kMaxOutput) capacity = kMaxOutput;
    output.resize(capacity);
    status = LzssDecode(stream.data(), stream.size(), output.data(), output.size(), &produced);
    if (status != LzssDecodeStatus::kOutputLimit || capacity >= bound || capacity == kMaxOutput) break;
    capacity *= 2;
  }
  if (status == LzssDecodeStatus::kOutputLimit) {
    return Fail(kExitBroken, in + ": expands to more than 1 GiB, refused; nothing written");
  }
  if (status != LzssDecodeStatus::kOk) {
    return Fail(kExitBroken, in + ": " + LzssDecodeStatusText(status) + " (after " + std::to_string(produced) +
                                 " decoded bytes); nothing written");
  }
  output.resize(produced);
  if (const int code = WriteWhole(out, output)) return code;
  std::printf("%s: %zu bytes -> %zu bytes\n", out.c_str(), stream.size(), produced);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("calvera-image %s\n", CALVERA_VERSION_TEXT);
    return kExitOk;
  }
  if (command == "info" || command == "verify") {
    if (args.size() != 1) return UsageError(command + " needs exactly one FILE");
    return command == "info" ? CommandInfo(args[0]) : CommandVerify(args[0]);
  }
  if (command == "pack") return CommandPack(args);
  if (command == "compress" || command == "expand") {
    if (args.size() != 2) return UsageError(command + " needs IN and OUT");
    return command == "compress" ? CommandCompress(args[0], args[1]) : CommandExpand(args[0], args[1]);
  }
  return UsageError("unknown command '" + command + "'");
}
