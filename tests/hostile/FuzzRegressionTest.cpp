// Regressions of what the fuzz targets found. Each fault showed under the sanitizers (the
// sanitizer stage of ./scripts/test runs these tests there); each test also checks the result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostileSupport.h"
#include "ZipWriter.h"

namespace {

// fuzz_directory: the sorted views of the directory were laid out with new[] and released by
// the list with free(). Every sort mode other than archive order went through that path.
TEST(SortedDirectory, EverySortModeReadsAndReleasesCleanly) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Add("b.txt", "bb");
  zip.Add("c.txt", "c");
  zip.Add("a.txt", "aaa");
  zip.WriteTo(dir.Path() + "/s.zip");
  for (int mode = 0; mode <= 7; ++mode) {
    SCOPED_TRACE(mode);
    unzip::TUnZipper unzipper;
    unzipper.SortMode = static_cast<unzip::TZipSortMode>(mode);
    unzipper.SetZipName(dir.Path() + "/s.zip");
    unzipper.ReadDirectory();
    ASSERT_EQ(unzipper.EntryCount(), 3);
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) names.push_back(unzipper.EntryFileName(i));
    if (mode == static_cast<int>(unzip::TZipSortMode::ByName)) {
      EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
    }
    if (mode == static_cast<int>(unzip::TZipSortMode::ByUnCompressedSize)) {
      EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));  // largest first
    }
    if (mode == static_cast<int>(unzip::TZipSortMode::ByNone)) {
      EXPECT_EQ(names, (std::vector<std::string>{"b.txt", "c.txt", "a.txt"}));
    }
    // A second archive name drops the directory (and its sorted view) while the component lives.
    unzipper.SetZipName(dir.Path() + "/other.zip");
    EXPECT_EQ(unzipper.EntryCount(), 0);
  }
}

// fuzz_extract: the key byte of traditional decryption multiplied two 16-bit values as ints,
// which overflows for key values above 46340 (undefined behaviour) on nearly every entry.
TEST(Decryption, LongEncryptedEntriesDecryptExactly) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  std::string data;
  for (int i = 0; i < 40000; ++i) data.push_back(static_cast<char>((i * 131) ^ (i >> 7)));
  zip.Add("stored.bin", data).Password = "secret";
  auto& d = zip.AddDeflated("deflated.bin", data, 6);
  d.Password = "secret";
  d.DataDescriptor = true;
  zip.WriteTo(dir.Path() + "/enc.zip");
  const hostile::Outcome out =
      hostile::ExtractAll(dir.Path() + "/enc.zip", dir.Path() + "/out", true, "secret");
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(out.Count, 2);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/stored.bin"), data);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/deflated.bin"), data);
}

// fuzz_extract: an entry name with a zero byte made the file named by the part before it,
// while the events (and every check on the name) saw the whole name.
TEST(EntryNames, ANameEndsAtItsFirstZeroByte) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Add(std::string("a.txt\0tail", 10), "hello");
  zip.WriteTo(dir.Path() + "/z.zip");
  unzip::TUnZipper unzipper;
  unzipper.SetZipName(dir.Path() + "/z.zip");
  unzipper.ReadDirectory();
  ASSERT_EQ(unzipper.EntryCount(), 1);
  EXPECT_EQ(unzipper.EntryFileName(0), "a.txt");
  std::vector<std::string> reported;
  unzipper.OnEndUnZip = [&](unzip::TSender, int32_t, const std::string& name) { reported.push_back(name); };
  unzipper.DoAll = true;
  unzipper.OverwriteMode = unzip::TUZOverwriteMode::Always;
  unzipper.SetDestDir(dir.Path() + "/out");
  EXPECT_EQ(unzipper.ExtractFiles(), 1);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(platform::HostPath(reported[0]), dir.Path() + "/out/a.txt");
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/a.txt"), "hello");
}

// fuzz_decoders: reduce and implode have no end marker, and decoded their whole declared size
// whatever the data, reading zero or repeated bits past its end: one compressed byte declaring
// 0xFFFFFFF0 bytes wrote nearly 4 GiB into the entry's temporary file before the CRC check
// removed it. They now stop a few bytes past the data, and the entry fails.
TEST(DataRunningOut, ReducedAndImplodedEntriesStopSoonAfterTheirData) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  for (uint16_t method : {2, 3, 4, 5}) zip.AddRaw("r" + std::to_string(method) + ".bin", "\x01", method, 0, 0xFFFFFFF0u);
  for (uint16_t flags : {0, 2, 4, 6}) {
    // The code descriptions (every length 8 for 256 literals, 6 for the 64 lengths and the
    // 64 distances: complete codes), then a single data byte.
    const std::string lengths64 = "\x03\xf5\xf5\xf5\xf5";
    const std::string data =
        (flags & 4 ? "\x0f" + std::string(16, '\xf7') : std::string()) + lengths64 + lengths64 + "\x55";
    auto& e = zip.AddRaw("i" + std::to_string(flags) + ".bin", data, 6, 0, 0xFFFFFFF0u);
    e.Flags = flags;
  }
  zip.WriteTo(dir.Path() + "/z.zip");
  const hostile::Outcome out = hostile::ExtractAll(dir.Path() + "/z.zip", dir.Path() + "/out");
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(out.Count, 0);  // none extracted
  EXPECT_TRUE(out.Ended.empty());
  ASSERT_EQ(out.BadCrc.size(), 8u);
  for (int64_t size : out.SizeAtBadCrc) EXPECT_LT(size, 1 << 20);
  EXPECT_TRUE(hostile::Tree(dir.Path() + "/out").empty());
}

}  // namespace
