#include "lzss_encoder.h"

#include <cstring>

namespace {

#if defined(__GNUC__)
#define CALVERA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define CALVERA_ALWAYS_INLINE inline
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

CALVERA_ALWAYS_INLINE void InsertString(CLzssEncoder& e, int r) {
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
  const uint64_t key1 = LoadBigEndian64(ring + r + 1);
  const uint64_t key2 = LoadBigEndian64(ring + r + 9);
  const uint8_t key17 = ring[r + 17];
  int best = 0;
  int bestPos = e.match_pos;
  size_t node = static_cast<size_t>(p);
  for (;;) {
    // Both children are fetched before the comparison decides between them; the usual case (the
    // strings differ within bytes 1 to 8) goes from one node to the next with one word compare.
    const size_t lowerChild = static_cast<uint32_t>(lft[node]);
    const size_t higherChild = static_cast<uint32_t>(rgt[node]);
    const uint64_t word1 = LoadBigEndian64(ring + node + 1);
    bool higher;
    size_t next;
    int i;
    if (word1 != key1) {
      higher = key1 > word1;
      next = key1 > word1 ? higherChild : lowerChild;
      i = 1 + EqualLeadingBytes(key1, word1);
    } else {
      const uint64_t word2 = LoadBigEndian64(ring + node + 9);
      if (word2 != key2) {
        higher = key2 > word2;
        i = 9 + EqualLeadingBytes(key2, word2);
      } else if (key17 != ring[node + 17]) {
        higher = key17 > ring[node + 17];
        i = 17;
      } else {
        p = static_cast<int>(node);
        break;
      }
      next = higher ? higherChild : lowerChild;
    }
    // Of two nodes with the same match length the first one met (higher up) stays.
    if (i > best) {
      best = i;
      bestPos = static_cast<int>(node);
    }
    if (next == NIL) {
      *(higher ? &rgt[node] : &lft[node]) = r;
      par[r] = static_cast<int>(node);
      e.match_len = best;
      e.match_pos = bestPos;
      return;
    }
    node = next;
  }
  e.match_len = F;
  e.match_pos = p;
  // r replaces p, so a full-length match always refers to the newest copy of the string. A
  // missing child's parent link lands in parent[4096]; a root only has a right link.
  const int pp = par[p];
  const int lower = lft[p];
  const int higher = rgt[p];
  par[r] = pp;
  lft[r] = lower;
  rgt[r] = higher;
  par[lower] = r;
  par[higher] = r;
  *(rgt[pp] == p ? &rgt[pp] : &lft[pp]) = r;
  par[p] = NIL;
}

CALVERA_ALWAYS_INLINE void DeleteString(CLzssEncoder& e, int p) {
  constexpr int NIL = CLzssEncoder::NIL;
  int32_t* const par = e.parent;
  int32_t* const lft = e.left;
  int32_t* const rgt = e.right;
  const int pp = par[p];
  if (pp == NIL) return;
  // Links are read into locals once: the three arrays may alias as far as the compiler knows.
  const int lower = lft[p];
  const int higher = rgt[p];
  int q;
  if ((higher == NIL) | (lower == NIL)) {
    // At most one child: it takes p's place (NIL when there is none).
    q = higher == NIL ? lower : higher;
  } else {
    q = lower;
    int qHigher = rgt[q];
    if (qHigher != NIL) {
      // The rightmost node of p's left subtree takes p's place.
      do {
        q = qHigher;
        qHigher = rgt[q];
      } while (qHigher != NIL);
      const int qParent = par[q];
      const int qLower = lft[q];
      rgt[qParent] = qLower;
      par[qLower] = qParent;
      lft[q] = lower;
      par[lower] = q;
    }
    rgt[q] = higher;
    par[higher] = q;
  }
  par[q] = pp;
  // A root (pp above 4096) only has a right link, and it points to p.
  *(rgt[pp] == p ? &rgt[pp] : &lft[pp]) = q;
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
