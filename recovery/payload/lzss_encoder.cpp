#include "lzss_encoder.h"

#include <cstring>

namespace {

using Enc = CLzssEncoder;

// Compares key[1..17] with node[1..17] (key[0] is equal by the tree's construction). Returns the
// number of equal leading bytes (1 to 18) and sets cmp to the unsigned difference of the first
// unequal pair (0 when all 18 are equal). Eight bytes are compared at a time where the byte
// order allows finding the first difference from the XOR of two words.
inline int MatchLength(const uint8_t* key, const uint8_t* node, int& cmp) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (int base = 1; base < 17; base += 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, key + base, 8);
    std::memcpy(&b, node + base, 8);
    const uint64_t diff = a ^ b;
    if (diff != 0) {
      const int i = base + (__builtin_ctzll(diff) >> 3);
      cmp = static_cast<int>(key[i]) - static_cast<int>(node[i]);
      return i;
    }
  }
  cmp = static_cast<int>(key[17]) - static_cast<int>(node[17]);
  return cmp != 0 ? 17 : 18;
#else
  for (int i = 1; i < Enc::F; ++i) {
    cmp = static_cast<int>(key[i]) - static_cast<int>(node[i]);
    if (cmp != 0) return i;
  }
  cmp = 0;
  return Enc::F;
#endif
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

void CLzssEncoder::InsertNode(int r) {
  const uint8_t* const key = ring + r;
  int32_t* const par = parent;
  int32_t* const lft = left;
  int32_t* const rgt = right;
  int cmp = 1;
  int p = kRootBase + key[0];
  int best = 0;
  rgt[r] = NIL;
  lft[r] = NIL;
  for (;;) {
    int32_t* link = cmp >= 0 ? &rgt[p] : &lft[p];
    const int next = *link;
    if (next == NIL) {
      *link = r;
      par[r] = p;
      match_len = best;
      return;
    }
    p = next;
    const int i = MatchLength(key, ring + p, cmp);
    if (i > best) {
      // Of two nodes with the same match length the first one met (higher up) stays.
      match_pos = p;
      best = i;
      if (i == F) break;
    }
  }
  match_len = F;
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

void CLzssEncoder::DeleteNode(int p) {
  int32_t* const par = parent;
  int32_t* const lft = left;
  int32_t* const rgt = right;
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

  for (int i = 1; i <= F; ++i) InsertNode(r - i);
  InsertNode(r);

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
      DeleteNode(s);
      ring[s] = c;
      if (s < F - 1) ring[s + N] = c;
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      InsertNode(r);
    }
    for (; i < last; ++i) {
      DeleteNode(s);
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      if (--lookAhead != 0) InsertNode(r);
    }
  } while (lookAhead > 0);

  if (groupLength > 1) {
    std::memcpy(output + total, group, static_cast<size_t>(groupLength));
    total += groupLength;
  }
  return total;
}
