// The component's directory side on real files: reading, rebuilding, sorting, re-reading on
// a changed file, keeping the file open, the property setters with their dialogs, indexes,
// comments, disks, cancellation and hostile archives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Crc32.h"
#include "Exceptions.h"
#include "UnZipper.h"
#include "UnZipperState.h"
#include "UserInterface.h"
#include "ZipDirectory.h"
#include "ZipWriter.h"

using namespace unzip;
namespace fs = std::filesystem;

namespace {

// Answers every dialog from the script and counts what was asked.
class ScriptedUI : public platform::IUserInterface {
public:
  platform::TModalResult MessageBox(const std::string&, const std::string&, platform::TMsgButtons) override {
    ++MessageBoxes;
    return platform::TModalResult::No;
  }
  void ProcessMessages() override {
    ++Processed;
    if (OnProcess) OnProcess();
  }
  void SetBusyCursor(bool busy) override { BusyDepth += busy ? 1 : -1; BusySeen |= busy; }
  bool OpenFileDialog(const platform::TOpenDialogOptions& options, std::string& chosen) override {
    LastOpen = options;
    ++OpenDialogs;
    if (OpenAnswer.empty()) return false;
    chosen = OpenAnswer;
    return true;
  }
  bool SelectDirectory(const platform::TSelectDirOptions& options, std::string& directory) override {
    LastSelectStart = directory;
    LastSelect = options;
    if (SelectAnswer.empty()) return false;
    directory = SelectAnswer;
    return true;
  }
  void ShowError(const std::string&) override {}

  int MessageBoxes = 0, Processed = 0, OpenDialogs = 0, BusyDepth = 0;
  bool BusySeen = false;
  std::function<void()> OnProcess;
  std::string OpenAnswer, SelectAnswer, LastSelectStart;
  platform::TOpenDialogOptions LastOpen;
  platform::TSelectDirOptions LastSelect;
};

// True when this process holds `path` open.
bool IsOpenByUs(const std::string& path) {
  const std::string want = fs::canonical(path).string();
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = fs::read_symlink(fd.path(), ec);
    if (!ec && target.string() == want) return true;
  }
  return false;
}

void SetMTime(const std::string& path, time_t t) {
  struct utimbuf times{t, t};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}


template <class E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing raised>";
}

class DirectoryTest : public ::testing::Test {
protected:
  void SetUp() override { ui = std::make_unique<platform::ScopedUserInterface>(script); }
  std::string PathOf(const std::string& name) const { return dir.Path() + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) {
    testzip::WriteFile(PathOf(name), bytes);
    return PathOf(name);
  }
  std::vector<std::string> Names(TUnZipper& z) {
    std::vector<std::string> v;
    for (int32_t i = 0; i < z.EntryCount(); ++i) v.push_back(z.EntryInfo(i).FullName());
    return v;
  }

  testzip::TempDir dir;
  ScriptedUI script;
  std::unique_ptr<platform::ScopedUserInterface> ui;
};

std::string EndRecordOnly(const std::string& comment = "") {
  testzip::ZipWriter zip;
  zip.ArchiveComment = comment;
  return zip.Build();
}

}  // namespace

// ---- Missing and empty end records -------------------------------------------------------

TEST_F(DirectoryTest, ShortFileIsIncompleteByDefaultAndRebuiltWhenAssumedBad) {
  TUnZipper z;
  z.SetZipName(Write("short.zip", std::string(21, 'x')));
  EXPECT_EQ(MessageOf<EIncompleteZip>([&] { z.ReadDirectory(); }), "Incomplete Zip File");
  EXPECT_EQ(z.EntryCount(), 0);

  // Assumed bad: a rebuild that finds no local header leaves no directory and no error.
  z.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  z.ReadDirectory();
  EXPECT_EQ(z.EntryCount(), 0);
  EXPECT_TRUE(z.State().RebuiltFromLocalHeaders);

  // With local headers but no end record the entries come from them.
  testzip::ZipWriter zip;
  zip.Add("a.txt", "aaa");
  zip.Add("d/b.txt", "bb");
  zip.WriteEndRecord = false;
  TUnZipper y;
  y.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  y.SetZipName(Write("noend.zip", zip.Build()));
  y.ReadDirectory();
  EXPECT_EQ(Names(y), (std::vector<std::string>{"a.txt", "d\\b.txt"}));
  // Their central records were found behind them and merged in.
  EXPECT_EQ(y.EntryInfo(1).ExternalAttributes, 0x20u);
  EXPECT_EQ(y.EntryInfo(1).VersionMadeBy, 20);
}

TEST_F(DirectoryTest, IncompleteZipHandlerMayChangeTheMode) {
  TUnZipper z;
  int calls = 0;
  z.OnInCompleteZip = [&](TSender sender, TIncompleteZipMode& mode) {
    EXPECT_EQ(sender, &z);
    EXPECT_EQ(mode, TIncompleteZipMode::izAssumeMulti);
    mode = TIncompleteZipMode::izAssumeBad;
    ++calls;
  };
  z.SetZipName(Write("junk.zip", std::string(100, 'j')));
  z.ReadDirectory();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(z.IncompleteZipMode, TIncompleteZipMode::izAssumeBad);
  EXPECT_EQ(z.EntryCount(), 0);
}

TEST_F(DirectoryTest, EmptyArchiveHasNoEntriesAndNoError) {
  TUnZipper z;
  z.SetZipName(Write("empty.zip", EndRecordOnly()));
  ASSERT_EQ(fs::file_size(z.ZipName()), 22u);
  z.ReadDirectory();
  EXPECT_EQ(z.EntryCount(), 0);
  EXPECT_FALSE(z.State().RebuiltFromLocalHeaders);
  EXPECT_EQ(z.ArchiveComment(), "");
}

// ---- Rebuilding ---------------------------------------------------------------------------

