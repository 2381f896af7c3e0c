// Inflate's code tables: one 32-bit entry per slot that says in one test what it is, carries
// the bits to drop (code and extra bits together) and the value. See InflateInternal.h.
#include <array>

#include "InflateInternal.h"

namespace unzip::detail {

namespace {

using namespace entry;

// Base values and extra bits of the length codes 257..285 and distance codes 0..31.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

constexpr uint32_t Base(uint32_t value, unsigned extra) { return value << 16 | extra; }

constexpr std::array<uint32_t, 288> MakeLiteralLength(bool deflate64) {
  std::array<uint32_t, 288> a{};
  for (unsigned i = 0; i < 256; ++i) a[i] = kLiteral | i << 16 | kLiteralRootBits << 8;
  a[256] = kEndOfBlock;
  for (unsigned i = 0; i < 29; ++i) a[257 + i] = Base(kLengthBase[i], kLengthExtra[i]) | kDistanceRootBits << 8;
  if (deflate64) a[285] = Base(3, 16) | kDistanceRootBits << 8;
  a[286] = a[287] = kInvalid;
  return a;
}
constexpr std::array<uint32_t, 32> MakeDistance(bool deflate64) {
  std::array<uint32_t, 32> a{};
  for (unsigned i = 0; i < 32; ++i) a[i] = Base(kDistBase[i], kDistExtra[i]);
  if (!deflate64) a[30] = a[31] = kInvalid;
  return a;
}
constexpr std::array<uint32_t, 19> MakeCodeLength() {
  std::array<uint32_t, 19> a{};
  for (unsigned i = 0; i < 19; ++i) a[i] = i << 16;
  return a;
}

constexpr auto kLitLen = MakeLiteralLength(false);
constexpr auto kLitLen64 = MakeLiteralLength(true);
constexpr auto kDist = MakeDistance(false);
constexpr auto kDist64 = MakeDistance(true);
constexpr auto kCodeLength = MakeCodeLength();
static_assert(Value(kLitLen64[285]) == 3 && DropBits(kLitLen64[285]) == kMaxLengthExtra);
static_assert(DropBits(kDist64[31]) == kMaxDistanceExtra);

// A code of `len` (at most 16) bits, most significant bit first, as the input delivers it:
// least significant bit first.
constexpr auto kReverseByte = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i)
    for (unsigned b = 0; b < 8; ++b)
      if (i >> b & 1) t[i] = static_cast<uint8_t>(t[i] | 0x80 >> b);
  return t;
}();
inline unsigned Reverse(unsigned code, unsigned len) {
  return (unsigned{kReverseByte[code & 0xFF]} << 8 | kReverseByte[code >> 8 & 0xFF]) >> (16 - len);
}

// The entry of a symbol whose code has `bits` bits at its table level. A literal or a length
// keeps the index width it has in bits 8-15; a length takes its code bits in bits 25-28.
inline uint32_t MakeEntry(uint32_t symbol, unsigned bits) {
  if ((symbol & 0xF00) == 0) return symbol + (bits << 8) + bits;
  return symbol + (IsLiteral(symbol) ? 0 : bits << 25) + bits;
}

}  // namespace

TAlphabet LiteralLengthAlphabet(TInflateFormat format) {
  return {format == TInflateFormat::Deflate64 ? kLitLen64.data() : kLitLen.data(), 288, kLiteral};
}
TAlphabet DistanceAlphabet(TInflateFormat format) {
  return {format == TInflateFormat::Deflate64 ? kDist64.data() : kDist.data(), 32};
}
TAlphabet CodeLengthAlphabet() { return {kCodeLength.data(), 19}; }

