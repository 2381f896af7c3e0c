#pragma once
// Inflate's working state, shared by the block driver (Inflate.cpp), the code tables
// (InflateTables.cpp) and the fast loop (InflateFast.cpp). Not part of the component's surface.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "DecodeTables.h"
#include "ExtractState.h"

namespace unzip::detail {

// "Keep going" from a piece of the decoder that did not finish the block.
inline constexpr int kInflateContinue = -1;

// The two formats the decoder reads. Deflate64 differs in three points: 64 KiB of history,
// length code 285 meaning 3 plus 16 extra bits, and distance codes 30 and 31 (with 32 distance
// codes allowed in a block header).
enum class TInflateFormat { Deflate, Deflate64 };

// --- code tables ---------------------------------------------------------------------------
// One 32-bit entry per table slot:
//   bits 0-7    bits to drop for this entry: its code bits at this level plus the extra bits
//               (a link: the root bits), so that one shift consumes both
//   bits 8-11   code bits at this level (the shift below which the extra bits start); for a
//               link, the index bits of its sub-table
//   bits 12-15  kind flags (below); none set for a length or distance base
//   bits 16-31  literal byte (with bit 31 set), base value, or a link's sub-table start
// except for literals and lengths. A literal has no extra bits, so its code bits are its drop
// count; its bits 8-15 hold the literal/length root's index width instead, which makes the
// entry the control word of BMI1's bit-field extraction: the next root index straight from
// the bits before the shift, one step shorter than a shift and a mask after it. A length
// base likewise holds the distance root's index width in bits 8-15, its value in bits 16-24
// and its code bits in bits 25-28 (LengthValue, LengthCodeBits).
namespace entry {
inline constexpr uint32_t kLink = 1u << 12;
inline constexpr uint32_t kEndOfBlock = 1u << 13;
inline constexpr uint32_t kInvalid = 1u << 14;
inline constexpr uint32_t kSpecial = kLink | kEndOfBlock | kInvalid;
inline constexpr uint32_t kLiteral = 1u << 31;  // literal/length tables only: test the sign
inline constexpr unsigned DropBits(uint32_t e) { return e & 0xFF; }
inline constexpr unsigned CodeBits(uint32_t e) { return (e >> 8) & 0xF; }  // not of a literal
inline constexpr uint32_t Value(uint32_t e) { return e >> 16; }
inline constexpr bool IsLiteral(uint32_t e) { return static_cast<int32_t>(e) < 0; }
inline constexpr uint32_t LengthValue(uint32_t e) { return (e >> 16) & 0x1FF; }
inline constexpr unsigned LengthCodeBits(uint32_t e) { return e >> 25; }
}  // namespace entry

// Longest code lengths and extra bits of both formats; the fast loop's margins follow from them.
inline constexpr unsigned kMaxCodeBits = 15;
inline constexpr unsigned kMaxLengthExtra = 16;  // Deflate64's length code 285
inline constexpr unsigned kMaxDistanceExtra = 14;
inline constexpr unsigned kMaxMatch = 65538;     // Deflate64: 3 + 65535
inline constexpr unsigned kMaxDeflateMatch = 258;

// One Huffman code of a block as the decoder uses it: a root table indexed by RootBits input
// bits with sub-tables after it, and what the plain decoder's table for the same lengths
// would have asked for (CarefulBits at the root, and the lengths to work out its sub-table
// sizes), so that the careful path requests input exactly as the plain decoder does.
struct TCode {
  const uint32_t* Table = nullptr;  // null: every length was 0 (no symbol can be decoded)
  unsigned RootBits = 0;
  unsigned CarefulBits = 0;
  unsigned MaxLen = 0;
  uint16_t Count[kMaxCodeBits + 1] = {};
  uint16_t First[kMaxCodeBits + 1] = {};  // first canonical code of each length (MSB first)
  uint32_t LiteralMask = 0;  // entry::kLiteral for a literal/length code, else 0
};

// The length of the code of entry e of `code` at its table level.
inline unsigned CodeLength(const TCode& code, uint32_t e) {
  if (code.LiteralMask == 0 || (e & entry::kSpecial)) return entry::CodeBits(e);
  return entry::IsLiteral(e) ? entry::DropBits(e) : entry::LengthCodeBits(e);
}

// What each symbol of an alphabet decodes to, before its code bits are added: flags, value and
// (in the low byte) the number of extra bits.
struct TAlphabet {
  const uint32_t* Symbols;
  unsigned Size;
  uint32_t LiteralMask = 0;  // entry::kLiteral when its symbols include literals
};
TAlphabet LiteralLengthAlphabet(TInflateFormat format);
TAlphabet DistanceAlphabet(TInflateFormat format);
TAlphabet CodeLengthAlphabet();

inline constexpr unsigned kLiteralRootBits = 11;
inline constexpr unsigned kDistanceRootBits = 8;
// Table sizes that every complete code fits: the root plus sub-tables of at most
// (kMaxCodeBits - root) bits, each holding at least one more code than its index bits.
inline constexpr unsigned kLiteralTableSize = (1u << kLiteralRootBits) + 1024;
inline constexpr unsigned kDistanceTableSize = (1u << kDistanceRootBits) + 768;
inline constexpr unsigned kCodeLengthTableSize = 1u << 7;

// A block's two tables in one piece: the fast loop reaches the distance table at a fixed
// offset from the literal/length table, which saves it a register. When a block's distance
// code is empty, the distance root holds invalid entries (FillInvalidDistances).
struct TCodeTables {
  uint32_t Lit[kLiteralTableSize];
  uint32_t Dist[kDistanceTableSize];
  void FillInvalidDistances();
};

// Builds the table of lengths[0..n-1] into storage (capacity entries). Result codes as
// BuildDecodeTables: 0 complete, 1 incomplete (accepted when the longest length is 1 or when
// acceptIncomplete; else no table), 2 over-subscribed; every length 0 gives no table and 0.
// carefulRequest is the root size the plain decoder asks for.
int BuildCode(TCode& code, const uint16_t* lengths, unsigned n, TAlphabet alphabet, unsigned rootBits,
              unsigned carefulRequest, uint32_t* storage, unsigned capacity, bool acceptIncomplete = false);

// The longest code whose first `prefixBits` bits are the next input bits (low bit first).
unsigned LongestCodeUnder(const TCode& code, uint64_t bits, unsigned prefixBits);

// --- the state -----------------------------------------------------------------------------
// The window: inflate decodes into Cur, the current 32 KiB piece, with the history (32 or
// 64 KiB) right in front of it, so every distance is a plain backward offset from the write
// position. When Cur fills up it is delivered and the next piece follows it in the block.
// When the host lent memory for the entry's bytes (OutputMemory), the pieces are that memory
// itself, in order, so they are delivered where they lie; the last 33 KiB or less, where a
// round could run past the entry's size, are decoded in the window block as usual.
struct TInflater {
  TInflater(TExtractState& state, TInflateFormat format)
      : S(state),
        Format(format),
        History(format == TInflateFormat::Deflate64 ? 2 * kWindowSize : kWindowSize),
        Cur(state.Window + kWindowSize),
        Limit(state.Window + kWindowAllocSize) {
    if (state.OutputMemory && state.UncompressedSize >= static_cast<int64_t>(kWindowSize + kWindowSlack)) {
      Cur = state.OutputMemory;
      Limit = state.OutputMemory + state.UncompressedSize;
    }
  }

