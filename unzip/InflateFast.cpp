// Inflate's fast loop. It runs only while two margins hold, so its body needs no input or
// window checks:
//   - at least kFastInputMargin unread bytes in the input buffer, enough for every refill of
//     a round (see InflateInternal.h, where the margin follows from the longest codes);
//   - the write position inside the current window piece: a round writes at most
//     kMaxRoundOutput bytes, which the block's slack holds even after the last piece.
// It never triggers a refill, so the plain decoder's refills happen at the same points; when
// a round ends past the piece's end, the piece is delivered on leaving, before any further
// input is asked for, which is where the plain decoder delivers it relative to the refills.
// On leaving, the bytes it loaded but did not use go back to the input buffer.
#include <algorithm>
#include <cstring>

#include "InflateInternal.h"

namespace unzip::detail {

namespace {

using namespace entry;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
// An unaligned vector of 16 bytes: one load and one store, with no bounce through the stack
// that a byte array in between can cost.
typedef uint8_t TVec16 __attribute__((vector_size(16), aligned(1), may_alias));
inline void Copy16(uint8_t* out, const uint8_t* src) {
  *reinterpret_cast<TVec16*>(out) = *reinterpret_cast<const TVec16*>(src);
}

// The low n bits of v (n in 0..63); with BMI2 one instruction that reads n from the low byte
// of a whole table entry.
template <bool Bmi2>
inline uint64_t LowBits(uint64_t v, uint32_t n) {
#if defined(__x86_64__)
  if constexpr (Bmi2) {
    uint64_t r;
    asm("bzhi %2, %1, %0" : "=r"(r) : "r"(v), "r"(uint64_t{n}));
    return r;
  }
#endif
  return v & ((uint64_t{1} << (n & 0xFF)) - 1);
}

// The root index (Width bits) that follows entry e, a literal's or a length's, from the bits
// before e is consumed: with BMI1 one bit-field extraction whose control word is the entry
// itself (its drop count is where the field starts, bits 8-15 its width), so the next
// look-up waits for one instruction after the entry's load instead of a shift and a mask.
template <bool Bmi2, unsigned Width>
inline uint64_t NextIndex(uint64_t bits, uint32_t e) {
#if defined(__x86_64__)
  if constexpr (Bmi2) {
    uint64_t r;
    asm("bextr %2, %1, %0" : "=r"(r) : "r"(bits), "r"(uint64_t{e}));
    return r;
  }
#endif
  return (bits >> (e & 63)) & ((uint64_t{1} << Width) - 1);
}

// The code bits of a distance base: its kind flags are clear, so the byte above the drop
// count is the code bits alone, and a 64-bit shift by it needs no mask (the shift takes the
// count's low six bits).
inline uint32_t BaseCodeBits(uint32_t e) { return (e >> 8) & 63; }

constexpr uint64_t kLitMask = (uint64_t{1} << kLiteralRootBits) - 1;
constexpr uint64_t kDistMask = (uint64_t{1} << kDistanceRootBits) - 1;

// Copies a match of len bytes from dist behind out; may write up to kCopyOverrun - 1 bytes
// past out + len.
inline void CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 16) {
    // Most matches are short: two 16-byte moves without a test, then a loop for the rest.
    // One branch for every distance from 16 up keeps the common case predictable.
    Copy16(out, src);
    Copy16(out + 16, src + 16);
    out += 32;
    src += 32;
    while (out < end) {
      Copy16(out, src);
      Copy16(out + 16, src + 16);
      out += 32;
      src += 32;
    }
  } else if (dist >= 8) {
    do {
      Store64(out, Load64(src));
      out += 8;
      src += 8;
    } while (out < end);
  } else if (dist == 1) {
    const uint64_t pattern = 0x0101010101010101ull * *src;
    do {
      Store64(out, pattern);
      Store64(out + 8, pattern);
      out += 16;
    } while (out < end);
  } else {
    // Short distance: lay down enough bytes by hand that a whole multiple of the period is
    // behind the write position, then copy words from that multiple back.
    const uint32_t step = dist * ((8 + dist - 1) / dist);
    for (uint32_t i = dist; i < step && out < end; ++i) *out++ = *src++;
    while (out < end) {
      Store64(out, Load64(out - step));
      out += 8;
    }
  }
}
static_assert(kCopyOverrun >= 32, "the copies above overrun by at most 31 bytes");

// What a run of rounds starts from and ends with.
struct TRounds {
  const uint8_t* In;
  uint8_t* Out;
  uint64_t Bits;
  uint32_t Count;
  int Result = kInflateContinue;
  uint32_t PendingLength = 0, PendingDistance = 0;
  // The margins and the reach: read from here where they are needed rather than held in
  // registers, which the hot values need more (these loads are off the critical path).
  const uint8_t* InLimit;
  uint8_t* OutLimit;
  const uint8_t* ReachBase;
};

