// The test ZIP writer checked against a peer reader (Info-ZIP unzip), so that the archives
// other tests build are real ZIP files and not just what our own reader happens to accept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ZipWriter.h"

namespace {

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

bool HaveUnzip() { return Shell("unzip -v") == 0; }

std::string Sample(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>("abcdefgh \n"[(seed >> 16) % 10]);
  }
  return s;
}

TEST(ZipWriter, PeerReaderAcceptsStoredDeflatedAndEncryptedEntries) {
  if (!HaveUnzip()) GTEST_SKIP() << "Info-ZIP unzip is not installed";
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  const std::string a = Sample(40000, 1), b = Sample(70000, 2), c = Sample(1234, 3);
  zip.Add("a.txt", a);
  zip.AddDeflated("sub/b.txt", b, 9);
  auto& e1 = zip.Add("c.txt", c);
  e1.Password = "secret";
  auto& e2 = zip.AddDeflated("d.txt", b, 1);
  e2.Password = "secret";
  e2.DataDescriptor = true;
  zip.ArchiveComment = "a comment";
  zip.WriteTo(dir.Path() + "/t.zip");
  ASSERT_EQ(Shell("cd " + dir.Path() + " && unzip -P secret -o t.zip -d out"), 0);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/a.txt"), a);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/sub/b.txt"), b);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/c.txt"), c);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/d.txt"), b);
}

TEST(ZipWriter, PeerReaderRejectsWrongCrcAndWrongPassword) {
  if (!HaveUnzip()) GTEST_SKIP() << "Info-ZIP unzip is not installed";
  testzip::TempDir dir;
  testzip::ZipWriter bad;
  bad.Add("x.txt", "hello").Crc = 0x12345678;
  bad.WriteTo(dir.Path() + "/crc.zip");
  EXPECT_NE(Shell("unzip -t " + dir.Path() + "/crc.zip"), 0);

  testzip::ZipWriter good;
  good.Add("x.txt", "hello").Crc = testzip::Crc32("hello");
  good.WriteTo(dir.Path() + "/ok.zip");
  EXPECT_EQ(Shell("unzip -t " + dir.Path() + "/ok.zip"), 0);

  testzip::ZipWriter enc;
  enc.Add("x.txt", "hello").Password = "right";
  enc.WriteTo(dir.Path() + "/enc.zip");
  EXPECT_EQ(Shell("unzip -t -P right " + dir.Path() + "/enc.zip"), 0);
  EXPECT_NE(Shell("unzip -t -P wrong " + dir.Path() + "/enc.zip"), 0);
}

TEST(ZipWriter, SelfExtractorPrefixAndSparseZeroFill) {
  if (!HaveUnzip()) GTEST_SKIP() << "Info-ZIP unzip is not installed";
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Prefix = std::string(5000, 'S');
  auto& e = zip.Add("zeros.bin", "head");
  e.ZeroFill = 3u << 20;
  zip.WriteTo(dir.Path() + "/sfx.zip");
  ASSERT_EQ(Shell("cd " + dir.Path() + " && unzip -o sfx.zip -d out"), 0);
  struct stat st{};
  ASSERT_EQ(::stat((dir.Path() + "/out/zeros.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(4 + (3u << 20)));
}

TEST(ZipWriter, DisksCutDataButNeverALocalHeader) {
  const std::string sig("PK\3\4", 4), central("PK\1\2", 4);
  testzip::ZipWriter zip;
  zip.Add("one", Sample(900, 4));   // 33-byte header + 900 bytes
  zip.Add("two", Sample(900, 5));
  // 933 + 33 > 950: the second header starts disk 1; the directory no longer fits there.
  auto disks = zip.BuildDisks(950);
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].size(), 933u);
  EXPECT_EQ(disks[1].find(sig), 0u);
  EXPECT_EQ(disks[2].find(central), 0u);
  const size_t end = disks[2].rfind(std::string("PK\5\6", 4));
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(static_cast<unsigned char>(disks[2][end + 4]), 2u);  // this disk
  EXPECT_EQ(static_cast<unsigned char>(disks[2][end + 6]), 2u);  // directory's disk
  // Data runs over: with 1000-byte disks the second entry's data starts on disk 0.
  disks = zip.BuildDisks(1000);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].size(), 1000u);
  EXPECT_EQ(disks[0].substr(966), Sample(900, 5).substr(0, 34));
  EXPECT_EQ(disks[1].substr(0, 866), Sample(900, 5).substr(34));
}

}  // namespace