TEST_F(DirectoryTest, StubInFrontIsFoundFromTheEndRecordAndShiftsEveryOffset) {
  // A stub (shell script, self-extractor, another archive) in front of an archive of entries
  // with data descriptors, as jars made by prepending a script are.
  const auto archive = [](const std::string& prefix) {
    testzip::ZipWriter zip;
    zip.Prefix = prefix;
    zip.PrefixShiftsOffsets = false;  // offsets relative to the archive, not the file
    auto& a = zip.Add("one.txt", "1111");
    a.Comment = "c1";
    a.ExternalAttributes = 0x21;
    a.DataDescriptor = true;
    zip.AddDeflated("two.txt", std::string(3000, '2')).DataDescriptor = true;
    return zip.Build();
  };
  // The archive in front has its own directory right where the declared offset points.
  const size_t declared = archive("").find("PK\x01\x02");
  testzip::ZipWriter stub;
  stub.Add("stub.txt", std::string(declared - 30 - 8, 'x'));
  for (const std::string& prefix : {std::string(5000, 'S'), stub.Build()}) {
    TUnZipper z;
    z.SetZipName(Write("sfx.exe", archive(prefix)));
    z.ReadDirectory();
    EXPECT_FALSE(z.State().RebuiltFromLocalHeaders);
    EXPECT_FALSE(z.State().DirectoryDamage.Damaged);
    EXPECT_EQ(z.State().ArchiveStart, static_cast<int64_t>(prefix.size()));
    ASSERT_EQ(Names(z), (std::vector<std::string>{"one.txt", "two.txt"}));
    EXPECT_EQ(z.EntryInfo(0).LocalHeaderOffset, static_cast<int64_t>(prefix.size()));
    EXPECT_EQ(z.EntryInfo(0).ExternalAttributes, 0x21u);
    EXPECT_EQ(z.EntryComment(0), "c1");
    z.DoAll = true;
    z.OverwriteMode = TUZOverwriteMode::Always;
    z.SetDestDir(dir.Path() + "/out");
    EXPECT_EQ(z.ExtractFiles(), 2);
    EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/two.txt"), std::string(3000, '2'));
  }
}

TEST_F(DirectoryTest, MisplacedCentralDirectoryIsRebuiltAndMatchingRecordsMerged) {
  testzip::ZipWriter zip;
  auto& a = zip.Add("one.txt", "1111");
  a.Comment = "first comment";
  a.ExternalAttributes = 0x21;
  zip.Add("two.txt", "22");
  zip.CentralOffset = 3;  // the end record points into the first local header
  zip.CentralSize = 1;    // and its size does not lead to the directory either
  TUnZipper z;
  z.SetZipName(Write("moved.zip", zip.Build()));
  z.ReadDirectory();
  EXPECT_TRUE(z.State().RebuiltFromLocalHeaders);
  ASSERT_EQ(z.EntryCount(), 2);
  // Every entry is back, but the end record said otherwise: the archive is damaged.
  EXPECT_TRUE(z.State().DirectoryDamage.Damaged);
  EXPECT_EQ(z.State().DirectoryDamage.FirstBadOffset, 3);
  EXPECT_EQ(z.State().DirectoryDamage.Read, 2);
  EXPECT_EQ(z.State().DirectoryDamage.Recovered, 0);
  EXPECT_EQ(z.EntryInfo(0).ExternalAttributes, 0x21u);
  EXPECT_GT(z.EntryInfo(0).CentralHeaderOffset, 0);
  EXPECT_EQ(z.EntryComment(0), "first comment");

  // With the size right the directory is found where it ends, and since the local headers are
  // where its records say, no offset is moved.
  zip.CentralSize.reset();
  TUnZipper y;
  y.SetZipName(Write("moved2.zip", zip.Build()));
  y.ReadDirectory();
  EXPECT_FALSE(y.State().RebuiltFromLocalHeaders);
  EXPECT_EQ(y.State().ArchiveStart, 0);
  EXPECT_EQ(y.EntryComment(0), "first comment");
}

TEST_F(DirectoryTest, RebuildWalksPastDataDescriptorsAndZip64LocalSizes) {
  // A false descriptor inside: its sizes agree with where it stands, its CRC does not.
  const std::string stored = std::string("BBBBPK\x07\x08\x01\x02\x03\x04\x04\0\0\0\x04\0\0\0", 20) + std::string(40, 'b');
  testzip::ZipWriter zip;
  zip.Add("a", "A");
  zip.Add("b", stored).DataDescriptor = true;
  zip.AddDeflated("c", std::string(5000, 'c')).DataDescriptor = true;
  auto& d = zip.AddDeflated("d", "dddd");  // no signature before its descriptor
  d.DataDescriptor = true;
  d.DescriptorSignature = false;
  auto& e = zip.Add("e", "secret");  // encrypted: only the sizes and what follows can agree
  e.Password = "pw";
  e.DataDescriptor = true;
  auto& f = zip.Add("f", "zip64");  // sizes in the local header's Zip64 field
  f.LocalCompressedSize = f.LocalUncompressedSize = 0xFFFFFFFFu;
  f.LocalExtra = std::string("\x01\x00\x10\x00\x05\0\0\0\0\0\0\0\x05\0\0\0\0\0\0\0", 20);
  zip.Add("g", "G");
  zip.WriteEndRecord = false;
  TUnZipper z;
  z.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  z.SetZipName(Write("dd.zip", zip.Build()));
  z.ReadDirectory();
  ASSERT_EQ(Names(z), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
  EXPECT_EQ(z.EntryInfo(1).CompressedSize, static_cast<int64_t>(stored.size()));
  EXPECT_EQ(z.EntryInfo(1).Crc32, testzip::Crc32(stored));
  EXPECT_EQ(z.EntryInfo(2).UncompressedSize, 5000);
  EXPECT_EQ(z.EntryInfo(5).UncompressedSize, 5);
}

TEST_F(DirectoryTest, CancelDuringTheLocalHeaderScanAborts) {
  testzip::ZipWriter zip;
  zip.Prefix = std::string(50000, 'x');
  zip.PrefixShiftsOffsets = false;
  zip.Add("late.txt", "z");
  zip.WriteEndRecord = false;
  TUnZipper z;
  z.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  z.SetZipName(Write("slow.zip", zip.Build()));
  script.OnProcess = [&] { if (script.Processed == 2) z.Cancel(); };
  EXPECT_EQ(MessageOf<EUserCanceled>([&] { z.ReadDirectory(); }), "User Aborted Operation");
  EXPECT_EQ(script.Processed, 2);  // at 10240 and 20480 bytes
  EXPECT_FALSE(z.State().CancelRequested);
  EXPECT_EQ(script.BusyDepth, 0);

  // Without message processing no check is made and the scan runs through.
  script.OnProcess = [&] { z.Cancel(); };
  script.Processed = 0;
  z.DoProcessMessages = false;
  z.ReadDirectory();
  EXPECT_EQ(script.Processed, 0);
  EXPECT_EQ(Names(z), std::vector<std::string>{"late.txt"});
}

// ---- Sorting ------------------------------------------------------------------------------

TEST_F(DirectoryTest, TiesUnderByDateKeepArchiveOrderAndUnderByNameTheLaterComesFirst) {
  testzip::ZipWriter zip;
  const uint32_t same = testzip::DosDateTime(2011, 3, 3, 3, 3, 2);
  zip.Add("first", "1").DateTime = same;
  zip.Add("newest", "2").DateTime = testzip::DosDateTime(2020, 1, 1, 0, 0, 0);
  zip.Add("second", "3").DateTime = same;
  zip.Add("dup", "4");
  zip.Add("DUP", "5");
  const std::string path = Write("ties.zip", zip.Build());

  TUnZipper z;
  z.SortMode = TZipSortMode::ByDate;
  z.SetZipName(path);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"dup", "DUP", "newest", "first", "second"}));

  TUnZipper n;
  n.SortMode = TZipSortMode::ByName;
  n.SetZipName(path);
  n.ReadDirectory();
  EXPECT_EQ(Names(n), (std::vector<std::string>{"DUP", "dup", "first", "newest", "second"}));
  // EntryFileName follows the sorted order too.
  EXPECT_EQ(n.EntryFileName(0), "DUP");
}

