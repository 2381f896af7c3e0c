// Hand-built shrunk, reduced and imploded streams for the cases real archives rarely show:
// control codes, partial clears, full tables, escapes, longest matches, both dictionaries,
// both literal modes, matches reaching before the entry's start, and corrupt or truncated
// data, which must end quietly without touching anything outside the decoders' tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "OlderMethods.h"
#include "OlderTestUtil.h"
#include "ZipWriter.h"

namespace {

using oldertest::Bytes;
using oldertest::Decode;
using oldertest::TBitWriter;
using oldertest::Text;

// ---------------------------------------------------------------------------------------
// Shrink

// Codes of one size after another; Control(n) is the pair 256, n.
struct TShrinkStream {
  TBitWriter W;
  unsigned Size = 9;
  TShrinkStream& Code(unsigned c) {
    W.Put(c, Size);
    return *this;
  }
  TShrinkStream& Codes(std::initializer_list<unsigned> cs) {
    for (unsigned c : cs) Code(c);
    return *this;
  }
  TShrinkStream& Widen() {
    Code(256).Code(1);
    ++Size;
    return *this;
  }
  TShrinkStream& Clear() { return Code(256).Code(2); }
};

std::string Unshrink(const std::vector<uint8_t>& data, int64_t declared = 1 << 20) {
  auto r = Decode(1, data, declared);
  return Text(r.Output);
}

TEST(Unshrink, EmptyDataGivesAnEmptyFile) {
  auto r = Decode(1, {}, 0);
  EXPECT_TRUE(r.Output.empty());
  EXPECT_TRUE(r.Writes.empty());
  EXPECT_EQ(r.Crc, 0u);
}

TEST(Unshrink, SingleCode65IsTheByteA) {
  EXPECT_EQ(Unshrink({0x41, 0x00}), "A");
}

TEST(Unshrink, CodeOfTheStringBeingDefinedRepeatsItsFirstByte) {
  // 65 "A"; 257 is not defined yet: "A" + 'A'; then 257 is "AA" and defines 258 = "AAA";
  // 66 "B" defines 259 = (257, 'B') = "AAB".
  TShrinkStream s;
  s.Codes({65, 257, 257, 66, 258, 259});
  EXPECT_EQ(Unshrink(s.W.Bytes), "A" "AA" "AA" "B" "AAA" "AAB");
}

TEST(Unshrink, WidenMakesEveryFollowingCode10Bits) {
  TShrinkStream s;
  s.Code(65).Widen().Codes({66, 257, 600 & 0xFF});
  // After the widening 66 "B" defines 257 = "AB"; 600 & 0xFF = 88 'X'.
  EXPECT_EQ(Unshrink(s.W.Bytes), "AB" "AB" "X");

  // Read with 9 bits, the same bytes give something else: the width really changed.
  TShrinkStream nine;
  nine.Code(65).Code(256).Code(1).Codes({66, 257, 88});
  EXPECT_NE(Unshrink(nine.W.Bytes), "ABABX");
}

TEST(Unshrink, FirstCode256WritesZeroAndIsNoControlCode) {
  TShrinkStream s;
  // 256 first: byte 0. Then 65 defines 257 = (256, 'A'), which reads as "\0A".
  s.Codes({256, 65, 257});
  EXPECT_EQ(Unshrink(s.W.Bytes), std::string("\0A\0A", 4));
}

TEST(Unshrink, PartialClearFreesCodesNoOtherCodeBuildsOn) {
  TShrinkStream s;
  // 65 66: 257 = "AB" (prefix 65); 257: 258 = "BA" (prefix 66); 258: 259 = "ABB" (prefix 257);
  // 259: 260 = "BAA" (prefix 258). 257 and 258 are prefixes, 259 and 260 are not.
  s.Codes({65, 66, 257, 258, 259}).Clear();
  // 257 "AB" is kept; its entry lands on 259, the lowest freed code (its prefix is the
  // previous code 259, freed: a string nobody asks for here). 66 "B" then defines 260 =
  // (257, 'B') = "ABB", so 260 reads "ABB" where the old 260 was "BAA".
  s.Codes({257, 66, 260});
  EXPECT_EQ(Unshrink(s.W.Bytes), "AB" "AB" "BA" "ABB" "AB" "B" "ABB");
}

TEST(Unshrink, PartialClearIgnoresCodesAboveTheNextFreeCode) {
  TShrinkStream s;
  // 65 66: 257 = "AB"; 257: 258 = "BA"; 67: 259 = (257, 'C') = "ABC"; 259: 260 = (67, 'A')
  // = "CA"; 68: 261 = (259, 'D') = "ABCD".
  s.Codes({65, 66, 257, 67, 259, 68});
  // First clear: 257 (used by 259) and 259 (used by 261) stay; 258, 260, 261 are freed and
  // the next free code is 258. Second clear: only 257 is below it, and 259 above does not
  // count as its user, so 257 is freed too; 259 itself is not touched.
  s.Clear().Clear();
  // 66 "B" defines 257 = (68, 'B') = "DB"; 257 "DB" defines 258 = (66, 'D') = "BD";
  // 258 "BD"; 259 still defined, over the new 257: "DBC".
  s.Codes({66, 257, 258, 259});
  EXPECT_EQ(Unshrink(s.W.Bytes), "A" "B" "AB" "C" "ABC" "D" "B" "DB" "BD" "DBC");
}

TEST(Unshrink, FullTableAddsNothingUntilAPartialClear) {
  TShrinkStream s;
  std::string expected;
  // 7937 single-byte codes define 257..8191: 257 + k = bytes k and k + 1 (mod 256).
  for (unsigned i = 0; i < 7937; ++i) {
    const unsigned next = 257 + (i == 0 ? 0 : i - 1);  // the code the previous one defined
    if (next == 512 || next == 1024 || next == 2048 || next == 4096) s.Widen();
    s.Code(i % 256);
    expected += static_cast<char>(i % 256);
  }
  // Table full: 8191 is bytes 254 255, and using codes adds nothing.
  s.Codes({8191, 300, 8191});
  expected += "\xFE\xFF";
  expected += std::string{static_cast<char>(43), static_cast<char>(44)};
  expected += "\xFE\xFF";
  // Nothing builds on any code above 256: the clear frees them all; the next entry is 257.
  s.Clear().Codes({65, 66, 258});
  // 65 defines 257 = (8191, 'A'); 66 defines 258 = (65, 'B') = "AB".
  expected += "AB" "AB";
  EXPECT_EQ(Unshrink(s.W.Bytes, static_cast<int64_t>(expected.size())), expected);
}

TEST(Unshrink, SingleByteIsAPartialCodeAndGivesNothing) {
  // Eight of the nine bits of 65: a stream cut in the middle of its first code.
  EXPECT_EQ(Unshrink({0x41}), "");
}

TEST(Unshrink, PartialLastCodeIsNotDecoded) {
  TShrinkStream s;
  s.Codes({65, 66, 67});      // 27 bits
  s.W.Put(0x1F, 5);           // five of nine bits of a fourth code: 32 bits, 4 whole bytes
  ASSERT_EQ(s.W.Bytes.size(), 4u);
  EXPECT_EQ(Unshrink(s.W.Bytes), "ABC");
}

TEST(Unshrink, CodeSizePast13EndsTheEntry) {
  TShrinkStream s;
  s.Code(65).Widen().Widen().Widen().Widen();  // 13 bits
  s.Code(66);
  s.Code(256).Code(1);                          // would make 14
  s.Size = 14;
  s.Codes({67, 68});
  EXPECT_EQ(Unshrink(s.W.Bytes), "AB");
}

TEST(Unshrink, LoopingPrefixChainEndsTheEntry) {
  TShrinkStream s;
  // As in the partial clear above: after the clear, 257 puts its entry on 259 with the
  // freed 259 as its prefix, a chain that loops on itself.
  s.Codes({65, 66, 257, 258, 259}).Clear().Codes({257, 66});
  s.Codes({259, 65, 66});  // 259 loops: decoding ends there
  EXPECT_EQ(Unshrink(s.W.Bytes), "AB" "AB" "BA" "ABB" "AB" "B");
}

TEST(Unshrink, UndefinedCodeAsFirstCodeNeverLeavesTheTables) {
  // A first code far above the defined ones, then codes that build on it: whatever comes
  // out, decoding ends and every index stays inside the tables (checked by the sanitizers).
  TShrinkStream s;
  s.Codes({500, 65, 257, 300, 257, 511, 258});
  auto r = Decode(1, s.W.Bytes, 1 << 16);
  ASSERT_FALSE(r.Output.empty());
  EXPECT_EQ(r.Output[0], 500 & 0xFF);
}

TEST(Unshrink, RandomDataAlwaysEnds) {
  uint32_t seed = 12345;
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data(1 + round * 37 % 3000);
    for (auto& b : data) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    // Random codes meet undefined codes, control pairs and looping chains.
    auto r = Decode(1, data, 1 << 24);
    EXPECT_LE(r.ArchiveRead, data.size());
  }
}

