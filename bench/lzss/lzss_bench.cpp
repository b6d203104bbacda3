// Throughput and ratio of CLzssEncoder::Encode on 64 KiB banks of four deterministic corpora,
// compared in the same run with a plain transcription of the classic binary-tree coder (below,
// kept only here). Both must produce byte-identical streams; the exit code is 1 when they do not.
//
//   lzss_bench [banks per corpus, default 16] [rounds, default 5] [only this corpus]
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lzss_decoder.h"
#include "lzss_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBank = 65536;

// ---- the classic coder, transcribed plainly: byte-wise compare loop, one call per node --------
struct ClassicCoder {
  static constexpr int N = 4096, F = 18, THRESHOLD = 2, NIL = N;
  uint8_t text[N + F - 1];
  int dad[N + 1], lson[N + 1], rson[N + 257];
  int matchPosition = 0, matchLength = 0;

  void InitTree() {
    for (int i = N + 1; i <= N + 256; i++) rson[i] = NIL;
    for (int i = 0; i < N; i++) dad[i] = NIL;
  }

  void InsertNode(int r) {
    int cmp = 1;
    const uint8_t* key = &text[r];
    int p = N + 1 + key[0];
    rson[r] = lson[r] = NIL;
    matchLength = 0;
    for (;;) {
      if (cmp >= 0) {
        if (rson[p] != NIL) {
          p = rson[p];
        } else {
          rson[p] = r;
          dad[r] = p;
          return;
        }
      } else {
        if (lson[p] != NIL) {
          p = lson[p];
        } else {
          lson[p] = r;
          dad[r] = p;
          return;
        }
      }
      int i;
      for (i = 1; i < F; i++) {
        if ((cmp = key[i] - text[p + i]) != 0) break;
      }
      if (i > matchLength) {
        matchPosition = p;
        if ((matchLength = i) >= F) break;
      }
    }
    dad[r] = dad[p];
    lson[r] = lson[p];
    rson[r] = rson[p];
    dad[lson[p]] = r;
    dad[rson[p]] = r;
    if (rson[dad[p]] == p) {
      rson[dad[p]] = r;
    } else {
      lson[dad[p]] = r;
    }
    dad[p] = NIL;
  }

  void DeleteNode(int p) {
    int q;
    if (dad[p] == NIL) return;
    if (rson[p] == NIL) {
      q = lson[p];
    } else if (lson[p] == NIL) {
      q = rson[p];
    } else {
      q = lson[p];
      if (rson[q] != NIL) {
        do {
          q = rson[q];
        } while (rson[q] != NIL);
        rson[dad[q]] = lson[q];
        dad[lson[q]] = dad[q];
        lson[q] = lson[p];
        dad[lson[p]] = q;
      }
      rson[q] = rson[p];
      dad[rson[p]] = q;
    }
    dad[q] = dad[p];
    if (rson[dad[p]] == p) {
      rson[dad[p]] = q;
    } else {
      lson[dad[p]] = q;
    }
    dad[p] = NIL;
  }

