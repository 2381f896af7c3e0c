// Inflate: hand-made streams for every result, zlib-made streams at every level and strategy,
// and a plain reference decoder that the product must match write for write and event for event.
#include <gtest/gtest.h>

#include <algorithm>

#include "Decoders.h"
#include "DeflateTestUtil.h"
#include "ReferenceInflate.h"
#include "UnzipErrors.h"

using namespace unzip;
using namespace unzip::testing;

namespace {

TDecodeRun Ours(const Bytes& stream, int64_t size, int64_t compressedSize = -1) {
  return RunDecoder(stream, size, [](TExtractState& s) { return InflateEntry(s); }, compressedSize);
}
TDecodeRun Reference(const Bytes& stream, int64_t size, int64_t compressedSize = -1) {
  return RunDecoder(stream, size, [](TExtractState& s) { return TReferenceInflate(s).Run(); },
                    compressedSize);
}

// Both decoders on the same stream: same output, same result class, same event sequence.
void ExpectSameAsReference(const Bytes& stream, int64_t size, const std::string& what,
                           int64_t compressedSize = -1) {
  TDecodeRun a = Ours(stream, size, compressedSize);
  TDecodeRun b = Reference(stream, size, compressedSize);
  ASSERT_EQ(a.Result != 0, b.Result != 0) << what << ": ours " << a.Result << " reference " << b.Result;
  ASSERT_EQ(a.Output, b.Output) << what;
  ASSERT_EQ(a.Events, b.Events) << what;
}

// Canonical codes (most significant bit first) from code lengths.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
  int count[17] = {}, next[17] = {};
  for (int l : lengths) ++count[l];
  count[0] = 0;
  for (int bits = 1, code = 0; bits <= 16; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<uint32_t> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i]) codes[i] = next[lengths[i]]++;
  return codes;
}

// A dynamic block header: HLIT, HDIST, HCLEN and the code-length code, then the code-length
// symbols given as (symbol, extra bits value) pairs.
struct TDynamicHeader {
  int Nl = 257, Nd = 1, Nb = 19;
  std::vector<int> ClLengths = std::vector<int>(19, 0);  // by symbol 0..18
  std::vector<std::pair<int, int>> Sequence;
  void Write(TBitWriter& w, bool final) const {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.Put(final, 1).Put(2, 2);                        // BFINAL, BTYPE: dynamic
    w.Put(Nl - 257, 5).Put(Nd - 1, 5).Put(Nb - 4, 4);  // HLIT, HDIST, HCLEN
    for (int i = 0; i < Nb; ++i) w.Put(ClLengths[order[i]], 3);
    auto codes = CanonicalCodes(ClLengths);
    for (auto [sym, extra] : Sequence) {
      w.Code(codes[sym], ClLengths[sym]);
      if (sym == 16) w.Put(extra, 2);
      if (sym == 17) w.Put(extra, 3);
      if (sym == 18) w.Put(extra, 7);
    }
  }
};

// A complete code-length code: symbols 0..12 get 4 bits, 13..18 get 5.
std::vector<int> FullClLengths() {
  std::vector<int> l(19);
  for (int i = 0; i < 19; ++i) l[i] = i < 13 ? 4 : 5;
  return l;
}

// Lengths listed one by one (symbols 0..15), runs of zeros with 17/18.
std::vector<std::pair<int, int>> PlainSequence(const std::vector<int>& lengths) {
  std::vector<std::pair<int, int>> seq;
  for (size_t i = 0; i < lengths.size();) {
    if (lengths[i] == 0) {
      size_t run = 0;
      while (i + run < lengths.size() && lengths[i + run] == 0 && run < 138) ++run;
      if (run >= 11) {
        seq.push_back({18, static_cast<int>(run - 11)});
        i += run;
        continue;
      }
      if (run >= 3) {
        seq.push_back({17, static_cast<int>(run - 3)});
        i += run;
        continue;
      }
    }
    seq.push_back({lengths[i], 0});
    ++i;
  }
  return seq;
}

// The small literal/length code used by several cases: 'A', 'B', end of block and length
// code 257 (length 3), two bits each.
std::vector<int> SmallLitLengths(int nl = 258) {
  std::vector<int> l(nl, 0);
  l['A'] = l['B'] = l[256] = l[257] = 2;
  return l;
}

