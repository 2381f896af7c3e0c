// The Huffman decode-table builder shared by inflate and explode.
#include "DecodeTables.h"

#include <new>

#include "UserInterface.h"

namespace unzip {

namespace {
constexpr int kMaxBits = 16;
constexpr unsigned kMaxSymbols = 288;
}  // namespace

void FreeDecodeTables(TDecodeTable* root) { delete root; }

int BuildDecodeTables(const uint16_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                      const uint16_t* extra, TDecodeTable*& root, int& lookupBits) {
  root = nullptr;
  if (n > kMaxSymbols) return kInflateDataError;

  unsigned count[kMaxBits + 1] = {};
  for (unsigned i = 0; i < n; ++i) ++count[lengths[i] <= kMaxBits ? lengths[i] : 0];
  if (count[0] == n) {
    lookupBits = 0;
    return kInflateOk;
  }

  int minLen = 1;
  while (count[minLen] == 0) ++minLen;
  int maxLen = kMaxBits;
  while (count[maxLen] == 0) --maxLen;
  int l = lookupBits;
  if (l < minLen) l = minLen;
  if (l > maxLen) l = maxLen;
  lookupBits = l;

  // Over-subscribed codes are refused; the free codes of the longest length become dummy
  // codes that decode as invalid.
  int left = 1 << minLen;
  for (int len = minLen; len < maxLen; ++len) {
    left -= static_cast<int>(count[len]);
    if (left < 0) return kInflateBadBlock;
    left <<= 1;
  }
  left -= static_cast<int>(count[maxLen]);
  if (left < 0) return kInflateBadBlock;
  count[maxLen] += static_cast<unsigned>(left);

  // Symbols in canonical order: by length, and by symbol within a length.
  unsigned offset[kMaxBits + 2];
  offset[1] = 0;
  for (int len = 1; len <= kMaxBits; ++len) offset[len + 1] = offset[len] + count[len];
  uint16_t sorted[kMaxSymbols];
  for (unsigned i = 0; i < n; ++i)
    if (lengths[i] != 0 && lengths[i] <= kMaxBits) sorted[offset[lengths[i]]++] = static_cast<uint16_t>(i);
  const unsigned realCodes = offset[maxLen];  // after placing: the end of the longest length

  TDecodeTable* set = nullptr;
  try {
    set = new TDecodeTable;
    set->Entries.reserve((size_t{1} << l) + 512);

    unsigned tableStart[kMaxBits + 1];  // per level: index of the table's first entry
    unsigned tableSize[kMaxBits + 1];
    unsigned prefix[kMaxBits + 1] = {};  // per level: the code bits below w it was opened for
    unsigned code = 0;                   // current code, bit-reversed
    int h = -1;
    int w = -l;
    unsigned placed = 0;

    for (int len = minLen; len <= maxLen; ++len) {
      unsigned a = count[len];
      while (a-- != 0) {
        // Open tables until this code fits within the current one.
        while (len > w + l) {
          ++h;
          w += l;
          int z = maxLen - w < l ? maxLen - w : l;
          int j = len - w;
          unsigned f = 1u << j;
          if (f > a + 1) {
            // Not enough codes of this length to fill a j-bit table: size it for the codes
            // that share its prefix.
            f -= a + 1;
            int next = len;
            while (++j < z) {
              f <<= 1;
              if (f <= count[++next]) break;
              f -= count[next];
            }
          }
          unsigned size = 1u << j;
          unsigned start = static_cast<unsigned>(set->Entries.size());
          set->Entries.resize(start + size, TDecodeEntry{.Bits = 0, .Op = kOpInvalid, .Spare = 0, .Value = 0});
          tableStart[h] = start;
          tableSize[h] = size;
          if (h > 0) {
            prefix[h] = code;
            TDecodeEntry link{.Bits = static_cast<uint8_t>(l), .Op = static_cast<uint8_t>(kOpLinkBase + j), .Spare = 0, .Value = start};
            unsigned index = (code >> (w - l)) & ((1u << l) - 1);
            set->Entries[tableStart[h - 1] + index] = link;
          }
        }

        TDecodeEntry e{.Bits = static_cast<uint8_t>(len - w), .Op = kOpInvalid, .Spare = 0, .Value = 0};
        if (placed < realCodes) {
          unsigned v = sorted[placed++];
          if (v < s) {
            e.Op = v < 256 ? kOpLiteral : kOpEndOfBlock;
            e.Value = v;
          } else if (v - s < kMaxSymbols) {
            e.Op = static_cast<uint8_t>(extra[v - s] & 0xFF);
            e.Value = base[v - s];
          }
        }
        unsigned step = 1u << (len - w);
        TDecodeEntry* table = set->Entries.data() + tableStart[h];
        for (unsigned i = code >> w; i < tableSize[h]; i += step) table[i] = e;

        // Next code in bit-reversed order.
        unsigned bit = 1u << (len - 1);
        while (code & bit) {
          code ^= bit;
          bit >>= 1;
        }
        code ^= bit;

        // Close the tables whose prefix this code no longer has.
        while (h > 0 && (code & ((1u << w) - 1)) != prefix[h]) {
          --h;
          w -= l;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    FreeDecodeTables(set);
    platform::UI().MessageBox("*** inflate out of memory ***", "Error", platform::TMsgButtons::Ok);
    return kInflateOutOfMemory;
  }
  root = set;
  return (left != 0 && maxLen != 1) ? kInflateDataError : kInflateOk;
}

}  // namespace unzip
