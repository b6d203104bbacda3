#include "lzss_encoder.h"

#include <cstring>

namespace {

#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

// Eight bytes read as a big-endian number: numbers compare in the same order as the byte strings
// (unsigned, first byte most significant). Compilers turn this into one load and a byte swap.
inline uint64_t LoadBigEndian64(const uint8_t* p) {
  return (static_cast<uint64_t>(p[0]) << 56) | (static_cast<uint64_t>(p[1]) << 48) |
         (static_cast<uint64_t>(p[2]) << 40) | (static_cast<uint64_t>(p[3]) << 32) |
         (static_cast<uint64_t>(p[4]) << 24) | (static_cast<uint64_t>(p[5]) << 16) |
         (static_cast<uint64_t>(p[6]) << 8) | static_cast<uint64_t>(p[7]);
}

// Number of equal leading bytes of two different big-endian words (0 to 7).
inline int EqualLeadingBytes(uint64_t a, uint64_t b) {
  const uint64_t diff = a ^ b;
#if defined(__GNUC__)
  return __builtin_clzll(diff) >> 3;
#else
  int bytes = 0;
  while ((diff >> (56 - 8 * bytes)) == 0) ++bytes;
  return bytes;
#endif
}

// The bytes key[1..17] of a string being inserted (key[0] is equal for every node under its root),
// held as two words and a byte while the tree is walked, so that each node costs one or two word
// comparisons instead of a byte loop.
class MatchKey {
 public:
  explicit MatchKey(const uint8_t* key)
      : first_(LoadBigEndian64(key + 1)), second_(LoadBigEndian64(key + 9)), last_(key[17]) {}

  // Returns how many leading bytes of the node's string equal the key (1 to 18). keyHigher tells
  // whether the key compares higher at the first unequal byte (meaningless at 18).
  int Match(const uint8_t* node, bool& keyHigher) const {
    uint64_t word = LoadBigEndian64(node + 1);
    if (word != first_) {
      keyHigher = first_ > word;
      return 1 + EqualLeadingBytes(first_, word);
    }
    word = LoadBigEndian64(node + 9);
    if (word != second_) {
      keyHigher = second_ > word;
      return 9 + EqualLeadingBytes(second_, word);
    }
    keyHigher = last_ > node[17];
    return last_ != node[17] ? 17 : 18;
  }

 private:
  uint64_t first_;
  uint64_t second_;
  uint8_t last_;
};

ALWAYS_INLINE void InsertString(CLzssEncoder& e, int r) {
  constexpr int NIL = CLzssEncoder::NIL;
  constexpr int F = CLzssEncoder::F;
  uint8_t* const ring = e.ring;
  int32_t* const par = e.parent;
  int32_t* const lft = e.left;
  int32_t* const rgt = e.right;
  lft[r] = NIL;
  rgt[r] = NIL;
  // The first step from the root always goes right (the comparison result starts at 1).
  const int root = CLzssEncoder::kRootBase + ring[r];
  int p = rgt[root];
  if (p == NIL) {
    rgt[root] = r;
    par[r] = root;
    e.match_len = 0;
    return;
  }
  const MatchKey key(ring + r);
  int best = 0;
  int bestPos = e.match_pos;
  for (;;) {
    // Both children are fetched before the comparison decides between them.
    const int lowerChild = lft[p];
    const int higherChild = rgt[p];
    bool keyHigher;
    const int i = key.Match(ring + p, keyHigher);
    // Of two nodes with the same match length the first one met (higher up) stays.
    const bool longer = i > best;
    bestPos = longer ? p : bestPos;
    best = longer ? i : best;
    if (i == F) break;
    const int next = keyHigher ? higherChild : lowerChild;
    if (next == NIL) {
      if (keyHigher) {
        rgt[p] = r;
      } else {
        lft[p] = r;
      }
      par[r] = p;
      e.match_len = best;
      e.match_pos = bestPos;
      return;
    }
    p = next;
  }
  e.match_len = F;
  e.match_pos = p;
  // r replaces p, so a full-length match always refers to the newest copy of the string.
  par[r] = par[p];
  lft[r] = lft[p];
  rgt[r] = rgt[p];
  par[lft[p]] = r;
  par[rgt[p]] = r;
  if (rgt[par[p]] == p) {
    rgt[par[p]] = r;
  } else {
    lft[par[p]] = r;
  }
  par[p] = NIL;
}

ALWAYS_INLINE void DeleteString(CLzssEncoder& e, int p) {
  constexpr int NIL = CLzssEncoder::NIL;
  int32_t* const par = e.parent;
  int32_t* const lft = e.left;
  int32_t* const rgt = e.right;
  if (par[p] == NIL) return;
  int q;
  if (rgt[p] == NIL) {
    q = lft[p];
  } else if (lft[p] == NIL) {
    q = rgt[p];
  } else {
    q = lft[p];
    if (rgt[q] != NIL) {
      do {
        q = rgt[q];
      } while (rgt[q] != NIL);
      rgt[par[q]] = lft[q];
      par[lft[q]] = par[q];
      lft[q] = lft[p];
      par[lft[p]] = q;
    }
    rgt[q] = rgt[p];
    par[rgt[p]] = q;
  }
  par[q] = par[p];
  if (rgt[par[p]] == p) {
    rgt[par[p]] = q;
  } else {
    lft[par[p]] = q;
  }
  par[p] = NIL;
}

}  // namespace