TEST(Unshrink, OutputBeyondTheDeclaredSizeIsCutAndFailsTheEntry) {
  TShrinkStream s;
  s.Codes({65, 257, 257, 258, 259, 260, 261});  // "A", "AA", "AA", "AAA", ...
  auto r = Decode(1, s.W.Bytes, 4);
  EXPECT_EQ(Text(r.Output), "AAAA");
  EXPECT_TRUE(r.Capped);
}

TEST(Unshrink, StringsCrossTheOutputChunkIntact) {
  // 20000 'A's through ever longer strings: they cross the 16000-byte output chunk.
  TShrinkStream s;
  s.Code(65);
  size_t produced = 1;
  unsigned next = 257, len = 2;
  while (produced + len <= 20000) {
    if (next == 512) s.Widen();
    s.Code(next);  // each string is one 'A' longer: the KwKwK case every time
    produced += len;
    ++next;
    ++len;
  }
  auto r = Decode(1, s.W.Bytes, static_cast<int64_t>(produced));
  EXPECT_EQ(Text(r.Output), std::string(produced, 'A'));
  ASSERT_GE(r.Writes.size(), 2u);
  EXPECT_EQ(r.Writes[0], 16000);
}

// ---------------------------------------------------------------------------------------
// Reduce

struct TReduceStream {
  TBitWriter W;
  std::vector<std::vector<uint8_t>> Sets = std::vector<std::vector<uint8_t>>(256);
  // Follower sets, x = 255 down to 0.
  void WriteSets() {
    for (int x = 255; x >= 0; --x) {
      W.Put(static_cast<uint32_t>(Sets[static_cast<size_t>(x)].size()), 6);
      for (uint8_t m : Sets[static_cast<size_t>(x)]) W.Put(m, 8);
    }
  }
  // A symbol after `last`, coded as the decoder expects it.
  void Symbol(unsigned last, uint8_t sym) {
    const auto& set = Sets[last];
    if (set.empty()) {
      W.Put(sym, 8);
      return;
    }
    auto it = std::find(set.begin(), set.end(), sym);
    if (it == set.end()) {
      W.PutBit(1);
      W.Put(sym, 8);
    } else {
      unsigned width = 1;
      while ((1u << width) < set.size()) ++width;
      W.PutBit(0);
      W.Put(static_cast<uint32_t>(it - set.begin()), width);
    }
  }
  // Symbols in a row, each coded against the one before.
  void Symbols(const std::vector<uint8_t>& syms) {
    for (uint8_t s : syms) {
      Symbol(Last, s);
      Last = s;
    }
  }
  unsigned Last = 0;
};

