// The archive records on their own: names, the end record search, header reading, the
// comparison of every sort mode, and the bulk fill of the sorted lists against one-by-one
// sorted inserts.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CodePage.h"
#include "Exceptions.h"
#include "Streams.h"
#include "ZipDirectory.h"
#include "ZipRecords.h"
#include "ZipWriter.h"

using namespace unzip;
using platform::TMemoryStream;

namespace {

TMemoryStream StreamOf(const std::string& bytes) { return TMemoryStream(bytes.data(), static_cast<int64_t>(bytes.size())); }

// An end record with the given fields and comment.
std::string EndRecordBytes(uint16_t entries, uint32_t size, uint32_t offset, const std::string& comment,
                           uint16_t disk = 0, uint16_t startDisk = 0) {
  std::string r = "PK\x05\x06";
  auto u16 = [&](uint16_t v) { r += static_cast<char>(v & 0xFF); r += static_cast<char>(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(static_cast<uint16_t>(v)); u16(static_cast<uint16_t>(v >> 16)); };
  u16(disk);
  u16(startDisk);
  u16(entries);
  u16(entries);
  u32(size);
  u32(offset);
  u16(static_cast<uint16_t>(comment.size()));
  return r + comment;
}

}  // namespace

// ---- Names --------------------------------------------------------------------------------

TEST(EntryNames, Cp437HighBytesBecomeUtf8AndAsciiStays) {
  EXPECT_EQ(platform::OemToAnsi("abc\x01~"), "abc\x01~");
  EXPECT_EQ(platform::OemToAnsi("\x80\x81\x9B"), "\xC3\x87\xC3\xBC\xC2\xA2");   // Çü¢
  EXPECT_EQ(platform::OemToAnsi("\xB0\xE0\xFF"), "\xE2\x96\x91\xCE\xB1\xC2\xA0");  // ░α nbsp
}

TEST(EntryNames, ForwardSlashesTurnIntoBackslashesBeforeTheSplit) {
  std::string dir, file;
  SplitEntryName(ConvertEntryName("one/two/file.txt", 0), dir, file);
  EXPECT_EQ(dir, "one\\two\\");
  EXPECT_EQ(file, "file.txt");
  SplitEntryName(ConvertEntryName("one/two/", 0), dir, file);
  EXPECT_EQ(dir, "one\\two\\");
  EXPECT_EQ(file, "");
  SplitEntryName(ConvertEntryName("c:name", 0), dir, file);
  EXPECT_EQ(dir, "c:");
  EXPECT_EQ(file, "name");
  SplitEntryName(ConvertEntryName("sub/a:b.txt", 0), dir, file);  // a colon that is no drive
  EXPECT_EQ(dir + "|" + file, "sub\\|a:b.txt");
  SplitEntryName(ConvertEntryName("ab:c", 0), dir, file);
  EXPECT_EQ(dir + "|" + file, "|ab:c");
  SplitEntryName(ConvertEntryName("plain", 0), dir, file);
  EXPECT_EQ(dir, "");
  EXPECT_EQ(file, "plain");
}

TEST(EntryNames, FlagBit11NamesAreAlreadyUtf8) {
  const std::string utf8 = "caf\xC3\xA9/\xE2\x82\xAC.txt";  // café/€.txt
  EXPECT_EQ(ConvertEntryName(utf8, 0x0800), "caf\xC3\xA9\\\xE2\x82\xAC.txt");
  // Without the flag the same bytes are CP437 and come out as other characters.
  EXPECT_NE(ConvertEntryName(utf8, 0), "caf\xC3\xA9\\\xE2\x82\xAC.txt");
  // Unless a Unix or OS X host wrote them and they are valid UTF-8 (host: high byte of made-by).
  const std::string emoji = "emoji \xF0\x9F\x8E\x89.txt";
  const struct {
    uint16_t madeBy;
    std::string stored, expected;
  } rows[] = {
      {3 << 8 | 30, emoji, emoji},
      {19 << 8 | 30, emoji, emoji},
      {0 << 8 | 20, emoji, "emoji \xE2\x89\xA1\xC6\x92\xC3\x84\xC3\xAB.txt"},   // MS-DOS: CP437
      {11 << 8 | 20, "\x82", "\xC3\xA9"},                                    // NTFS: CP437
      {3 << 8 | 30, "\xC0\xAF", "\xE2\x94\x94\xC2\xBB"},                         // overlong: CP437
      {3 << 8 | 30, "\xED\xA0\x80", "\xCF\x86\xC3\xA1\xC3\x87"},                 // surrogate: CP437
      {3 << 8 | 30, "\xC3", "\xE2\x94\x9C"},                                     // cut short: CP437
  };
  for (const auto& r : rows) EXPECT_EQ(ConvertEntryName(r.stored, 0, r.madeBy), r.expected) << r.madeBy;
}

// ---- End record ---------------------------------------------------------------------------

TEST(FindEndRecord, ShorterThanARecordIsNotFound) {
  auto s = StreamOf(EndRecordBytes(0, 0, 0, "").substr(0, 21));
  TEndCentral end;
  EXPECT_FALSE(end.FindEndRecord(s));
}

TEST(FindEndRecord, ExactEmptyRecordIsFound) {
  auto s = StreamOf(EndRecordBytes(0, 0, 0, ""));
  TEndCentral end;
  ASSERT_TRUE(end.FindEndRecord(s));
  EXPECT_EQ(end.TotalEntries, 0);
  EXPECT_EQ(end.ArchiveCommentOffset, 22);
  EXPECT_FALSE(end.HasArchiveComment());
}

TEST(FindEndRecord, CommentsUpToTheLongestLeaveTheRecordFound) {
  for (size_t length : {65506u, 65507u, 65535u}) {
    TEndCentral end;
    auto s = StreamOf(EndRecordBytes(3, 10, 20, std::string(length, 'c')));
    ASSERT_TRUE(end.FindEndRecord(s)) << length;
    EXPECT_EQ(end.TotalEntries, 3);
    EXPECT_EQ(end.ArchiveCommentLength, length);
  }
}

TEST(FindEndRecord, SignatureInsideTheCommentWithRoomAfterItIsTaken) {
  // The comment holds a record of its own (7 entries) with 22 bytes of room: the later
  // occurrence wins.
  const std::string inner = EndRecordBytes(7, 1, 2, "");
  auto s = StreamOf(EndRecordBytes(1, 0, 0, "ab" + inner + "xyz"));
  TEndCentral end;
  ASSERT_TRUE(end.FindEndRecord(s));
  EXPECT_EQ(end.TotalEntries, 7);
  // Without room for a whole record after it, the signature in the comment is passed over.
  auto cut = StreamOf(EndRecordBytes(1, 0, 0, "ab" + inner.substr(0, 21)));
  ASSERT_TRUE(end.FindEndRecord(cut));
  EXPECT_EQ(end.TotalEntries, 1);
}

TEST(FindEndRecord, CommentIsTakenRightBehindTheRecordEvenWithBytesAfterIt) {
  auto s = StreamOf("data" + EndRecordBytes(0, 0, 0, "hello") + "trailer");
  TEndCentral end;
  ASSERT_TRUE(end.FindEndRecord(s));
  EXPECT_EQ(end.ArchiveCommentLength, 5);
  EXPECT_EQ(end.ArchiveCommentOffset, 4 + 22);
}

// ---- Headers ------------------------------------------------------------------------------

namespace {
// A two-entry archive and the offset of its central directory.
std::string TwoEntryArchive(int64_t& centralOffset) {
  testzip::ZipWriter zip;
  auto& a = zip.Add("dir/sub/a.txt", "alpha");
  a.Comment = "first";
  a.CentralExtra = std::string("\x01\x02\x03\x04", 4);
  a.ExternalAttributes = 0x81A40000u;
  a.VersionMadeBy = 3 << 8 | 30;
  zip.AddDeflated("b.bin", std::string(1000, 'b'));
  const std::string bytes = zip.Build();
  TMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  TEndCentral end;
  EXPECT_TRUE(end.FindEndRecord(s));
  centralOffset = end.CentralDirectoryOffset;
  return bytes;
}
}  // namespace

TEST(ReadCentralHeader, ReadsEveryFieldAndSkipsExtraAndComment) {
  int64_t offset = 0;
  const std::string bytes = TwoEntryArchive(offset);
  auto s = StreamOf(bytes);
  s.SetPosition(offset);
  TZipHeaderInfo a, b;
  ASSERT_TRUE(a.ReadCentralHeader(s));
  ASSERT_TRUE(b.ReadCentralHeader(s));
  EXPECT_EQ(a.Directory, "dir\\sub\\");
  EXPECT_EQ(a.FileName, "a.txt");
  EXPECT_EQ(a.FileNameLength, 13);
  EXPECT_EQ(a.VersionMadeBy, 3 << 8 | 30);
  EXPECT_EQ(a.CompressionMethod, 0);
  EXPECT_EQ(a.Crc32, testzip::Crc32("alpha"));
  EXPECT_EQ(a.UncompressedSize, 5);
  EXPECT_EQ(a.ExtraFieldLength, 4);
  EXPECT_EQ(a.FileCommentLength, 5);
  EXPECT_FALSE(a.FileComment.has_value());
  EXPECT_EQ(a.ExternalAttributes, 0x81A40000u);
  EXPECT_EQ(a.LocalHeaderOffset, 0);
  EXPECT_EQ(a.CentralHeaderOffset, offset);
  EXPECT_EQ(b.FileName, "b.bin");
  EXPECT_EQ(b.CompressionMethod, 8);
  EXPECT_EQ(b.UncompressedSize, 1000);
  EXPECT_GT(b.LocalHeaderOffset, 0);
  // The end record follows: no third record, and the stream stays where it was.
  TZipHeaderInfo c;
  const int64_t before = s.Position();
  EXPECT_FALSE(c.ReadCentralHeader(s));
  EXPECT_EQ(s.Position(), before);
}

TEST(ReadCentralHeader, SizesAbove2GiBStayPositive) {
  testzip::ZipWriter zip;
  auto& e = zip.Add("huge", "x");
  e.CompressedSize = 0xFFFFFFF0u;
  e.UncompressedSize = 0xC0000000u;
  const std::string bytes = zip.Build();
  auto s = StreamOf(bytes);
  TEndCentral end;
  ASSERT_TRUE(end.FindEndRecord(s));
  s.SetPosition(end.CentralDirectoryOffset);
  TZipHeaderInfo h;
  ASSERT_TRUE(h.ReadCentralHeader(s));
  EXPECT_EQ(h.CompressedSize, int64_t{0xFFFFFFF0});
  EXPECT_EQ(h.UncompressedSize, int64_t{0xC0000000});
}

TEST(ReadCentralHeader, ARecordCutAtTheDiskEndContinuesOnTheNextDisk) {
  int64_t offset = 0;
  const std::string bytes = TwoEntryArchive(offset);
  // Disk A ends 20 bytes into the first central record; disk B holds the rest.
  auto diskA = StreamOf(bytes.substr(0, static_cast<size_t>(offset) + 20));
  auto diskB = StreamOf(bytes.substr(static_cast<size_t>(offset) + 20));
  diskA.SetPosition(offset);
  int calls = 0;
  TZipHeaderInfo h;
  ASSERT_TRUE(h.ReadCentralHeader(diskA, [&]() -> platform::TStream* { ++calls; return &diskB; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h.FileName, "a.txt");
  EXPECT_EQ(h.ExternalAttributes, 0x81A40000u);
  // Continued from there: the second record comes from disk B.
  TZipHeaderInfo h2;
  ASSERT_TRUE(h2.ReadCentralHeader(diskB));
  EXPECT_EQ(h2.FileName, "b.bin");
}

TEST(ReadCentralHeader, NoCallbackAtADiskEndThatIsNotARecord) {
  auto s = StreamOf(std::string("XXXX"));
  int calls = 0;
  TZipHeaderInfo h;
  EXPECT_FALSE(h.ReadCentralHeader(s, [&]() -> platform::TStream* { ++calls; return nullptr; }));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(ReadCentralHeader, NameRunningPastTheEndFailsAndRestoresThePosition) {
  int64_t offset = 0;
  const std::string bytes = TwoEntryArchive(offset);
  auto s = StreamOf(bytes.substr(0, static_cast<size_t>(offset) + 46 + 5));
  s.SetPosition(offset);
  TZipHeaderInfo h;
  EXPECT_FALSE(h.ReadCentralHeader(s));
  EXPECT_EQ(s.Position(), offset);
}

TEST(ReadLocalHeader, ReadsTheHeaderAndLeavesTheExtraField) {
  testzip::ZipWriter zip;
  auto& e = zip.Add("x/y.txt", "data");
  e.LocalExtra = "EXTRA";
  e.DataDescriptor = true;
  const std::string bytes = zip.Build();
  auto s = StreamOf(bytes);
  TZipHeaderInfo h;
  ASSERT_TRUE(h.ReadLocalHeader(s));
  EXPECT_EQ(s.Position(), 30 + 7);
  EXPECT_EQ(h.Directory, "x\\");
  EXPECT_EQ(h.FileName, "y.txt");
  EXPECT_EQ(h.VersionMadeBy, 0);
  EXPECT_EQ(h.ExtraFieldLength, 5);
  EXPECT_EQ(h.ExternalAttributes, 0u);
  EXPECT_EQ(h.InternalAttributes, 0);
  EXPECT_TRUE(h.HasDataDescriptor());
  EXPECT_EQ(h.CompressedSize, 0);  // the descriptor carries the sizes
  // Not a local header: position unchanged, failure.
  s.SetPosition(2);
  TZipHeaderInfo g;
  EXPECT_FALSE(g.ReadLocalHeader(s));
  EXPECT_EQ(s.Position(), 2);
}

// ---- Entries ------------------------------------------------------------------------------

TEST(ZipHeaderInfo, AssignCopiesALoadedCommentOnlyAndRefusesOtherClasses) {
  TZipHeaderInfo a;
  a.SetDirectory("d");
  a.SetFileName("f.txt");
  EXPECT_EQ(a.Directory, "d\\");
  EXPECT_EQ(a.FileNameLength, 7);
  a.SetComment(std::string("note"));
  a.Selected = true;
  a.CompressedSize = 3'000'000'000;
  TZipHeaderInfo b;
  b.Assign(&a);
  EXPECT_EQ(b.FullName(), "d\\f.txt");
  EXPECT_EQ(b.FileNameLength, 7);
  ASSERT_TRUE(b.FileComment.has_value());
  EXPECT_EQ(*b.FileComment, "note");
  EXPECT_TRUE(b.Selected);
  EXPECT_EQ(b.CompressedSize, 3'000'000'000);
  // A length without a loaded comment: the copy has none loaded either.
  TZipHeaderInfo c;
  c.FileCommentLength = 9;
  b.Assign(&c);
  EXPECT_FALSE(b.FileComment.has_value());
  EXPECT_EQ(b.FileCommentLength, 9);
  TEndCentral end;
  EXPECT_THROW(b.Assign(&end), platform::EConvertError);
}

TEST(EndCentral, AssignTakesTheLoadedCommentsLengthButNotTheChangedFlag) {
  TEndCentral a;
  a.TotalEntries = 4;
  a.ArchiveCommentLength = 99;
  a.CommentText = "abc";
  a.CommentChanged = true;
  TEndCentral b;
  b.Assign(&a);
  EXPECT_EQ(b.TotalEntries, 4);
  EXPECT_EQ(b.ArchiveCommentLength, 3);
  EXPECT_FALSE(b.CommentChanged);
}

// ---- Comparison ---------------------------------------------------------------------------

namespace {
std::unique_ptr<TZipHeaderInfo> Make(const std::string& dir, const std::string& name, uint32_t date = 0,
                                     int64_t csize = 0, int64_t usize = 0, int64_t offset = 0,
                                     uint16_t disk = 0) {
  auto e = std::make_unique<TZipHeaderInfo>();
  e->SetDirectory(dir);
  e->SetFileName(name);
  e->FileDateTime = date;
  e->CompressedSize = csize;
  e->UncompressedSize = usize;
  e->LocalHeaderOffset = offset;
  e->DiskNumberStart = disk;
  return e;
}
}  // namespace

TEST(CompareEntries, EveryModeOrdersAsTabled) {
  const uint32_t older = testzip::DosDateTime(2001, 1, 1, 0, 0, 0);
  const uint32_t newer = testzip::DosDateTime(2002, 1, 1, 0, 0, 0);
  auto a = Make("b\\", "A.TXT", older, 10, 100, 50, 1);
  auto b = Make("A\\", "b.txt", newer, 20, 40, 10, 2);
  EXPECT_GT(CompareEntries(TZipSortMode::ByName, *a, *b), 0);        // "A\b.txt" first
  EXPECT_LT(CompareEntries(TZipSortMode::ByFileName, *a, *b), 0);    // "A.TXT" < "b.txt"
  EXPECT_GT(CompareEntries(TZipSortMode::ByDirectoryName, *a, *b), 0);
  EXPECT_EQ(CompareEntries(TZipSortMode::ByName, *a, *Make("B\\", "a.txt")), 0);
  EXPECT_EQ(CompareEntries(TZipSortMode::ByDate, *a, *b), 1);        // newest first
  EXPECT_EQ(CompareEntries(TZipSortMode::ByDate, *b, *a), -1);
  EXPECT_EQ(CompareEntries(TZipSortMode::ByDate, *a, *a), -1);       // never equal
  EXPECT_EQ(CompareEntries(TZipSortMode::ByCompressedSize, *a, *b), 1);  // largest first
  EXPECT_EQ(CompareEntries(TZipSortMode::ByCompressedSize, *a, *a), -1);
  EXPECT_EQ(CompareEntries(TZipSortMode::ByUnCompressedSize, *a, *b), -1);
  EXPECT_EQ(CompareEntries(TZipSortMode::ByUnCompressedSize, *b, *b), -1);
  // Rates: a 10 %, b 50 %: the higher first.
  EXPECT_EQ(CompareEntries(TZipSortMode::ByRate, *a, *b), 40);
  EXPECT_LT(CompareEntries(TZipSortMode::ByNone, *a, *b), 0);         // disk 1 before disk 2
  EXPECT_GT(CompareEntries(TZipSortMode::ByNone, *Make("", "", 0, 0, 0, 7), *Make("", "", 0, 0, 0, 6)), 0);
}

TEST(CompareEntries, CompareTextFoldsAsciiLettersOnly) {
  EXPECT_EQ(CompareText("ABC", "abc"), 0);
  EXPECT_LT(CompareText("a", "_"), 0);   // letters fold to upper case, which sorts before "_"
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_NE(CompareText("\xC3\xA9", "\xC3\x89"), 0);  // é and É are different bytes
}

TEST(CompareEntries, AnInvalidDateCountsAsOldest) {
  const uint32_t valid = testzip::DosDateTime(1980, 1, 1, 0, 0, 0);
  const uint32_t badMonth = testzip::DosDateTime(2030, 13, 1, 0, 0, 0);
  const uint32_t badHour = testzip::DosDateTime(2030, 1, 1, 25, 0, 0);
  const uint32_t feb30 = testzip::DosDateTime(2030, 2, 30, 0, 0, 0);
  EXPECT_TRUE(IsValidDosDateTime(valid));
  EXPECT_TRUE(IsValidDosDateTime(testzip::DosDateTime(2000, 2, 29, 23, 59, 58)));
  for (uint32_t bad : {badMonth, badHour, feb30}) {
    EXPECT_FALSE(IsValidDosDateTime(bad));
    EXPECT_EQ(CompareEntries(TZipSortMode::ByDate, *Make("", "", bad), *Make("", "", valid)), 1);
  }
}

TEST(CompressionRate, RoundsHalvesToEvenAndCaps) {
  EXPECT_EQ(CompressionRate(8, 1), 12);
  EXPECT_EQ(CompressionRate(8, 3), 38);
  EXPECT_EQ(CompressionRate(0, 5), 0);
  EXPECT_EQ(CompressionRate(10, 20), 100);
  EXPECT_EQ(CompressionRate(int64_t{4'000'000'000}, int64_t{3'000'000'000}), 75);
}

TEST(DosDates, DateValueMatchesTheFrameworksEpoch) {
  EXPECT_DOUBLE_EQ(DosDateTimeToDateTime(testzip::DosDateTime(1980, 1, 1, 0, 0, 0)), 29221.0);
  EXPECT_DOUBLE_EQ(DosDateTimeToDateTime(testzip::DosDateTime(2000, 1, 1, 12, 0, 0)), 36526.5);
  EXPECT_EQ(DosDateTimeToDateTime(0), 0.0);
}

// ---- Bulk fill against sorted inserts -----------------------------------------------------

namespace {
// Entries with many equal keys in every mode.
std::vector<std::unique_ptr<TZipHeaderInfo>> ManyTies(size_t n, uint32_t seed, bool uniqueOffsets) {
  std::mt19937 rng(seed);
  const char* dirs[] = {"", "a\\", "A\\", "b\\c\\", "_\\"};
  const char* names[] = {"x", "X", "y.txt", "Y.TXT", "z", "\xC3\xA9"};
  const uint32_t dates[] = {testzip::DosDateTime(1999, 5, 5, 5, 5, 4), testzip::DosDateTime(2010, 1, 1, 0, 0, 0),
                            testzip::DosDateTime(2010, 1, 1, 0, 0, 2), 0, testzip::DosDateTime(2010, 14, 1, 0, 0, 0)};
  std::vector<std::unique_ptr<TZipHeaderInfo>> v;
  for (size_t i = 0; i < n; ++i) {
    const int64_t usize = static_cast<int64_t>(rng() % 5) * 100;
    v.push_back(Make(dirs[rng() % 5], names[rng() % 6], dates[rng() % 5], static_cast<int64_t>(rng() % 4) * 25,
                     usize, uniqueOffsets ? static_cast<int64_t>(i * 7 % n) : static_cast<int64_t>(rng() % 50),
                     static_cast<uint16_t>(rng() % 2)));
  }
  return v;
}

std::vector<TZipHeaderInfo*> Items(const TSortedZip& list) {
  std::vector<TZipHeaderInfo*> v;
  for (int32_t i = 0; i < list.Count(); ++i) v.push_back(list.Entry(i));
  return v;
}
}  // namespace

TEST(SortedZipBulkFill, GivesExactlyTheOrderOfOneByOneInsertsInEveryMode) {
  for (int m = 0; m <= static_cast<int>(TZipSortMode::ByNone); ++m) {
    const auto mode = static_cast<TZipSortMode>(m);
    for (uint32_t seed : {1u, 2u, 3u}) {
      auto owned = ManyTies(1500, seed, mode == TZipSortMode::ByNone);
      std::vector<TZipHeaderInfo*> entries;
      for (auto& e : owned) entries.push_back(e.get());
      TSortedZip oneByOne(dupAccept), bulk(dupAccept);
      oneByOne.SetOwnsItems(false);
      bulk.SetOwnsItems(false);
      oneByOne.SortMode = bulk.SortMode = mode;
      for (auto* e : entries) oneByOne.Add(e);
      bulk.AddSorted(entries);
      ASSERT_EQ(Items(bulk), Items(oneByOne)) << "mode " << m << " seed " << seed;
      // The compact directory's views give the same order.
      auto store = std::make_shared<TEntryStore>();
      for (auto* e : entries) store->Append(*e);
      const TZipEntries view(store, mode, dupAccept);
      std::vector<TZipHeaderInfo*> viewed;
      for (int32_t i = 0; i < view.Count(); ++i) viewed.push_back(entries[view.StoreIndex(i)]);
      ASSERT_EQ(viewed, Items(oneByOne)) << "view, mode " << m << " seed " << seed;
    }
  }
}

TEST(SortedZipBulkFill, DuplicatePolicyErrorAndIgnoreAgreeWithSortedInserts) {
  auto owned = ManyTies(300, 9, false);  // offsets repeat
  std::vector<TZipHeaderInfo*> entries;
  for (auto& e : owned) entries.push_back(e.get());

  TSortedZip strict(dupError);
  strict.SetOwnsItems(false);
  try {
    strict.AddSorted(entries);
    FAIL() << "no error";
  } catch (const platform::EListError& e) {
    EXPECT_STREQ(e.what(), "Duplicate Object index");
  }
  EXPECT_EQ(strict.Count(), 0);

  TSortedZip ignoreA(dupIgnore), ignoreB(dupIgnore);
  ignoreA.SetOwnsItems(false);
  ignoreB.SetOwnsItems(false);
  for (auto* e : entries) ignoreA.Add(e);
  ignoreB.AddSorted(entries);
  EXPECT_EQ(Items(ignoreB), Items(ignoreA));

  auto store = std::make_shared<TEntryStore>();
  for (auto* e : entries) store->Append(*e);
  EXPECT_THROW(TZipEntries(store, TZipSortMode::ByNone, dupError), platform::EListError);
  const TZipEntries ignored(store, TZipSortMode::ByNone, dupIgnore);
  std::vector<TZipHeaderInfo*> viewed;
  for (int32_t i = 0; i < ignored.Count(); ++i) viewed.push_back(entries[ignored.StoreIndex(i)]);
  EXPECT_EQ(viewed, Items(ignoreA));
}

namespace {
std::string Fields(const TZipHeaderInfo& e) {
  std::ostringstream o;
  o << e.VersionMadeBy << ' ' << e.VersionNeeded << ' ' << e.Flags << ' ' << e.CompressionMethod << ' '
    << e.FileDateTime << ' ' << e.Crc32 << ' ' << e.CompressedSize << ' ' << e.UncompressedSize << ' '
    << e.FileNameLength << ' ' << e.ExtraFieldLength << ' ' << e.FileCommentLength << ' ' << e.DiskNumberStart
    << ' ' << e.InternalAttributes << ' ' << e.ExternalAttributes << ' ' << e.LocalHeaderOffset << ' '
    << e.CentralHeaderOffset << " [" << e.Directory << "][" << e.FileName << "] "
    << (e.FileComment ? "[" + *e.FileComment + "]" : "none") << ' ' << int{e.Extra.AesStrength} << ' '
    << e.Extra.AesVersion << ' ' << e.Extra.AesMethod << ' ' << e.Extra.HasUtcTime << ' ' << e.Extra.UtcTime
    << ' ' << e.Extra.UtcTimeNanos << ' ' << e.Selected;
  return o.str();
}
}  // namespace

// Every field comes back as it went in, also those the compact record keeps elsewhere.
TEST(EntryStore, GivesBackEveryFieldOfEveryKindOfEntry) {
  std::vector<std::unique_ptr<TZipHeaderInfo>> in;
  in.push_back(Make("d\\", "plain.txt", 0x5A215A21, 10, 20, 30));
  in.push_back(Make("", "zip64", 1, int64_t{5} << 32, int64_t{6} << 32, int64_t{7} << 32, 3));
  in.back()->CentralHeaderOffset = int64_t{8} << 32;
  in.push_back(Make(std::string(300, 'x') + "\\", std::string(70000, 'y')));
  in.push_back(Make("", ""));
  in.back()->FileName = "a\\b";  // parts set by hand: the name no longer splits back
  in.back()->Directory = "c:";
  in.push_back(Make("c:\\", "aes"));
  auto& e = *in.back();
  e.VersionMadeBy = 3 << 8 | 63;
  e.VersionNeeded = 300;
  e.Flags = 0xFFFF;
  e.CompressionMethod = 99;
  e.ExtraFieldLength = 400;
  e.InternalAttributes = 7;
  e.ExternalAttributes = 0x81A40020;
  e.Extra = {3, 2, 8, true, -5, 999999999};
  e.SetComment(std::string("note\0", 6));
  e.Selected = true;
  in.push_back(Make("", ""));
  in.back()->CompressionMethod = 300;
  in.back()->InternalAttributes = 1;
  in.back()->FileNameLength = 9;  // as a local header gave it

  TEntryStore store;
  for (const auto& x : in) store.Append(*x);
  TZipHeaderInfo out;
  for (uint32_t i = 0; i < in.size(); ++i) {
    store.Load(i, out);
    EXPECT_EQ(Fields(out), Fields(*in[i])) << "entry " << i;
  }
  // Changes reach the entries already made whole, and leave the others as they were.
  const TZipHeaderInfo& held = store.Materialized(0);
  store.Replace(0, *in[3]);
  store.SetSelected(1, true);
  in[1]->Selected = true;
  store.SetComment(1, "new");
  in[1]->SetComment("new");
  EXPECT_EQ(Fields(held), Fields(*in[3]));
  for (uint32_t i = 1; i < in.size(); ++i) EXPECT_EQ(Fields(store.Materialized(i)), Fields(*in[i])) << i;
  EXPECT_EQ(&store.Materialized(1), &store.Materialized(1));
}

TEST(SortedZipBulkFill, HoldsTheZipMaximumOf65535Entries) {
  std::vector<std::unique_ptr<TZipHeaderInfo>> owned;
  std::vector<TZipHeaderInfo*> entries;
  for (int i = 0; i < 65535; ++i) {
    owned.push_back(Make("", "n" + std::to_string(65535 - i), 0, 0, 0, i));
    entries.push_back(owned.back().get());
  }
  TSortedZip list(dupAccept);
  list.SetOwnsItems(false);
  list.SortMode = TZipSortMode::ByName;
  list.AddSorted(entries);
  ASSERT_EQ(list.Count(), 65535);
  EXPECT_EQ(list.Entry(0)->FileName, "n1");
  EXPECT_EQ(list.Entry(65534)->FileName, "n9999");
  int32_t index = -1;
  EXPECT_TRUE(list.Search(entries[5], index));
  EXPECT_EQ(list.Entry(index), entries[5]);
}
