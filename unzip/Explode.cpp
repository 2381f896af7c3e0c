// Method 6 (imploded): Shannon-Fano coded literals (or plain bytes) and (distance, length)
// matches into a 4 KiB or 8 KiB dictionary, kept in the 32 KiB history. The code trees come
// first, as run-length coded lists of code lengths; the codes themselves are sent with their
// bits complemented, so each lookup complements the input bits. No end marker: the entry's
// uncompressed size says when to stop.
#include <array>
#include <memory>

#include "Decoders.h"
#include "OlderMethods.h"

namespace unzip {

namespace {

constexpr uint32_t kHistory = 32768;
constexpr unsigned kLiteralCodes = 256;
constexpr unsigned kLengthCodes = 64;
constexpr unsigned kDistanceCodes = 64;
constexpr unsigned kLongLengthCode = 63;  // followed by 8 more bits of length
constexpr int kLiteralLookup = 9;
constexpr int kLengthLookup = 7;
// Distance lookup: one bit wider for entries big enough that the larger table pays off.
constexpr int64_t kWideDistanceAbove = 200000;

constexpr uint16_t kFlag8K = 2;
constexpr uint16_t kFlagLiteralTree = 4;

template <uint16_t Add, uint16_t Step>
constexpr std::array<uint16_t, 64> Series() {
  std::array<uint16_t, 64> a{};
  for (uint16_t c = 0; c < 64; ++c) a[c] = static_cast<uint16_t>(Add + Step * c);
  return a;
}
constexpr auto kLengthBaseWithLiterals = Series<3, 1>();
constexpr auto kLengthBaseNoLiterals = Series<2, 1>();
constexpr auto kDistanceBase8K = Series<1, 128>();
constexpr auto kDistanceBase4K = Series<1, 64>();
constexpr std::array<uint16_t, 64> kLengthExtra = [] {
  std::array<uint16_t, 64> a{};
  a[kLongLengthCode] = 8;
  return a;
}();
static_assert(kDistanceBase8K[63] == 8065 && kDistanceBase4K[63] == 4033);

using TReader = detail::TBitReader<detail::TPastEnd::RepeatLast>;

struct TTableDeleter {
  void operator()(TDecodeTable* t) const { FreeDecodeTables(t); }
};
using TTablePtr = std::unique_ptr<TDecodeTable, TTableDeleter>;

// Decodes one code; false on an invalid code. The caller has filled the reader with enough
// bits for it (a code is at most 16 bits).
inline bool Decode(TReader& bits, const TDecodeTable& table, unsigned lookup, TDecodeEntry& out) {
  const TDecodeEntry* e = table.Root() + ((~bits.Peek(lookup)) & kMask[lookup]);
  while (e->Op > kOpLinkBase) {
    if (e->Op == kOpInvalid) return false;
    bits.Drop(e->Bits);
    const unsigned k = e->Op - kOpLinkBase;
    e = table.SubTable(*e) + ((~bits.Peek(k)) & kMask[k]);
  }
  bits.Drop(e->Bits);
  out = *e;
  return true;
}

// The two decode loops differ only in how a literal is read; LiteralTree picks it at compile
// time so each loop has no test for it.
template <bool LiteralTree>
void DecodeLoop(TExtractState& state, unsigned dictionary, const TDecodeTable* literals,
                const TDecodeTable& lengths, const TDecodeTable& distances, unsigned literalWidth,
                unsigned lengthWidth, unsigned distanceWidth) {
  uint8_t* hist = state.Window;
  TReader bits(state);
  uint32_t pos = 0;
  bool firstPass = true;
  int64_t left = state.ExpectedSize;
  const unsigned lowDistanceBits = dictionary == 8 ? 7 : 6;

  // Every step lowers `left` by one at least, and past the end of the data the reader keeps
  // supplying bits: the loop always ends, and soon after the data does.
  while (left > 0) {
    // The largest step: 1 flag bit, low distance bits, two codes of up to 16 bits and 8
    // extra length bits, 48 bits in all; Fill gives 56.
    if (bits.Count < 48) {
      bits.Fill();
      if (bits.Exhausted()) break;
    }
    if (bits.Buf & 1) {
      bits.Drop(1);
      --left;
      uint8_t byte;
      if constexpr (LiteralTree) {
        TDecodeEntry e;
        if (!Decode(bits, *literals, literalWidth, e)) return;
        byte = static_cast<uint8_t>(e.Value);
      } else {
        byte = static_cast<uint8_t>(bits.Take(8));
      }
      hist[pos++] = byte;
      if (pos == kHistory) {
        state.FlushWindow(kHistory);
        pos = 0;
        firstPass = false;
        if (state.OutputCapped) return;
      }
    } else {
      bits.Drop(1);
      const uint32_t low = bits.Take(lowDistanceBits);
      TDecodeEntry d, l;
      if (!Decode(bits, distances, distanceWidth, d)) return;
      if (!Decode(bits, lengths, lengthWidth, l)) return;
      uint32_t length = l.Value;
      if (l.Op != 0) length += bits.Take(l.Op);
      const uint32_t distance = d.Value + low;
      // The whole match counts, also when it runs past the entry's size; the output layer
      // cuts off anything beyond it and fails the entry.
      left -= length;
      if (!detail::CopyMatch<kHistory>(state, hist, pos, distance, length, firstPass)) return;
    }
  }
  state.FlushWindow(pos);
}

}  // namespace

namespace detail {

bool ReadCodeLengths(TExtractState& state, uint16_t* lengths, unsigned count) {
  // A description cut short by the end of the entry's bytes is as broken as one that does
  // not add up: nothing valid can follow it.
  uint16_t& byte = state.ByteHolder;
  if (state.FetchByte(byte) == 0) return false;
  const unsigned descriptionBytes = (byte & 0xFFu) + 1;
  unsigned stored = 0;
  for (unsigned i = 0; i < descriptionBytes; ++i) {
    if (state.FetchByte(byte) == 0) return false;
    const uint16_t length = static_cast<uint16_t>((byte & 0x0F) + 1);
    const unsigned repeat = ((byte & 0xFFu) >> 4) + 1;
    if (stored + repeat > count) return false;
    for (unsigned r = 0; r < repeat; ++r) lengths[stored++] = length;
  }
  return stored == count;
}

void DecodeWithLiteralTree(TExtractState& state, unsigned dictionary, const TDecodeTable& literals,
                           const TDecodeTable& lengths, const TDecodeTable& distances,
                           unsigned literalWidth, unsigned lengthWidth, unsigned distanceWidth) {
  DecodeLoop<true>(state, dictionary, &literals, lengths, distances, literalWidth, lengthWidth,
                   distanceWidth);
}

void DecodeWithoutLiteralTree(TExtractState& state, unsigned dictionary, const TDecodeTable& lengths,
                              const TDecodeTable& distances, unsigned lengthWidth,
                              unsigned distanceWidth) {
  DecodeLoop<false>(state, dictionary, nullptr, lengths, distances, 0, lengthWidth, distanceWidth);
}

}  // namespace detail

void ExtractImploded(TExtractState& state) {
  const bool literalTree = (state.Flags & kFlagLiteralTree) != 0;
  const bool dictionary8K = (state.Flags & kFlag8K) != 0;
  int literalWidth = kLiteralLookup;
  int lengthWidth = kLengthLookup;
  int distanceWidth = state.CompressedLeft > kWideDistanceAbove ? 8 : 7;

  // Any failure here ends the entry with no output at all; the CRC check reports it.
  uint16_t lengths[kLiteralCodes];
  TTablePtr literals, lengthTable, distanceTable;
  TDecodeTable* built = nullptr;
  auto build = [&](unsigned n, unsigned s, const uint16_t* base, const uint16_t* extra, int& width,
                   TTablePtr& into) {
    if (!detail::ReadCodeLengths(state, lengths, n)) return false;
    const int result = BuildDecodeTables(lengths, n, s, base, extra, built, width);
    into.reset(built);  // also the tables of an incomplete code, so they are released
    return result == kInflateOk && built != nullptr;
  };

  if (literalTree) {
    if (!build(kLiteralCodes, kLiteralCodes, nullptr, nullptr, literalWidth, literals)) return;
    if (!build(kLengthCodes, 0, kLengthBaseWithLiterals.data(), kLengthExtra.data(), lengthWidth,
               lengthTable))
      return;
  } else {
    if (!build(kLengthCodes, 0, kLengthBaseNoLiterals.data(), kLengthExtra.data(), lengthWidth,
               lengthTable))
      return;
  }
  // The distance codes carry the same extra-bit list, but distance decoding reads no extra
  // bits.
  if (!build(kDistanceCodes, 0, dictionary8K ? kDistanceBase8K.data() : kDistanceBase4K.data(),
             kLengthExtra.data(), distanceWidth, distanceTable))
    return;

  const unsigned dictionary = dictionary8K ? 8 : 4;
  if (literalTree)
    detail::DecodeWithLiteralTree(state, dictionary, *literals, *lengthTable, *distanceTable,
                          static_cast<unsigned>(literalWidth), static_cast<unsigned>(lengthWidth),
                          static_cast<unsigned>(distanceWidth));
  else
    detail::DecodeWithoutLiteralTree(state, dictionary, *lengthTable, *distanceTable,
                             static_cast<unsigned>(lengthWidth), static_cast<unsigned>(distanceWidth));
  state.FlushOutput();
}

}  // namespace unzip