  TExtractState& S;
  const TInflateFormat Format;
  const uint32_t History;
  uint8_t* Cur;
  uint8_t* Limit;           // end of the memory Cur slides along: the window block or the host's
  uint32_t WPos = 0;        // next free position in Cur; beyond kWindowSize only inside the fast loop
  int64_t CycleBase = 0;    // bytes of this entry produced before Cur's first byte
  // Bit buffer: the next bit is bit 0. Bits above Count are zero or the true bits of the
  // next input bytes, so OR-ing those bytes in again changes nothing.
  uint64_t Bits = 0;
  unsigned Count = 0;

  // How far back a distance may reach: no further than the first byte of the entry.
  uint32_t Reach() const {
    return (CycleBase >= static_cast<int64_t>(History) ? History : static_cast<uint32_t>(CycleBase)) + WPos;
  }
  // Earliest byte a distance may reach, as a pointer.
  const uint8_t* ReachBase() const {
    return CycleBase >= static_cast<int64_t>(History) ? Cur - History : Cur - CycleBase;
  }

  // Brings the bit buffer to n (at most 32) bits. Whole words come from the input buffer while
  // it holds eight bytes; near the end of a chunk the bytes come one at a time through
  // EnsureBits' fetch, which does the refills. Refills therefore fall exactly where the plain
  // decoder's do, whatever this buffer held before: both refill only when the chunk is used up,
  // and then both hold the same bits.
  void Need(unsigned n) {
    if (Count >= n) return;
    if (S.InCount >= 8) {
      uint64_t word;
      std::memcpy(&word, S.InPtr, 8);
      Bits |= word << Count;
      const unsigned taken = (63 - Count) >> 3;
      S.TakeInput(taken);
      Count += taken * 8;
      return;
    }
    while (Count < n) {
      S.FetchByte(S.ByteHolder);
      Bits |= static_cast<uint64_t>(S.ByteHolder & 0xFF) << Count;
      Count += 8;
    }
  }
  // Drops n bits; false when that consumed filler appended past the end of the entry's data.
  bool Drop(unsigned n) {
    Bits >>= n;
    Count -= n;
    return S.CompressedLeft >= 0 || Count >= 8 * static_cast<uint64_t>(-S.CompressedLeft);
  }
  // Reads n (at most 16) bits; false when that consumed bits past the end of the data.
  bool Read(unsigned n, unsigned& value) {
    Need(n);
    value = static_cast<unsigned>(Bits & ((1u << n) - 1));
    return Drop(n);
  }