TEST_F(DirectoryTest, SortModeTakesEffectAtTheNextRead) {
  testzip::ZipWriter zip;
  zip.Add("b", "1");
  zip.Add("a", "2");
  TUnZipper z;
  z.SetZipName(Write("s.zip", zip.Build()));
  z.ReadDirectory();
  z.SortMode = TZipSortMode::ByName;
  EXPECT_EQ(z.EntryFileName(0), "b");
  z.ApplySortMode(z.SortMode);
  EXPECT_EQ(z.EntryFileName(0), "a");
  z.ApplySortMode(TZipSortMode::ByNone);
  EXPECT_EQ(z.State().SortedEntries, z.State().EntryList.get());
  EXPECT_EQ(z.EntryFileName(0), "b");
}

TEST_F(DirectoryTest, CentralRecordsOutOfArchiveOrderAreKeptInArchiveOrder) {
  // The central records come in reverse order of the local headers.
  testzip::ZipWriter probe;
  for (int i = 0; i < 4; ++i) probe.Add("f" + std::to_string(i), std::string(10 + i, 'x'));
  const std::string sound = probe.Build();
  std::vector<uint32_t> offsets;
  for (size_t p = 0; (p = sound.find("PK\x03\x04", p)) != std::string::npos; ++p)
    offsets.push_back(static_cast<uint32_t>(p));
  ASSERT_EQ(offsets.size(), 4u);
  testzip::ZipWriter zip;
  for (int i = 3; i >= 0; --i) {
    auto& e = zip.Add("f" + std::to_string(i), std::string(10 + i, 'x'));
    e.LocalHeaderOffset = offsets[static_cast<size_t>(i)];
  }
  TUnZipper z;
  z.SetZipName(Write("reversed.zip", zip.Build()));
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"f0", "f1", "f2", "f3"}));
}

TEST_F(DirectoryTest, TwoRecordsForOneLocalHeaderAreRefused) {
  testzip::ZipWriter zip;
  zip.Add("a", "1");
  zip.Add("b", "2").LocalHeaderOffset = 0;
  TUnZipper z;
  z.SetZipName(Write("twice.zip", zip.Build()));
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.ReadDirectory(); }), "Duplicate Object index");
  EXPECT_EQ(z.EntryCount(), 0);
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.EntryFileName(0); }), "Index 0 is out of range");
}

// ---- Names of entries ---------------------------------------------------------------------

TEST_F(DirectoryTest, NestedForwardSlashNamesAndDirectoryEntries) {
  testzip::ZipWriter zip;
  zip.Add("top/mid/leaf.txt", "x");
  zip.AddDirectory("top/empty/");
  zip.Add("caf\x82.txt", "cp437");                     // é in CP437
  zip.Add("\xE2\x82\xAC.txt", "utf8").Flags = 0x0800;  // € flagged UTF-8
  TUnZipper z;
  z.SetZipName(Write("names.zip", zip.Build()));
  z.ReadDirectory();
  ASSERT_EQ(z.EntryCount(), 4);
  EXPECT_EQ(z.EntryInfo(0).Directory, "top\\mid\\");
  EXPECT_EQ(z.EntryInfo(0).FileName, "leaf.txt");
  EXPECT_EQ(z.EntryInfo(1).Directory, "top\\empty\\");
  EXPECT_EQ(z.EntryInfo(1).FileName, "");
  EXPECT_EQ(z.EntryFileName(2), "caf\xC3\xA9.txt");
  EXPECT_EQ(z.EntryFileName(3), "\xE2\x82\xAC.txt");
}

// ---- ZipName, re-reading and open files ---------------------------------------------------

TEST_F(DirectoryTest, SameNameInOtherCaseKeepsTheDirectoryOnlyForTheSameFile) {
  testzip::ZipWriter zip;
  zip.Add("a", "1");
  testzip::ZipWriter other;
  other.Add("b", "2");
  const std::string path = Write("Case.zip", zip.Build());
  TUnZipper z;
  z.SetZipName(path);
  z.ReadDirectory();
  const TZipHeaderInfo* before = &z.EntryInfo(0);
  // The other-case name as a second name of the same file: the directory stays.
  const std::string upper = PathOf("CASE.ZIP");
  fs::create_hard_link(path, upper);
  z.SetZipName(upper);
  EXPECT_EQ(z.ZipName(), path);
  ASSERT_EQ(z.EntryCount(), 1);
  EXPECT_EQ(&z.EntryInfo(0), before);
  // Another file under that name: its own directory.
  fs::remove(upper);
  Write("CASE.ZIP", other.Build());
  z.SetZipName(upper);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), std::vector<std::string>{"b"});

  z.SetZipName(Write("other.zip", EndRecordOnly()));
  EXPECT_EQ(z.EntryCount(), 0);
  EXPECT_EQ(z.State().EntryList, nullptr);
  EXPECT_EQ(z.State().ArchiveDate, 0.0);
  z.ReadDirectory();
  EXPECT_EQ(z.EntryCount(), 0);
  EXPECT_NE(z.State().EntryList, nullptr);
}