// The rounds, in a function of their own so that only their own values are live in it (the
// decoder's state stays with the caller) and none of them has to go to the stack. Compiled
// for the base instruction set and with BMI2: shifts by a register amount and bit extraction
// shorten the bit buffer's dependency chain.
template <bool Deflate64, bool Bmi2>
__attribute__((always_inline)) inline void Rounds(TRounds& r, const uint32_t* const lit) {
  // The distance table follows the literal/length table (TCodeTables), at a fixed offset.
  const uint8_t* in = r.In;
  uint8_t* out = r.Out;
  uint64_t bb = r.Bits;
  // Only the low byte of bc is the bit count: whole entries are subtracted from it, and their
  // low byte is the number of bits they drop (higher bytes just borrow into bc's upper bits).
  uint32_t bc = r.Count;
  int result = kInflateContinue;
  uint32_t pendingLength = 0, pendingDistance = 0;

#define QUORBIN_REFILL()                                   \
  do {                                                     \
    bb |= Load64(in) << (bc & 63);                         \
    in += (kRefillLoadBytes - 1) - ((bc >> 3) & 7);        \
    bc |= kRefillBits;                                     \
  } while (0)
#define QUORBIN_CONSUME(e) \
  do {                     \
    bb >>= ((e) & 63);     \
    bc -= (e);             \
  } while (0)

  // The next literal/length entry is looked up from the bits already held, before the refill
  // that ends a round, so the table load and the input load overlap instead of one waiting for
  // the other: a round starts with its first entry at hand and at least kRefillBits bits.
  // Every path of a round ends in QUORBIN_NEXT_ROUND, which checks the margins before the refill.
#define QUORBIN_NEXT_ROUND()                         \
  {                                                  \
    if (!(in <= r.InLimit && out < r.OutLimit)) break; \
    QUORBIN_REFILL();                                \
    continue;                                        \
  }
  const bool enter = in <= r.InLimit && out < r.OutLimit;
  uint32_t e = 0;
  if (enter) {
    QUORBIN_REFILL();
    e = lit[bb & kLitMask];
  }
  // A literal: its byte out, and the next entry looked up from the bits that follow it.
#define QUORBIN_LITERAL()                                         \
  do {                                                            \
    const uint64_t next = NextIndex<Bmi2, kLiteralRootBits>(bb, e); \
    QUORBIN_CONSUME(e);                                           \
    *out++ = static_cast<uint8_t>(e >> 16);                       \
    e = lit[next];                                                \
  } while (0)
  while (enter) {
    if (__builtin_expect(IsLiteral(e), 1)) {
      // Up to three literals per round: a literal in the root table takes at most
      // kLiteralRootBits bits, so three of them leave enough for the next lookup.
      QUORBIN_LITERAL();
      if (__builtin_expect(IsLiteral(e), 1)) {
        QUORBIN_LITERAL();
        if (__builtin_expect(IsLiteral(e), 1)) {
          QUORBIN_LITERAL();
          QUORBIN_NEXT_ROUND();
        }
      }
    }
    if (e & kSpecial) {
      if (e & kLink) {
        QUORBIN_CONSUME(e);
        e = lit[Value(e) + LowBits<Bmi2>(bb, CodeBits(e))];
        if (IsLiteral(e)) {
          QUORBIN_LITERAL();
          QUORBIN_NEXT_ROUND();
        }
      }
      if (e & kEndOfBlock) {
        QUORBIN_CONSUME(e);
        result = kInflateOk;
        break;
      }
      if (e & kInvalid) {
        result = kInflateDataError;
        break;
      }
    }
    // A length: its base plus the extra bits above its code bits, dropped in one shift.
    const uint32_t length = LengthValue(e) + static_cast<uint32_t>(LowBits<Bmi2>(bb, e) >> LengthCodeBits(e));
    // The distance entry is looked up from the bits held (found, like the next literal, by the
    // entry as a bit-field control); the refill for its code and extra bits (and the next
    // lookup) goes on meanwhile.
    uint64_t distanceIndex;
    if constexpr (Deflate64) {
      QUORBIN_CONSUME(e);
      if ((bc & 0xFF) < kDistanceRootBits) QUORBIN_REFILL();
      distanceIndex = bb & kDistMask;
    } else {
      distanceIndex = NextIndex<Bmi2, kDistanceRootBits>(bb, e);
      QUORBIN_CONSUME(e);
    }
    uint32_t d = lit[kLiteralTableSize + distanceIndex];
    QUORBIN_REFILL();
    if (d & kSpecial) {
      if (d & kLink) {
        QUORBIN_CONSUME(d);
        d = lit[kLiteralTableSize + Value(d) + LowBits<Bmi2>(bb, CodeBits(d))];
      }
      if (d & kInvalid) {
        result = kInflateDataError;
        break;
      }
    }
    const uint32_t distance = Value(d) + static_cast<uint32_t>(LowBits<Bmi2>(bb, d) >> BaseCodeBits(d));
    QUORBIN_CONSUME(d);
    // Reaching back before the entry's first byte would leak an earlier entry's data.
    if (distance > static_cast<uint32_t>(out - r.ReachBase)) {
      result = kInflateDataError;
      break;
    }
    if (Deflate64 && length > kMaxDeflateMatch) {
      // Longer than a round may write: the careful copy below takes it piece by piece.
      pendingLength = length;
      pendingDistance = distance;
      break;
    }
    e = lit[bb & kLitMask];
    CopyMatch(out, distance, length);
    out += length;
    QUORBIN_NEXT_ROUND();
  }
#undef QUORBIN_LITERAL
#undef QUORBIN_NEXT_ROUND
#undef QUORBIN_REFILL
#undef QUORBIN_CONSUME
  r.In = in;
  r.Out = out;
  r.Bits = bb;
  r.Count = bc;
  r.Result = result;
  r.PendingLength = pendingLength;
  r.PendingDistance = pendingDistance;
}

