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
inline void Copy16(uint8_t* out, const uint8_t* src) {
  uint8_t tmp[16];
  std::memcpy(tmp, src, 16);
  std::memcpy(out, tmp, 16);
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

// Stands in for the table of an empty distance code: every distance is invalid.
constexpr uint32_t kNoDistance[1] = {kInvalid};

inline void Copy32(uint8_t* out, const uint8_t* src) {
  uint8_t tmp[32];
  std::memcpy(tmp, src, 32);
  std::memcpy(out, tmp, 32);
}

// Copies a match of len bytes from dist behind out; may write up to kCopyOverrun - 1 bytes
// past out + len.
inline void CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 32) {
    // One 32-byte move covers most matches; its load never overlaps its own store.
    do {
      Copy32(out, src);
      out += 32;
      src += 32;
    } while (out < end);
  } else if (dist >= 16) {
    // Most matches are short: two 16-byte moves without a test, then a loop for the rest.
    Copy16(out, src);
    Copy16(out + 16, src + 16);
    out += 32;
    src += 32;
    while (out < end) {
      Copy16(out, src);
      out += 16;
      src += 16;
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

}  // namespace

// The loop body is compiled for the base instruction set and with BMI2 and AVX2: shifts by a
// register amount and bit extraction shorten the bit buffer's dependency chain, and matches
// move 32 bytes at a time.
template <bool Deflate64, bool Bmi2>
__attribute__((always_inline)) inline int FastLoopBody(TInflater& z, const TCode& litCode, const TCode& distCode) {
  TExtractState& s = z.S;
  const uint8_t* in = s.InPtr;
  const uint8_t* const inStart = in;
  const uint8_t* const inLimit = s.InPtr + s.InCount - kFastInputMargin;
  uint8_t* out = z.Cur + z.WPos;
  uint8_t* const outLimit = z.Cur + kWindowSize;
  const uint8_t* const reachBase = z.ReachBase();
  const uint32_t* const lit = litCode.Table;
  const uint32_t* const dist = distCode.Table != nullptr ? distCode.Table : kNoDistance;
  const uint64_t litMask = (uint64_t{1} << litCode.RootBits) - 1;
  const uint64_t distMask = distCode.Table != nullptr ? (uint64_t{1} << distCode.RootBits) - 1 : 0;

  uint64_t bb = z.Bits;
  // Only the low byte of bc is the bit count: whole entries are subtracted from it, and their
  // low byte is the number of bits they drop (higher bytes just borrow into bc's upper bits).
  uint32_t bc = z.Count;
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

  while (in <= inLimit && out < outLimit) {
    QUORBIN_REFILL();
    uint32_t e = lit[bb & litMask];
    if (IsLiteral(e)) {
      // Up to three literals per refill: each code has at most kMaxCodeBits bits.
      QUORBIN_CONSUME(e);
      *out++ = static_cast<uint8_t>(e >> 16);
      e = lit[bb & litMask];
      if (IsLiteral(e)) {
        QUORBIN_CONSUME(e);
        *out++ = static_cast<uint8_t>(e >> 16);
        e = lit[bb & litMask];
        if (IsLiteral(e)) {
          QUORBIN_CONSUME(e);
          *out++ = static_cast<uint8_t>(e >> 16);
          continue;
        }
      }
      // A length follows: top up for it and its distance (the entry is already decided by
      // bits that were there).
      QUORBIN_REFILL();
    }
    if (e & kSpecial) {
      if (e & kLink) {
        QUORBIN_CONSUME(e);
        e = lit[Value(e) + LowBits<Bmi2>(bb, CodeBits(e))];
        if (IsLiteral(e)) {
          QUORBIN_CONSUME(e);
          *out++ = static_cast<uint8_t>(e >> 16);
          continue;
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
    const uint32_t length = Value(e) + static_cast<uint32_t>(LowBits<Bmi2>(bb, e) >> CodeBits(e));
    QUORBIN_CONSUME(e);
    if constexpr (Deflate64) {
      if ((bc & 0xFF) < kMaxCodeBits + kMaxDistanceExtra) QUORBIN_REFILL();
    }
    uint32_t d = dist[bb & distMask];
    if (d & kSpecial) {
      if (d & kLink) {
        QUORBIN_CONSUME(d);
        d = dist[Value(d) + LowBits<Bmi2>(bb, CodeBits(d))];
      }
      if (d & kInvalid) {
        result = kInflateDataError;
        break;
      }
    }
    const uint32_t distance = Value(d) + static_cast<uint32_t>(LowBits<Bmi2>(bb, d) >> CodeBits(d));
    QUORBIN_CONSUME(d);
    // Reaching back before the entry's first byte would leak an earlier entry's data.
    if (distance > static_cast<uint32_t>(out - reachBase)) {
      result = kInflateDataError;
      break;
    }
    if (Deflate64 && length > kMaxDeflateMatch) {
      // Longer than a round may write: the careful copy below takes it piece by piece.
      pendingLength = length;
      pendingDistance = distance;
      break;
    }
    CopyMatch(out, distance, length);
    out += length;
  }
#undef QUORBIN_REFILL
#undef QUORBIN_CONSUME
  // Give back the whole bytes loaded but not used (only ones this loop loaded: earlier ones may
  // belong to a previous chunk), and clear the bits above the count.
  unsigned count = bc & 0xFF;
  {
    unsigned back = count >> 3;
    if (back > static_cast<unsigned>(in - inStart)) back = static_cast<unsigned>(in - inStart);
    in -= back;
    count -= back * 8;
    bb = LowBits<false>(bb, count);
  }
  s.TakeInput(static_cast<uint32_t>(in - inStart));
  z.Bits = bb;
  z.Count = count;
  z.WPos = static_cast<uint32_t>(out - z.Cur);
  // A piece filled in this loop was delivered by the plain decoder before the symbol that
  // ended the loop, whatever that symbol turned out to be.
  if (z.WPos >= kWindowSize && !z.Wrap()) return kInflateDataError;
  if (pendingLength != 0 && !CopyMatchCareful(z, pendingDistance, pendingLength)) return kInflateDataError;
  return result;
}

#if defined(__x86_64__)
template <bool Deflate64>
__attribute__((target("bmi2,avx2"))) static int FastLoopBmi2(TInflater& z, const TCode& lit, const TCode& dist) {
  return FastLoopBody<Deflate64, true>(z, lit, dist);
}
#endif

template <bool Deflate64>
static int FastLoopBase(TInflater& z, const TCode& lit, const TCode& dist) {
  return FastLoopBody<Deflate64, false>(z, lit, dist);
}

int InflateFastLoop(TInflater& z, const TCode& lit, const TCode& dist) {
  const bool deflate64 = z.Format == TInflateFormat::Deflate64;
#if defined(__x86_64__)
  static const bool bmi2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2");
  }();
  if (bmi2) return deflate64 ? FastLoopBmi2<true>(z, lit, dist) : FastLoopBmi2<false>(z, lit, dist);
#endif
  return deflate64 ? FastLoopBase<true>(z, lit, dist) : FastLoopBase<false>(z, lit, dist);
}

}  // namespace unzip::detail
