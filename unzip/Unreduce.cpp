// Methods 2 to 5 (reduced with factor 1 to 4): bytes coded against follower sets (for each
// preceding symbol, up to 63 likely successors, picked by a short index), then an escape-coded
// run-length layer of (length, distance) matches into a 16 KiB history. The data has no end
// marker; the entry's uncompressed size says when to stop.
#include <array>
#include <cstring>

#include "Decoders.h"
#include "OlderMethods.h"

namespace unzip {

namespace {

constexpr uint32_t kHistory = 16384;      // circular history at the start of the window
constexpr uint32_t kFollowerRow = 64;     // the follower table follows it, one row per symbol
constexpr uint8_t kEscape = 0x90;
static_assert(kHistory + 256 * kFollowerRow <= kWindowBlockSize);

struct TFactor {
  uint8_t LengthMask;
  uint8_t DistanceShift;
  uint8_t DistanceMask;
};
constexpr TFactor kFactors[5] = {{0, 0, 0}, {0x7F, 7, 1}, {0x3F, 6, 3}, {0x1F, 5, 7}, {0x0F, 4, 15}};

// Bits of a follower index for a set of N members: enough to write N - 1, at least 1.
constexpr std::array<uint8_t, 64> kIndexWidth = [] {
  std::array<uint8_t, 64> w{};
  w[0] = 8;  // never looked up: an empty set reads plain 8-bit symbols
  for (unsigned n = 1; n < 64; ++n) {
    uint8_t bits = 1;
    while ((1u << bits) < n) ++bits;
    w[n] = bits;
  }
  return w;
}();
static_assert(kIndexWidth[1] == 1 && kIndexWidth[2] == 1 && kIndexWidth[3] == 2 && kIndexWidth[4] == 2 &&
              kIndexWidth[5] == 3 && kIndexWidth[9] == 4 && kIndexWidth[17] == 5 && kIndexWidth[32] == 5 &&
              kIndexWidth[33] == 6 && kIndexWidth[63] == 6);

using TReader = detail::TBitReader<detail::TPastEnd::Zeros>;

}  // namespace

namespace detail {

void ReadFollowerSets(TReader& bits, uint8_t* sizes, uint8_t* followers) {
  // An index at or past a set's size picks what the row holds there; zeroing the rows first
  // keeps that from ever being a byte an earlier entry left in the window.
  std::memset(followers, 0, 256 * kFollowerRow);
  for (int x = 255; x >= 0; --x) {
    if (bits.Count < 6) bits.Fill();
    const unsigned n = bits.Take(6);
    sizes[x] = static_cast<uint8_t>(n);
    uint8_t* row = followers + kFollowerRow * static_cast<unsigned>(x);
    for (unsigned i = 0; i < n; ++i) {
      if (bits.Count < 8) bits.Fill();
      row[i] = static_cast<uint8_t>(bits.Take(8));
    }
  }
}

}  // namespace detail

void ExtractReduced(TExtractState& state, int factor) {
  if (factor < 1 || factor > 4) {
    state.FlushOutput();
    return;
  }
  const TFactor f = kFactors[factor];
  uint8_t* hist = state.Window;
  uint8_t* followers = state.Window + kHistory;
  uint8_t sizes[256];

  TReader bits(state);
  detail::ReadFollowerSets(bits, sizes, followers);

  unsigned last = 0;
  unsigned machine = 0;  // 0 plain, 1 after an escape, 2 length byte follows, 3 distance byte follows
  unsigned v = 0;
  unsigned length = 0;
  uint32_t pos = 0;
  bool firstPass = true;
  int64_t left = state.ExpectedSize;

  // Past the end of the data the reader yields zero bits, so every step reads a symbol and at
  // most three symbols in a row leave `left` unchanged: the loop always ends, and soon after
  // the data does (TBitReader::Exhausted).
  while (left > 0) {
    // A symbol takes at most 9 bits.
    if (bits.Count < 9) {
      bits.Fill();
      if (bits.Exhausted()) break;
    }
    const unsigned n = sizes[last];
    unsigned symbol;
    if (n == 0) {
      symbol = bits.Take(8);
    } else if (bits.Buf & 1) {
      symbol = static_cast<unsigned>(bits.Buf >> 1) & 0xFF;
      bits.Drop(9);
    } else {
      const unsigned width = kIndexWidth[n];
      const unsigned i = static_cast<unsigned>(bits.Buf >> 1) & ((1u << width) - 1);
      bits.Drop(1 + width);
      symbol = followers[kFollowerRow * last + i];
    }

    switch (machine) {
      case 0:
        if (symbol == kEscape) {
          machine = 1;
        } else {
          hist[pos++] = static_cast<uint8_t>(symbol);
          --left;
          if (pos == kHistory) {
            state.FlushWindow(kHistory);
            pos = 0;
            firstPass = false;
            if (state.OutputCapped) return;
          }
        }
        break;
      case 1:
        if (symbol == 0) {
          hist[pos++] = kEscape;
          --left;
          machine = 0;
          if (pos == kHistory) {
            state.FlushWindow(kHistory);
            pos = 0;
            firstPass = false;
            if (state.OutputCapped) return;
          }
        } else {
          v = symbol;
          length = v & f.LengthMask;
          machine = length == f.LengthMask ? 2 : 3;
        }
        break;
      case 2:
        length += symbol;
        machine = 3;
        break;
      default: {
        const uint32_t count = length + 3;
        const uint32_t distance = ((v >> f.DistanceShift) & f.DistanceMask) * 256 + symbol + 1;
        // The whole match counts, also when it runs past the entry's size; the output layer
        // cuts off anything beyond it and fails the entry.
        left -= count;
        machine = 0;
        if (!detail::CopyMatch<kHistory>(state, hist, pos, distance, count, firstPass)) return;
        break;
      }
    }
    last = symbol;
  }
  state.FlushWindow(pos);
  state.FlushOutput();
}

}  // namespace unzip
