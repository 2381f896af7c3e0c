// The extraction run: selection, output paths, overwrite policy, passwords, CRC check,
// events and the count, on archives made by the test ZIP writer.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "ExtractFixture.h"
#include "FileTimes.h"
#include "ScopedEnv.h"
#include "UnzipErrors.h"

namespace {

using extracttest::ExtractTest;
using extracttest::Noise;
using extracttest::Text;
using platform::TModalResult;
using platform::TMsgButtons;
using unzip::TSkipReason;
using unzip::TUZOverwriteMode;

// ---- Stored entries, sizes and events ------------------------------------------------------

TEST_F(ExtractTest, StoredEntriesOfEverySizeAroundTheChunkComeOutByteEqual) {
  testzip::ZipWriter zip;
  const size_t sizes[] = {0, 1, 15999, 16000, 16001, 32000, 70001};
  for (size_t i = 0; i < std::size(sizes); ++i)
    zip.Add("f" + std::to_string(i) + ".bin", Noise(sizes[i], static_cast<uint32_t>(i)));
  std::vector<std::string> ended;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t, const std::string& name) { ended.push_back(name); };
  EXPECT_EQ(Extract(zip), 7);
  for (size_t i = 0; i < std::size(sizes); ++i)
    EXPECT_EQ(Read("f" + std::to_string(i) + ".bin"), Noise(sizes[i], static_cast<uint32_t>(i)));
  ASSERT_EQ(ended.size(), 7u);
  // Events name the output path: the destination, "\" and the file name.
  EXPECT_EQ(ended[0], Dest + "\\f0.bin");
}

TEST_F(ExtractTest, EmptyStoredEntryWritesAnEmptyFileWithoutProgressEvents) {
  testzip::ZipWriter zip;
  zip.Add("empty.txt", "");
  int fileEvents = 0, totalEvents = 0;
  Zip.OnFilePercentDone = [&](unzip::TSender, int32_t) { ++fileEvents; };
  Zip.OnTotalPercentDone = [&](unzip::TSender, int32_t) { ++totalEvents; };
  EXPECT_EQ(Extract(zip), 1);
  EXPECT_TRUE(IsFile(Out("empty.txt")));
  EXPECT_EQ(Read("empty.txt"), "");
  EXPECT_EQ(fileEvents, 0);
  EXPECT_EQ(totalEvents, 0);
}

// A raw deflate stream of stored blocks holding `data`, each block at most `block` bytes: its
// size is exactly data + 5 bytes per block, so it can be made to end on any boundary.
std::string StoredBlocks(const std::string& data, size_t block) {
  std::string out;
  for (size_t pos = 0; pos < data.size(); pos += block) {
    const size_t n = std::min(block, data.size() - pos);
    out += static_cast<char>(pos + n == data.size() ? 1 : 0);  // BFINAL, BTYPE 00
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(~n & 0xFF);
    out += static_cast<char>((~n >> 8) & 0xFF);
    out += data.substr(pos, n);
  }
  return out;
}

TEST_F(ExtractTest, CompressedDataEndingExactlyOnTheRefillBoundaryNeedsNoMore) {
  // 16000 and 32000 compressed bytes: the refill after the last chunk is never made.
  const std::string one = Noise(15995, 1), two = Noise(31990, 2);
  ASSERT_EQ(StoredBlocks(one, 15995).size(), 16000u);
  ASSERT_EQ(StoredBlocks(two, 15995).size(), 32000u);
  testzip::ZipWriter zip;
  zip.AddRaw("one.bin", StoredBlocks(one, 15995), 8, testzip::Crc32(one), 15995);
  zip.AddRaw("two.bin", StoredBlocks(two, 15995), 8, testzip::Crc32(two), 31990);
  Use(zip);
  Zip.DoProcessMessages = true;
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(Ui.Processed, 3);  // one refill per 16000 bytes, none beyond
  EXPECT_EQ(Read("one.bin"), one);
  EXPECT_EQ(Read("two.bin"), two);
}