int BuildCode(TCode& code, const uint16_t* lengths, unsigned n, TAlphabet alphabet, unsigned rootBits,
              unsigned carefulRequest, uint32_t* storage, unsigned capacity, bool acceptIncomplete) {
  code.Table = nullptr;
  // The lengths are taken in four quarters side by side, counted and later sorted with one
  // tally each: runs of equal lengths are the rule, and with one tally each increment would
  // wait for the store of the one before.
  const unsigned q = n / 4;
  const unsigned quarterStart[4] = {0, q, 2 * q, 3 * q};
  unsigned tally[4][kMaxCodeBits + 1] = {};
  for (unsigned i = 0; i < q; ++i)
    for (unsigned k = 0; k < 4; ++k) ++tally[k][lengths[quarterStart[k] + i]];
  for (unsigned i = 4 * q; i < n; ++i) ++tally[3][lengths[i]];
  uint16_t* count = code.Count;
  for (unsigned len = 0; len <= kMaxCodeBits; ++len)
    count[len] = static_cast<uint16_t>(tally[0][len] + tally[1][len] + tally[2][len] + tally[3][len]);
  count[0] = 0;
  unsigned minLen = 1, maxLen = kMaxCodeBits;
  while (minLen <= kMaxCodeBits && count[minLen] == 0) ++minLen;
  if (minLen > kMaxCodeBits) {
    code.RootBits = code.CarefulBits = code.MaxLen = 0;
    return kInflateOk;
  }
  while (count[maxLen] == 0) --maxLen;
  code.MaxLen = maxLen;
  code.LiteralMask = alphabet.LiteralMask;
  code.CarefulBits = carefulRequest < minLen ? minLen : carefulRequest > maxLen ? maxLen : carefulRequest;

  // Over-subscribed codes are refused; incomplete ones are built only where the caller can
  // use them (a one-bit code, the fixed distance code).
  int left = 1;
  unsigned first[kMaxCodeBits + 2];
  first[1] = 0;
  for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
    left = 2 * left - count[len];
    if (left < 0) return kInflateBadBlock;
    code.First[len] = static_cast<uint16_t>(first[len]);
    first[len + 1] = (first[len] + count[len]) << 1;
  }
  const bool complete = left == 0;
  const int result = complete || maxLen == 1 ? kInflateOk : kInflateDataError;
  if (result != kInflateOk && !acceptIncomplete) return result;

  // Symbols in canonical order: by length, and by symbol within a length. Each quarter has its
  // own place in each length's run, after the quarters before it; symbols of length 0 go to
  // the end, so the loop needs no test.
  unsigned place[4][kMaxCodeBits + 1];
  unsigned at = 0;
  for (unsigned len = 1; len <= kMaxCodeBits + 1; ++len) {
    const unsigned l = len & kMaxCodeBits;  // length 0 last
    for (unsigned k = 0; k < 4; ++k) {
      place[k][l] = at;
      at += tally[k][l];
    }
  }
  static_assert((kMaxCodeBits & (kMaxCodeBits + 1)) == 0, "length 0 is reached by the mask");
  uint16_t sorted[288];
  for (unsigned i = 0; i < q; ++i)
    for (unsigned k = 0; k < 4; ++k) {
      const unsigned symbol = quarterStart[k] + i;
      sorted[place[k][lengths[symbol]]++] = static_cast<uint16_t>(symbol);
    }
  for (unsigned i = 4 * q; i < n; ++i) sorted[place[3][lengths[i]]++] = static_cast<uint16_t>(i);

  // The root always has rootBits index bits, also when every code is shorter (its entries
  // then repeat): the fast loop masks with a constant instead of holding a mask per code.
  const unsigned root = rootBits;
  code.RootBits = root;
  uint32_t* const table = storage;
  // Short codes: each length fills the slots of its reversed codes among the first 2^len,
  // then that part is doubled, which repeats every code under all its longer suffixes.
  // Slots no code takes (incomplete codes) keep the invalid entry they start with.
  table[0] = table[1] = MakeEntry(kInvalid, 1);
  unsigned placed = 0;
  for (unsigned len = 1; len <= root; ++len) {
    unsigned c = first[len];  // canonical codes: consecutive within a length
    for (unsigned k = count[len]; k != 0; --k, ++c) {
      const unsigned symbol = sorted[placed++];
      table[Reverse(c, len)] = MakeEntry(symbol < alphabet.Size ? alphabet.Symbols[symbol] : kInvalid, len);
    }
    if (len < root) std::memcpy(table + (1u << len), table, sizeof(uint32_t) << len);
  }

  // Long codes: a sub-table per root slot, sized for the codes that share that slot. Codes with
  // the same root bits follow each other in canonical order, so a new slot starts a new table.
  unsigned end = 1u << root;
  unsigned slot = ~0u, subStart = 0, subBits = 0;
  uint16_t remaining[kMaxCodeBits + 1];
  for (unsigned len = 0; len <= kMaxCodeBits; ++len) remaining[len] = count[len];
  for (unsigned len = root + 1; len <= maxLen; ++len) {
    unsigned c = first[len];
    for (; remaining[len] != 0; --remaining[len], ++c) {
      const unsigned symbol = sorted[placed++];
      const unsigned reversed = Reverse(c, len);
      const unsigned rootSlot = reversed & ((1u << root) - 1);
      if (rootSlot != slot) {
        // Smallest table that the codes under this slot fill: grow it while the codes left of
        // the current length cannot fill it.
        subBits = len - root;
        int space = (1 << subBits) - remaining[len];
        for (unsigned l2 = len + 1; space > 0 && l2 <= maxLen; ++l2) {
          ++subBits;
          space = 2 * space - count[l2];
        }
        if (end + (1u << subBits) > capacity) return kInflateDataError;  // not for a complete code
        slot = rootSlot;
        subStart = end;
        end += 1u << subBits;
        for (unsigned i = subStart; i < end; ++i) table[i] = MakeEntry(kInvalid, len - root);
        table[slot] = kLink | subStart << 16 | subBits << 8 | root;
      }
      const uint32_t e = MakeEntry(symbol < alphabet.Size ? alphabet.Symbols[symbol] : kInvalid, len - root);
      for (unsigned i = reversed >> root; i < (1u << subBits); i += 1u << (len - root)) table[subStart + i] = e;
    }
  }
  code.Table = table;
  return result;
}

void TCodeTables::FillInvalidDistances() {
  for (unsigned i = 0; i < (1u << kDistanceRootBits); ++i) Dist[i] = kInvalid;
}

unsigned LongestCodeUnder(const TCode& code, uint64_t bits, unsigned prefixBits) {
  unsigned prefix = 0;  // the prefix as a canonical (most significant bit first) number
  for (unsigned i = 0; i < prefixBits; ++i) prefix = prefix << 1 | static_cast<unsigned>((bits >> i) & 1);
  for (unsigned len = code.MaxLen; len > prefixBits; --len) {
    const unsigned lo = prefix << (len - prefixBits), hi = lo + (1u << (len - prefixBits));
    if (code.Count[len] != 0 && code.First[len] < hi && code.First[len] + code.Count[len] > lo) return len;
  }
  return prefixBits;
}

}  // namespace unzip::detail