TEST(Unreduce, ZeroSizeReadsTheSetsAndWritesNothing) {
  for (int method = 2; method <= 5; ++method) {
    TReduceStream s;
    s.Sets[7] = {1, 2, 3};
    s.WriteSets();
    auto r = Decode(method, s.W.Bytes, 0);
    EXPECT_TRUE(r.Output.empty());
    EXPECT_EQ(r.ArchiveRead, s.W.Bytes.size());
  }
}

TEST(Unreduce, EmptySetsMeanPlain8BitSymbols) {
  TReduceStream s;
  s.WriteSets();
  ASSERT_EQ(s.W.Bytes.size(), 192u);  // 256 sizes of 6 bits
  for (char c : std::string("hello")) s.W.Put(static_cast<uint8_t>(c), 8);
  EXPECT_EQ(Text(Decode(2, s.W.Bytes, 5).Output), "hello");
}

TEST(Unreduce, FollowerIndexesAndLiteralFlags) {
  TReduceStream s;
  s.Sets['a'] = {'b', 'c', 'd'};      // width 2
  s.Sets['b'] = {'a'};                // width 1
  s.Sets[0] = {'a', 'x'};             // the first symbol follows symbol 0
  s.WriteSets();
  s.Symbols({'a', 'b', 'a', 'd', 'z', 'a', 'c', 'q'});
  EXPECT_EQ(Text(Decode(3, s.W.Bytes, 8).Output), "abadzacq");
}

