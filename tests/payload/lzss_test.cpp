#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "image_check.h"
#include "lzss_decoder.h"
#include "lzss_encoder.h"
#include "test_files.h"

namespace {

constexpr size_t kBank = 65536;
constexpr size_t kWorstBank = 73728;
constexpr uint8_t kGuard = 0xA5;

// Encodes into a buffer with guard bytes behind the worst case, and checks nothing is written
// past the returned length.
Bytes EncodeChecked(CLzssEncoder& encoder, const Bytes& input) {
  const int length = static_cast<int>(input.size());
  const size_t room = static_cast<size_t>(CLzssEncoder::MaxEncodedSize(length));
  Bytes out(room + 64, kGuard);
  const int written = encoder.Encode(input.data(), out.data(), length);
  EXPECT_GE(written, 0);
  EXPECT_LE(static_cast<size_t>(written), room);
  for (size_t i = room; i < out.size(); ++i) {
    if (out[i] != kGuard) {
      ADD_FAILURE() << "Encode wrote past the worst-case size at " << i;
      break;
    }
  }
  out.resize(static_cast<size_t>(written));
  return out;
}

Bytes Decode(const Bytes& stream, size_t capacity, LzssDecodeStatus expected = LzssDecodeStatus::kOk) {
  Bytes out(capacity + 1, kGuard);
  size_t produced = 12345;
  EXPECT_EQ(LzssDecode(stream.data(), stream.size(), out.data(), capacity, &produced), expected);
  EXPECT_LE(produced, capacity);
  EXPECT_EQ(out[capacity], kGuard) << "decoder wrote past its limit";
  out.resize(produced);
  return out;
}

struct Example {
  const char* name;
  Bytes input;
  Bytes stream;
};

Bytes Repeat(const std::string& text, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), text.begin(), text.end());
  return out;
}

std::vector<Example> Examples() {
  return {
      {"empty", Bytes(), Bytes()},
      {"a", FromText("a"), FromHex("01 61")},
      {"abc", FromText("abc"), FromHex("07 61 62 63")},
      {"ten a", Repeat("a", 10), FromHex("01 61 EE F6")},
      {"twenty zeros", Bytes(20, 0), FromHex("06 DC FF 00 00")},
      {"forty zeros", Bytes(40, 0), FromHex("00 DC FF FF FF 11 01")},
      {"ABAB", Repeat("AB", 10), FromHex("03 41 42 EE FF")},
      {"abcdefghij twice", Repeat("abcdefghij", 2), FromHex("FF 61 62 63 64 65 66 67 68 03 69 6A EE F7")},
      // With ring positions 4078-4112 zeroed at the start of every call, three zero bytes always
      // refer to the zero-filled start of the ring.
      {"three zeros", Bytes(3, 0), FromHex("00 DC F0")},
  };
}

class LzssTest : public ::testing::Test {
 protected:
  std::unique_ptr<CLzssEncoder> encoder = std::make_unique<CLzssEncoder>();
};

TEST_F(LzssTest, ExamplesEncodeAndDecodeByteForByte) {
  for (const auto& e : Examples()) {
    EXPECT_EQ(EncodeChecked(*encoder, e.input), e.stream) << e.name;
    EXPECT_EQ(Decode(e.stream, e.input.size()), e.input) << e.name;
  }
}

TEST_F(LzssTest, EachCallIsIndependentOfThePreviousOne) {
  // Fill every ring position, tree link and look-ahead byte with other data first.
  const Bytes noise = RandomBytes(9000, 77);
  EncodeChecked(*encoder, noise);
  EncodeChecked(*encoder, Bytes(30, 0xFF));
  for (const auto& e : Examples()) EXPECT_EQ(EncodeChecked(*encoder, e.input), e.stream) << e.name;
  // And the same bank encodes the same way again.
  const Bytes bank = FirmwareLikeBytes(kBank, 4);
  EXPECT_EQ(EncodeChecked(*encoder, bank), EncodeChecked(*encoder, bank));
}

