// Archives that lie about sizes: an entry never writes more than its declared uncompressed
// size, whatever its method, and an entry cut short that way fails like a CRC mismatch even
// when the stored CRC matches the bytes that were kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "HostileSupport.h"
#include "ZipWriter.h"

namespace {

using hostile::ExtractAll;

// Codes of `width` bits packed least significant bit first, as shrink writes them.
std::string PackCodes(const std::vector<unsigned>& codes, unsigned width) {
  std::string out;
  uint32_t buffer = 0;
  unsigned count = 0;
  for (unsigned code : codes) {
    buffer |= code << count;
    count += width;
    while (count >= 8) {
      out.push_back(static_cast<char>(buffer & 0xFF));
      buffer >>= 8;
      count -= 8;
    }
  }
  if (count) out.push_back(static_cast<char>(buffer & 0xFF));
  return out;
}

// The one-entry archive, written to `dir`/bomb.zip.
std::string OneEntry(const testzip::TempDir& dir, const std::string& raw, uint16_t method,
                     uint32_t crc, uint32_t declared) {
  testzip::ZipWriter zip;
  zip.AddRaw("bomb.bin", raw, method, crc, declared);
  const std::string path = dir.Path() + "/bomb.zip";
  zip.WriteTo(path);
  return path;
}

// Extracts the archive and checks that its one entry failed without ever holding more than
// `declared` bytes on disk, and left no file behind.
void ExpectCappedFailure(const std::string& zip, const testzip::TempDir& dir, int64_t declared) {
  const std::string dest = dir.Path() + "/out";
  const hostile::Outcome out = ExtractAll(zip, dest);
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(out.Count, 0) << "an entry that produced more than its declared size counted as extracted";
  EXPECT_TRUE(out.Ended.empty());
  ASSERT_EQ(out.BadCrc.size(), 1u) << "the cut-off entry must fail like a CRC mismatch";
  EXPECT_LE(out.SizeAtBadCrc[0], declared) << "more bytes written than the entry declares";
  EXPECT_EQ(hostile::FileSize(dest + "/bomb.bin"), -1) << "the failed entry's file stays behind";
}

TEST(DeclaredSizeCap, StoredEntryLongerThanDeclared) {
  testzip::TempDir dir;
  const std::string data(50000, 's');
  // The stored CRC is that of the first 1000 bytes: cutting silently would look sound.
  ExpectCappedFailure(OneEntry(dir, data, 0, testzip::Crc32(data.substr(0, 1000)), 1000), dir, 1000);
}

TEST(DeclaredSizeCap, DeflatedEntryInflatingPastDeclared) {
  testzip::TempDir dir;
  const std::string data(300000, 'x');
  ExpectCappedFailure(
      OneEntry(dir, testzip::Deflate(data, 9), 8, testzip::Crc32(data.substr(0, 4096)), 4096), dir,
      4096);
}

TEST(DeclaredSizeCap, ShrunkEntryProducingMoreThanDeclared) {
  // Shrink ends only at the end of its input: 3000 literal codes give 3000 bytes.
  testzip::TempDir dir;
  const std::string raw = PackCodes(std::vector<unsigned>(3000, 'A'), 9);
  ExpectCappedFailure(OneEntry(dir, raw, 1, testzip::Crc32(std::string(100, 'A')), 100), dir, 100);
}

TEST(DeclaredSizeCap, ReducedFinalMatchOvershoot) {
  // Follower sets all empty (256 six-bit zero sizes = 192 zero bytes), then plain 8-bit
  // symbols: "A", then escape 144, length symbol 0x7E (length 126), distance symbol 0: a match
  // of 129 bytes at distance 1 while only one byte is still to come.
  for (int factor = 1; factor <= 4; ++factor) {
    SCOPED_TRACE(factor);
    testzip::TempDir dir;
    std::string raw(192, '\0');
    const unsigned lengthMask = 0xFFu >> factor;  // 0x7F, 0x3F, 0x1F, 0x0F
    raw += std::string{'A', static_cast<char>(144), static_cast<char>(lengthMask - 1), '\0'};
    raw += std::string(16, '\0');
    ExpectCappedFailure(
        OneEntry(dir, raw, static_cast<uint16_t>(1 + factor), testzip::Crc32("AA"), 2), dir, 2);
  }
}

#ifdef QUORBIN_SHARED_DIR
TEST(DeclaredSizeCap, ImplodedEntryDeclaredShorter) {
  const std::string source =
      std::string(QUORBIN_SHARED_DIR) + "/corpus/commons-compress/imploding-8Kdict-3trees.zip";
  std::ifstream in(source, std::ios::binary);
  if (!in) GTEST_SKIP() << "shared corpus not found at " << source;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // One entry (11560 bytes imploded): declare 5000 in both headers.
  const size_t local = bytes.find("PK\x03\x04");
  const size_t central = bytes.find("PK\x01\x02");
  ASSERT_NE(local, std::string::npos);
  ASSERT_NE(central, std::string::npos);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put32(local + 22, 5000);
  put32(central + 24, 5000);
  testzip::TempDir dir;
  testzip::WriteFile(dir.Path() + "/bomb.zip", bytes);
  const hostile::Outcome out = ExtractAll(dir.Path() + "/bomb.zip", dir.Path() + "/out");
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(out.Count, 0);
  ASSERT_EQ(out.SizeAtBadCrc.size(), 1u);
  EXPECT_LE(out.SizeAtBadCrc[0], 5000);
}
#endif

TEST(DeclaredSizeCap, SoundEntriesOfEveryLengthStillExtract) {
  // The cap must not cut sound data: sizes on both sides of the 16000-byte output chunk and
  // the 32768-byte window, stored and deflated.
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  std::string data;
  for (int i = 0; i < 70000; ++i) data.push_back(static_cast<char>((i * 7919) % 251));
  for (size_t n : {size_t{0}, size_t{1}, size_t{15999}, size_t{16000}, size_t{16001},
                   size_t{32768}, size_t{32769}, size_t{65536}}) {
    zip.Add("s" + std::to_string(n), data.substr(0, n));
    zip.AddDeflated("d" + std::to_string(n), data.substr(0, n), 6);
  }
  zip.WriteTo(dir.Path() + "/sound.zip");
  const hostile::Outcome out = ExtractAll(dir.Path() + "/sound.zip", dir.Path() + "/out");
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(out.Count, 16);
  EXPECT_TRUE(out.BadCrc.empty());
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/d32769"), data.substr(0, 32769));
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/s16001"), data.substr(0, 16001));
}

}  // namespace