TEST_F(ExtractTest, ProgressEventsCountUpToOneHundredOverTheRun) {
  testzip::ZipWriter zip;
  zip.Add("a", Noise(40000, 1));
  zip.Add("b", Noise(40000, 2));
  std::vector<int> file, total;
  Zip.OnFilePercentDone = [&](unzip::TSender, int32_t p) { file.push_back(p); };
  Zip.OnTotalPercentDone = [&](unzip::TSender, int32_t p) { total.push_back(p); };
  EXPECT_EQ(Extract(zip), 2);
  // 16000, 32000, 40000 bytes of 40000 for each file; 80000 in all.
  EXPECT_EQ(file, (std::vector<int>{40, 80, 100, 40, 80, 100}));
  EXPECT_EQ(total, (std::vector<int>{20, 40, 50, 70, 90, 100}));
}

TEST_F(ExtractTest, ModificationTimeAndAttributesComeFromTheEntry) {
  testzip::ZipWriter zip;
  auto& script = zip.Add("run.sh", "#!/bin/sh\n");
  script.VersionMadeBy = 3 << 8 | 30;
  script.ExternalAttributes = 0104755u << 16;  // setuid is never given
  const uint32_t scriptTime = testzip::DosDateTime(2019, 3, 4, 5, 6, 8);
  script.DateTime = scriptTime;
  // (`script` dangles from here on: adding an entry may move the writer's entries.)
  auto& ro = zip.Add("ro.txt", "read only");
  ro.ExternalAttributes = 0x21;
  Zip.RetainAttributes = true;
  EXPECT_EQ(Extract(zip), 2);
  struct stat st;
  ASSERT_EQ(::stat(Out("run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  time_t expected;
  ASSERT_TRUE(platform::DosDateTimeToUnixTime(scriptTime, expected));
  EXPECT_EQ(st.st_mtime, expected);
  ASSERT_EQ(::stat(Out("ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

TEST_F(ExtractTest, WithoutRetainAttributesFilesGetTheDefaultModeButStillTheirTime) {
  testzip::ZipWriter zip;
  auto& e = zip.Add("run.sh", "x");
  e.VersionMadeBy = 3 << 8 | 30;
  e.ExternalAttributes = 0100700u << 16;
  e.DateTime = testzip::DosDateTime(2001, 2, 3, 4, 5, 6);
  Zip.RetainAttributes = false;
  EXPECT_EQ(Extract(zip), 1);
  struct stat st;
  ASSERT_EQ(::stat(Out("run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, platform::DefaultFileMode());
  time_t expected;
  ASSERT_TRUE(platform::DosDateTimeToUnixTime(e.DateTime, expected));
  EXPECT_EQ(st.st_mtime, expected);
}

// ---- Selection -------------------------------------------------------------------------------

testzip::ZipWriter ThreeFiles() {
  testzip::ZipWriter zip;
  zip.AddDirectory("docs/");
  zip.Add("docs/Read.TXT", "read");
  zip.Add("src/main.c", "int main;");
  zip.Add("notes.txt", "notes");
  return zip;
}

TEST_F(ExtractTest, DoAllExtractsEveryFileAndWithRecreateDirsMakesTheDirectories) {
  int32_t reported = -1;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t n, int64_t, bool&) { reported = n; };
  EXPECT_EQ(Extract(ThreeFiles()), 3);  // the directory entry is not selected
  EXPECT_EQ(reported, 3);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"Read.TXT", "main.c", "notes.txt"}));

  testzip::TempDir other;
  Dest = other.Path() + "/out";
  Zip.RecreateDirs = true;
  std::vector<std::string> started;
  Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string& n, bool&) { started.push_back(n); };
  EXPECT_EQ(Extract(ThreeFiles()), 4);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"docs", "docs/Read.TXT", "notes.txt", "src",
                                                  "src/main.c"}));
  ASSERT_EQ(started.size(), 4u);
  EXPECT_EQ(started[0], Dest + "\\docs\\");  // the directory entry names its directory
}

TEST_F(ExtractTest, WithoutDoAllAnEmptyMaskListSelectsNothing) {
  Use(ThreeFiles());
  Zip.DoAll = false;
  int32_t reported = -1;
  int64_t bytes = -1;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t n, int64_t b, bool&) {
    reported = n;
    bytes = b;
  };
  EXPECT_EQ(Zip.ExtractFiles(), 0);
  EXPECT_EQ(reported, 0);
  EXPECT_EQ(bytes, 0);
  EXPECT_TRUE(Tree(Dest).empty());
}

TEST_F(ExtractTest, MasksMatchTheFileNameOrWithABackslashTheWholeNameIgnoringCase) {
  Use(ThreeFiles());
  Zip.DoAll = false;
  Zip.FilesList = {"*.txt"};
  int64_t bytes = -1;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t, int64_t b, bool&) { bytes = b; };
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(bytes, 9);  // "read" + "notes"
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"Read.TXT", "notes.txt"}));

  testzip::TempDir other;
  Dest = other.Path() + "/out";
  Use(ThreeFiles());
  Zip.DoAll = false;
  // With "\" the directory counts: only the file under docs; "main.c" alone does not match a
  // mask with a directory in it.
  Zip.FilesList = {"DOCS\\*", "\\main.c"};
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"Read.TXT"}));
}

