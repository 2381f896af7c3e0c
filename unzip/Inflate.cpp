// Inflate (method 8) and Deflate64 (method 9): the block driver and the careful symbol
// decoder. The careful path asks for input bits exactly as the plain decoder with its 9/6-bit
// tables does (see TInflater::Need and Lookup below), so input refills (with their message
// processing and cancel check) fall at the same points relative to the output writes; the
// fast loop takes over wherever the input buffer and the window have room for a whole round.
#include "Decoders.h"
#include "InflateInternal.h"

namespace unzip {

using namespace detail;
using namespace detail::entry;

namespace {

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Root sizes of the plain decoder's tables, which fix when the careful path asks for input.
constexpr unsigned kLiteralCarefulBits = 9;
constexpr unsigned kDistanceCarefulBits = 6;
constexpr unsigned kFixedLiteralCarefulBits = 7;
constexpr unsigned kFixedDistanceCarefulBits = 5;
constexpr unsigned kCodeLengthCarefulBits = 7;

// The fixed codes never change, so their tables are built once per format.
struct TFixedCodes {
  TCodeTables Tables;
  TCode Lit, Dist;
  explicit TFixedCodes(TInflateFormat format) {
    uint16_t lengths[288];
    for (unsigned i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    BuildCode(Lit, lengths, 288, LiteralLengthAlphabet(format), kLiteralRootBits, kFixedLiteralCarefulBits,
              Tables.Lit, kLiteralTableSize);
    // Deflate has 30 distance codes of 5 bits, the two free patterns being invalid codes;
    // Deflate64 uses all 32.
    for (unsigned i = 0; i < 32; ++i) lengths[i] = 5;
    BuildCode(Dist, lengths, format == TInflateFormat::Deflate64 ? 32 : 30, DistanceAlphabet(format),
              kDistanceRootBits, kFixedDistanceCarefulBits, Tables.Dist, kDistanceTableSize, true);
  }
};

const TFixedCodes& FixedCodes(TInflateFormat format) {
  static const TFixedCodes deflate(TInflateFormat::Deflate);
  static const TFixedCodes deflate64(TInflateFormat::Deflate64);
  return format == TInflateFormat::Deflate64 ? deflate64 : deflate;
}

class TBlockDecoder {
public:
  TBlockDecoder(TExtractState& state, TInflateFormat format) : Z(state, format) {}

  int Run();

private:
  TInflater Z;
  // The current dynamic block's codes; rebuilt per block in the same storage.
  TCode Lit, Dist, CodeLengths;
  TCodeTables Tables;
  uint32_t CodeLengthStorage[kCodeLengthTableSize];