TEST(Unreduce, IndexPastTheSetReadsZeroNotStaleWindow) {
  TReduceStream s;
  s.Sets[0] = {'a', 'b', 'c'};  // width 2: index 3 is past the set
  s.WriteSets();
  s.W.PutBit(0);
  s.W.Put(3, 2);
  auto r = Decode(2, s.W.Bytes, 1, 0, /*stale*/ 0x77);
  ASSERT_EQ(r.Output.size(), 1u);
  EXPECT_EQ(r.Output[0], 0);
}

TEST(Unreduce, Escape144Then0WritesOne144) {
  TReduceStream s;
  s.WriteSets();
  s.Symbols({'x', 144, 0, 'y'});
  EXPECT_EQ(Text(Decode(2, s.W.Bytes, 3).Output), "x\x90y");
}

TEST(Unreduce, LongestMatchAndFarthestDistancePerFactor) {
  const unsigned lengthMask[5] = {0, 0x7F, 0x3F, 0x1F, 0x0F};
  const unsigned shift[5] = {0, 7, 6, 5, 4};
  const unsigned longest[5] = {0, 385, 321, 289, 273};
  const unsigned farthest[5] = {0, 512, 1024, 2048, 4096};
  for (int f = 1; f <= 4; ++f) {
    SCOPED_TRACE("factor " + std::to_string(f));
    // farthest distinct bytes (no escape symbol among them), then the longest match from
    // the farthest distance: it copies the start of the data again.
    TReduceStream s;
    s.WriteSets();
    std::string data;
    for (unsigned i = 0; i < farthest[f]; ++i) {
      uint8_t b = static_cast<uint8_t>(i * 7 + i / 256);
      if (b == 144) b = 145;
      data += static_cast<char>(b);
    }
    std::vector<uint8_t> syms(data.begin(), data.end());
    const unsigned high = (farthest[f] - 1) >> 8;  // distance - 1 = high * 256 + low
    syms.push_back(144);
    syms.push_back(static_cast<uint8_t>(high << shift[f] | lengthMask[f]));  // length follows
    syms.push_back(255);                                                        // extra length
    syms.push_back(static_cast<uint8_t>((farthest[f] - 1) & 0xFF));
    s.Symbols(syms);
    std::string expected = data;
    for (unsigned i = 0; i < longest[f]; ++i) expected += expected[expected.size() - farthest[f]];
    auto r = Decode(f + 1, s.W.Bytes, static_cast<int64_t>(expected.size()));
    EXPECT_EQ(Text(r.Output), expected);
    EXPECT_FALSE(r.Capped);
  }
}

TEST(Unreduce, MatchBeforeTheFirstByteReadsZerosNotTheOldWindow) {
  TReduceStream s;
  s.WriteSets();
  // "ab", then 6 bytes from distance 4: two before the entry's start (zeros), then "ab", and
  // the copy runs on into the bytes it writes.
  s.Symbols({'a', 'b', 144, 3, 3});
  auto r = Decode(2, s.W.Bytes, 8, 0, /*stale*/ 0xEE);
  EXPECT_EQ(Text(r.Output), std::string("ab\0\0ab\0\0", 8));
}