TDynamicHeader HeaderFor(const std::vector<int>& lit, const std::vector<int>& dist) {
  TDynamicHeader h;
  h.Nl = static_cast<int>(lit.size());
  h.Nd = static_cast<int>(dist.size());
  h.ClLengths = FullClLengths();
  std::vector<int> all = lit;
  all.insert(all.end(), dist.begin(), dist.end());
  h.Sequence = PlainSequence(all);
  return h;
}

// Data symbols of the small code: A=00, B=01, EOB=10, len3=11 (canonical, MSB first).
void SmallSym(TBitWriter& w, int sym) {
  auto codes = CanonicalCodes(SmallLitLengths());
  w.Code(codes[sym], 2);
}

}  // namespace

// --- hand-made streams, one row per rule ------------------------------------------------------

TEST(InflateBlocks, StoredBlockOfLengthZeroDeliversNothingAndDecodingGoesOn) {
  TBitWriter w;
  w.Put(0, 1).Put(0, 2).AlignByte().Put(0, 16).Put(0xFFFF, 16);  // stored, LEN 0, NLEN
  w.Put(1, 1).Put(1, 2);                                           // final fixed block
  FixedLiteral(w, 'A');
  FixedLiteral(w, 256);
  TDecodeRun r = Ours(w.Out, 1);
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, Bytes{'A'});
  ExpectSameAsReference(w.Out, 1, "stored LEN 0");
}

TEST(InflateBlocks, StoredBlockCopiesBytesAcrossChunkAndWindowBoundaries) {
  // Stored blocks of 65535 bytes, so the byte copies meet the 16000-byte refills and the
  // 32768-byte window at many offsets.
  Bytes data = MakeInput(0, 200000, 5);
  Bytes stream = ZlibDeflate(data, 0);
  TDecodeRun r = Ours(stream, static_cast<int64_t>(data.size()));
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, data);
  ExpectSameAsReference(stream, static_cast<int64_t>(data.size()), "level 0");
}

TEST(InflateBlocks, BadResultsOfHeaders) {
  struct Row {
    const char* what;
    std::function<void(TBitWriter&)> make;
    int expected;
  };
  const Row rows[] = {
      {"stored NLEN not the complement", [](TBitWriter& w) { w.Put(1, 1).Put(0, 2).AlignByte().Put(5, 16).Put(0, 16); }, 1},
      {"block type 3", [](TBitWriter& w) { w.Put(1, 1).Put(3, 2).Put(0, 16); }, 2},
      {"287 literal/length codes", [](TBitWriter& w) { w.Put(1, 1).Put(2, 2).Put(30, 5).Put(0, 5).Put(15, 4).Put(0, 32); }, 1},
      {"31 distance codes", [](TBitWriter& w) { w.Put(1, 1).Put(2, 2).Put(0, 5).Put(30, 5).Put(15, 4).Put(0, 32); }, 1},
      {"fixed length code 286", [](TBitWriter& w) { w.Put(1, 1).Put(1, 2); FixedLiteral(w, 'x'); FixedLiteral(w, 286); w.Put(0, 16); }, 1},
      {"fixed length code 287", [](TBitWriter& w) { w.Put(1, 1).Put(1, 2); FixedLiteral(w, 'x'); FixedLiteral(w, 287); w.Put(0, 16); }, 1},
      {"fixed distance code 30", [](TBitWriter& w) { w.Put(1, 1).Put(1, 2); FixedLiteral(w, 'x'); FixedLiteral(w, 257); w.Code(30, 5); w.Put(0, 16); }, 1},
      {"fixed distance code 31", [](TBitWriter& w) { w.Put(1, 1).Put(1, 2); FixedLiteral(w, 'x'); FixedLiteral(w, 257); w.Code(31, 5); w.Put(0, 16); }, 1},
      {"distance before the entry's first byte", [](TBitWriter& w) { w.Put(1, 1).Put(1, 2); FixedLiteral(w, 'x'); FixedLiteral(w, 257); w.Code(1, 5); FixedLiteral(w, 256); }, 1},
  };
  for (const Row& row : rows) {
    TBitWriter w;
    row.make(w);
    TDecodeRun r = Ours(w.Out, 100);
    EXPECT_EQ(r.Result, row.expected) << row.what;
    ExpectSameAsReference(w.Out, 100, row.what);
    EXPECT_NE(ZlibVerdict(w.Out), Z_STREAM_END) << "control: zlib rejects " << row.what;
  }
}