TEST_F(ExtractTest, StopNowExtractsNothingAndReturnsTheSelectedCount) {
  Use(ThreeFiles());
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t, int64_t, bool& stop) { stop = true; };
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_TRUE(Tree(Dest).empty());
}

TEST_F(ExtractTest, AnEmptyArchiveReportsNoFilesAndReturnsZero) {
  testzip::ZipWriter zip;
  int32_t reported = -1;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t n, int64_t, bool&) { reported = n; };
  EXPECT_EQ(Extract(zip), 0);
  EXPECT_EQ(reported, 0);
}

TEST_F(ExtractTest, AQuestionMarkDestinationDoesNothing) {
  Use(ThreeFiles());
  // The select-directory dialog itself answers "?": the run must not start.
  Ui.ChosenDirectory = "?";
  Zip.SetDestDir("?");
  ASSERT_EQ(Zip.DestDir(), "?");
  bool started = false;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t, int64_t, bool&) { started = true; };
  EXPECT_EQ(Zip.ExtractFiles(), 0);
  EXPECT_FALSE(started);
  EXPECT_FALSE(Exists(Dest));
}

// ---- Output directories ----------------------------------------------------------------------

TEST_F(ExtractTest, RootDirIsRemovedInAnyLetterCaseOnlyWithRecreateDirs) {
  testzip::ZipWriter zip;
  zip.Add("Game/Roms/a.bin", "a");
  zip.Add("Other/b.bin", "b");
  Use(zip);
  Zip.RecreateDirs = true;
  Zip.SetRootDir("game\\roms");
  EXPECT_EQ(Zip.RootDir(), "game\\roms\\");
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"Other", "Other/b.bin", "a.bin"}));

  testzip::TempDir other;
  Dest = other.Path() + "/out";
  Use(zip);
  Zip.RecreateDirs = false;
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"a.bin", "b.bin"}));
}

TEST_F(ExtractTest, DriveLettersAndLeadingBackslashesGoBelowTheDestination) {
  testzip::ZipWriter zip;
  zip.Add("C:\\games\\x.bin", "x");
  zip.Add("\\abs\\y.bin", "y");
  zip.Add("/slash/z.bin", "z");
  Use(zip);
  Zip.RecreateDirs = true;
  std::vector<std::string> names;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t, const std::string& n) { names.push_back(n); };
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_EQ(Read("games/x.bin"), "x");
  EXPECT_EQ(Read("abs/y.bin"), "y");
  EXPECT_EQ(Read("slash/z.bin"), "z");
  // No doubled backslash where the stored directory began with one.
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[1], Dest + "\\abs\\y.bin");
}


