// LZSS coder for the compressed banks: 4096-byte ring, references of 3 to 18 bytes to absolute
// ring positions, longest match found through a binary search tree over the ring's strings.
// The state is a fixed-size object; Encode allocates nothing. Each Encode call is independent of
// every other call.
#pragma once

#include <cstdint>

class CLzssEncoder {
 public:
  static constexpr int N = 4096;           // ring size; positions wrap modulo 4096
  static constexpr int F = 18;             // longest match and look-ahead size
  static constexpr int THRESHOLD = 2;      // matches of 2 bytes or less go out as literals
  static constexpr int NIL = N;            // no node
  static constexpr int kStartPosition = N - F;  // ring position of the first input byte (4078)
  static constexpr int kRootBase = N + 1;       // right[4097 + b]: root of the strings starting with b

  // Output bytes needed in the worst case (all literals): length + ceil(length / 8).
  static constexpr int64_t MaxEncodedSize(int length) {
    return length <= 0 ? 0 : static_cast<int64_t>(length) + (static_cast<int64_t>(length) + 7) / 8;
  }

  // Every member starts zeroed, so that a fresh object behaves the same way on every run.
  CLzssEncoder();

  // Sets the 256 roots and the parent links of positions 0 to 4095 to NIL.
  void InitTree();
  // Inserts the 18-byte string at ring position r (0 to 4095) and leaves the longest match in
  // match_pos and match_len. A string equal in all 18 bytes replaces the older node.
  void InsertNode(int r);
  // Removes ring position p from the tree if it is there.
  void DeleteNode(int p);
  // Compresses `length` bytes of `input` into `output`, which must hold MaxEncodedSize(length)
  // bytes. Returns the number of bytes written (0 for an empty or negative length).
  int Encode(const uint8_t* input, uint8_t* output, int length);

  // Working state, in this order. ring[4096..4112] mirror ring[0..16] so that 18 bytes can be
  // compared from any position without wrapping.
  uint8_t ring[N + F - 1];
  int32_t parent[N + 1];   // entry 4096 takes the writes addressed to a missing child's parent
  int32_t left[N + 1];
  int32_t right[N + 257];  // entries 4097..4352 are the tree roots
  int32_t match_pos;
  int32_t match_len;
};