TEST(InflateDynamic, RepeatCodeFirstRepeatsZeroAndOneBitDistanceCodeIsAccepted) {
  TDynamicHeader h;
  h.Nl = 258;
  h.Nd = 1;
  h.ClLengths = FullClLengths();
  // 16 first: three lengths of 0, then zeros to 'A', 'A' and 'B', zeros to 256, 256 and 257.
  h.Sequence = {{16, 0}, {18, 51}, {2, 0}, {2, 0}, {18, 127}, {18, 40}, {2, 0}, {2, 0}, {1, 0}};
  auto build = [&](int distBit) {
    TBitWriter w;
    h.Write(w, true);
    SmallSym(w, 'A');
    SmallSym(w, 'B');
    SmallSym(w, 257);  // length 3
    w.Put(distBit, 1); // the one distance code is "0"; "1" is the free code
    SmallSym(w, 256);
    return w.Out;
  };
  TDecodeRun good = Ours(build(0), 5);
  EXPECT_EQ(good.Result, 0);
  EXPECT_EQ(good.Output, (Bytes{'A', 'B', 'B', 'B', 'B'}));
  ExpectSameAsReference(build(0), 5, "one 1-bit distance code");
  EXPECT_EQ(Ours(build(1), 5).Result, 1) << "the other 1-bit pattern is an invalid code";
  ExpectSameAsReference(build(1), 5, "invalid 1-bit distance");
}

TEST(InflateDynamic, RepeatPastTheEndOfTheLengthsIsADataError) {
  TDynamicHeader h = HeaderFor(SmallLitLengths(), {1});
  h.Sequence.pop_back();           // the distance length...
  h.Sequence.push_back({17, 7});   // ...replaced by a run of 10 zeros: past nl + nd
  TBitWriter w;
  h.Write(w, true);
  w.Put(0, 16);
  EXPECT_EQ(Ours(w.Out, 10).Result, 1);
  ExpectSameAsReference(w.Out, 10, "repeat past end");
}

TEST(InflateDynamic, RunMayCrossFromLiteralLengthsIntoDistanceLengths) {
  // nl = 260 with lengths for 258, 259 zero, followed by a zero distance length then a 1:
  // one 17-run covers 258, 259 and distance 0... and distance 1 gets the code.
  std::vector<int> lit = SmallLitLengths(260);
  TDynamicHeader h;
  h.Nl = 260;
  h.Nd = 2;
  h.ClLengths = FullClLengths();
  std::vector<int> all = lit;
  all.push_back(0);
  all.push_back(1);
  h.Sequence = PlainSequence(std::vector<int>(all.begin(), all.begin() + 258));
  h.Sequence.push_back({17, 0});  // three zeros: 258, 259 and distance code 0
  h.Sequence.push_back({1, 0});   // distance code 1 (distance 2) gets the 1-bit code "0"
  TBitWriter w;
  h.Write(w, true);
  SmallSym(w, 'A');
  SmallSym(w, 'B');
  SmallSym(w, 257);
  w.Put(0, 1);  // distance 2
  SmallSym(w, 256);
  TDecodeRun r = Ours(w.Out, 5);
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, (Bytes{'A', 'B', 'A', 'B', 'A'}));
  EXPECT_EQ(ZlibVerdict(w.Out), Z_STREAM_END);
}

TEST(InflateDynamic, OverSubscribedAndIncompleteCodesOfAllThreeTables) {
  struct Row {
    const char* what;
    std::vector<int> lit, dist, cl;
    int expected;
  };
  std::vector<int> litOver = SmallLitLengths();
  litOver['C'] = 2;  // five 2-bit codes
  std::vector<int> litIncomplete = SmallLitLengths();
  litIncomplete[257] = 0;  // three 2-bit codes: 3/4 used
  litIncomplete['A'] = 1;  // 1/2 + 1/4 + 1/4... keep it incomplete: A 2 bits again below
  litIncomplete['A'] = 2;
  std::vector<int> clOver = FullClLengths();
  clOver[0] = 3;  // one 3-bit code too many
  std::vector<int> clIncomplete = FullClLengths();
  clIncomplete[18] = 0;
  const Row rows[] = {
      {"literal/length over-subscribed", litOver, {1}, FullClLengths(), 2},
      {"literal/length incomplete", litIncomplete, {1}, FullClLengths(), 1},
      {"distance over-subscribed", SmallLitLengths(), {1, 1, 1}, FullClLengths(), 2},
      {"distance incomplete", SmallLitLengths(), {2, 2}, FullClLengths(), 1},
      {"code-length code over-subscribed", SmallLitLengths(), {1}, clOver, 2},
      {"code-length code incomplete", SmallLitLengths(), {1}, clIncomplete, 1},
  };
  for (const Row& row : rows) {
    TDynamicHeader h = HeaderFor(row.lit, row.dist);
    h.ClLengths = row.cl;
    TBitWriter w;
    h.Write(w, true);
    w.Put(0, 32);
    EXPECT_EQ(Ours(w.Out, 10).Result, row.expected) << row.what;
    ExpectSameAsReference(w.Out, 10, row.what);
    EXPECT_NE(ZlibVerdict(w.Out), Z_STREAM_END) << "control: " << row.what;
  }
}