TEST_F(ExtractTest, AnEmptyDestinationUsesDriveDirectoriesAsStored) {
  ScopedWinePrefix wine(Tmp.Path() + "/wine");
  ASSERT_EQ(::mkdir((Tmp.Path() + "/wine").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((Tmp.Path() + "/wine/drive_c").c_str(), 0755), 0);
  testzip::ZipWriter zip;
  zip.Add("c:/games/x.bin", "x");
  Use(zip);
  Zip.SetDestDir("");
  Zip.RecreateDirs = true;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(testzip::ReadFile(Tmp.Path() + "/wine/drive_c/games/x.bin"), "x");
}

TEST_F(ExtractTest, AnEmptyDestinationWithoutRecreateDirsMeansTheRootDirectory) {
  testzip::ZipWriter zip;
  zip.Add("dir/x.bin", "x");
  Use(zip);
  Zip.SetDestDir("");
  std::string started;
  Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string& n, bool&) { started = n; };
  // The sink stands in for the file system, so the machine's root directory is never touched.
  extracttest::TRecordingSink sink;
  Zip.OutputSink = &sink;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(started, "\\x.bin");
  EXPECT_EQ(sink.Paths, std::vector<std::string>{"\\x.bin"});
  EXPECT_EQ(sink.Bytes, "x");
}

TEST_F(ExtractTest, ARunIntoASinkMakesNothingOnDisk) {
  testzip::ZipWriter zip;
  zip.AddDeflated("d/a.txt", Text(5000, 1), 6);
  zip.Add("b.txt", "bb").Crc = 1;
  Use(zip);
  Zip.RecreateDirs = true;
  extracttest::TRecordingSink sink;
  Zip.OutputSink = &sink;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_FALSE(Exists(Dest)) << "the destination is not even made";
  EXPECT_EQ(sink.Bytes, Text(5000, 1) + "bb");
  EXPECT_EQ(sink.Paths, (std::vector<std::string>{Dest + "\\d\\a.txt", Dest + "\\b.txt"}));
  EXPECT_EQ(sink.Sound, (std::vector<bool>{true, false}));
}

// A sink that lends memory of exactly each entry's size, so that a byte placed beyond it is a
// heap overflow under the sanitizers; what the memory holds is kept at the entry's end.
struct TLendingSink : extracttest::TRecordingSink {
  std::unique_ptr<uint8_t[]> Lent;
  int64_t Size = 0;
  int Writes = 0;
  std::vector<std::string> Kept;
  uint8_t* EntryMemory(int32_t, int64_t size) override {
    Lent.reset(new uint8_t[static_cast<size_t>(size)]);
    Size = size;
    return Lent.get();
  }
  int64_t Write(const uint8_t*, int64_t n) override {
    ++Writes;
    return n;
  }
  void EndEntry(int32_t, bool sound) override {
    Kept.emplace_back(reinterpret_cast<const char*>(Lent.get()), static_cast<size_t>(Size));
    Sound.push_back(sound);
  }
};

TEST_F(ExtractTest, EntriesAreDecodedIntoMemoryTheSinkLends) {
  // Deflated across many window pieces, just above and below the size decoded in place, and
  // stored; the last two declare less than their data holds, so they are cut off at the size.
  const std::string big = Text(300000, 2), mid = Text(40000, 3), small = Text(5000, 4), stored = Text(70000, 5);
  testzip::ZipWriter zip;
  zip.AddDeflated("big", big, 6);
  zip.AddDeflated("mid", mid, 1);
  zip.AddDeflated("small", small, 9);
  zip.Add("stored", stored);
  zip.AddDeflated("long", big, 6).UncompressedSize = 100000;
  zip.Add("long stored", stored).UncompressedSize = 20000;
  Use(zip);
  TLendingSink sink;
  Zip.OutputSink = &sink;
  EXPECT_EQ(Zip.ExtractFiles(), 4);
  EXPECT_EQ(sink.Writes, 0);
  ASSERT_EQ(sink.Kept.size(), 6u);
  EXPECT_TRUE(sink.Kept[0] == big);
  EXPECT_TRUE(sink.Kept[1] == mid);
  EXPECT_TRUE(sink.Kept[2] == small);
  EXPECT_TRUE(sink.Kept[3] == stored);
  EXPECT_TRUE(sink.Kept[4] == big.substr(0, 100000));
  EXPECT_TRUE(sink.Kept[5] == stored.substr(0, 20000));
  EXPECT_EQ(sink.Sound, (std::vector<bool>{true, true, true, true, false, false}));
}

