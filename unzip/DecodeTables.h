#pragma once
// Huffman decode tables shared by inflate and explode. A table set is a root table of 2^m
// entries indexed by the next m input bits (low bit first); codes longer than m bits go through
// a link entry to a sub-table sized just large enough for the codes that share its prefix.
// All tables of one build live in one block, so a link is an index into the same entry array.
#include <cstdint>
#include <vector>

namespace unzip {

// Entry op values.
inline constexpr uint8_t kOpMaxExtra = 13;   // 0..13: length/distance base with op extra bits
inline constexpr uint8_t kOpEndOfBlock = 15; // simple symbol >= 256: the symbol itself in Value
inline constexpr uint8_t kOpLiteral = 16;    // simple symbol < 256: the symbol itself in Value
inline constexpr uint8_t kOpLinkBase = 16;   // 17..32: link to a sub-table of (op - 16) index bits
inline constexpr uint8_t kOpInvalid = 99;    // a code no symbol has

// One decode table entry, 8 bytes so a lookup is a single load.
//   Bits  (byte 0) input bits this entry consumes at its level; first, so that the fast loop
//         can shift its bit buffer by the loaded word itself
//   Op    (byte 1) what the entry means (above)
//   Value (bytes 4-7) symbol, base value, or for a link the index of the sub-table's first entry
struct TDecodeEntry {
  uint8_t Bits;
  uint8_t Op;
  uint16_t Spare;
  uint32_t Value;
};
static_assert(sizeof(TDecodeEntry) == 8);

struct TDecodeTable {
  std::vector<TDecodeEntry> Entries;  // root table first, then the sub-tables in build order
  const TDecodeEntry* Root() const { return Entries.data(); }
  const TDecodeEntry* SubTable(const TDecodeEntry& link) const { return Entries.data() + link.Value; }
};

// Result codes shared by the table builder and inflate.
inline constexpr int kInflateOk = 0;
inline constexpr int kInflateDataError = 1;      // also: incomplete code (longest length above 1)
inline constexpr int kInflateBadBlock = 2;       // bad block type or over-subscribed code
inline constexpr int kInflateOutOfMemory = 3;

// Builds the decode tables for lengths[0..n-1] (0..16, 0 = no code; n <= 288).
// Symbols 0..s-1 are simple (op 16 below 256, op 15 from 256 on, value = the symbol);
// symbol v >= s gets op = extra[v - s] (low byte) and value = base[v - s]; an index of 288 or
// more gives op 99. lookupBits is the requested root size in, the size used out.
// Results: 0 complete; 1 incomplete (tables still built; 0 for a code whose longest length is
// 1 bit); 2 over-subscribed (no tables); 3 out of memory (after the "*** inflate out of
// memory ***" message box; no tables). When every length is 0: root none, lookupBits 0, result 0.
int BuildDecodeTables(const uint16_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                      const uint16_t* extra, TDecodeTable*& root, int& lookupBits);

// Releases a table set; none is allowed.
void FreeDecodeTables(TDecodeTable* root);

// The mask table: mask(n) = 2^n - 1 for n = 0..16.
inline constexpr uint16_t kMask[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                       0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                       0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

}  // namespace unzip
