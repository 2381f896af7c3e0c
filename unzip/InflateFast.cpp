// Inflate's fast loop. It runs only while two margins hold, so its body needs no input or
// window checks:
//   - at least kFastInputMargin unread bytes in the input buffer: one 8-byte load per symbol
//     tops the 64-bit bit buffer up to 56 or more bits, and a whole length/distance pair needs
//     at most 15 + 5 + 15 + 13 = 48;
//   - room in the window for two literals and a maximal match (one round), and the window block
//     has slack after it for copies that overshoot by a few bytes.
// It never triggers a refill and never delivers output, so the reference decoder's refills,
// writes and events happen at the same points; on leaving, the bytes it loaded but did not use
// go back to the input buffer and the careful state is exact again.
#include <cstring>

#include "InflateInternal.h"

namespace unzip::detail {

namespace {

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Entries are read as one 64-bit word: bits in bits 0-7, op in 8-15, value in 32-63.
inline uint64_t EntryWord(const TDecodeEntry* e) {
  uint64_t w;
  std::memcpy(&w, e, 8);
  return w;
}
inline unsigned OpOf(uint64_t w) { return static_cast<unsigned>((w >> 8) & 0xFF); }
inline unsigned BitsOf(uint64_t w) { return static_cast<unsigned>(w & 0xFF); }
// Shifting by the whole word: the count of a 64-bit shift is taken modulo 64, and the bits
// field is at most 32, so this is a shift by BitsOf(w) in one instruction.
inline uint64_t ShiftOut(uint64_t bb, uint64_t w) { return bb >> (w & 63); }
constexpr unsigned kMaxBitsField = 16;  // code lengths and lookup sizes are at most 16
static_assert(kMaxBitsField <= 63);
inline uint32_t ValueOf(uint64_t w) { return static_cast<uint32_t>(w >> 32); }

static_assert(kWindowSlack >= 64, "copies may overshoot the window end");

// Copies a match of length len from distance dist behind out; may write up to 31 bytes past
// out + len (within the window block's slack).
inline void Copy16(uint8_t* out, const uint8_t* src) {
  uint8_t tmp[16];
  std::memcpy(tmp, src, 16);
  std::memcpy(out, tmp, 16);
}
inline void CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 16) {
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

}  // namespace

// The loop body is compiled twice: for the base instruction set and with BMI2, whose
// shifts by a register amount (shrx, bzhi) shorten the bit buffer's dependency chain.
template <int Variant>
__attribute__((always_inline)) inline int FastLoopBody(TInflater& z, const TDecodeTable* lit,
                                                       int litBits, const TDecodeTable* dist,
                                                       int distBits) {
  TExtractState& s = z.S;
  const uint8_t* in = s.InPtr;
  const uint8_t* const inStart = in;
  const uint8_t* const inFastEnd = s.InPtr + s.InCount - kFastInputMargin;
  uint8_t* out = z.Cur + z.WPos;
  uint8_t* const outFastEnd = z.Cur + (kWindowSize - kFastOutputMargin);
  // Earliest byte a distance may reach: the entry's first byte, or 32 KiB back.
  const uint8_t* const reachBase =
      z.CycleBase >= static_cast<int64_t>(kWindowSize) ? z.Hist : z.Cur - z.CycleBase;
  const TDecodeEntry* const litRoot = lit->Root();
  const TDecodeEntry* const distRoot = dist ? dist->Root() : nullptr;
  const uint64_t litMask = (uint64_t{1} << litBits) - 1;
  const uint64_t distMask = (uint64_t{1} << distBits) - 1;

  uint64_t bb = z.Bits;
  unsigned bc = z.Count;
  int result = kInflateContinue;

  // Resolves an entry through its links; the root lookup is done by the caller. Afterwards e
  // is a literal, end-of-block or length/distance entry whose own bits are still to drop.
#define QUORBIN_RESOLVE(e, root)                                                   \
  while (OpOf(e) > kOpLinkBase) {                                                  \
    if (OpOf(e) == kOpInvalid) {                                                   \
      result = kInflateDataError;                                                  \
      goto done;                                                                   \
    }                                                                              \
    bb = ShiftOut(bb, e);                                                          \
    bc -= BitsOf(e);                                                               \
    e = EntryWord(root + ValueOf(e) + (bb & kMask[OpOf(e) - kOpLinkBase]));        \
  }                                                                                \
  bb = ShiftOut(bb, e);                                                            \
  bc -= BitsOf(e)

  // Each round starts with 56 or more bits; a literal takes at most 15, so up to three
  // literals go without a refill; a length/distance pair (at most 48 bits) gets a fresh one.
  // A round refills at most twice, 14 bytes in all, within the input margin.
  static_assert(kFastInputMargin >= 16);
  while (in <= inFastEnd && out <= outFastEnd) {
    bb |= Load64(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;

    uint64_t e = EntryWord(litRoot + (bb & litMask));
    QUORBIN_RESOLVE(e, litRoot);
    if (OpOf(e) == kOpLiteral) {
      *out++ = static_cast<uint8_t>(ValueOf(e));
      e = EntryWord(litRoot + (bb & litMask));
      QUORBIN_RESOLVE(e, litRoot);
      if (OpOf(e) == kOpLiteral) {
        *out++ = static_cast<uint8_t>(ValueOf(e));
        e = EntryWord(litRoot + (bb & litMask));
        QUORBIN_RESOLVE(e, litRoot);
        if (OpOf(e) == kOpLiteral) {
          *out++ = static_cast<uint8_t>(ValueOf(e));
          continue;
        }
      }
      if (OpOf(e) != kOpEndOfBlock && bc < 48) {
        bb |= Load64(in) << bc;
        in += (63 - bc) >> 3;
        bc |= 56;
      }
    }
    if (OpOf(e) == kOpEndOfBlock) {
      result = kInflateOk;
      break;
    }
    {
      unsigned extra = OpOf(e);
      uint32_t length = ValueOf(e) + static_cast<uint32_t>(bb & kMask[extra]);
      bb >>= extra;
      bc -= extra;
      if (distRoot == nullptr) {
        result = kInflateDataError;
        break;
      }
      uint64_t d = EntryWord(distRoot + (bb & distMask));
      QUORBIN_RESOLVE(d, distRoot);
      unsigned dextra = OpOf(d);
      uint32_t distance = ValueOf(d) + static_cast<uint32_t>(bb & kMask[dextra]);
      bb >>= dextra;
      bc -= dextra;
      if (distance > static_cast<uint32_t>(out - reachBase)) {
        result = kInflateDataError;
        break;
      }
      CopyMatch(out, distance, length);
      out += length;
    }
  }
#undef QUORBIN_RESOLVE
done:
  // Give back the whole bytes loaded but not used (only ones this loop loaded: earlier ones may
  // belong to a previous chunk), and clear the bits above the count.
  {
    unsigned back = bc >> 3;
    if (back > static_cast<unsigned>(in - inStart)) back = static_cast<unsigned>(in - inStart);
    in -= back;
    bc -= back * 8;
    bb &= (uint64_t{1} << bc) - 1;
  }
  const uint32_t used = static_cast<uint32_t>(in - inStart);
  s.InPtr += used;
  s.InCount -= used;
  s.CompressedLeft -= used;
  if (used != 0) s.ByteHolder = in[-1];
  z.Bits = static_cast<uint32_t>(bb);
  z.Count = static_cast<uint16_t>(bc);
  z.WPos = static_cast<uint32_t>(out - z.Cur);
  if (result == kInflateContinue && z.WPos == kWindowSize && !z.Wrap()) return kInflateDataError;
  return result;
}

#if defined(__x86_64__)
__attribute__((target("bmi2"))) static int FastLoopBmi2(TInflater& z, const TDecodeTable* lit, int litBits,
                                                        const TDecodeTable* dist, int distBits) {
  return FastLoopBody<1>(z, lit, litBits, dist, distBits);
}
#endif

static int FastLoopBase(TInflater& z, const TDecodeTable* lit, int litBits, const TDecodeTable* dist,
                        int distBits) {
  return FastLoopBody<0>(z, lit, litBits, dist, distBits);
}

int InflateFastLoop(TInflater& z, const TDecodeTable* lit, int litBits, const TDecodeTable* dist,
                    int distBits) {
#if defined(__x86_64__)
  static const bool bmi2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
  }();
  if (bmi2) return FastLoopBmi2(z, lit, litBits, dist, distBits);
#endif
  return FastLoopBase(z, lit, litBits, dist, distBits);
}

}  // namespace unzip::detail