TEST_F(ExtractTest, AMissingDestinationIsCreatedAndARelativeOneTakenOnce) {
  testzip::ZipWriter zip;
  zip.Add("a.txt", "a");
  Use(zip);
  Zip.SetDestDir(Tmp.Path() + "/deep/er/out");
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(testzip::ReadFile(Tmp.Path() + "/deep/er/out/a.txt"), "a");

  // Relative to the current directory when the run starts, not to itself.
  ASSERT_EQ(::chdir(Tmp.Path().c_str()), 0);
  Zip.SetDestDir("rel\\out");
  const int32_t n = Zip.ExtractFiles();
  const std::string here = CurrentDir();
  ASSERT_EQ(::chdir(StartDir.c_str()), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(here, Tmp.Path());
  EXPECT_EQ(testzip::ReadFile(Tmp.Path() + "/rel/out/a.txt"), "a");
}

// ---- Overwrite policy ------------------------------------------------------------------------

class OverwriteTest : public ExtractTest {
protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(Out("sub").c_str(), 0755), 0);
    testzip::WriteFile(Out("sub/a.txt"), "old");
    Archive.Add("sub/a.txt", "new");
    Archive.Add("b.txt", "b");
    Use(Archive);
    Zip.RecreateDirs = true;
    Zip.OnSkippingFile = [&](unzip::TSender, TSkipReason r, int32_t i) { Skips.push_back({r, i}); };
  }
  testzip::ZipWriter Archive;
  std::vector<std::pair<TSkipReason, int32_t>> Skips;
};

TEST_F(OverwriteTest, PromptAsksAboutTheBareFileNameAndNoKeepsTheFile) {
  Ui.Answer = TModalResult::No;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  ASSERT_EQ(Ui.Messages.size(), 1u);
  EXPECT_EQ(Ui.Messages[0].Text, "Replace existing file a.txt?");
  EXPECT_EQ(Ui.Messages[0].Caption, "File Exists Alert");
  EXPECT_EQ(Ui.Messages[0].Buttons, TMsgButtons::YesNo);
  EXPECT_EQ(Read("sub/a.txt"), "old");
  EXPECT_EQ(Read("b.txt"), "b");
  ASSERT_EQ(Skips.size(), 1u);
  EXPECT_EQ(Skips[0].first, TSkipReason::SkipExistingFile);
  EXPECT_EQ(Skips[0].second, 0);
}

TEST_F(OverwriteTest, PromptAnsweredYesReplaces) {
  Ui.Answer = TModalResult::Yes;
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(Read("sub/a.txt"), "new");
  EXPECT_TRUE(Skips.empty());
}

TEST_F(OverwriteTest, PromptHandlerDecidesAndMayRenameTheOutput) {
  std::string asked;
  Zip.OnPromptForOverwrite = [&](unzip::TSender, bool& overwrite, int32_t, std::string& name) {
    asked = name;
    name = Dest + "\\sub\\renamed.txt";
    overwrite = true;
  };
  std::string ended;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t i, const std::string& n) {
    if (i == 0) ended = n;
  };
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_TRUE(Ui.Messages.empty());
  EXPECT_EQ(asked, Dest + "\\sub\\a.txt");
  EXPECT_EQ(ended, Dest + "\\sub\\renamed.txt");
  EXPECT_EQ(Read("sub/a.txt"), "old");
  EXPECT_EQ(Read("sub/renamed.txt"), "new");
}

TEST_F(OverwriteTest, AlwaysReplacesWithoutAsking) {
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_TRUE(Ui.Messages.empty());
  EXPECT_EQ(Read("sub/a.txt"), "new");
}

TEST_F(OverwriteTest, NeverKeepsTheFileReportsItAndCountsItOut) {
  Zip.OverwriteMode = TUZOverwriteMode::Never;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_TRUE(Ui.Messages.empty());
  EXPECT_EQ(Read("sub/a.txt"), "old");
  ASSERT_EQ(Skips.size(), 1u);
  EXPECT_EQ(Skips[0].first, TSkipReason::SkipExistingFile);
}

