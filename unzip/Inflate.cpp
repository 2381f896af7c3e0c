// Inflate (method 8): the block driver and the careful symbol decoder. The careful path makes
// exactly the bit requests of the reference decoder, so input refills (with their message
// processing and cancel check) fall at the same points relative to the output writes; the fast
// loop takes over wherever the input buffer and the window have room for a whole symbol.
#include <memory>


#include "Decoders.h"
#include "InflateInternal.h"

namespace unzip {

using detail::kInflateContinue;
using detail::TInflater;

namespace {

// RFC 1951 tables. Length codes 286 and 287 have extra bits 99: invalid.
constexpr uint16_t kLengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                      35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr uint16_t kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                       3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
constexpr uint16_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr int kLiteralLookupBits = 9;
constexpr int kDistanceLookupBits = 6;
// The fast loop's tables: most literal/length codes and nearly all distance codes resolve with
// one lookup.
constexpr int kFastLiteralLookupBits = 10;
constexpr int kFastDistanceLookupBits = 8;
constexpr int64_t kWideTablesAfter = 2 * kWindowSize;  // bytes of the entry already decoded

struct TableDeleter {
  void operator()(TDecodeTable* t) const { FreeDecodeTables(t); }
};
using TableHandle = std::unique_ptr<TDecodeTable, TableDeleter>;

// The fixed codes never change, so the fast loop's tables for them are built once.
struct TFixedFastTables {
  TableHandle Lit, Dist;
  int LitBits = 9, DistBits = 5;
  TFixedFastTables() {
    uint16_t lengths[288];
    for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    TDecodeTable* raw = nullptr;
    if (BuildDecodeTables(lengths, 288, 257, kLengthBase, kLengthExtra, raw, LitBits) == kInflateOk)
      Lit.reset(raw);
    for (int i = 0; i < 30; ++i) lengths[i] = 5;
    if (BuildDecodeTables(lengths, 30, 0, kDistBase, kDistExtra, raw, DistBits) <= kInflateDataError)
      Dist.reset(raw);
  }
};

class TBlockDecoder {
public:
  explicit TBlockDecoder(TExtractState& state) : Z(state) {}

  int Run();

private:
  TInflater Z;