  // Delivers the full window piece and moves on; false when the entry's output limit is hit.
  // Bytes the fast loop wrote past the piece's end (at most a few hundred) move along with it.
  bool Wrap() {
    S.FlushFollowing(Cur, kWindowSize);
    const uint32_t spill = WPos - static_cast<uint32_t>(kWindowSize);
    if (Limit - Cur >= static_cast<ptrdiff_t>(2 * kWindowSize + kWindowSlack)) {
      Cur += kWindowSize;
    } else {
      // End of the memory: the history (what there is of it) and the spill move to the start
      // of the window block.
      const uint32_t history =
          static_cast<uint32_t>(std::min<int64_t>(History, CycleBase + static_cast<int64_t>(kWindowSize)));
      std::memcpy(S.Window + History - history, Cur + kWindowSize - history, history + spill);
      Cur = S.Window + History;
      Limit = S.Window + kWindowAllocSize;
    }
    CycleBase += kWindowSize;
    WPos = spill;
    return !S.OutputCapped;
  }
  bool PutWindowByte(uint8_t b) {
    Cur[WPos++] = b;
    return WPos != kWindowSize || Wrap();
  }
};
static_assert(2 * 2 * kWindowSize + kWindowSlack <= kWindowAllocSize, "room for 64 KiB of history and a piece");

// Copies a match the way the plain decoder does, piece by piece, delivering each window piece
// as it fills; false when the output limit was hit. The distance must already be checked.
bool CopyMatchCareful(TInflater& z, uint32_t distance, uint32_t length);

// Decodes symbols while the input buffer and the window leave room for a whole round without
// any check; returns kInflateContinue when a margin no longer holds, else the block's result.
// Works on the careful state and leaves it exact: unused whole bytes go back to the input, and
// a window piece it filled is delivered.
int InflateFastLoop(TInflater& z, const TCodeTables& tables);
// The same for the entry's last bytes, fewer than the fast loop's margin, when the buffer holds
// all that is left of the entry (no refill can come): kInflateContinue when it cannot run or
// stopped short of the end, with the state exact for the careful path.
int InflateTailLoop(TInflater& z, const TCodeTables& tables);

// Input bytes a round of the fast loop may read after its margin check: each refill loads 8
// bytes and takes at most 7, and a round refills at most three times (the refill that starts
// it, one between a length and its distance, and in Deflate64 one more before a distance that
// follows a length with 16 extra bits).
inline constexpr unsigned kRefillLoadBytes = 8;
inline constexpr unsigned kRefillsPerRound = 3;
inline constexpr unsigned kFastInputMargin = (kRefillLoadBytes - 1) * (kRefillsPerRound - 1) + kRefillLoadBytes;
// Bits a refill guarantees, and what a round spends between refills. A literal found in the
// root table takes at most its root bits; every lookup needs the root bits of its table held.
inline constexpr unsigned kRefillBits = 8 * (kRefillLoadBytes - 1);
inline constexpr unsigned kDeflateLengthBits = kMaxCodeBits + 5, kDeflateDistanceBits = kMaxCodeBits + 13;
static_assert(3 * kLiteralRootBits + kLiteralRootBits <= kRefillBits, "three literals and the next lookup");
static_assert(2 * kLiteralRootBits + kMaxCodeBits + kLiteralRootBits <= kRefillBits,
              "two literals, a literal from a sub-table and the next lookup");
static_assert(2 * kLiteralRootBits + kDeflateLengthBits + kDistanceRootBits <= kRefillBits,
              "two literals, a deflate length and the distance lookup");
static_assert(2 * kLiteralRootBits + kMaxCodeBits + kMaxLengthExtra <= kRefillBits,
              "two literals and a Deflate64 length (its distance lookup may refill first)");
static_assert(kMaxCodeBits + kMaxDistanceExtra + kLiteralRootBits <= kRefillBits && kDeflateDistanceBits <= kMaxCodeBits + kMaxDistanceExtra,
              "a distance after its refill, and the next lookup");
// Window room a round may write past the piece's end: two literals and a longest deflate
// match (longer Deflate64 matches are cut into pieces of at most this), plus the copy overrun.
inline constexpr unsigned kCopyOverrun = 32;
inline constexpr unsigned kMaxRoundOutput = 2 + kMaxDeflateMatch + kCopyOverrun;
static_assert(kMaxRoundOutput <= kWindowSlack, "a round that starts inside the piece stays inside the block");

}  // namespace unzip::detail