CLzssEncoder::CLzssEncoder() {
  std::memset(ring, 0, sizeof ring);
  std::memset(parent, 0, sizeof parent);
  std::memset(left, 0, sizeof left);
  std::memset(right, 0, sizeof right);
  match_pos = 0;
  match_len = 0;
}

void CLzssEncoder::InitTree() {
  for (int i = kRootBase; i < kRootBase + 256; ++i) right[i] = NIL;
  for (int i = 0; i < N; ++i) parent[i] = NIL;
}

void CLzssEncoder::InsertNode(int r) { InsertString(*this, r); }

void CLzssEncoder::DeleteNode(int p) { DeleteString(*this, p); }

int CLzssEncoder::Encode(const uint8_t* input, uint8_t* output, int length) {
  if (length <= 0) return 0;
  InitTree();
  // The whole ring is zeroed, positions 4078 to 4112 included: the look-ahead compares up to 17
  // bytes beyond the last input byte, and with these zeroed the choice between equally long
  // matches (and so the output) depends on the input alone, not on the previous call.
  std::memset(ring, 0, sizeof ring);

  uint8_t group[1 + 8 * 2];  // flag byte and up to 8 items of at most 2 bytes
  group[0] = 0;
  int groupLength = 1;
  unsigned mask = 1;
  int s = 0;
  int r = kStartPosition;
  int total = 0;

  int lookAhead = 0;
  while (lookAhead < F && lookAhead < length) {
    ring[r + lookAhead] = input[lookAhead];
    ++lookAhead;
  }
  int consumed = lookAhead;

  for (int i = 1; i <= F; ++i) InsertString(*this, r - i);
  InsertString(*this, r);

  do {
    if (match_len > lookAhead) match_len = lookAhead;
    if (match_len <= THRESHOLD) {
      match_len = 1;
      group[0] = static_cast<uint8_t>(group[0] | mask);
      group[groupLength++] = ring[r];
    } else {
      group[groupLength++] = static_cast<uint8_t>(match_pos & 0xFF);
      group[groupLength++] = static_cast<uint8_t>(((match_pos >> 4) & 0xF0) | (match_len - (THRESHOLD + 1)));
    }
    mask = (mask << 1) & 0xFFu;
    if (mask == 0) {
      std::memcpy(output + total, group, static_cast<size_t>(groupLength));
      total += groupLength;
      group[0] = 0;
      groupLength = 1;
      mask = 1;
    }

    const int last = match_len;
    int i = 0;
    for (; i < last && consumed < length; ++i) {
      const uint8_t c = input[consumed++];
      DeleteString(*this, s);
      ring[s] = c;
      if (s < F - 1) ring[s + N] = c;
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      InsertString(*this, r);
    }
    for (; i < last; ++i) {
      DeleteString(*this, s);
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      if (--lookAhead != 0) InsertString(*this, r);
    }
  } while (lookAhead > 0);

  if (groupLength > 1) {
    std::memcpy(output + total, group, static_cast<size_t>(groupLength));
    total += groupLength;
  }
  return total;
}