  int DecodeBlock(bool& last);
  int CopyStoredBlock();
  int DecodeFixedBlock();
  int DecodeDynamicBlock();
  int DecodeBlockData(const TCode& lit, const TCode& dist, const TCodeTables& tables);
  int DecodeOneSymbol(const TCode& lit, const TCode& dist);
  bool Lookup(const TCode& code, uint32_t& e);
};

// The entry of the code at the head of the bit buffer, through its link if it has one, and
// the code's length.
inline __attribute__((always_inline)) uint32_t Resolve(const TCode& code, uint64_t bits, unsigned& length) {
  uint32_t e = code.Table[bits & ((uint64_t{1} << code.RootBits) - 1)];
  if (!(e & kLink)) {
    length = CodeLength(code, e);
    return e;
  }
  const unsigned root = DropBits(e);
  e = code.Table[Value(e) + ((bits >> root) & ((uint64_t{1} << CodeBits(e)) - 1))];
  length = root + CodeLength(code, e);
  return e;
}

// Looks up one code, asking for input as the plain decoder's table would: its root size first,
// then for a longer code the sizes of the sub-tables it passes through, which are those the
// codes under the same prefix need (at most one root size each). Drops the code's bits, not its
// extra bits. False when the code is invalid, the code is empty, or bits past the end were
// consumed.
inline __attribute__((always_inline)) bool TBlockDecoder::Lookup(const TCode& code, uint32_t& e) {
  if (code.Table == nullptr) return false;  // a symbol from an empty code: data error
  unsigned length;
  if (Z.Count + 8 * Z.S.InCount >= code.MaxLen) {
    // The chunk holds the longest code: however the plain decoder asks for its bits, none of
    // its requests empties the chunk, so no refill falls inside this lookup and the code can
    // be taken whole at once.
    Z.Need(code.MaxLen);
    e = Resolve(code, Z.Bits, length);
    if (e & kInvalid) return false;
    return Z.Drop(length);
  }
  const unsigned root = code.CarefulBits;
  Z.Need(root);
  // Bits above the count are zero or true, so a code that fits in the root bits resolves right.
  e = Resolve(code, Z.Bits, length);
  if (length > root) {
    unsigned depth = LongestCodeUnder(code, Z.Bits, root);
    if (depth > 2 * root) {
      Z.Need(2 * root);
      depth = LongestCodeUnder(code, Z.Bits, 2 * root);
    }
    Z.Need(depth);
    e = Resolve(code, Z.Bits, length);
  }
  if (e & kInvalid) return false;
  return Z.Drop(length);
}

int TBlockDecoder::Run() {
  bool last = false;
  do {
    int r = DecodeBlock(last);
    if (r != kInflateOk) return r;  // what the window and output buffer hold is dropped
  } while (!last);
  Z.S.FlushFollowing(Z.Cur, Z.WPos, true);
  return Z.S.OutputCapped ? kInflateDataError : kInflateOk;
}

int TBlockDecoder::DecodeBlock(bool& last) {
  unsigned v;
  if (!Z.Read(1, v)) return kInflateDataError;
  last = v != 0;
  if (!Z.Read(2, v)) return kInflateDataError;
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
  if (!Z.Read(16, len)) return kInflateDataError;
  Z.Need(16);
  nlen = static_cast<unsigned>(Z.Bits & 0xFFFF);
  if (nlen != (~len & 0xFFFF)) return kInflateDataError;
  if (!Z.Drop(16)) return kInflateDataError;
  TExtractState& s = Z.S;
  while (len != 0) {
    if (Z.Count == 0 && s.InCount != 0 && s.CompressedLeft > 0) {
      // Byte-aligned with bytes waiting in the input buffer: move as many as the buffer, the
      // window and the block allow in one go. The byte-wise path below does the refills.
      uint32_t n = len;
      if (n > s.InCount) n = s.InCount;
      if (n > kWindowSize - Z.WPos) n = static_cast<uint32_t>(kWindowSize) - Z.WPos;
      if (static_cast<int64_t>(n) > s.CompressedLeft) n = static_cast<uint32_t>(s.CompressedLeft);
      std::memcpy(Z.Cur + Z.WPos, s.InPtr, n);
      s.TakeInput(n);
      Z.Bits = 0;  // it may hold the true bits of bytes just taken
      Z.WPos += n;
      len -= n;
      if (Z.WPos == kWindowSize && !Z.Wrap()) return kInflateDataError;
      continue;
    }
    unsigned b;
    if (!Z.Read(8, b)) return kInflateDataError;
    if (!Z.PutWindowByte(static_cast<uint8_t>(b))) return kInflateDataError;
    --len;
  }
  return kInflateOk;
}

int TBlockDecoder::DecodeFixedBlock() {
  const TFixedCodes& fixed = FixedCodes(Z.Format);
  return DecodeBlockData(fixed.Lit, fixed.Dist, fixed.Tables) != kInflateOk ? kInflateDataError : kInflateOk;
}

int TBlockDecoder::DecodeDynamicBlock() {
  unsigned v;
  if (!Z.Read(5, v)) return kInflateDataError;
  unsigned nl = 257 + v;
  if (!Z.Read(5, v)) return kInflateDataError;
  unsigned nd = 1 + v;
  if (!Z.Read(4, v)) return kInflateDataError;
  unsigned nb = 4 + v;
  if (nl > 286 || nd > (Z.Format == TInflateFormat::Deflate64 ? 32u : 30u)) return kInflateDataError;

  uint16_t lengths[286 + 32] = {};
  for (unsigned i = 0; i < nb; ++i) {
    if (!Z.Read(3, v)) return kInflateDataError;
    lengths[kCodeLengthOrder[i]] = static_cast<uint16_t>(v);
  }
  int r = BuildCode(CodeLengths, lengths, 19, CodeLengthAlphabet(), kCodeLengthCarefulBits,
                    kCodeLengthCarefulBits, CodeLengthStorage, kCodeLengthTableSize);
  if (r != kInflateOk) return r;

  unsigned total = nl + nd;
  unsigned previous = 0;
  for (unsigned i = 0; i < total;) {
    uint32_t e;
    // A code no symbol has (the free half of a one-code code) is a data error too.
    if (!Lookup(CodeLengths, e)) return kInflateDataError;
    unsigned symbol = Value(e);
    if (symbol < 16) {
      lengths[i++] = static_cast<uint16_t>(symbol);
      previous = symbol;
      continue;
    }
    unsigned repeat, fill;
    if (symbol == 16) {
      if (!Z.Read(2, v)) return kInflateDataError;
      repeat = 3 + v;
      fill = previous;
    } else if (symbol == 17) {
      if (!Z.Read(3, v)) return kInflateDataError;
      repeat = 3 + v;
      fill = 0;
      previous = 0;
    } else {
      if (!Z.Read(7, v)) return kInflateDataError;
      repeat = 11 + v;
      fill = 0;
      previous = 0;
    }
    if (i + repeat > total) return kInflateDataError;
    while (repeat-- != 0) lengths[i++] = static_cast<uint16_t>(fill);  // may cross into distances
  }

  r = BuildCode(Lit, lengths, nl, LiteralLengthAlphabet(Z.Format), kLiteralRootBits, kLiteralCarefulBits,
                Tables.Lit, kLiteralTableSize);
  if (r != kInflateOk) return r;
  r = BuildCode(Dist, lengths + nl, nd, DistanceAlphabet(Z.Format), kDistanceRootBits, kDistanceCarefulBits,
                Tables.Dist, kDistanceTableSize);
  if (r != kInflateOk) return r;
  if (Dist.Table == nullptr) Tables.FillInvalidDistances();
  return DecodeBlockData(Lit, Dist, Tables) != kInflateOk ? kInflateDataError : kInflateOk;
}

int TBlockDecoder::DecodeBlockData(const TCode& lit, const TCode& dist, const TCodeTables& tables) {
  for (;;) {
    if (Z.S.InCount >= kFastInputMargin && lit.Table != nullptr) {
      int r = InflateFastLoop(Z, tables);
      if (r != kInflateContinue) return r;
      if (Z.S.InCount >= kFastInputMargin) continue;  // it stopped at a window piece's end
    }
    if (Z.S.CompressedSize == 0 && lit.Table != nullptr) {
      int r = InflateTailLoop(Z, tables);
      if (r != kInflateContinue) return r;
    }
    int r = DecodeOneSymbol(lit, dist);
    if (r != kInflateContinue) return r;
  }
}

int TBlockDecoder::DecodeOneSymbol(const TCode& lit, const TCode& dist) {
  uint32_t e;
  if (!Lookup(lit, e)) return kInflateDataError;
  if (IsLiteral(e)) return Z.PutWindowByte(static_cast<uint8_t>(e >> 16)) ? kInflateContinue : kInflateDataError;
  if (e & kEndOfBlock) return kInflateOk;

  unsigned v;
  if (!Z.Read(DropBits(e) - LengthCodeBits(e), v)) return kInflateDataError;
  const uint32_t length = LengthValue(e) + v;
  if (!Lookup(dist, e)) return kInflateDataError;
  if (!Z.Read(DropBits(e) - CodeBits(e), v)) return kInflateDataError;
  const uint32_t distance = Value(e) + v;
  // Reaching back before the entry's first byte would leak an earlier entry's data.
  if (distance > Z.Reach()) return kInflateDataError;
  return CopyMatchCareful(Z, distance, length) ? kInflateContinue : kInflateDataError;
}

}  // namespace

bool detail::CopyMatchCareful(TInflater& z, uint32_t distance, uint32_t length) {
  while (length != 0) {
    // The history sits right before Cur, so Cur + WPos - distance is always inside the block.
    const uint32_t room = static_cast<uint32_t>(kWindowSize) - z.WPos;
    const uint32_t n = length < room ? length : room;
    uint8_t* out = z.Cur + z.WPos;
    const uint8_t* src = out - distance;
    if (distance >= n) {
      std::memcpy(out, src, n);
    } else {
      for (uint32_t i = 0; i < n; ++i) out[i] = src[i];
    }
    z.WPos += n;
    length -= n;
    if (z.WPos == kWindowSize && !z.Wrap()) return false;
  }
  return true;
}

int InflateEntry(TExtractState& state, bool deflate64) {
  TBlockDecoder decoder(state, deflate64 ? TInflateFormat::Deflate64 : TInflateFormat::Deflate);
  return decoder.Run();
}

void ExtractDeflated(TExtractState& state) { InflateEntry(state); }
void ExtractDeflated64(TExtractState& state) { InflateEntry(state, true); }

}  // namespace unzip
