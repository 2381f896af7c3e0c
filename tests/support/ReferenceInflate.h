#pragma once
// A deliberately plain inflate for the tests: every bit through EnsureBits/DropBits, every byte
// through a 32 KiB circular window delivered with FlushWindow, tables built per block. The
// product's inflate must match it write for write and event for event. It follows the same
// rules for bad data (a missing table, a distance before the entry's start and bits consumed
// past the end of the data are data errors) so both stop on the same inputs.
#include <cstdint>
#include <cstring>

#include "DecodeTables.h"
#include "ExtractState.h"

namespace unzip::testing {

class TReferenceInflate {
public:
  explicit TReferenceInflate(TExtractState& s) : S(s) {}

  int Run() {
    int last = 0;
    do {
      int r = Block(last);
      if (r != 0) return r;
    } while (!last);
    S.FlushWindow(Pos);
    S.FlushOutput();
    return S.OutputCapped ? 1 : 0;
  }

private:
  TExtractState& S;
  uint32_t Pos = 0;
  int64_t Produced = 0;
  uint32_t B = 0;
  uint16_t K = 0;

  void Need(unsigned n) { S.EnsureBits(n, B, K); }
  bool Dump(unsigned n) {
    TExtractState::DropBits(n, B, K);
    return S.CompressedLeft >= 0 || K >= 8 * static_cast<uint64_t>(-S.CompressedLeft);
  }
  bool Put(uint8_t c) {
    S.Window[Pos++] = c;
    ++Produced;
    if (Pos == 32768) {
      S.FlushWindow(32768);
      Pos = 0;
      if (S.OutputCapped) return false;
    }
    return true;
  }
  static constexpr uint16_t kLBase[31] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
                                          35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0, 0};
  static constexpr uint16_t kLExt[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                         3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
  static constexpr uint16_t kDBase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
                                          193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097,
                                          6145, 8193, 12289, 16385, 24577};
  static constexpr uint16_t kDExt[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

  int Block(int& last) {
    Need(1);
    last = B & 1;
    if (!Dump(1)) return 1;
    Need(2);
    unsigned t = B & 3;
    if (!Dump(2)) return 1;
    if (t == 0) return Stored();
    if (t == 1) return Fixed();
    if (t == 2) return Dynamic();
    return 2;
  }
  int Stored() {
    if (!Dump(K & 7)) return 1;
    Need(16);
    unsigned n = B & 0xFFFF;
    if (!Dump(16)) return 1;
    Need(16);
    if ((B & 0xFFFF) != (~n & 0xFFFF)) return 1;
    if (!Dump(16)) return 1;
    while (n--) {
      Need(8);
      uint8_t c = static_cast<uint8_t>(B);
      if (!Dump(8)) return 1;
      if (!Put(c)) return 1;
    }
    return 0;
  }
  int Fixed() {
    uint16_t l[288];
    for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    TDecodeTable *tl = nullptr, *td = nullptr;
    int bl = 7, bd = 5;
    int r = BuildDecodeTables(l, 288, 257, kLBase, kLExt, tl, bl);
    if (r != 0) return r;
    for (int i = 0; i < 30; ++i) l[i] = 5;
    r = BuildDecodeTables(l, 30, 0, kDBase, kDExt, td, bd);
    if (r > 1) {
      FreeDecodeTables(tl);
      return r;
    }
    r = Codes(tl, td, bl, bd) ? 1 : 0;
    FreeDecodeTables(tl);
    FreeDecodeTables(td);
    return r;
  }
  int Dynamic() {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    Need(5);
    unsigned nl = 257 + (B & 31);
    if (!Dump(5)) return 1;
    Need(5);
    unsigned nd = 1 + (B & 31);
    if (!Dump(5)) return 1;
    Need(4);
    unsigned nb = 4 + (B & 15);
    if (!Dump(4)) return 1;
    if (nl > 286 || nd > 30) return 1;
    uint16_t ll[316] = {};
    for (unsigned j = 0; j < nb; ++j) {
      Need(3);
      ll[kOrder[j]] = B & 7;
      if (!Dump(3)) return 1;
    }
    TDecodeTable* tl = nullptr;
    int bl = 7;
    int r = BuildDecodeTables(ll, 19, 19, nullptr, nullptr, tl, bl);
    if (r != 0) {
      FreeDecodeTables(tl);
      return r;
    }
    unsigned n = nl + nd, i = 0, prev = 0;
    while (i < n) {
      Need(bl);
      const TDecodeEntry& e = tl->Root()[B & kMask[bl]];
      if (e.Op == kOpInvalid || !Dump(e.Bits)) {
        FreeDecodeTables(tl);
        return 1;
      }
      unsigned sym = e.Value, rep, fill;
      if (sym < 16) {
        ll[i++] = static_cast<uint16_t>(prev = sym);
        continue;
      }
      unsigned nbits = sym == 16 ? 2 : sym == 17 ? 3 : 7;
      Need(nbits);
      rep = (sym == 16 ? 3 : sym == 17 ? 3 : 11) + (B & kMask[nbits]);
      bool ok = Dump(nbits);
      fill = sym == 16 ? prev : 0;
      if (sym != 16) prev = 0;
      if (!ok || i + rep > n) {
        FreeDecodeTables(tl);
        return 1;
      }
      while (rep--) ll[i++] = static_cast<uint16_t>(fill);
    }
    FreeDecodeTables(tl);
    bl = 9;
    r = BuildDecodeTables(ll, nl, 257, kLBase, kLExt, tl, bl);
    if (r != 0) {
      FreeDecodeTables(tl);
      return r;
    }
    TDecodeTable* td = nullptr;
    int bd = 6;
    r = BuildDecodeTables(ll + nl, nd, 0, kDBase, kDExt, td, bd);
    if (r != 0) {
      FreeDecodeTables(td);
      FreeDecodeTables(tl);
      return r;
    }
    r = Codes(tl, td, bl, bd) ? 1 : 0;
    FreeDecodeTables(tl);
    FreeDecodeTables(td);
    return r;
  }
  const TDecodeEntry* Decode(const TDecodeTable* t, int bits) {
    if (t == nullptr) return nullptr;
    Need(bits);
    const TDecodeEntry* e = t->Root() + (B & kMask[bits]);
    while (e->Op > 16) {
      if (e->Op == 99) return nullptr;
      if (!Dump(e->Bits)) return nullptr;
      unsigned k = e->Op - 16;
      Need(k);
      e = t->SubTable(*e) + (B & kMask[k]);
    }
    return Dump(e->Bits) ? e : nullptr;
  }
  int Codes(const TDecodeTable* tl, const TDecodeTable* td, int bl, int bd) {
    for (;;) {
      const TDecodeEntry* e = Decode(tl, bl);
      if (!e) return 1;
      if (e->Op == 16) {
        if (!Put(static_cast<uint8_t>(e->Value))) return 1;
        continue;
      }
      if (e->Op == 15) return 0;
      Need(e->Op);
      unsigned n = e->Value + (B & kMask[e->Op]);
      if (!Dump(e->Op)) return 1;
      e = Decode(td, bd);
      if (!e) return 1;
      Need(e->Op);
      unsigned d = e->Value + (B & kMask[e->Op]);
      if (!Dump(e->Op)) return 1;
      if (d > Produced) return 1;
      uint32_t src = (Pos - d) & 0x7FFF;
      while (n--) {
        uint8_t c = S.Window[src];
        src = (src + 1) & 0x7FFF;
        if (!Put(c)) return 1;
      }
    }
  }
};

}  // namespace unzip::testing