TEST(InflateDynamic, SymbolFromAnEmptyDistanceCodeIsADataErrorButLiteralsAlonePass) {
  auto build = [](bool useMatch) {
    TDynamicHeader h = HeaderFor(SmallLitLengths(), {0});
    TBitWriter w;
    h.Write(w, true);
    SmallSym(w, 'A');
    if (useMatch) SmallSym(w, 257);
    SmallSym(w, 'B');
    SmallSym(w, 256);
    return w.Out;
  };
  TDecodeRun ok = Ours(build(false), 2);
  EXPECT_EQ(ok.Result, 0);
  EXPECT_EQ(ok.Output, (Bytes{'A', 'B'}));
  EXPECT_EQ(Ours(build(true), 10).Result, 1);
  ExpectSameAsReference(build(true), 10, "empty distance code");
}

TEST(InflateMatches, Length258AtDistance1RepeatsThePreviousByte) {
  TBitWriter w;
  w.Put(1, 1).Put(1, 2);
  FixedLiteral(w, 'X');
  FixedLiteral(w, 285);  // length 258
  w.Code(0, 5);          // distance 1
  FixedLiteral(w, 256);
  TDecodeRun r = Ours(w.Out, 259);
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, Bytes(259, 'X'));
  ExpectSameAsReference(w.Out, 259, "258 at 1");
}

TEST(InflateMatches, MatchCrossingTheWindowEndIsSplitThere) {
  // 32700 literals, then a match of 258 from distance 5000 that crosses position 32768.
  Bytes lits = MakeInput(0, 32700, 9);
  TBitWriter w;
  w.Put(1, 1).Put(1, 2);
  for (uint8_t c : lits) FixedLiteral(w, c);
  FixedLiteral(w, 285);
  w.Code(24, 5).Put(5000 - 4097, 11);  // distance code 24: base 4097, 11 extra bits
  FixedLiteral(w, 256);
  Bytes expected = lits;
  for (int i = 0; i < 258; ++i) {
    uint8_t c = expected[expected.size() - 5000];
    expected.push_back(c);
  }
  TDecodeRun r = Ours(w.Out, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, expected);
  ExpectSameAsReference(w.Out, static_cast<int64_t>(expected.size()), "crossing 32768");
}

TEST(InflateOutput, SeventyThousandBytesGoOutAsTwoWindowsAndATail) {
  Bytes data = MakeInput(1, 70000, 3);
  Bytes stream = ZlibDeflate(data, 6);
  TDecodeRun r = Ours(stream, 70000);
  EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(r.Output, data);
  std::vector<std::string> writes;
  for (auto& e : r.Events)
    if (e.rfind("write", 0) == 0) writes.push_back(e);
  // Window 1: 16000 + 16000 (768 wait); window 2 completes 16000 + 16000 (1536 wait);
  // the last 4464 bytes join them for a final 6000.
  EXPECT_EQ(writes, (std::vector<std::string>{"write 16000", "write 16000", "write 16000",
                                              "write 16000", "write 6000"}));
}

TEST(InflateOutput, ErrorDropsWhatTheWindowAndOutputBufferStillHold) {
  // 20000 good bytes, then a block of type 3: nothing is written, since no 16000 byte write
  // nor window delivery happened before the error.
  Bytes data = MakeInput(1, 20000, 4);
  Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  TBitWriter w;
  w.Put(0, 1).Put(0, 2).AlignByte().Put(20000 & 0xFFFF, 16).Put(~20000 & 0xFFFF, 16);
  Bytes s = w.Out;
  s.insert(s.end(), data.begin(), data.end());
  s.push_back(0x07);  // BFINAL 1, BTYPE 3
  TDecodeRun r = Ours(s, 20001);
  EXPECT_EQ(r.Result, 2);
  EXPECT_TRUE(r.Output.empty());
}