// Whole banks pinned by length and image CRC of their streams, as the plain tree coder writes them:
// any change in which of two equally long matches is chosen shows here.
TEST_F(LzssTest, BanksEncodeToThePinnedStreams) {
  struct Case {
    const char* name;
    Bytes bank;
    size_t length;
    uint32_t crc;
  };
  const Case cases[] = {
      {"firmware", FirmwareLikeBytes(kBank, 1), 17830, 0xF183335A},
      {"random", RandomBytes(kBank, 1), 73711, 0x73B9ED89},
      {"short firmware", FirmwareLikeBytes(20000, 7), 4068, 0x3EB7ABA5},
  };
  for (const auto& c : cases) {
    const Bytes stream = EncodeChecked(*encoder, c.bank);
    EXPECT_EQ(stream.size(), c.length) << c.name;
    uint32_t crc = 0;
    CalcCrc(stream.data(), static_cast<uint32_t>(stream.size()), crc);
    EXPECT_EQ(crc, c.crc) << c.name;
  }
}

TEST_F(LzssTest, NegativeLengthYieldsNothing) {
  uint8_t out[4] = {kGuard, kGuard, kGuard, kGuard};
  const uint8_t in[1] = {1};
  EXPECT_EQ(encoder->Encode(in, out, -5), 0);
  EXPECT_EQ(out[0], kGuard);
}

