#pragma once
// What the shrink, reduce and implode decoders share: a bit reader over the extraction
// state's input buffer and the history copy of reduce and implode. Also the steps of those
// decoders that tests drive on their own. Not part of the component's surface.
#include <bit>
#include <cstdint>
#include <cstring>

#include "DecodeTables.h"
#include "ExtractState.h"

namespace unzip::detail {

// What a bit reader hands out once the entry's compressed bytes are used up.
enum class TPastEnd {
  Stop,        // nothing: the caller sees fewer bits than it asked for and ends (unshrink)
  Zeros,       // zero bits (unreduce)
  RepeatLast,  // the last byte again and again, as EnsureBits appends it (explode)
};

// Compressed bits, least significant first, in a 64-bit buffer. Where the input buffer holds
// eight or more unread bytes a refill is one unaligned load; near the end of a chunk it goes
// byte by byte through FetchByte, which also does the chunk refills, the cancel poll and the
// disk switches. Bits above Count are either zero or the true bits of the next input byte
// (the load takes a whole word but only whole bytes are counted as taken), so OR-ing that byte
// in again later changes nothing.
template <TPastEnd PastEnd>
class TBitReader {
public:
  explicit TBitReader(TExtractState& state) : S(state) {}

  uint64_t Buf = 0;
  unsigned Count = 0;  // valid bits in Buf
  bool Ended = false;  // FetchByte has found the data used up

  // Reduce and implode have no end marker: past the end of the data the reader keeps handing
  // out bits, and a broken entry declaring 4 GiB would decode all of it from a few bytes. A
  // sound stream is decoded from its own bits; the reader only looks ahead, by a few bytes
  // (at most three fills past the end). So once the fills past the end exceed this many, the
  // data has run out: the state is marked and the decoder stops.
  static constexpr int64_t kPastEndLimit = 64;
  bool Exhausted() {
    if (!Ended || S.CompressedLeft >= -kPastEndLimit) return false;
    S.InputExhausted = true;
    return true;
  }

  // Brings Count to 56 or more, unless the data ends (only with PastEnd == Stop).
  void Fill() {
    if (S.InCount >= 8) {
      uint64_t word;
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, S.InPtr, 8);
      } else {
        word = 0;
        for (int i = 7; i >= 0; --i) word = (word << 8) | S.InPtr[i];
      }
      Buf |= word << Count;
      const unsigned taken = (63 - Count) >> 3;
      S.TakeInput(taken);
      Count += taken * 8;
      return;
    }
    FillSlow();
  }

  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(Buf) & ((1u << n) - 1); }
  void Drop(unsigned n) {
    Buf >>= n;
    Count -= n;
  }
  // The next n (up to 16) bits; Count must already hold them.
  uint32_t Take(unsigned n) {
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }

private:
  TExtractState& S;

  void FillSlow() {
    while (Count <= 56) {
      uint16_t b = 0;
      if constexpr (PastEnd == TPastEnd::RepeatLast) {
        // EnsureBits' byte holder: it keeps the last byte delivered when none is left.
        if (S.FetchByte(S.ByteHolder) == 0) Ended = true;
        b = S.ByteHolder;
      } else if (S.FetchByte(b) == 0) {
        Ended = true;
        // Every real byte is in, so the bits above Count are zero: count them as the zero
        // bits that unreduce reads past the end.
        if constexpr (PastEnd == TPastEnd::Zeros) Count = 64;
        return;
      }
      Buf |= static_cast<uint64_t>(b) << Count;
      Count += 8;
    }
  }
};

// The history copy of unreduce (S = 16384) and explode (S = 32768): count bytes from
// distance back, with the window delivered (FlushWindow(S)) each time the write position
// reaches S. During the first pass through the window, a source at or after the write
// position lies before the entry's first byte: it reads as zeros, never as what an earlier
// entry left there. Overlapping copies repeat the most recent bytes, as a byte-by-byte copy
// in increasing order does. Returns false when the output limit was hit at a delivery.
template <uint32_t S>
inline bool CopyMatch(TExtractState& state, uint8_t* hist, uint32_t& pos, uint32_t distance,
                      uint32_t count, bool& firstPass) {
  static_assert((S & (S - 1)) == 0);
  uint32_t src = pos - distance;
  while (count != 0) {
    src &= S - 1;
    uint32_t chunk = S - (pos > src ? pos : src);
    if (chunk > count) chunk = count;
    count -= chunk;
    uint8_t* d = hist + pos;
    const uint8_t* s = hist + src;
    const uint32_t gap = pos - src;  // unsigned: huge when the source is ahead
    if (firstPass && src >= pos) {
      std::memset(d, 0, chunk);
    } else if (gap >= chunk) {
      std::memmove(d, s, chunk);
    } else if (gap == 1) {
      std::memset(d, *s, chunk);
    } else {
      uint32_t i = 0;
      if (gap >= 8)
        for (; i + 8 <= chunk; i += 8) std::memcpy(d + i, s + i, 8);
      for (; i < chunk; ++i) d[i] = s[i];
    }
    pos += chunk;
    src += chunk;
    if (pos == S) {
      state.FlushWindow(S);
      pos = 0;
      firstPass = false;
      if (state.OutputCapped) return false;
    }
  }
  return true;
}

// Steps that tests drive on their own.

// Partial clearing of the shrink code table: frees every code from 257 to nextFree - 1 that
// no code in that range uses as its prefix, then moves nextFree to the lowest free code.
// scratch: one byte per code below nextFree (the shrink decoder lends its string stack).
void ClearUnusedCodes(int16_t* prefix, uint8_t* scratch, unsigned& nextFree);

// Reads the 256 follower sets of a reduced entry: sizes[x] and row x of the follower table
// (64 bytes per row).
void ReadFollowerSets(TBitReader<TPastEnd::Zeros>& bits, uint8_t* sizes, uint8_t* followers);

// Reads one code-length description of an imploded entry into lengths[0..count-1] (1..16).
// False when the description does not add up to exactly count lengths, or when the entry's
// bytes run out in the middle of it.
bool ReadCodeLengths(TExtractState& state, uint16_t* lengths, unsigned count);

// The decode loops of explode, with and without coded literals. dictionary is 8 (8 KiB) or
// 4 (4 KiB); the widths are the tables' lookup bits as the builder returned them. They end
// when the entry's size is produced, or at once on an invalid code (then without delivering
// the history bytes decoded since the last delivery).
void DecodeWithLiteralTree(TExtractState& state, unsigned dictionary, const TDecodeTable& literals,
                           const TDecodeTable& lengths, const TDecodeTable& distances,
                           unsigned literalWidth, unsigned lengthWidth, unsigned distanceWidth);
void DecodeWithoutLiteralTree(TExtractState& state, unsigned dictionary, const TDecodeTable& lengths,
                              const TDecodeTable& distances, unsigned lengthWidth,
                              unsigned distanceWidth);

}  // namespace unzip::detail