TEST(InflateOutput, NoEntryWritesMoreThanItsDeclaredSize) {
  Bytes data(1 << 20, 0);  // a megabyte of zeros squeezed into about a kilobyte
  Bytes stream = ZlibDeflate(data, 9);
  TDecodeRun r = Ours(stream, 1000);
  EXPECT_NE(r.Result, 0);
  EXPECT_TRUE(r.Capped);
  EXPECT_EQ(r.Output.size(), 1000u);
  TDecodeRun exact = Ours(stream, 1 << 20);
  EXPECT_EQ(exact.Result, 0);
  EXPECT_FALSE(exact.Capped);
}

// --- Deflate64 -------------------------------------------------------------------------------

TEST(InflateDeflate64, LongLengthsAndFarDistancesThroughBothPaths) {
  // 60000 stored bytes of history, then matches with distance codes 31 and 30 and a length code
  // 285 run of 65538 that crosses window pieces; with trailing literals the fast loop decodes
  // the matches, without them the careful path does.
  const Bytes noise = MakeInput(0, 60000, 64);
  for (int trailing : {200, 0}) {
    TBitWriter w;
    w.Put(0, 1).Put(0, 2).AlignByte().Put(60000, 16).Put(~60000u & 0xFFFF, 16);
    w.Out.insert(w.Out.end(), noise.begin(), noise.end());
    w.Put(1, 1).Put(1, 2);
    Bytes expected = noise;
    auto match = [&](unsigned length, unsigned distCode, unsigned distExtra, unsigned extraBits,
                     unsigned distance) {
      FixedLiteral(w, 285);
      w.Put(length - 3, 16);
      w.Code(distCode, 5).Put(distExtra, extraBits);
      for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
    };
    match(300, 31, 60000 - 49153, 14, 60000);
    match(20, 30, 40000 - 32769, 14, 40000);
    match(65538, 0, 0, 0, 1);
    for (int i = 0; i < trailing; ++i) {
      FixedLiteral(w, 'a' + i % 26);
      expected.push_back(static_cast<uint8_t>('a' + i % 26));
    }
    FixedLiteral(w, 256);
    TDecodeRun r = RunDecoder(w.Out, static_cast<int64_t>(expected.size()),
                              [](TExtractState& s) { return InflateEntry(s, true); });
    EXPECT_EQ(r.Result, 0) << trailing;
    EXPECT_TRUE(r.Output == expected) << trailing;
    EXPECT_NE(Ours(w.Out, static_cast<int64_t>(expected.size())).Result, 0) << "not deflate";
  }
}

// --- running out of data -----------------------------------------------------------------------

TEST(InflateTruncated, EveryPrefixEndsAndMatchesTheReference) {
  Bytes data = MakeInput(3, 40000, 12);
  for (int level : {1, 6}) {
    Bytes stream = ZlibDeflate(data, level);
    for (size_t cut = 0; cut < stream.size(); cut += 1 + cut / 40) {
      Bytes prefix(stream.begin(), stream.begin() + static_cast<long>(cut));
      TDecodeRun r = Ours(prefix, 40000);
      EXPECT_NE(r.Result, 0) << "level " << level << " cut " << cut;
      ExpectSameAsReference(prefix, 40000, "cut " + std::to_string(cut));
    }
  }
}

TEST(InflateTruncated, StoredBlockLongerThanTheDataIsADataError) {
  TBitWriter w;
  w.Put(1, 1).Put(0, 2).AlignByte().Put(0xFFFF, 16).Put(0, 16);
  w.Out.resize(w.Out.size() + 10, 'z');
  EXPECT_EQ(Ours(w.Out, 65535).Result, 1);
}

// --- differential --------------------------------------------------------------------------------