TEST_F(DirectoryTest, AnyChangeOfTheFileReadsAgainEvenWithinTwoSecondsNoChangeDoesNot) {
  testzip::ZipWriter one, two, three, four;
  one.Add("old", "1");
  four.Add("new5", "5");
  four.Add("new6", "6");
  two.Add("new1", "1");
  two.Add("new2", "2");
  three.Add("new3", "3");
  three.Add("new4", "4");
  const std::string path = Write("changing.zip", one.Build());
  SetMTime(path, 1'600'000'000);
  TUnZipper z;
  z.SetZipName(path);
  z.ReadDirectory();
  const TZipHeaderInfo* held = &z.EntryInfo(0);
  z.ReadDirectory();  // nothing changed: the directory held stays
  EXPECT_EQ(&z.EntryInfo(0), held);

  // New contents (another size) with the very same time.
  Write("changing.zip", two.Build());
  SetMTime(path, 1'600'000'000);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"new1", "new2"}));
  // Another file of the same size and time put in its place.
  const std::string tmp = Write("changing.tmp", three.Build());
  SetMTime(tmp, 1'600'000'000);
  fs::rename(tmp, path);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"new3", "new4"}));
  // Rewritten in place to the same size, and only the time tells: one second later, the
  // same 2-second MS-DOS time.
  Write("changing.zip", four.Build());
  SetMTime(path, 1'600'000'001);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"new5", "new6"}));
}

TEST_F(DirectoryTest, SoundFileReadAfterADamagedOneUnderTheSameName) {
  testzip::ZipWriter damaged;
  damaged.Add("old", "1");
  damaged.CentralOffset = 7;
  damaged.CentralSize = 1;
  testzip::ZipWriter sound;
  sound.Add("new1", "1").Comment = "kept";
  sound.Add("new2", "2");
  const std::string path = Write("mended.zip", damaged.Build());
  SetMTime(path, 1'600'000'000);
  TUnZipper z;
  z.SetZipName(path);
  z.ReadDirectory();
  EXPECT_TRUE(z.State().RebuiltFromLocalHeaders);
  Write("mended.zip", sound.Build());
  SetMTime(path, 1'600'000'020);
  z.ReadDirectory();
  EXPECT_FALSE(z.State().RebuiltFromLocalHeaders);
  EXPECT_EQ(Names(z), (std::vector<std::string>{"new1", "new2"}));
  EXPECT_EQ(z.EntryComment(0), "kept");
}

TEST_F(DirectoryTest, ChangedFileIsReadEvenWhenKeptOpen) {
  testzip::ZipWriter one;
  one.Add("old", "1");
  testzip::ZipWriter two;
  two.Add("new", "22");
  const std::string path = Write("kept.zip", one.Build());
  SetMTime(path, 1'500'000'000);
  TUnZipper z;
  z.KeepZipOpen = true;
  z.SetZipName(path);
  z.ReadDirectory();
  // Replaced by a new file (a new inode), as a copy or a download does.
  const std::string tmp = Write("kept.tmp", two.Build());
  fs::rename(tmp, path);
  SetMTime(path, 1'500'000'100);
  z.ReadDirectory();
  EXPECT_EQ(Names(z), std::vector<std::string>{"new"});
}

TEST_F(DirectoryTest, KeepZipOpenDecidesWhetherTheFileStaysOpen) {
  testzip::ZipWriter zip;
  zip.Add("a", "1");
  const std::string path = Write("open.zip", zip.Build());
  {
    TUnZipper z;
    z.SetZipName(path);
    z.ReadDirectory();
    EXPECT_FALSE(IsOpenByUs(path));
    EXPECT_EQ(z.State().ArchiveStream, nullptr);
  }
  {
    TUnZipper z;
    z.KeepZipOpen = true;
    z.SetZipName(path);
    z.ReadDirectory();
    EXPECT_TRUE(IsOpenByUs(path));
    z.ReadDirectory();
    EXPECT_TRUE(IsOpenByUs(path));
    z.SetZipName(Write("else.zip", EndRecordOnly()));
    EXPECT_FALSE(IsOpenByUs(path));
  }
  {
    auto z = std::make_unique<TUnZipper>();
    z->KeepZipOpen = true;
    z->SetZipName(path);
    z->ReadDirectory();
    EXPECT_TRUE(IsOpenByUs(path));
    z.reset();
    EXPECT_FALSE(IsOpenByUs(path));
  }
}

TEST_F(DirectoryTest, MissingArchiveRaisesTheOpenError) {
  TUnZipper z;
  z.SetZipName(PathOf("absent.zip"));
  EXPECT_THROW(z.ReadDirectory(), platform::EFOpenError);
}

TEST_F(DirectoryTest, ZipNameQuestionMarkAsksWithTheOpenDialog) {
  TUnZipper z;
  const std::string path = Write("chosen.zip", EndRecordOnly());
  script.OpenAnswer = path;
  z.SetZipName(dir.Path() + "/?");
  EXPECT_EQ(z.ZipName(), path);
  EXPECT_EQ(script.LastOpen.Title, "Open a Zip File");
  EXPECT_EQ(script.LastOpen.Filter, "Zip Files (*.ZIP)|*.zip|SFX Files (*.EXE)|*.exe|All Files (*.*)|*.*");
  EXPECT_EQ(script.LastOpen.InitialDir, dir.Path() + "/");

  script.OpenAnswer.clear();
  EXPECT_THROW(z.SetZipName("/no/such/dir/?"), EUserCanceled);
  EXPECT_EQ(script.LastOpen.InitialDir, "C:\\");
  EXPECT_EQ(MessageOf<EUserCanceled>([&] { z.SetZipName("?"); }), "User canceled setting zip file name.");
  EXPECT_EQ(z.ZipName(), path);
}

// A component that takes another's directory holds the same entries without reading the file,
// works beside it in a thread of its own, and keeps what it changes to itself.
TEST_F(DirectoryTest, ParallelComponentsShareOneDirectoryAndKeepTheirChangesApart) {
  testzip::ZipWriter zip, changed;
  for (int k = 0; k < 20; ++k) zip.AddDeflated("d/f" + std::to_string(k), std::string(2000 + k, 'a' + k % 26));
  zip.Add("z", "zz").Comment = "note";
  changed.Add("other", "1");
  const std::string path = Write("shared.zip", zip.Build());
  auto a = std::make_unique<TUnZipper>();
  a->SetZipName(path);
  a->ReadDirectory();
  TUnZipper b;
  b.SortMode = TZipSortMode::ByName;
  b.ShareDirectory(*a);
  ASSERT_TRUE(b.State().EntryList->Entries()->SharesWith(*a->State().EntryList->Entries()));
  EXPECT_EQ(b.ZipName(), path);
  EXPECT_EQ(b.EntryFileName(0), "f0");
  EXPECT_EQ(b.EntryFileName(2), "f10");  // in its own order
  EXPECT_EQ(b.EntryNames(2), (std::pair<std::string_view, std::string_view>("d\\", "f10")));
  EXPECT_EQ(b.EntryCompressedSize(2), b.EntryInfo(2).CompressedSize);
  EXPECT_EQ(a->EntryFileName(2), "f2");
  b.SetEntryComment(20, "mine");
  EXPECT_EQ(a->EntryComment(20), "note");

  // Each extracts every other entry at the same time.
  std::vector<TUnZipper*> both{a.get(), &b};
  for (int k = 0; k < 2; ++k) {
    TUnZipper& z = *both[k];
    z.DoAll = true;
    z.DoProcessMessages = false;
    z.RecreateDirs = true;
    z.OverwriteMode = TUZOverwriteMode::Always;
    z.SetDestDir(dir.Path() + "/out");
    z.EntryFilter = [&z, k](int32_t i) { return z.EntryInfo(i).FileName.back() % 2 == k; };
  }
  std::thread other([&] { b.ExtractFiles(); });
  a->ExtractFiles();
  other.join();
  EXPECT_EQ(a->EntryResult(18).Outcome, TEntryOutcome::Made);
  EXPECT_EQ(a->EntryResult(19).Outcome, TEntryOutcome::NotSelected);  // the other's share
  for (int k = 0; k < 20; ++k)
    EXPECT_EQ(testzip::ReadFile(PathOf("out/d/f" + std::to_string(k))), std::string(2000 + k, 'a' + k % 26)) << k;

  // The first one gone, the second still has every entry.
  a.reset();
  fs::remove_all(PathOf("out"));
  b.EntryFilter = nullptr;
  EXPECT_EQ(b.ExtractFiles(), 21);
  EXPECT_EQ(testzip::ReadFile(PathOf("out/d/f19")), std::string(2019, 'a' + 19));

  // A changed file read again gives a new directory; a third component holding the old one
  // keeps it whole.
  TUnZipper c;
  c.ShareDirectory(b);
  Write("shared.zip", changed.Build());
  b.ReadDirectory();
  EXPECT_EQ(Names(b), std::vector<std::string>{"other"});
  EXPECT_FALSE(c.State().EntryList->Entries()->SharesWith(*b.State().EntryList->Entries()));
  ASSERT_EQ(c.EntryCount(), 21);
  EXPECT_EQ(c.EntryInfo(20).FullName(), "z");
  EXPECT_EQ(c.EntryComment(20), "mine");
}

// A run in another thread that starts inside this one and ends after it: the process is left
// in the directory it was in, not in the first run's DestDir.
TEST_F(DirectoryTest, OverlappingRunsInThreadsLeaveTheCurrentDirectoryAsTheyFoundIt) {
  testzip::ZipWriter zip;
  zip.Add("f", "x");
  const std::string path = Write("overlap.zip", zip.Build());
  const fs::path before = fs::current_path();
  TUnZipper a, b;
  for (TUnZipper* z : {&a, &b}) {
    z->SetZipName(path);
    z->DoAll = true;
    z->DoProcessMessages = false;
    z->SetDestDir(dir.Path() + (z == &a ? "/a" : "/b"));
  }
  std::promise<void> bInside, aDone;
  std::shared_future<void> aDoneFuture = aDone.get_future().share();
  std::thread other;
  a.OnStartUnZipInfo = [&](TSender, int32_t, int64_t, bool&) {
    b.OnStartUnZipInfo = [&](TSender, int32_t, int64_t, bool&) {
      bInside.set_value();
      aDoneFuture.wait();
    };
    other = std::thread([&] { b.ExtractFiles(); });
    bInside.get_future().wait();
  };
  EXPECT_EQ(a.ExtractFiles(), 1);
  aDone.set_value();
  other.join();
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_EQ(testzip::ReadFile(PathOf("a/f")), "x");
  EXPECT_EQ(testzip::ReadFile(PathOf("b/f")), "x");
}

// ---- DestDir and RootDir ------------------------------------------------------------------

TEST_F(DirectoryTest, DestDirAndRootDirSetters) {
  TUnZipper z;
  z.SetDestDir("c:\\games\\");
  EXPECT_EQ(z.DestDir(), "c:\\games");
  z.SetDestDir("c:\\games");
  EXPECT_EQ(z.DestDir(), "c:\\games");
  z.SetDestDir("");
  EXPECT_EQ(z.DestDir(), "");
  z.SetRootDir("roms");
  EXPECT_EQ(z.RootDir(), "roms\\");
  z.SetRootDir("roms\\");
  EXPECT_EQ(z.RootDir(), "roms\\");
  z.SetRootDir("");
  EXPECT_EQ(z.RootDir(), "");

  // "?" asks, starting from DestDir when it exists, else from the current directory.
  z.SetDestDir(dir.Path());
  script.SelectAnswer = dir.Path() + "/picked\\";
  z.SetDestDir("?");
  EXPECT_EQ(script.LastSelectStart, dir.Path());
  EXPECT_TRUE(script.LastSelect.AllowCreate);
  EXPECT_TRUE(script.LastSelect.PromptBeforeCreate);
  EXPECT_EQ(z.DestDir(), dir.Path() + "/picked");
  z.SetDestDir("/no/such/place");
  z.SetDestDir("?");
  EXPECT_EQ(script.LastSelectStart, fs::current_path().string());
  script.SelectAnswer.clear();
  EXPECT_EQ(MessageOf<EUserCanceled>([&] { z.SetDestDir("?"); }), "User canceled Set Desination Directory");
  EXPECT_EQ(z.DestDir(), dir.Path() + "/picked");
}

TEST_F(DirectoryTest, ThisVersionStays202) {
  TUnZipper z;
  z.SetThisVersion(5);
  EXPECT_EQ(z.ThisVersion(), 202);
}

// ---- Indexes and comments -----------------------------------------------------------------

TEST_F(DirectoryTest, IndexesOutsideTheDirectoryRaiseTheListError) {
  testzip::ZipWriter zip;
  zip.Add("a", "1");
  zip.Add("b", "2");
  TUnZipper z;
  z.SetZipName(Write("two.zip", zip.Build()));
  EXPECT_EQ(z.EntryCount(), 0);
  z.ReadDirectory();
  EXPECT_EQ(z.EntryCount(), 2);
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.EntryFileName(-1); }), "Index -1 is out of range");
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.EntryFileName(2); }), "Index 2 is out of range");
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.EntryComment(2); }), "Index 2 is out of range");
  EXPECT_EQ(MessageOf<platform::EListError>([&] { z.SetEntryComment(-1, "x"); }), "Index -1 is out of range");
  EXPECT_EQ(z.EntryFileName(1), "b");
}