  int Encode(const uint8_t* in, uint8_t* out, int length) {
    if (length <= 0) return 0;
    InitTree();
    std::memset(text, 0, sizeof text);  // zero-filled ring start (and the same defined tail)
    uint8_t code[17];
    code[0] = 0;
    int codePtr = 1;
    uint8_t mask = 1;
    int s = 0, r = N - F, len, total = 0, pos = 0;
    for (len = 0; len < F && pos < length; len++) text[r + len] = in[pos++];
    for (int i = 1; i <= F; i++) InsertNode(r - i);
    InsertNode(r);
    do {
      if (matchLength > len) matchLength = len;
      if (matchLength <= THRESHOLD) {
        matchLength = 1;
        code[0] |= mask;
        code[codePtr++] = text[r];
      } else {
        code[codePtr++] = static_cast<uint8_t>(matchPosition);
        code[codePtr++] = static_cast<uint8_t>(((matchPosition >> 4) & 0xF0) | (matchLength - (THRESHOLD + 1)));
      }
      if ((mask <<= 1) == 0) {
        for (int i = 0; i < codePtr; i++) out[total++] = code[i];
        code[0] = 0;
        codePtr = mask = 1;
      }
      const int last = matchLength;
      int i;
      for (i = 0; i < last && pos < length; i++) {
        const uint8_t c = in[pos++];
        DeleteNode(s);
        text[s] = c;
        if (s < F - 1) text[s + N] = c;
        s = (s + 1) & (N - 1);
        r = (r + 1) & (N - 1);
        InsertNode(r);
      }
      while (i++ < last) {
        DeleteNode(s);
        s = (s + 1) & (N - 1);
        r = (r + 1) & (N - 1);
        if (--len) InsertNode(r);
      }
    } while (len > 0);
    if (codePtr > 1) {
      for (int i = 0; i < codePtr; i++) out[total++] = code[i];
    }
    return total;
  }
};

// ---- corpora ----------------------------------------------------------------------------------
Bytes RandomCorpus(size_t size) {
  std::mt19937 gen(1);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(gen() >> 24);
  return out;
}