TEST_F(LzssTest, BanksRoundTripWithinTheWorstCase) {
  struct Case {
    const char* name;
    Bytes bank;
  };
  Bytes ramp(kBank);
  for (size_t i = 0; i < kBank; ++i) ramp[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  const Case cases[] = {
      {"random 1", RandomBytes(kBank, 1)},
      {"random 2", RandomBytes(kBank, 2)},
      {"firmware 1", FirmwareLikeBytes(kBank, 1)},
      {"firmware 2", FirmwareLikeBytes(kBank, 2)},
      {"zeros", Bytes(kBank, 0)},
      {"ones", Bytes(kBank, 0xFF)},
      {"ramp", ramp},
      {"short last bank", FirmwareLikeBytes(4133, 9)},
  };
  for (const auto& c : cases) {
    const Bytes stream = EncodeChecked(*encoder, c.bank);
    EXPECT_LE(stream.size(), kWorstBank) << c.name;
    EXPECT_EQ(Decode(stream, c.bank.size()), c.bank) << c.name;
  }
}

TEST_F(LzssTest, ShortInputsRoundTrip) {
  // Lengths around the 18-byte look-ahead and the 35 bytes below which unwritten ring bytes are
  // compared.
  for (int length = 0; length <= 80; ++length) {
    for (uint32_t seed : {1u, 2u}) {
      Bytes input = RandomBytes(static_cast<size_t>(length), seed);
      for (auto& b : input) b &= (seed == 1 ? 0x01 : 0xFF);  // small alphabet: many matches
      const Bytes stream = EncodeChecked(*encoder, input);
      EXPECT_EQ(Decode(stream, input.size()), input) << length << " " << seed;
    }
  }
}

// Walks every tree from its root: parent links agree with child links, strings are ordered,
// and exactly the positions whose parent is not NIL are reachable.
void ExpectTreeConsistent(const CLzssEncoder& e) {
  using E = CLzssEncoder;
  int reachable = 0;
  std::vector<int> stack;
  for (int root = E::kRootBase; root < E::kRootBase + 256; ++root) {
    if (e.right[root] == E::NIL) continue;
    ASSERT_EQ(e.parent[e.right[root]], root);
    ASSERT_EQ(e.ring[e.right[root]], root - E::kRootBase) << "first byte selects the root";
    stack.push_back(e.right[root]);
    while (!stack.empty()) {
      const int p = stack.back();
      stack.pop_back();
      ++reachable;
      ASSERT_LE(reachable, E::N) << "cycle";
      for (int child : {e.left[p], e.right[p]}) {
        if (child == E::NIL) continue;
        ASSERT_EQ(e.parent[child], p);
        const int order = std::memcmp(e.ring + child, e.ring + p, E::F);
        ASSERT_NE(order, 0) << "equal strings are never both in the tree";
        ASSERT_EQ(order < 0, child == e.left[p]);
        stack.push_back(child);
      }
    }
  }
  int inTree = 0;
  for (int p = 0; p < E::N; ++p) inTree += e.parent[p] != E::NIL;
  EXPECT_EQ(reachable, inTree);
}

TEST_F(LzssTest, TreeStaysConsistentAfterEncoding) {
  for (const Bytes& bank : {FirmwareLikeBytes(20000, 5), RandomBytes(9000, 6), Bytes(5000, 0)}) {
    EncodeChecked(*encoder, bank);
    ExpectTreeConsistent(*encoder);
  }
}

TEST_F(LzssTest, InsertFindsLongestMatchAndDeleteRemoves) {
  using E = CLzssEncoder;
  encoder->InitTree();
  std::memset(encoder->ring, 0, sizeof encoder->ring);
  const std::string text = "abcdefghijklmnopqrstuvwxyz-abcdefXYZ-abcdefghijklmnopqrstuvwxyz-";
  std::memcpy(encoder->ring, text.data(), text.size());
  encoder->InsertNode(0);   // "abcdefghijklmnopqr"
  encoder->InsertNode(27);  // "abcdefXYZ..."
  EXPECT_EQ(encoder->match_len, 6);
  EXPECT_EQ(encoder->match_pos, 0);
  encoder->InsertNode(37);  // the same 18 bytes as at 0: replaces node 0
  EXPECT_EQ(encoder->match_len, E::F);
  EXPECT_EQ(encoder->match_pos, 0);
  EXPECT_EQ(encoder->parent[0], E::NIL);
  ExpectTreeConsistent(*encoder);
  encoder->DeleteNode(37);
  encoder->DeleteNode(37);  // not in the tree any more: nothing happens
  EXPECT_EQ(encoder->parent[37], E::NIL);
  ExpectTreeConsistent(*encoder);
  encoder->DeleteNode(27);
  EXPECT_EQ(encoder->right[E::kRootBase + 'a'], E::NIL);
}

TEST(LzssDecode, TruncatedAndLimitedStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    size_t capacity;
    LzssDecodeStatus status;
    Bytes output;
  };
  const Case cases[] = {
      {"empty stream", Bytes(), 10, LzssDecodeStatus::kOk, Bytes()},
      {"lone flag byte", FromHex("FF"), 10, LzssDecodeStatus::kOk, Bytes()},
      {"reference cut after b0", FromHex("00 DC"), 100, LzssDecodeStatus::kTruncated, Bytes()},
      {"literal then cut reference", FromHex("01 61 EE"), 100, LzssDecodeStatus::kTruncated, FromText("a")},
      {"second group cut", FromHex("FF 61 62 63 64 65 66 67 68 03 69 6A EE"), 100, LzssDecodeStatus::kTruncated,
       FromText("abcdefghij")},
      {"reference over the limit", FromHex("01 61 EE F6"), 5, LzssDecodeStatus::kOutputLimit, Repeat("a", 5)},
      {"literal over the limit", FromHex("07 61 62 63"), 2, LzssDecodeStatus::kOutputLimit, FromText("ab")},
      {"no room at all", FromHex("01 61"), 0, LzssDecodeStatus::kOutputLimit, Bytes()},
      {"exactly fits", FromHex("01 61 EE F6"), 10, LzssDecodeStatus::kOk, Repeat("a", 10)},
      // Positions 4078-4095 are zero before the first write in this decoder.
      {"reference to the start position", FromHex("00 EE F0"), 10, LzssDecodeStatus::kOk, Bytes(3, 0)},
      // A reference that wraps around the end of the ring.
      {"wrap", FromHex("03 41 42 FF F0"), 10, LzssDecodeStatus::kOk, FromHex("41 42 00 00 00")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Decode(c.stream, c.capacity, c.status), c.output) << c.name;
  }
  EXPECT_STREQ(LzssDecodeStatusText(LzssDecodeStatus::kTruncated), "stream ends inside a reference");
}

TEST(LzssDecode, NullProducedIsAllowed) {
  const Bytes stream = FromHex("01 61");
  uint8_t out[1];
  EXPECT_EQ(LzssDecode(stream.data(), stream.size(), out, 1, nullptr), LzssDecodeStatus::kOk);
  EXPECT_EQ(out[0], 'a');
}

}  // namespace