TEST_F(OverwriteTest, ADirectoryWhereTheFileShouldGoIsAnError) {
  ASSERT_EQ(::mkdir(Out("b.txt").c_str(), 0755), 0);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  try {
    Zip.ExtractFiles();
    FAIL() << "no error";
  } catch (const platform::EFCreateError& e) {
    EXPECT_EQ(e.Message, "Cannot create file " + Dest + "\\b.txt");
  }
  EXPECT_TRUE(IsDir(Out("b.txt")));
}

// ---- CRC -------------------------------------------------------------------------------------

TEST_F(ExtractTest, AWrongStoredCrcLeavesNoFileReportsBothValuesAndKeepsAnOldFile) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  testzip::WriteFile(Out("a.txt"), "old");
  testzip::ZipWriter zip;
  zip.Add("a.txt", "new data").Crc = 0x12345678;
  zip.Add("b.txt", "fresh").Crc = 0xCAFEBABE;
  zip.Add("c.txt", "good");
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  std::vector<std::tuple<uint32_t, uint32_t, int32_t>> bad;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t calc, int32_t stored, int32_t i) {
    bad.emplace_back(static_cast<uint32_t>(calc), static_cast<uint32_t>(stored), i);
  };
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_EQ(bad[0], std::make_tuple(testzip::Crc32("new data"), 0x12345678u, 0));
  EXPECT_EQ(bad[1], std::make_tuple(testzip::Crc32("fresh"), 0xCAFEBABEu, 1));
  EXPECT_EQ(Read("a.txt"), "old");
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"a.txt", "c.txt"}));
}

TEST_F(ExtractTest, UnknownMethodShowsTheZipErrorBoxAndFailsTheCrc) {
  testzip::ZipWriter zip;
  zip.AddRaw("x.bin", "whatever", 99, 0x11111111, 8);
  zip.AddRaw("empty.bin", "", 77, 0, 0);  // stored CRC 0: an empty file passes
  int badCrc = 0;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t calc, int32_t, int32_t) {
    ++badCrc;
    EXPECT_EQ(calc, 0);
  };
  EXPECT_EQ(Extract(zip), 1);
  ASSERT_EQ(Ui.Messages.size(), 2u);
  EXPECT_EQ(Ui.Messages[0].Text, "Unknown Compression Method");
  EXPECT_EQ(Ui.Messages[0].Caption, "Zip Error");
  EXPECT_EQ(Ui.Messages[0].Buttons, TMsgButtons::Ok);
  EXPECT_EQ(badCrc, 1);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"empty.bin"}));
}

// ---- Passwords -------------------------------------------------------------------------------

TEST_F(ExtractTest, EncryptedStoredEntryYieldsItsBytesWithoutTheHeader) {
  testzip::ZipWriter zip;
  auto& a = zip.Add("crc.bin", Noise(20000, 3));  // check byte from the CRC
  a.Password = "pw";
  auto& b = zip.Add("time.bin", Noise(5, 4));     // check byte from the time
  b.Password = "pw";
  b.DataDescriptor = true;
  auto& c = zip.Add("zero.bin", "");              // 12 + 0 bytes
  c.Password = "pw";
  Zip.Password = "pw";
  EXPECT_EQ(Extract(zip), 3);
  EXPECT_EQ(Read("crc.bin"), Noise(20000, 3));
  EXPECT_EQ(Read("time.bin"), Noise(5, 4));
  EXPECT_EQ(Read("zero.bin"), "");
}

TEST_F(ExtractTest, AWrongPasswordWithoutANewOneSkipsWithoutCreatingAFile) {
  testzip::ZipWriter zip;
  zip.Add("secret.txt", "secret").Password = "right";
  zip.Add("plain.txt", "plain");
  Zip.Password = "wrong";
  std::vector<TSkipReason> skips;
  Zip.OnSkippingFile = [&](unzip::TSender, TSkipReason r, int32_t) { skips.push_back(r); };
  int asked = 0;
  // A handler that gives back the same password gives up.
  Zip.OnBadPassword = [&](unzip::TSender, int32_t, std::string&) { ++asked; };
  EXPECT_EQ(Extract(zip), 1);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(skips, std::vector<TSkipReason>{TSkipReason::SkipBadPassword});
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"plain.txt"}));

  // No handler at all: the same.
  testzip::TempDir other;
  Dest = other.Path() + "/out";
  Zip.OnBadPassword = nullptr;
  skips.clear();
  EXPECT_EQ(Extract(zip), 1);
  EXPECT_EQ(skips, std::vector<TSkipReason>{TSkipReason::SkipBadPassword});
}