  int DecodeBlock(bool& last);
  int CopyStoredBlock();
  int DecodeFixedBlock();
  int DecodeDynamicBlock();
  // The code tables of one block: the reference ones, whose lookup sizes fix when the careful
  // path asks for input, and wider ones for the fast loop (same codes, fewer sub-tables).
  struct TCodes {
    const TDecodeTable* Lit;
    int LitBits;
    const TDecodeTable* Dist;
    int DistBits;
  };
  int DecodeBlockData(const TCodes& careful, const TCodes& fast);
  TCodes FixedFastCodes(const TCodes& careful) {
    static const TFixedFastTables tables;
    if (!tables.Lit || !tables.Dist) return careful;
    return TCodes{tables.Lit.get(), tables.LitBits, tables.Dist.get(), tables.DistBits};
  }
  int DecodeOneSymbol(const TDecodeTable* lit, int litBits, const TDecodeTable* dist, int distBits);
  // Reads n bits (n <= 16) into value; false when that consumed bits past the end of the data.
  bool Read(unsigned n, unsigned& value) {
    Z.Ensure(n);
    value = Z.Bits & kMask[n];
    return Z.Drop(n);
  }
  // Looks up one code: an entry that is not a link, having dropped the bits of the links.
  // Null when the code is invalid, the table missing, or bits past the end were consumed.
  const TDecodeEntry* Lookup(const TDecodeTable* table, int lookupBits);
};

const TDecodeEntry* TBlockDecoder::Lookup(const TDecodeTable* table, int lookupBits) {
  if (table == nullptr) return nullptr;  // a symbol from an empty code: data error
  Z.Ensure(static_cast<unsigned>(lookupBits));
  const TDecodeEntry* e = table->Root() + (Z.Bits & kMask[lookupBits]);
  while (e->Op > kOpLinkBase) {
    if (e->Op == kOpInvalid) return nullptr;
    if (!Z.Drop(e->Bits)) return nullptr;
    unsigned k = e->Op - kOpLinkBase;
    Z.Ensure(k);
    e = table->SubTable(*e) + (Z.Bits & kMask[k]);
  }
  return e;
}

int TBlockDecoder::Run() {
  bool last = false;
  do {
    int r = DecodeBlock(last);
    if (r != kInflateOk) return r;  // what the window and output buffer hold is dropped
  } while (!last);
  Z.S.FlushBytes(Z.Cur, Z.WPos);
  Z.S.FlushOutput();
  return Z.S.OutputCapped ? kInflateDataError : kInflateOk;
}

int TBlockDecoder::DecodeBlock(bool& last) {
  unsigned v;
  if (!Read(1, v)) return kInflateDataError;
  last = v != 0;
  if (!Read(2, v)) return kInflateDataError;
  switch (v) {
    case 0: return CopyStoredBlock();
    case 1: return DecodeFixedBlock();
    case 2: return DecodeDynamicBlock();
    default: return kInflateBadBlock;
  }
}

int TBlockDecoder::CopyStoredBlock() {
  if (!Z.Drop(Z.Count % 8)) return kInflateDataError;
  unsigned len, nlen;
  if (!Read(16, len)) return kInflateDataError;
  Z.Ensure(16);
  nlen = Z.Bits & 0xFFFF;
  if (nlen != (~len & 0xFFFF)) return kInflateDataError;
  if (!Z.Drop(16)) return kInflateDataError;
  TExtractState& s = Z.S;
  while (len != 0) {
    if (Z.Count == 0 && s.InCount != 0 && s.CompressedLeft > 0) {
      // Byte-aligned with bytes waiting in the input buffer: move as many as the buffer, the
      // window and the block allow in one go. The byte-wise path below does the refills.
      uint32_t n = len;
      if (n > s.InCount) n = s.InCount;
      if (n > kWindowSize - Z.WPos) n = kWindowSize - Z.WPos;
      if (static_cast<int64_t>(n) > s.CompressedLeft) n = static_cast<uint32_t>(s.CompressedLeft);
      std::memcpy(Z.Cur + Z.WPos, s.InPtr, n);
      s.ByteHolder = s.InPtr[n - 1];
      s.InPtr += n;
      s.InCount -= n;
      s.CompressedLeft -= n;
      Z.WPos += n;
      len -= n;
      if (Z.WPos == kWindowSize && !Z.Wrap()) return kInflateDataError;
      continue;
    }
    unsigned b;
    if (!Read(8, b)) return kInflateDataError;
    if (!Z.PutWindowByte(static_cast<uint8_t>(b))) return kInflateDataError;
    --len;
  }
  return kInflateOk;
}

int TBlockDecoder::DecodeFixedBlock() {
  // Built for each fixed block and released at its end.
  uint16_t lengths[288];
  for (int i = 0; i < 144; ++i) lengths[i] = 8;
  for (int i = 144; i < 256; ++i) lengths[i] = 9;
  for (int i = 256; i < 280; ++i) lengths[i] = 7;
  for (int i = 280; i < 288; ++i) lengths[i] = 8;
  TDecodeTable* raw = nullptr;
  int litBits = 7;
  int r = BuildDecodeTables(lengths, 288, 257, kLengthBase, kLengthExtra, raw, litBits);
  TableHandle lit(raw);
  if (r != kInflateOk) return r;
  for (int i = 0; i < 30; ++i) lengths[i] = 5;
  int distBits = 5;
  r = BuildDecodeTables(lengths, 30, 0, kDistBase, kDistExtra, raw, distBits);
  TableHandle dist(raw);
  if (r > kInflateDataError) return r;  // the fixed distance code is incomplete by design
  const TCodes careful{lit.get(), litBits, dist.get(), distBits};
  return DecodeBlockData(careful, FixedFastCodes(careful)) != kInflateOk ? kInflateDataError
                                                                          : kInflateOk;
}

int TBlockDecoder::DecodeDynamicBlock() {
  unsigned v;
  if (!Read(5, v)) return kInflateDataError;
  unsigned nl = 257 + v;
  if (!Read(5, v)) return kInflateDataError;
  unsigned nd = 1 + v;
  if (!Read(4, v)) return kInflateDataError;
  unsigned nb = 4 + v;
  if (nl > 286 || nd > 30) return kInflateDataError;

  uint16_t lengths[286 + 30] = {};
  for (unsigned i = 0; i < nb; ++i) {
    if (!Read(3, v)) return kInflateDataError;
    lengths[kCodeLengthOrder[i]] = static_cast<uint16_t>(v);
  }
  TDecodeTable* raw = nullptr;
  int clBits = 7;
  int r = BuildDecodeTables(lengths, 19, 19, nullptr, nullptr, raw, clBits);
  TableHandle codeLengths(raw);
  if (r != kInflateOk) return r;

  unsigned total = nl + nd;
  unsigned previous = 0;
  for (unsigned i = 0; i < total;) {
    const TDecodeEntry* e = Lookup(codeLengths.get(), clBits);
    // A code no symbol has (the free half of a one-code code) is a data error too.
    if (e == nullptr || e->Op == kOpInvalid || !Z.Drop(e->Bits)) return kInflateDataError;
    unsigned symbol = e->Value;
    if (symbol < 16) {
      lengths[i++] = static_cast<uint16_t>(symbol);
      previous = symbol;
      continue;
    }
    unsigned repeat, fill;
    if (symbol == 16) {
      if (!Read(2, v)) return kInflateDataError;
      repeat = 3 + v;
      fill = previous;
    } else if (symbol == 17) {
      if (!Read(3, v)) return kInflateDataError;
      repeat = 3 + v;
      fill = 0;
      previous = 0;
    } else {
      if (!Read(7, v)) return kInflateDataError;
      repeat = 11 + v;
      fill = 0;
      previous = 0;
    }
    if (i + repeat > total) return kInflateDataError;
    while (repeat-- != 0) lengths[i++] = static_cast<uint16_t>(fill);  // may cross into distances
  }
  codeLengths.reset();

  int litBits = kLiteralLookupBits;
  r = BuildDecodeTables(lengths, nl, 257, kLengthBase, kLengthExtra, raw, litBits);
  TableHandle lit(raw);
  if (r != kInflateOk) return r;
  int distBits = kDistanceLookupBits;
  r = BuildDecodeTables(lengths + nl, nd, 0, kDistBase, kDistExtra, raw, distBits);
  TableHandle dist(raw);
  if (r != kInflateOk) return r;
  const TCodes careful{lit.get(), litBits, dist.get(), distBits};
  // The wide tables: the same lengths, so the same (successful) result.
  int fastLitBits = kFastLiteralLookupBits, fastDistBits = kFastDistanceLookupBits;
  TableHandle fastLit, fastDist;
  // Wide tables pay for their build only over many symbols: small entries (most of an
  // archive's files) decode with the reference tables.
  if (Z.CycleBase >= kWideTablesAfter) {
    if (BuildDecodeTables(lengths, nl, 257, kLengthBase, kLengthExtra, raw, fastLitBits) == kInflateOk)
      fastLit.reset(raw);
    if (fastLit && BuildDecodeTables(lengths + nl, nd, 0, kDistBase, kDistExtra, raw, fastDistBits) == kInflateOk)
      fastDist.reset(raw);
  }
  const TCodes fast = fastLit && (fastDist || !dist)
                          ? TCodes{fastLit.get(), fastLitBits, fastDist.get(), fastDistBits}
                          : careful;
  return DecodeBlockData(careful, fast) != kInflateOk ? kInflateDataError : kInflateOk;
}

int TBlockDecoder::DecodeBlockData(const TCodes& careful, const TCodes& fast) {
  for (;;) {
    if (Z.S.InCount >= detail::kFastInputMargin && Z.WPos <= kWindowSize - detail::kFastOutputMargin &&
        fast.Lit != nullptr) {
      int r = detail::InflateFastLoop(Z, fast.Lit, fast.LitBits, fast.Dist, fast.DistBits);
      if (r != kInflateContinue) return r;
    }
    int r = DecodeOneSymbol(careful.Lit, careful.LitBits, careful.Dist, careful.DistBits);
    if (r != kInflateContinue) return r;
  }
}

int TBlockDecoder::DecodeOneSymbol(const TDecodeTable* lit, int litBits, const TDecodeTable* dist,
                                   int distBits) {
  const TDecodeEntry* e = Lookup(lit, litBits);
  if (e == nullptr || !Z.Drop(e->Bits)) return kInflateDataError;
  if (e->Op == kOpLiteral)
    return Z.PutWindowByte(static_cast<uint8_t>(e->Value)) ? kInflateContinue : kInflateDataError;
  if (e->Op == kOpEndOfBlock) return kInflateOk;

  unsigned v;
  if (!Read(e->Op, v)) return kInflateDataError;
  uint32_t length = e->Value + v;
  const TDecodeEntry* d = Lookup(dist, distBits);
  if (d == nullptr || !Z.Drop(d->Bits)) return kInflateDataError;
  if (!Read(d->Op, v)) return kInflateDataError;
  uint32_t distance = d->Value + v;
  // Reaching back before the entry's first byte would leak an earlier entry's data.
  if (distance > Z.Reach()) return kInflateDataError;
  while (length != 0) {
    // Hist sits right before Cur, so Cur + WPos - distance is always inside the block.
    uint32_t room = kWindowSize - Z.WPos;
    uint32_t n = length < room ? length : room;
    uint8_t* out = Z.Cur + Z.WPos;
    const uint8_t* src = out - distance;
    if (distance >= n) {
      std::memcpy(out, src, n);
    } else {
      for (uint32_t i = 0; i < n; ++i) out[i] = src[i];
    }
    Z.WPos += n;
    length -= n;
    if (Z.WPos == kWindowSize && !Z.Wrap()) return kInflateDataError;
  }
  return kInflateContinue;
}

}  // namespace

int InflateEntry(TExtractState& state) {
  TBlockDecoder decoder(state);
  return decoder.Run();
}

void ExtractDeflated(TExtractState& state) { InflateEntry(state); }

}  // namespace unzip
