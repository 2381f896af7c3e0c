// Entries whose compressed data overlap another entry's are refused before anything is
// written, with an error that names both: the way "zip bombs" without recursion reach huge
// sizes from small files. Archives of real tools never overlap and must not be refused.
#include <gtest/gtest.h>

#include <string>

#include "HostileSupport.h"
#include "ZipWriter.h"

namespace {

constexpr const char* kOverlap = "overlapping entries (possible zip bomb)";

TEST(OverlappingEntries, CentralRecordPointingIntoAnotherEntrysDataIsRefused) {
  // "inner.bin" has no local header of its own place: its central record points into the
  // data of "outer.bin", where a local header is quoted inside the stored bytes.
  testzip::TempDir dir;
  testzip::ZipWriter quoted;
  quoted.Add("inner.bin", std::string(2000, 'i'));
  quoted.WriteEndRecord = false;
  quoted.Entries[0].InCentral = false;
  const std::string inner = quoted.Build();  // local header + data of inner.bin

  testzip::ZipWriter zip;
  zip.Add("outer.bin", std::string(100, 'o') + inner);
  auto& in = zip.Add("inner.bin", std::string(2000, 'i'));
  in.WriteLocal = false;
  in.LocalHeaderOffset = 30 + 9 + 100;  // inside outer.bin's data
  zip.WriteTo(dir.Path() + "/overlap.zip");

  const hostile::Outcome out = hostile::ExtractAll(dir.Path() + "/overlap.zip", dir.Path() + "/out");
  ASSERT_TRUE(out.Error) << "overlapping entries were extracted";
  EXPECT_NE(out.Error->find(kOverlap), std::string::npos) << *out.Error;
  EXPECT_NE(out.Error->find("outer.bin"), std::string::npos) << *out.Error;
  EXPECT_NE(out.Error->find("inner.bin"), std::string::npos) << *out.Error;
  EXPECT_TRUE(hostile::Tree(dir.Path() + "/out").empty())
      << "files were written from an archive that is refused";
}

TEST(OverlappingEntries, CompressedSizeReachingOverTheNextEntryIsRefused) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Add("first.txt", std::string(500, 'a')).CompressedSize = 500 + 30 + 10 + 100;
  zip.Add("second.txt", std::string(500, 'b'));
  zip.WriteTo(dir.Path() + "/overlap.zip");
  const hostile::Outcome out = hostile::ExtractAll(dir.Path() + "/overlap.zip", dir.Path() + "/out");
  ASSERT_TRUE(out.Error) << "overlapping entries were extracted";
  EXPECT_NE(out.Error->find(kOverlap), std::string::npos) << *out.Error;
  EXPECT_NE(out.Error->find("first.txt"), std::string::npos) << *out.Error;
  EXPECT_NE(out.Error->find("second.txt"), std::string::npos) << *out.Error;
}

TEST(OverlappingEntries, LocalExtraFieldPushingDataIntoTheNextEntryIsRefused) {
  // The directory cannot show this: only the local header says where the data starts. Its
  // extra field length is raised by 40, so "a.bin"'s 500 bytes end inside "b.bin"'s header.
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Add("a.bin", std::string(500, 'a')).LocalExtra = std::string(100, 'x');
  zip.Add("b.bin", std::string(500, 'b'));
  std::string bytes = zip.Build();
  ASSERT_EQ(bytes[28], 100);
  bytes[28] = static_cast<char>(100 + 40);
  testzip::WriteFile(dir.Path() + "/overlap.zip", bytes);
  const hostile::Outcome out = hostile::ExtractAll(dir.Path() + "/overlap.zip", dir.Path() + "/out");
  ASSERT_TRUE(out.Error) << "overlapping entries were extracted";
  EXPECT_NE(out.Error->find(std::string(kOverlap) + ": a.bin and b.bin"), std::string::npos) << *out.Error;
  EXPECT_TRUE(hostile::Tree(dir.Path() + "/out").empty());
}

TEST(OverlappingEntries, LocalExtraFieldIsCaughtWhereverASortedRunStands) {
  // Sorted by name, the run goes back through the archive: "b.bin", first on disk and whose
  // data reaches "a.bin"'s header, comes after "a.bin", with "c.bin" further on.
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Add("b.bin", std::string(500, 'b')).LocalExtra = std::string(100, 'x');
  zip.Add("a.bin", std::string(500, 'a'));
  zip.Add("c.bin", std::string(500, 'c'));
  std::string bytes = zip.Build();
  bytes[28] = static_cast<char>(100 + 40);
  testzip::WriteFile(dir.Path() + "/overlap.zip", bytes);
  hostile::QuietUI ui;
  platform::ScopedUserInterface scoped(ui);
  unzip::TUnZipper unzipper;
  unzipper.DoAll = true;
  unzipper.SortMode = unzip::TZipSortMode::ByName;
  unzipper.SetZipName(dir.Path() + "/overlap.zip");
  unzipper.ReadDirectory();
  unzipper.SetDestDir(dir.Path() + "/out");
  try {
    unzipper.ExtractFiles();
    ADD_FAILURE() << "overlapping entries were extracted";
  } catch (const platform::Exception& e) {
    EXPECT_NE(e.Message.find(std::string(kOverlap) + ": b.bin and a.bin"), std::string::npos) << e.Message;
  }
}

TEST(OverlappingEntries, ArchivesOfRealToolsAreNotRefused) {
  // Adjacent entries, data descriptors (zero sizes in the local headers), directory entries,
  // empty files and a self-extractor stub all sit next to each other without overlapping.
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  zip.Prefix = std::string(3000, 'S');
  zip.Add("a.txt", "alpha");
  zip.Add("empty.txt", "");
  zip.AddDirectory("dir/");
  zip.AddDeflated("dir/b.txt", std::string(5000, 'b')).DataDescriptor = true;
  zip.Add("dir/c.txt", "gamma").DataDescriptor = true;
  zip.WriteTo(dir.Path() + "/sound.zip");
  const hostile::Outcome out = hostile::ExtractAll(dir.Path() + "/sound.zip", dir.Path() + "/out");
  ASSERT_FALSE(out.Error) << *out.Error;
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/dir/b.txt"), std::string(5000, 'b'));
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/dir/c.txt"), "gamma");
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/a.txt"), "alpha");
}

}  // namespace