TEST(Unreduce, HistoryWrapsAndSecondPassReadsRealBytes) {
  // 16384 + 10 bytes; a match at the end reaches back across the wrap.
  TReduceStream s;
  s.WriteSets();
  std::string data;
  for (unsigned i = 0; i < 16390; ++i) data += static_cast<char>('a' + i % 23);
  std::vector<uint8_t> syms(data.begin(), data.end());
  syms.push_back(144);
  syms.push_back(static_cast<uint8_t>((99 >> 8) << 7 | 10));  // factor 1: length 13
  syms.push_back(static_cast<uint8_t>(99 & 0xFF));            // distance 100
  s.Symbols(syms);
  std::string expected = data;
  for (int i = 0; i < 13; ++i) expected += expected[expected.size() - 100];
  EXPECT_EQ(Text(Decode(2, s.W.Bytes, static_cast<int64_t>(expected.size())).Output), expected);
}

TEST(Unreduce, FinalMatchPastTheDeclaredSizeIsCutAndFailsTheEntry) {
  TReduceStream s;
  s.WriteSets();
  s.Symbols({'a', 144, 20, 0});  // 23 bytes of 'a' at distance 1
  auto r = Decode(2, s.W.Bytes, 10);
  EXPECT_EQ(Text(r.Output), std::string(10, 'a'));
  EXPECT_TRUE(r.Capped);
}

TEST(Unreduce, DataThatRunsOutStopsSoonAfterItAndFailsTheEntry) {
  TReduceStream s;
  s.WriteSets();
  s.Symbols({'x', 'y'});
  for (int f = 1; f <= 4; ++f) {
    // Also the hostile case: a few bytes declaring nearly 4 GiB decode only a little.
    for (int64_t declared : {int64_t{100000}, int64_t{0xFFFFFFF0}}) {
      SCOPED_TRACE(declared);
      auto r = Decode(f + 1, s.W.Bytes, declared);
      ASSERT_GE(r.Output.size(), 2u);
      EXPECT_LT(r.Output.size(), 64u * 1024);
      EXPECT_EQ(r.Output[0], 'x');
      EXPECT_EQ(r.Output[1], 'y');
      // Past the end every bit reads as 0: plain zero bytes (symbol 0 follows symbol 0).
      EXPECT_EQ(std::count(r.Output.begin() + 2, r.Output.end(), 0),
                static_cast<std::ptrdiff_t>(r.Output.size() - 2));
      EXPECT_TRUE(r.Exhausted);
      EXPECT_FALSE(r.Capped);
      EXPECT_EQ(r.ArchiveRead, s.W.Bytes.size());
    }
  }
}

TEST(Unreduce, ASoundStreamEndingOnItsLastBitIsNotTakenForExhausted) {
  TReduceStream s;
  s.WriteSets();
  s.Symbols({'x', 'y'});
  for (int f = 1; f <= 4; ++f) {
    auto r = Decode(f + 1, s.W.Bytes, 2);
    EXPECT_EQ(Text(r.Output), "xy");
    EXPECT_FALSE(r.Exhausted);
  }
}

// ---------------------------------------------------------------------------------------
// Implode