#if defined(__x86_64__)
template <bool Deflate64>
__attribute__((target("bmi2"), noinline)) void RoundsBmi2(TRounds& r, const uint32_t* lit) {
  Rounds<Deflate64, true>(r, lit);
}
#endif
template <bool Deflate64>
__attribute__((noinline)) void RoundsBase(TRounds& r, const uint32_t* lit) {
  Rounds<Deflate64, false>(r, lit);
}

// Runs rounds over `in` (the input buffer itself, or the tail's padded copy of its last bytes)
// and settles the state: the bits and whole bytes taken go out of the input, the rest stays
// for the careful path, and a window piece the rounds filled is delivered.
int RunRounds(TInflater& z, const TCodeTables& tables, const uint8_t* in, const uint8_t* inLimit,
              uint8_t* outLimit) {
  TExtractState& s = z.S;
  TRounds r;
  r.In = in;
  r.Out = z.Cur + z.WPos;
  r.Bits = z.Bits;
  r.Count = z.Count;
  r.InLimit = inLimit;
  r.OutLimit = outLimit;
  r.ReachBase = z.ReachBase();
  const bool deflate64 = z.Format == TInflateFormat::Deflate64;
#if defined(__x86_64__)
  static const bool bmi2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
  }();
  if (bmi2)
    (deflate64 ? RoundsBmi2<true> : RoundsBmi2<false>)(r, tables.Lit);
  else
#endif
    (deflate64 ? RoundsBase<true> : RoundsBase<false>)(r, tables.Lit);

  // The bits the rounds took, against those the input really has (what the bit buffer held
  // and the buffer's bytes): more is possible only from the tail's zeros, and is the data
  // error the plain decoder meets at its first bit past the end.
  const uint64_t real = z.Count + 8 * uint64_t{s.InCount};
  const uint64_t consumed = z.Count + 8 * static_cast<uint64_t>(r.In - in) - (r.Count & 0xFF);
  if (consumed > real) return kInflateDataError;
  // What is left: the buffer's last whole bytes, and before them bits the bit buffer keeps
  // (some may be bits it held before, from bytes taken earlier). Bytes loaded but not used go
  // back to the input; bits above the count are cleared.
  const uint64_t left = real - consumed;
  const auto bytesLeft = static_cast<uint32_t>(std::min<uint64_t>(left / 8, s.InCount));
  s.TakeInput(s.InCount - bytesLeft);
  z.Count = static_cast<unsigned>(left - 8 * uint64_t{bytesLeft});
  z.Bits = LowBits<false>(r.Bits, z.Count);
  z.WPos = static_cast<uint32_t>(r.Out - z.Cur);
  // A piece filled in the rounds was delivered by the plain decoder before the symbol that
  // ended them, whatever that symbol turned out to be. (The tail's rounds never fill one.)
  if (z.WPos >= kWindowSize && !z.Wrap()) return kInflateDataError;
  if (r.PendingLength != 0 && !CopyMatchCareful(z, r.PendingDistance, r.PendingLength)) return kInflateDataError;
  return r.Result;
}

}  // namespace

int InflateFastLoop(TInflater& z, const TCodeTables& tables) {
  TExtractState& s = z.S;
  return RunRounds(z, tables, s.InPtr, s.InPtr + s.InCount - kFastInputMargin, z.Cur + kWindowSize);
}

int InflateTailLoop(TInflater& z, const TCodeTables& tables) {
  TExtractState& s = z.S;
  // The rounds run on a copy of the last bytes followed by zeros, and stay far enough from the
  // piece's end that no round can finish it: whatever they decode from the zeros is then
  // never delivered, and taking any of their bits is found when they stop.
  if (s.InCount >= kFastInputMargin || static_cast<int64_t>(s.InCount) != s.CompressedLeft) return kInflateContinue;
  if (z.WPos + kMaxRoundOutput >= kWindowSize) return kInflateContinue;
  constexpr unsigned kPadding = 32;
  uint8_t tail[kFastInputMargin + kPadding] = {};
  std::memcpy(tail, s.InPtr, s.InCount);
  return RunRounds(z, tables, tail, tail + sizeof(tail) - kFastInputMargin, z.Cur + kWindowSize - kMaxRoundOutput);
}

}  // namespace unzip::detail