TEST_F(ExtractTest, ANewPasswordFromTheHandlerIsTriedOnTheSameHeader) {
  testzip::ZipWriter zip;
  zip.Add("secret.txt", Noise(30000, 5)).Password = "right";
  Zip.Password = "";
  std::vector<std::string> offered;
  Zip.OnBadPassword = [&](unzip::TSender, int32_t, std::string& p) {
    offered.push_back(p);
    p = offered.size() == 1 ? "still wrong" : "right";
  };
  EXPECT_EQ(Extract(zip), 1);
  EXPECT_EQ(offered, (std::vector<std::string>{"", "still wrong"}));
  EXPECT_EQ(Zip.Password, "right");
  EXPECT_EQ(Read("secret.txt"), Noise(30000, 5));
}

// A password that passes the one-byte check of `zip`'s first entry but is not the right one.
std::string FalseFriend(const testzip::ZipWriter& zip, const std::string& right) {
  const std::string bytes = zip.Build();
  const auto& e = zip.Entries[0];
  const std::string header = bytes.substr(30 + e.Name.size(), 12);
  const uint8_t check = testzip::Decrypt(header, right)[11];
  for (int i = 0;; ++i) {
    const std::string candidate = "guess" + std::to_string(i);
    if (static_cast<uint8_t>(testzip::Decrypt(header, candidate)[11]) == check) return candidate;
  }
}

TEST_F(ExtractTest, ACrcFailureOfAnEncryptedEntryAsksForANewPasswordAndRetries) {
  testzip::ZipWriter zip;
  zip.Add("secret.bin", Noise(50000, 6)).Password = "right";
  zip.Add("after.txt", "after");
  Zip.Password = FalseFriend(zip, "right");
  int asked = 0;
  std::vector<TSkipReason> skips;
  Zip.OnSkippingFile = [&](unzip::TSender, TSkipReason r, int32_t) { skips.push_back(r); };
  int badCrc = 0;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++badCrc; };
  Zip.OnBadPassword = [&](unzip::TSender, int32_t i, std::string& p) {
    ++asked;
    EXPECT_EQ(i, 0);
    p = "right";
  };
  EXPECT_EQ(Extract(zip), 2);
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(skips.empty());
  EXPECT_EQ(badCrc, 0);  // an encrypted entry's CRC failure is a password matter
  EXPECT_EQ(Read("secret.bin"), Noise(50000, 6));
  EXPECT_EQ(Read("after.txt"), "after");
}

TEST_F(ExtractTest, ACrcFailureOfAnEncryptedEntryWithoutANewPasswordIsSkipped) {
  testzip::ZipWriter zip;
  zip.Add("secret.bin", Noise(1000, 7)).Password = "right";
  Zip.Password = FalseFriend(zip, "right");
  std::vector<TSkipReason> skips;
  Zip.OnSkippingFile = [&](unzip::TSender, TSkipReason r, int32_t) { skips.push_back(r); };
  EXPECT_EQ(Extract(zip), 0);
  EXPECT_EQ(skips, std::vector<TSkipReason>{TSkipReason::SkipBadPassword});
  EXPECT_TRUE(Tree(Dest).empty());
}

// ---- Skip ------------------------------------------------------------------------------------

TEST_F(ExtractTest, SkipInStartUnZipCountsAsExtractedAndTouchesNothing) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  testzip::WriteFile(Out("a.txt"), "old");
  testzip::ZipWriter zip;
  zip.Add("a.txt", "new");
  zip.Add("b.txt", "b");
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string&, bool& skip) { skip = true; };
  int ended = 0;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t, const std::string&) { ++ended; };
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(Read("a.txt"), "old");
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"a.txt"}));
}

}  // namespace