TEST(InflateDifferential, ZlibStreamsAtEveryLevelAndStrategyDecodeToTheirSource) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  std::mt19937 g(2026);
  int cases = 0;
  for (int i = 0; i < 70; ++i) {
    size_t size = i < 10 ? static_cast<size_t>(i) : i % 7 == 0 ? 60000 + g() % 80000 : g() % 20000;
    Bytes data = MakeInput(i, size, static_cast<uint32_t>(i));
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        Bytes stream = ZlibDeflate(data, level, strategy, 1 + (i + level) % 9);
        TDecodeRun r = Ours(stream, static_cast<int64_t>(data.size()));
        ASSERT_EQ(r.Result, 0) << "input " << i << " level " << level << " strategy " << strategy;
        ASSERT_EQ(r.Output, data) << "input " << i << " level " << level << " strategy " << strategy;
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 70 * 10 * 5);
}

TEST(InflateDifferential, EventsMatchTheReferenceAroundChunkAndWindowBoundaries) {
  // Compressed sizes and output sizes on both sides of 16000 and 32768 multiples.
  std::mt19937 g(7);
  for (int kind : {0, 1, 3, 4}) {
    for (size_t size : {size_t{15999}, size_t{16000}, size_t{16001}, size_t{32767}, size_t{32768},
                        size_t{32769}, size_t{48000}, size_t{65536}, size_t{100003}}) {
      Bytes data = MakeInput(kind, size, static_cast<uint32_t>(size + kind));
      for (int level : {1, 6, 9}) {
        Bytes stream = ZlibDeflate(data, level);
        ExpectSameAsReference(stream, static_cast<int64_t>(size),
                              "kind " + std::to_string(kind) + " size " + std::to_string(size));
      }
    }
  }
  // Streams whose compressed size lands right on a refill boundary.
  for (size_t target : {size_t{16000}, size_t{32000}}) {
    for (size_t size = target - 40; size <= target + 40; size += 1) {
      Bytes data = MakeInput(0, size, 77);
      Bytes stream = ZlibDeflate(data, 6);
      if (stream.size() < target - 3 || stream.size() > target + 3) continue;
      ExpectSameAsReference(stream, static_cast<int64_t>(size), "boundary " + std::to_string(size));
    }
  }
}

TEST(InflateDifferential, DamagedStreamsStopLikeTheReferenceAndWhereZlibRefuses) {
  std::mt19937 g(99);
  int zlibRejected = 0;
  for (int i = 0; i < 600; ++i) {
    Bytes data = MakeInput(i % 5, 3000 + g() % 30000, static_cast<uint32_t>(i));
    Bytes stream = ZlibDeflate(data, 1 + i % 9);
    int flips = 1 + static_cast<int>(g() % 4);
    for (int f = 0; f < flips; ++f) stream[g() % stream.size()] ^= static_cast<uint8_t>(1u << (g() % 8));
    ExpectSameAsReference(stream, static_cast<int64_t>(data.size()), "damaged " + std::to_string(i));
    if (ZlibVerdict(stream) == Z_DATA_ERROR) {
      ++zlibRejected;
      EXPECT_NE(Ours(stream, static_cast<int64_t>(data.size())).Result, 0) << "damaged " << i;
    }
  }
  EXPECT_GT(zlibRejected, 100);
  for (int i = 0; i < 400; ++i) {  // pure noise
    Bytes noise = MakeInput(0, 1 + g() % 3000, 1000 + i);
    ExpectSameAsReference(noise, 100000, "noise " + std::to_string(i));
    if (ZlibVerdict(noise) == Z_DATA_ERROR) {
      EXPECT_NE(Ours(noise, 100000).Result, 0) << "noise " << i;
    }
  }
}

// --- the table builder on its own (explode uses it too) -----------------------------------------