// Canonical codes for the given lengths, shortest first and by symbol within a length.
std::vector<uint32_t> CanonicalCodes(const std::vector<unsigned>& lengths) {
  unsigned count[17] = {};
  for (unsigned l : lengths) ++count[l];
  uint32_t next[17] = {};
  for (int len = 2; len <= 16; ++len) next[len] = (next[len - 1] + count[len - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i) codes[i] = next[lengths[i]]++;
  return codes;
}

// A code-length description: a count byte, then (repeat - 1) << 4 | (length - 1) runs.
std::vector<uint8_t> Describe(const std::vector<unsigned>& lengths) {
  std::vector<uint8_t> runs;
  for (size_t i = 0; i < lengths.size();) {
    size_t j = i;
    while (j < lengths.size() && lengths[j] == lengths[i] && j - i < 16) ++j;
    runs.push_back(static_cast<uint8_t>((j - i - 1) << 4 | (lengths[i] - 1)));
    i = j;
  }
  runs.insert(runs.begin(), static_cast<uint8_t>(runs.size() - 1));
  return runs;
}

struct TTree {
  std::vector<unsigned> Lengths;
  std::vector<uint32_t> Codes;
  explicit TTree(std::vector<unsigned> lengths) : Lengths(std::move(lengths)), Codes(CanonicalCodes(Lengths)) {}
  // Codes go out complemented, first bit the most significant.
  void Put(TBitWriter& w, unsigned symbol) const {
    const unsigned n = Lengths[symbol];
    w.PutMsbFirst(~Codes[symbol] & ((1u << n) - 1), n);
  }
};

// A complete 64-symbol code with lengths 5 to 9, so lookups of 7 and 8 bits both need
// sub-tables for some codes.
std::vector<unsigned> MixedLengths64() {
  std::vector<unsigned> l(64, 6);
  l[0] = l[1] = l[2] = 5;
  l[60] = 7;
  l[61] = 8;
  l[62] = l[63] = 9;
  // 3/32 + 57/64 + 1/128 + 1/256 + 2/512 = 1
  return l;
}

struct TImplodeStream {
  bool LiteralTree;
  bool Dict8K;
  TTree Literals{std::vector<unsigned>(256, 8)};
  TTree Lengths{std::vector<unsigned>(64, 6)};
  TTree Distances{MixedLengths64()};
  TBitWriter W;

  TImplodeStream(bool literalTree, bool dict8K) : LiteralTree(literalTree), Dict8K(dict8K) {}

  uint16_t Flags() const { return static_cast<uint16_t>((Dict8K ? 2 : 0) | (LiteralTree ? 4 : 0)); }
  void Header() {
    if (LiteralTree)
      for (uint8_t b : Describe(Literals.Lengths)) W.PutByte(b);
    for (uint8_t b : Describe(Lengths.Lengths)) W.PutByte(b);
    for (uint8_t b : Describe(Distances.Lengths)) W.PutByte(b);
  }
  void Literal(uint8_t b) {
    W.PutBit(1);
    if (LiteralTree)
      Literals.Put(W, b);
    else
      W.Put(b, 8);
  }
  void Match(unsigned distance, unsigned length) {
    const unsigned lowBits = Dict8K ? 7 : 6;
    const unsigned d = distance - 1;
    W.PutBit(0);
    W.Put(d & ((1u << lowBits) - 1), lowBits);
    Distances.Put(W, d >> lowBits);
    const unsigned minimum = LiteralTree ? 3 : 2;
    const unsigned code = std::min(length - minimum, 63u);
    Lengths.Put(W, code);
    if (code == 63) W.Put(length - minimum - 63, 8);
  }
};

TEST(Explode, LiteralsAndMatchesInAllFourModes) {
  for (int mode = 0; mode < 4; ++mode) {
    const bool lit = mode & 1, dict8 = mode & 2;
    SCOPED_TRACE(std::string(lit ? "literal tree, " : "plain literals, ") + (dict8 ? "8K" : "4K"));
    TImplodeStream s(lit, dict8);
    s.Header();
    std::string expected;
    for (char c : std::string("Mary had a little lamb, ")) {
      s.Literal(static_cast<uint8_t>(c));
      expected += c;
    }
    s.Match(24, 24);  // the whole line again
    expected += expected.substr(0, 24);
    s.Match(5, 3);    // "la" + "m"... from five back
    for (int i = 0; i < 3; ++i) expected += expected[expected.size() - 5];
    if (!lit) {
      s.Match(1, 2);  // the shortest match without a literal tree is 2
      expected += expected.substr(expected.size() - 1) + expected.substr(expected.size() - 1);
    }
    auto r = Decode(6, s.W.Bytes, static_cast<int64_t>(expected.size()), s.Flags());
    EXPECT_EQ(Text(r.Output), expected);
    EXPECT_FALSE(r.Capped);
  }
}

TEST(Explode, FarthestDistancePerDictionary) {
  for (bool dict8 : {false, true}) {
    const unsigned farthest = dict8 ? 8192 : 4096;
    TImplodeStream s(false, dict8);
    s.Header();
    std::string expected;
    for (unsigned i = 0; i < farthest; ++i) {
      const uint8_t b = static_cast<uint8_t>(i * 13 + i / 256);
      s.Literal(b);
      expected += static_cast<char>(b);
    }
    s.Match(farthest, 10);
    expected += expected.substr(0, 10);
    EXPECT_EQ(Text(Decode(6, s.W.Bytes, static_cast<int64_t>(expected.size()), s.Flags()).Output), expected)
        << (dict8 ? "8K" : "4K");
  }
}

TEST(Explode, LengthCode63WithExtraByte255) {
  for (bool lit : {false, true}) {
    TImplodeStream s(lit, false);
    s.Header();
    s.Literal('z');
    const unsigned longest = lit ? 321 : 320;
    s.Match(1, longest);
    auto r = Decode(6, s.W.Bytes, 1 + longest, s.Flags());
    EXPECT_EQ(Text(r.Output), std::string(1 + longest, 'z'));
    EXPECT_FALSE(r.Capped);
  }
}

TEST(Explode, MatchBeforeTheFirstByteReadsZerosNotTheOldWindow) {
  TImplodeStream s(true, true);
  s.Header();
  s.Literal('Q');
  s.Match(3, 5);  // two positions before the entry, then 'Q', then the zeros again
  auto r = Decode(6, s.W.Bytes, 6, s.Flags(), /*stale*/ 0x5A);
  EXPECT_EQ(Text(r.Output), std::string("Q\0\0Q\0\0", 6));
}

TEST(Explode, DescriptionBytesGiveTheirLengths) {
  unzip::testing::TMemoryExtractHost host({0x03, 0xF5, 0xF5, 0xF5, 0xF5, 0x00, 0xF5});
  unzip::TExtractState state(host);
  unzip::testing::BeginMemoryEntry(state, 7, 0);
  uint16_t lengths[256] = {};
  ASSERT_TRUE(unzip::detail::ReadCodeLengths(state, lengths, 64));
  EXPECT_EQ(std::count(lengths, lengths + 64, 6), 64);
  // 0x00 0xF5: one run of 16 lengths, short of 64.
  EXPECT_FALSE(unzip::detail::ReadCodeLengths(state, lengths, 64));
}

TEST(Explode, DescriptionRunPastTheCountFails) {
  // Five runs of 16 for a 64-length tree.
  unzip::testing::TMemoryExtractHost host({0x04, 0xF5, 0xF5, 0xF5, 0xF5, 0xF5});
  unzip::TExtractState state(host);
  unzip::testing::BeginMemoryEntry(state, 6, 0);
  uint16_t lengths[256] = {};
  EXPECT_FALSE(unzip::detail::ReadCodeLengths(state, lengths, 64));
}

TEST(Explode, DescriptionCutShortByTheDataFails) {
  unzip::testing::TMemoryExtractHost host({0x03, 0xF5, 0xF5});
  unzip::TExtractState state(host);
  unzip::testing::BeginMemoryEntry(state, 3, 0);
  uint16_t lengths[256] = {};
  EXPECT_FALSE(unzip::detail::ReadCodeLengths(state, lengths, 64));
}

TEST(Explode, LiteralDescriptionOf255LengthsGivesNoOutput) {
  TImplodeStream s(true, false);
  s.Literals = TTree(std::vector<unsigned>(255, 8));  // one short
  s.Header();
  s.Literal('a');
  auto r = Decode(6, s.W.Bytes, 1, s.Flags());
  EXPECT_TRUE(r.Output.empty());
  EXPECT_TRUE(r.Writes.empty());
}

TEST(Explode, IncompleteOrOversubscribedTreeGivesNoOutput) {
  std::vector<unsigned> incomplete(64, 7);   // half the code space
  std::vector<unsigned> oversubscribed(64, 5);
  for (const auto& lengths : {incomplete, oversubscribed}) {
    TImplodeStream s(false, false);
    s.Header();
    // Replace the length tree's description by the bad one.
    TBitWriter w;
    for (uint8_t b : Describe(lengths)) w.PutByte(b);
    for (uint8_t b : Describe(s.Distances.Lengths)) w.PutByte(b);
    w.PutByte(0xFF);
    auto r = Decode(6, w.Bytes, 10, s.Flags());
    EXPECT_TRUE(r.Output.empty());
  }
}

TEST(Explode, DistanceLookupWidthDependsOnTheCompressedSizeNotTheOutput) {
  // The same stream, claimed once as 200000 and once as 200001 compressed bytes (the rest
  // zeros): lookup 7 and 8 bits, distance codes of up to 9 bits, the same output.
  TImplodeStream s(true, true);
  s.Header();
  std::string expected;
  for (int i = 0; i < 9000; ++i) {
    const uint8_t b = static_cast<uint8_t>(i * 31 + i / 97);
    s.Literal(b);
    expected += static_cast<char>(b);
  }
  // Distances whose codes have every length of the tree: 5, 6, 7, 8 and 9 bits.
  for (unsigned code : {0u, 1u, 30u, 60u, 61u, 62u, 63u}) {
    const unsigned distance = code * 128 + 1 + (code % 7);
    s.Match(distance, 4 + code % 5);
    for (unsigned i = 0; i < 4 + code % 5; ++i) expected += expected[expected.size() - distance];
  }
  auto narrow = Decode(6, s.W.Bytes, static_cast<int64_t>(expected.size()), s.Flags(), 0, 200000);
  auto wide = Decode(6, s.W.Bytes, static_cast<int64_t>(expected.size()), s.Flags(), 0, 200001);
  EXPECT_EQ(Text(narrow.Output), expected);
  EXPECT_EQ(Text(wide.Output), expected);
}

TEST(Explode, FinalMatchPastTheDeclaredSizeIsCutAndFailsTheEntry) {
  TImplodeStream s(false, false);
  s.Header();
  s.Literal('k');
  s.Match(1, 40);
  auto r = Decode(6, s.W.Bytes, 20, s.Flags());
  EXPECT_EQ(Text(r.Output), std::string(20, 'k'));
  EXPECT_TRUE(r.Capped);
}

TEST(Explode, DataThatRunsOutStopsSoonAfterItAndFailsTheEntry) {
  for (int64_t declared : {int64_t{50000}, int64_t{0xFFFFFFF0}}) {
    for (int flags = 0; flags < 4; ++flags) {
      SCOPED_TRACE(flags);
      TImplodeStream s(flags & 1, flags & 2);
      s.Header();
      s.Literal('a');
      s.Literal('b');
      auto r = Decode(6, s.W.Bytes, declared, s.Flags());
      ASSERT_GE(r.Output.size(), 2u);
      EXPECT_LT(r.Output.size(), 64u * 1024);
      EXPECT_EQ(r.Output[0], 'a');
      EXPECT_EQ(r.Output[1], 'b');
      EXPECT_TRUE(r.Exhausted);
      EXPECT_EQ(r.ArchiveRead, s.W.Bytes.size());
      // Exactly the sound part, declared as the size, is no exhaustion.
      auto exact = Decode(6, s.W.Bytes, 2, s.Flags());
      EXPECT_EQ(Text(exact.Output), "ab");
      EXPECT_FALSE(exact.Exhausted);
    }
  }
}

TEST(Explode, RandomDataAlwaysEnds) {
  uint32_t seed = 777;
  for (int round = 0; round < 100; ++round) {
    TImplodeStream s(round & 1, round & 2);
    s.Header();
    for (int i = 0; i < 2000; ++i) {
      seed = seed * 1103515245u + 12345u;
      s.W.PutByte(static_cast<uint8_t>(seed >> 24));
    }
    auto r = Decode(6, s.W.Bytes, 30000, s.Flags());
    EXPECT_LE(r.Output.size(), 30000u);
    EXPECT_LE(r.ArchiveRead, s.W.Bytes.size());
  }
}

TEST(Unreduce, RandomDataAlwaysEnds) {
  uint32_t seed = 4242;
  for (int round = 0; round < 100; ++round) {
    std::vector<uint8_t> data(200 + round * 53 % 4000);
    for (auto& b : data) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    auto r = Decode(2 + round % 4, data, 40000);
    // Either the whole declared size, or stopped short because the data ran out.
    EXPECT_LE(r.Output.size(), 40000u);
    EXPECT_EQ(r.Output.size() < 40000u, r.Exhausted);
    EXPECT_LE(r.ArchiveRead, data.size());
  }
}

}  // namespace