TEST_F(DirectoryTest, CommentsAreLoadedOnFirstUseAndKeptAfterwards) {
  testzip::ZipWriter zip;
  zip.Add("a", "1").Comment = "entry comment";
  zip.Add("b", "2");
  zip.ArchiveComment = "archive comment";
  const std::string path = Write("comments.zip", zip.Build());
  SetMTime(path, 1'400'000'000);
  TUnZipper z;
  z.SetZipName(path);
  z.ReadDirectory();
  EXPECT_FALSE(z.EntryInfo(0).FileComment.has_value());
  EXPECT_FALSE(z.State().EndRecord.CommentText.has_value());
  EXPECT_EQ(z.EntryComment(0), "entry comment");
  EXPECT_EQ(z.EntryComment(1), "");
  EXPECT_EQ(z.ArchiveComment(), "archive comment");
  EXPECT_FALSE(IsOpenByUs(path));
  EXPECT_FALSE(z.State().EndRecord.CommentChanged);
  // Loaded: the file is not needed any more.
  fs::remove(path);
  EXPECT_EQ(z.EntryComment(0), "entry comment");
  EXPECT_EQ(z.ArchiveComment(), "archive comment");

  z.SetEntryComment(0, "entry comment");
  EXPECT_FALSE(z.State().EndRecord.CommentChanged);
  z.SetEntryComment(1, "new");
  EXPECT_TRUE(z.State().EndRecord.CommentChanged);
  EXPECT_EQ(z.EntryComment(1), "new");
  EXPECT_EQ(z.EntryInfo(1).FileCommentLength, 3);
  z.SetArchiveComment("");
  EXPECT_EQ(z.State().EndRecord.ArchiveCommentLength, 0);
  EXPECT_EQ(z.ArchiveComment(), "");
}

TEST_F(DirectoryTest, CommentOfAnArchiveThatChangedIsTakenFromTheNewFile) {
  testzip::ZipWriter one;
  one.Add("a", "1");
  one.ArchiveComment = "one";
  testzip::ZipWriter two;
  two.Add("a", "1");
  two.ArchiveComment = "two!";
  const std::string path = Write("c.zip", one.Build());
  SetMTime(path, 1'300'000'000);
  TUnZipper z;
  z.SetZipName(path);
  z.ReadDirectory();
  Write("c.zip", two.Build());
  SetMTime(path, 1'300'000'100);
  EXPECT_EQ(z.ArchiveComment(), "two!");
}

// ---- Multi-disk sets ----------------------------------------------------------------------

TEST_F(DirectoryTest, EntriesOnSeveralDisksWithTheDirectoryOnTheLast) {
  testzip::ZipWriter zip;
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    std::string data(3000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    zip.Add("file" + std::to_string(i) + ".bin", data).Comment = "comment " + std::to_string(i);
  }
  zip.ArchiveComment = "set comment";
  const std::vector<std::string> disks = zip.BuildDisks(32 * 1024);
  ASSERT_GE(disks.size(), 3u);
  std::vector<std::string> names;
  for (size_t i = 0; i < disks.size(); ++i)
    names.push_back(Write("set.z" + std::to_string(i + 1), disks[i]));
  std::vector<int32_t> asked;
  TUnZipper z;
  z.OnGetNextDisk = [&](TSender, int32_t disk, std::string& name) {
    asked.push_back(disk);
    name = names.at(static_cast<size_t>(disk - 1));
  };
  z.SetZipName(names.back());
  z.ReadDirectory();
  ASSERT_EQ(z.EntryCount(), 40);
  EXPECT_EQ(z.State().MultiDiskMode, TMultiDiskMode::Files);
  EXPECT_EQ(z.State().DiskCount, static_cast<int32_t>(disks.size()));
  EXPECT_EQ(z.State().CurrentDisk, static_cast<int32_t>(disks.size()) - 1);
  EXPECT_EQ(z.EntryFileName(39), "file39.bin");
  EXPECT_GT(z.EntryInfo(39).DiskNumberStart, 0);
  // Archive order is by disk first.
  for (int32_t i = 1; i < 40; ++i) EXPECT_GE(z.EntryInfo(i).DiskNumberStart, z.EntryInfo(i - 1).DiskNumberStart);
  // Comments were taken while their disk was open.
  EXPECT_TRUE(z.EntryInfo(7).FileComment.has_value());
  EXPECT_EQ(z.EntryComment(7), "comment 7");
  EXPECT_TRUE(z.State().EndRecord.CommentText.has_value());
  EXPECT_EQ(z.ArchiveComment(), "set comment");
  EXPECT_TRUE(asked.empty());  // everything the directory needs lay on the last disk
}

TEST_F(DirectoryTest, DirectorySpanningTwoDisksIsReadThroughOnGetNextDisk) {
  testzip::ZipWriter zip;
  for (int i = 0; i < 5; ++i) zip.Add("f" + std::to_string(i), "data").Comment = "note" + std::to_string(i);
  zip.ThisDiskNumber = 1;
  zip.CentralStartDisk = 0;
  const std::string bytes = zip.Build();
  const size_t central = bytes.find("PK\x01\x02");
  // Disk 1 ends 20 bytes into the third central record.
  const size_t cut = bytes.find("PK\x01\x02", bytes.find("PK\x01\x02", central + 1) + 1) + 20;
  const std::string first = Write("span.z01", bytes.substr(0, cut));
  const std::string last = Write("span.zip", bytes.substr(cut));
  std::vector<int32_t> asked;
  TUnZipper z;
  z.OnGetNextDisk = [&](TSender sender, int32_t disk, std::string& name) {
    EXPECT_EQ(sender, &z);
    asked.push_back(disk);
    name = disk == 1 ? first : last;
  };
  z.SetZipName(last);
  z.ReadDirectory();
  EXPECT_EQ(asked, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Names(z), (std::vector<std::string>{"f0", "f1", "f2", "f3", "f4"}));
  EXPECT_EQ(z.EntryComment(2), "note2");  // the record cut in two
  EXPECT_EQ(z.EntryComment(4), "note4");
  EXPECT_EQ(z.ZipName(), last);
  EXPECT_EQ(z.State().CurrentDisk, 1);
}

TEST_F(DirectoryTest, CentralDirectoryOnAnEarlierDiskIsRequestedAndNoHandlerCancels) {
  testzip::ZipWriter zip;
  zip.Add("a.txt", "aaaa");
  zip.Add("b.txt", "bbbb");
  zip.ThisDiskNumber = 1;
  zip.CentralStartDisk = 0;
  const std::string bytes = zip.Build();
  // Disk 1 of the set is the whole archive; disk 2 (the one named) holds only an end record
  // that says the directory starts on disk 1.
  const std::string first = Write("multi.z01", bytes);
  const std::string last = Write("multi.zip", bytes.substr(bytes.rfind("PK\x05\x06")));

  TUnZipper bare;
  bare.SetZipName(last);
  EXPECT_EQ(MessageOf<EUserCanceled>([&] { bare.ReadDirectory(); }), "User canceled loading new disk.");

  TUnZipper z;
  std::vector<int32_t> asked;
  int refusals = 0;
  z.OnGetNextDisk = [&](TSender, int32_t disk, std::string& name) {
    asked.push_back(disk);
    // The first answer names a file that does not exist: asked again.
    name = refusals++ == 0 ? PathOf("nowhere.z01") : first;
  };
  z.SetZipName(last);
  z.ReadDirectory();
  EXPECT_EQ(asked, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(Names(z), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(z.ZipName(), first);  // ZipName follows the disk last opened
  EXPECT_EQ(z.State().CurrentDisk, 0);
  EXPECT_EQ(z.State().DiskCount, 2);

  // A handler that gives no name cancels.
  TUnZipper c;
  c.OnGetNextDisk = [&](TSender, int32_t, std::string& name) { name.clear(); };
  c.SetZipName(last);
  EXPECT_EQ(MessageOf<EUserCanceled>([&] { c.ReadDirectory(); }), "User canceled loading new disk.");
}

// ---- Hostile archives ---------------------------------------------------------------------

TEST_F(DirectoryTest, EndRecordPointingAnywhereNeverReadsOutsideTheFile) {
  for (uint32_t offset : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    testzip::ZipWriter zip;
    zip.Add("x", "data");
    zip.CentralOffset = offset;
    zip.TotalEntries = 65535;
    TUnZipper z;
    z.SetZipName(Write("any.zip", zip.Build()));
    z.ReadDirectory();
    EXPECT_EQ(Names(z), std::vector<std::string>{"x"}) << offset;
  }
}

TEST_F(DirectoryTest, ARecordRunningPastTheFileEndIsDamageAndTheEntriesAfterItAreRecovered) {
  testzip::ZipWriter zip;
  zip.Add("good", "1");
  zip.Add("bad", "2");
  zip.TotalEntries = 5;
  std::string bytes = zip.Build();
  // The second central record's name length: far beyond the end.
  const size_t second = bytes.rfind("PK\x01\x02");
  bytes[second + 28] = '\xFF';
  bytes[second + 29] = '\xFF';
  TUnZipper z;
  z.SetZipName(Write("long.zip", bytes));
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"good", "bad"}));
  EXPECT_TRUE(z.State().DirectoryDamage.Damaged);
  EXPECT_EQ(z.State().DirectoryDamage.FirstBadRecord, 1);
  EXPECT_EQ(z.State().DirectoryDamage.FirstBadOffset, static_cast<int64_t>(second));
  EXPECT_EQ(z.State().DirectoryDamage.Declared, 5);
  EXPECT_EQ(z.State().DirectoryDamage.Read, 1);
  EXPECT_EQ(z.State().DirectoryDamage.Recovered, 1);

  // A local header claiming 4 GiB of data ends a rebuild instead of looping.
  testzip::ZipWriter local;
  local.Add("a", "1").LocalCompressedSize = 0xFFFFFFFFu;
  local.Add("b", "2");
  local.WriteEndRecord = false;
  TUnZipper y;
  y.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  y.SetZipName(Write("huge.zip", local.Build()));
  y.ReadDirectory();
  EXPECT_EQ(y.EntryCount(), 1);
}

TEST_F(DirectoryTest, RecordsBeyondACountThatWrappedAreReadWithinTheDirectorySize) {
  testzip::ZipWriter zip;
  for (const char* name : {"a", "b", "c"}) zip.Add(name, name);
  zip.TotalEntries = zip.EntriesThisDisk = 1;  // 65,537 written as 1
  TUnZipper z;
  z.SetZipName(Write("wrapped.zip", zip.Build()));
  z.ReadDirectory();
  EXPECT_EQ(Names(z), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(z.State().DirectoryDamage.Damaged);
}

TEST_F(DirectoryTest, DirectoryRunningPastTheLastDiskAsksForNoFurtherDisk) {
  testzip::ZipWriter zip;
  zip.Add("a", "1");
  zip.ThisDiskNumber = 3;
  zip.CentralStartDisk = 3;
  zip.TotalEntries = 10;
  const std::string bytes = zip.Build();
  // Put the end record in front of the central directory, so the records run to the end
  // of the file and the reader meets the end of the (last) disk.
  const size_t central = bytes.find("PK\x01\x02");
  const size_t end = bytes.rfind("PK\x05\x06");
  std::string endRecord = bytes.substr(end);
  const uint32_t moved = static_cast<uint32_t>(central + endRecord.size());
  for (int i = 0; i < 4; ++i) endRecord[16 + i] = static_cast<char>(moved >> (8 * i));
  const std::string reordered = bytes.substr(0, central) + endRecord + bytes.substr(central, end - central);
  TUnZipper z;
  int asked = 0;
  z.OnGetNextDisk = [&](TSender, int32_t, std::string& name) { ++asked; name.clear(); };
  z.SetZipName(Write("claims.zip", reordered));
  z.ReadDirectory();
  EXPECT_EQ(Names(z), std::vector<std::string>{"a"});
  EXPECT_EQ(asked, 0);
}

TEST_F(DirectoryTest, MaximumEntryCountAndMaximumNameLength) {
  testzip::ZipWriter zip;
  for (int i = 0; i < 65534; ++i) zip.Add("e" + std::to_string(i), "");
  const std::string longName(65535, 'n');
  zip.Add(longName, "x");
  TUnZipper z;
  z.SortMode = TZipSortMode::ByName;
  z.SetZipName(Write("max.zip", zip.Build()));
  z.ReadDirectory();
  ASSERT_EQ(z.EntryCount(), 65535);
  EXPECT_EQ(z.EntryFileName(0), "e0");
  EXPECT_EQ(z.EntryFileName(65534), longName);
  EXPECT_EQ(z.EntryInfo(65534).FileNameLength, 65535);
}

TEST_F(DirectoryTest, MutatedArchivesNeverCrashOrHang) {
  testzip::ZipWriter zip;
  zip.Add("dir/a.txt", "alpha").Comment = "c";
  zip.AddDeflated("b.bin", std::string(300, 'b'));
  zip.AddDirectory("dir/");
  zip.ArchiveComment = "archive";
  const std::string sound = zip.Build();
  std::mt19937 rng(77);
  const std::string path = PathOf("mutant.zip");
  for (int round = 0; round < 400; ++round) {
    std::string bytes = sound;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    if (round % 5 == 0) bytes.resize(rng() % bytes.size());
    testzip::WriteFile(path, bytes);
    TUnZipper z;
    z.IncompleteZipMode = round % 2 ? TIncompleteZipMode::izAssumeBad : TIncompleteZipMode::izAssumeMulti;
    z.SortMode = static_cast<TZipSortMode>(round % 8);
    z.OnGetNextDisk = [](TSender, int32_t, std::string& name) { name.clear(); };
    z.SetZipName(path);
    try {
      z.ReadDirectory();
      for (int32_t i = 0; i < z.EntryCount(); ++i) z.EntryComment(i);
      z.ArchiveComment();
    } catch (const platform::Exception&) {
      // a refusal is fine; a crash or a hang is not
    }
    EXPECT_LE(z.EntryCount(), 3 + 3);
  }
}

// ---- Fields beyond the 32-bit record: Zip64 and Unicode names ----------------------------

namespace extrafields {

std::string Le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}
std::string Field(uint16_t id, const std::string& data) { return Le(id, 2) + Le(data.size(), 2) + data; }
uint32_t Crc(const std::string& s) { return Crc32Of(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// Reads the directory of `path` in archive order.
void ReadInArchiveOrder(TUnZipper& unzipper, const std::string& path) {
  unzipper.SortMode = TZipSortMode::ByNone;
  unzipper.SetZipName(path);
  unzipper.ReadDirectory();
}

TEST(ExtraFields, Zip64FieldGivesTheTrueSizesAndOffsetAndTheEntryExtracts) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  auto& big = zip.Add("big.txt", "hello zip64");
  big.CompressedSize = 0xFFFFFFFF;
  big.UncompressedSize = 0xFFFFFFFF;
  big.LocalHeaderOffset = 0xFFFFFFFF;
  // An unknown field first: fields are walked, not assumed to come first.
  big.CentralExtra = Field(0xCAFE, "xyz") + Field(0x0001, Le(11, 8) + Le(11, 8) + Le(0, 8));
  zip.Add("next.txt", "n");
  zip.WriteTo(dir.Path() + "/z64.zip");

  TUnZipper unzipper;
  ReadInArchiveOrder(unzipper, dir.Path() + "/z64.zip");
  ASSERT_EQ(unzipper.EntryCount(), 2);
  EXPECT_EQ(unzipper.EntryInfo(0).UncompressedSize, 11);
  EXPECT_EQ(unzipper.EntryInfo(0).CompressedSize, 11);
  EXPECT_EQ(unzipper.EntryInfo(0).LocalHeaderOffset, 0);
  unzipper.DoAll = true;
  unzipper.OverwriteMode = TUZOverwriteMode::Always;
  unzipper.SetDestDir(dir.Path() + "/out");
  EXPECT_EQ(unzipper.ExtractFiles(), 2);
  EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/big.txt"), "hello zip64");
}

TEST(ExtraFields, Zip64ValuesOnlyReplaceSaturatedOnesAndImpossibleValuesAreRefused) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  // Only the compressed size is saturated, so the field's first value is that one; a field
  // claiming 2^63 bytes is not taken, and one cut short is not read at all.
  zip.Add("a.txt", "aaaa").CompressedSize = 0xFFFFFFFF;
  zip.Entries.back().CentralExtra = Field(0x0001, Le(4, 8));
  zip.Add("b.txt", "bbbb").UncompressedSize = 0xFFFFFFFF;
  zip.Entries.back().CentralExtra = Field(0x0001, Le(uint64_t{1} << 63, 8));
  zip.Add("c.txt", "cccc").UncompressedSize = 0xFFFFFFFF;
  zip.Entries.back().CentralExtra = Le(0x0001, 2) + Le(8, 2) + Le(4, 4);
  zip.WriteTo(dir.Path() + "/z.zip");
  TUnZipper unzipper;
  ReadInArchiveOrder(unzipper, dir.Path() + "/z.zip");
  ASSERT_EQ(unzipper.EntryCount(), 3);
  EXPECT_EQ(unzipper.EntryInfo(0).CompressedSize, 4);
  EXPECT_EQ(unzipper.EntryInfo(0).UncompressedSize, 4);
  EXPECT_EQ(unzipper.EntryInfo(1).UncompressedSize, 0xFFFFFFFFLL);
  EXPECT_EQ(unzipper.EntryInfo(2).UncompressedSize, 0xFFFFFFFFLL);
}

TEST(ExtraFields, UnicodePathNamesTheEntryOnlyWhenItsCrcMatchesTheStoredName) {
  testzip::TempDir dir;
  testzip::ZipWriter zip;
  const std::string stored = "sub/\x80.txt";  // CP437: "Ç"
  zip.Add(stored, "1").CentralExtra = Field(0x7075, "\x01" + Le(Crc(stored), 4) + "sub/\xE2\x82\xAC.txt");
  zip.Add("\x81.txt", "2").CentralExtra = Field(0x7075, "\x01" + Le(Crc("other"), 4) + "wrong.txt");
  zip.WriteTo(dir.Path() + "/u.zip");
  TUnZipper unzipper;
  ReadInArchiveOrder(unzipper, dir.Path() + "/u.zip");
  ASSERT_EQ(unzipper.EntryCount(), 2);
  EXPECT_EQ(unzipper.EntryInfo(0).Directory, "sub\\");
  EXPECT_EQ(unzipper.EntryInfo(0).FileName, "\xE2\x82\xAC.txt");  // "€"
  EXPECT_EQ(unzipper.EntryInfo(1).FileName, "\xC3\xBC.txt");      // CP437 0x81: "ü"
}

TEST(ExtraFields, Zip64EndRecordGivesTheDirectoryOffsetAndCountPast65535AndBehindAStub) {
  const struct {
    int entries;
    size_t stub;
  } rows[] = {{2, 0}, {2, 3000}, {70000, 0}};
  for (const auto& row : rows) {
    testzip::TempDir dir;
    testzip::ZipWriter zip;
    zip.Prefix = std::string(row.stub, 's');
    zip.PrefixShiftsOffsets = false;
    for (int i = 0; i < row.entries; ++i) zip.Add("e" + std::to_string(i) + ".txt", std::to_string(i));
    std::string bytes = zip.Build();
    const size_t end = bytes.size() - 22;
    const auto* endRecordBytes = reinterpret_cast<const uint8_t*>(bytes.data() + end);
    const uint32_t cdSize = GetU32(endRecordBytes + 12), cdOffset = GetU32(endRecordBytes + 16);
    const std::string record = Le(0x06064B50, 4) + Le(44, 8) + Le(45, 2) + Le(45, 2) + Le(0, 4) + Le(0, 4) +
                               Le(row.entries, 8) + Le(row.entries, 8) + Le(cdSize, 8) + Le(cdOffset, 8);
    const std::string locator = Le(0x07064B50, 4) + Le(0, 4) + Le(end - row.stub, 8) + Le(1, 4);
    const std::string endRecord = Le(0x06054B50, 4) + Le(0, 4) + Le(0xFFFF, 2) + Le(0xFFFF, 2) +
                                  Le(0xFFFFFFFF, 4) + Le(0xFFFFFFFF, 4) + Le(0, 2);
    bytes = bytes.substr(0, end) + record + locator + endRecord;
    testzip::WriteFile(dir.Path() + "/e64.zip", bytes);

    ScriptedUI ui;
    platform::ScopedUserInterface scoped(ui);
    TUnZipper unzipper;
    ReadInArchiveOrder(unzipper, dir.Path() + "/e64.zip");
    ASSERT_EQ(unzipper.EntryCount(), row.entries);
    const std::string last = "e" + std::to_string(row.entries - 1) + ".txt";
    EXPECT_EQ(unzipper.EntryFileName(row.entries - 1), last);
    EXPECT_EQ(unzipper.State().EndRecord.TotalEntries, std::min(row.entries, 0xFFFF));
    EXPECT_EQ(unzipper.State().ArchiveStart, static_cast<int64_t>(row.stub));
    // Found where the Zip64 record says, not rebuilt from the local headers (which would
    // show the busy cursor).
    EXPECT_FALSE(ui.BusySeen);
    if (row.entries < 65536) continue;
    // Past 65,535: the sorted view and the selection of an extraction reach the last entries.
    unzipper.SortMode = TZipSortMode::ByName;
    unzipper.ClearArchive();
    unzipper.SetZipName(dir.Path() + "/e64.zip");
    unzipper.SetDestDir(dir.Path() + "/out");
    unzipper.FilesList = {last};
    EXPECT_EQ(unzipper.ExtractFiles(), 1);
    EXPECT_EQ(unzipper.EntryFileName(row.entries - 1), "e9999.txt");
    EXPECT_EQ(testzip::ReadFile(dir.Path() + "/out/" + last), std::to_string(row.entries - 1));
  }
}

}  // namespace extrafields