Bytes TextCorpus(size_t size) {
  static const char* const kWords[] = {
      "the",    "panel",   "loader", "bank",     "image",  "erase",  "write",   "serial", "port",   "target",
      "of",     "and",     "is",     "to",       "core",   "system", "status",  "error",  "ready",  "checksum",
      "a",      "monitor", "speed",  "transfer", "reset",  "file",   "version", "module", "driver", "operator"};
  std::mt19937 gen(2);
  std::string text;
  while (text.size() < size) {
    const int words = 4 + static_cast<int>(gen() % 12);
    for (int w = 0; w < words; ++w) {
      std::string word = kWords[gen() % 30];
      if (w == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      text += word;
      text += (w + 1 < words) ? " " : ".";
    }
    text += (gen() % 4 == 0) ? "\r\n" : " ";
  }
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

// Code-like 32-bit instruction words, strings, address tables and zero/0xFF padding.
Bytes FirmwareCorpus(size_t size) {
  std::mt19937 gen(3);
  static const uint32_t kOpcodes[] = {0xE59F0000, 0xE1A00000, 0xE3A00000, 0xE2800000, 0xEB000000,
                                      0x1A000000, 0xE5900000, 0xE5800000, 0xE3500000, 0xE8BD0000};
  static const char* const kStrings[] = {"Transfer error\r\n", "Bank %d written\r\n", "OS core v2.71",
                                         "Initial loader ready", "ERASE", "WRITE", "Checksum NG\r\n",
                                         "COM%d:%d bps", "System file broken"};
  Bytes out;
  out.reserve(size);
  auto put32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  while (out.size() < size) {
    const unsigned kind = gen() % 10;
    if (kind < 5) {  // a function: instruction words with small register and immediate fields
      const int count = 8 + static_cast<int>(gen() % 120);
      for (int i = 0; i < count; ++i) {
        const uint32_t op = kOpcodes[gen() % 10];
        put32(op | ((gen() % 8) << 16) | ((gen() % 8) << 12) | (gen() % 64));
      }
    } else if (kind < 7) {  // string pool
      const int count = 1 + static_cast<int>(gen() % 6);
      for (int i = 0; i < count; ++i) {
        const char* s = kStrings[gen() % 9];
        out.insert(out.end(), s, s + std::strlen(s) + 1);
      }
      while (out.size() % 4) out.push_back(0);
    } else if (kind < 9) {  // table of addresses
      uint32_t address = 0x8C010000u + (gen() % 0x10000) * 4;
      const int count = 4 + static_cast<int>(gen() % 60);
      for (int i = 0; i < count; ++i) {
        put32(address);
        address += 4 * (1 + gen() % 16);
      }
    } else {  // padding
      const uint8_t fill = (gen() % 3 == 0) ? 0xFF : 0x00;
      out.insert(out.end(), 64 + gen() % 2048, fill);
    }
  }
  out.resize(size);
  return out;
}

// ---- measurement ------------------------------------------------------------------------------
struct Timing {
  double classic = 1e30;
  double encoder = 1e30;
};

template <typename Coder>
double EncodeAll(Coder& coder, const Bytes& corpus, Bytes& out, std::vector<int>& lengths) {
  const size_t banks = corpus.size() / kBank;
  // Processor time of this process, so that other programs sharing the machine count less.
  const std::clock_t start = std::clock();
  for (size_t b = 0; b < banks; ++b) {
    lengths[b] = coder.Encode(corpus.data() + b * kBank, out.data() + b * 2 * kBank, static_cast<int>(kBank));
  }
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
  const int banks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 16;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const size_t size = static_cast<size_t>(banks) * kBank;
  struct Corpus {
    const char* name;
    Bytes data;
  };
  const Corpus corpora[] = {
      {"random", RandomCorpus(size)},
      {"zeros", Bytes(size, 0)},
      {"text", TextCorpus(size)},
      {"firmware-like", FirmwareCorpus(size)},
  };

  auto classic = std::make_unique<ClassicCoder>();
  auto encoder = std::make_unique<CLzssEncoder>();
  Bytes outClassic(static_cast<size_t>(banks) * 2 * kBank);
  Bytes outEncoder(outClassic.size());
  Bytes decoded(kBank);
  std::vector<int> lengthsClassic(static_cast<size_t>(banks));
  std::vector<int> lengthsEncoder(static_cast<size_t>(banks));

  std::printf("LZSS coder, %d banks of 64 KiB per corpus, best of %d rounds (processor time)\n", banks, rounds);
  std::printf("%-14s %8s %14s %14s %9s %10s\n", "corpus", "ratio", "classic MB/s", "Encode MB/s", "speed-up",
              "identical");
  bool allIdentical = true;
  for (const auto& corpus : corpora) {
    if (argc > 3 && std::strcmp(argv[3], corpus.name) != 0) continue;
    // Rounds alternate between the two coders so that both see the same machine load; the best
    // round of each counts.
    Timing t;
    for (int round = 0; round < rounds; ++round) {
      t.classic = std::min(t.classic, EncodeAll(*classic, corpus.data, outClassic, lengthsClassic));
      t.encoder = std::min(t.encoder, EncodeAll(*encoder, corpus.data, outEncoder, lengthsEncoder));
    }
    const double tClassic = t.classic;
    const double tEncoder = t.encoder;
    bool identical = lengthsClassic == lengthsEncoder;
    size_t compressed = 0;
    for (int b = 0; b < banks && identical; ++b) {
      const size_t length = static_cast<size_t>(lengthsEncoder[static_cast<size_t>(b)]);
      compressed += length;
      const uint8_t* stream = outEncoder.data() + static_cast<size_t>(b) * 2 * kBank;
      identical = std::memcmp(stream, outClassic.data() + static_cast<size_t>(b) * 2 * kBank, length) == 0;
      // And the stream decodes back to the bank.
      size_t produced = 0;
      identical = identical && LzssDecode(stream, length, decoded.data(), decoded.size(), &produced) == LzssDecodeStatus::kOk &&
                  produced == kBank &&
                  std::memcmp(decoded.data(), corpus.data.data() + static_cast<size_t>(b) * kBank, kBank) == 0;
    }
    allIdentical = allIdentical && identical;
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("%-14s %8.3f %14.1f %14.1f %8.2fx %10s\n", corpus.name,
                static_cast<double>(compressed) / static_cast<double>(size), mb / tClassic, mb / tEncoder,
                tClassic / tEncoder, identical ? "yes" : "NO");
  }
  return allIdentical ? 0 : 1;
}