TEST(DecodeTables, ResultsLookupSizesAndEntryConventions) {
  TDecodeTable* t = reinterpret_cast<TDecodeTable*>(1);
  int bits = 7;
  uint16_t zeros[30] = {};
  EXPECT_EQ(BuildDecodeTables(zeros, 30, 0, nullptr, nullptr, t, bits), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(bits, 0);

  // One code of one bit: accepted, the free pattern decodes as invalid.
  uint16_t one[3] = {0, 1, 0};
  const uint16_t base[3] = {100, 200, 300}, extra[3] = {0x0102, 3, 4};  // only the low byte counts
  bits = 6;
  ASSERT_EQ(BuildDecodeTables(one, 3, 0, base, extra, t, bits), 0);
  EXPECT_EQ(bits, 1);
  EXPECT_EQ(t->Root()[0].Op, 3);
  EXPECT_EQ(t->Root()[0].Value, 200u);
  EXPECT_EQ(t->Root()[1].Op, kOpInvalid);
  FreeDecodeTables(t);

  uint16_t over[3] = {1, 1, 1};
  EXPECT_EQ(BuildDecodeTables(over, 3, 3, nullptr, nullptr, t, bits), 2);
  uint16_t incomplete[2] = {2, 2};
  bits = 9;
  ASSERT_EQ(BuildDecodeTables(incomplete, 2, 2, nullptr, nullptr, t, bits), 1);
  EXPECT_EQ(bits, 2) << "lowered to the longest length";
  FreeDecodeTables(t);

  // Simple symbols: below 256 literal, from 256 end of block; lookup raised to the shortest.
  std::vector<uint16_t> lens(258, 0);
  lens[0] = lens[1] = 5;
  lens[256] = lens[257] = 5;
  for (int i = 2; i < 30; ++i) lens[i + 100] = 5;
  bits = 3;
  ASSERT_EQ(BuildDecodeTables(lens.data(), 258, 258, nullptr, nullptr, t, bits), 0);
  EXPECT_EQ(bits, 5);
  bool sawEnd = false;
  for (int i = 0; i < 32; ++i) {
    const TDecodeEntry& e = t->Root()[i];
    EXPECT_EQ(e.Bits, 5);
    if (e.Value >= 256) {
      EXPECT_EQ(e.Op, kOpEndOfBlock);
      sawEnd = true;
    } else {
      EXPECT_EQ(e.Op, kOpLiteral) << e.Value;
    }
  }
  EXPECT_TRUE(sawEnd);
  FreeDecodeTables(t);
  FreeDecodeTables(nullptr);
}

TEST(DecodeTables, LongCodesGoThroughSubTablesSizedForTheirPrefix) {
  // Lengths 1, 2, ..., 15, 15: a maximal-depth code; with 9 lookup bits the codes of 10 to 15
  // bits share one prefix and get one sub-table of 6 bits.
  std::vector<uint16_t> lens;
  for (int l = 1; l <= 15; ++l) lens.push_back(static_cast<uint16_t>(l));
  lens.push_back(15);
  TDecodeTable* t = nullptr;
  int bits = 9;
  ASSERT_EQ(BuildDecodeTables(lens.data(), 16, 16, nullptr, nullptr, t, bits), 0);
  EXPECT_EQ(bits, 9);
  EXPECT_EQ(t->Entries.size(), 512u + 64u);
  // All-ones prefix of nine bits (the code of symbols 9 and up) is the link.
  const TDecodeEntry& link = t->Root()[511];
  EXPECT_EQ(link.Op, kOpLinkBase + 6);
  EXPECT_EQ(link.Bits, 9);
  // Symbol 15 (code 111111111111111, fifteen ones) at sub-index 63; symbol 14 (fourteen ones
  // then a zero) at 31.
  EXPECT_EQ(t->SubTable(link)[63].Value, 15u);
  EXPECT_EQ(t->SubTable(link)[31].Value, 14u);
  EXPECT_EQ(t->SubTable(link)[31].Bits, 6);
  FreeDecodeTables(t);
}

TEST(InflateOutput, CancelAtARefillStopsAfterTheSameWritesAsTheReference) {
  Bytes data = MakeInput(0, 120000, 31);  // incompressible: about eight refills
  Bytes stream = ZlibDeflate(data, 6);
  auto run = [&](bool ours, std::vector<std::string>& events) {
    TMemoryExtractHost host(stream);
    host.OnProcessMessages = [&] { host.CancelRequested = host.Refills == 4; };
    TExtractState state(host);
    state.TotalToExtract = static_cast<int64_t>(data.size());
    BeginMemoryEntry(state, static_cast<int64_t>(stream.size()), static_cast<int64_t>(data.size()));
    try {
      ours ? InflateEntry(state) : TReferenceInflate(state).Run();
      ADD_FAILURE() << "the cancel was not honoured";
    } catch (const EUserCanceled& e) {
      EXPECT_EQ(e.Message, "User Aborted Operation");
    }
    events = host.Events;
  };
  std::vector<std::string> a, b;
  run(true, a);
  run(false, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::count(a.begin(), a.end(), "refill"), 4);
  EXPECT_GT(std::count(a.begin(), a.end(), "write 16000"), 0);
}
