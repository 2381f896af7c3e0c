// Faults the extraction run must not have: partial or lost files, writes that fail quietly,
// paths that leave the destination, big entries taken for negative ones, attributes beyond
// rwx, links written through. Each test here fails without its remedy.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "UnZipperState.h"
#include "ExtractFixture.h"
#include "ExtractHost.h"
#include "UnzipErrors.h"

namespace {

using extracttest::ExtractTest;
using extracttest::Noise;
using extracttest::Text;
using unzip::TUZOverwriteMode;

// No temporary output file is ever left behind.
bool NoPartFiles(const std::vector<std::string>& names) {
  for (const auto& n : names)
    if (n.find(".unzip-part") != std::string::npos) return false;
  return true;
}

// ---- No data lost, no corrupt file left --------------------------------------------------------

TEST_F(ExtractTest, AnArchiveEndingInsideAStoredEntryRaisesAndKeepsTheOldFile) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  testzip::WriteFile(Out("big.bin"), "old");
  testzip::ZipWriter zip;
  zip.Add("first.txt", "first");
  auto& e = zip.Add("big.bin", Noise(100000, 1));
  e.TruncateData = 50000;  // the data stops here; the headers still say 100000
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  // The directory follows the short data directly, so the entry reads into it and then past
  // the end of the file.
  try {
    Zip.ExtractFiles();
    FAIL() << "no error";
  } catch (const unzip::EFatalUnzipError& err) {
    EXPECT_EQ(err.Message, "Premature end of file reached");
  }
  EXPECT_EQ(Read("big.bin"), "old");
  EXPECT_EQ(Read("first.txt"), "first");
  EXPECT_TRUE(NoPartFiles(Tree(Dest)));
}

TEST_F(ExtractTest, AnArchiveEndingInsideADeflatedEntryRaisesAndLeavesNothingPartial) {
  testzip::ZipWriter zip;
  auto& e = zip.AddDeflated("noise.bin", Noise(300000, 2), 1);
  e.TruncateData = 20000;
  try {
    Extract(zip);
    FAIL() << "no error";
  } catch (const unzip::EFatalUnzipError& err) {
    EXPECT_EQ(err.Message, "Premature end of file reached");
  }
  EXPECT_TRUE(Tree(Dest).empty());
}

TEST_F(ExtractTest, ACancelDuringARunLeavesNothingPartialAndKeepsTheOldFile) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  testzip::WriteFile(Out("b.txt"), "old");
  testzip::ZipWriter zip;
  zip.AddDeflated("a.txt", Text(1000, 1), 6);
  zip.AddDeflated("b.txt", Noise(200000, 2), 1);  // many refills
  zip.AddDeflated("c.txt", Text(1000, 3), 6);
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  int calls = 0;
  Ui.OnProcess = [&] {
    if (++calls == 3) Zip.Cancel();  // during b.txt
  };
  try {
    Zip.ExtractFiles();
    FAIL() << "no error";
  } catch (const unzip::EUserCanceled& err) {
    EXPECT_EQ(err.Message, "User Aborted Operation");
  }
  EXPECT_EQ(Read("a.txt"), Text(1000, 1));
  EXPECT_EQ(Read("b.txt"), "old");
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ExtractTest, WithoutMessageProcessingAPendingCancelIsNotActedOn) {
  testzip::ZipWriter zip;
  zip.AddDeflated("b.txt", Noise(100000, 2), 1);
  Use(zip);
  Zip.DoProcessMessages = false;
  Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string&, bool&) { Zip.Cancel(); };
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(Ui.Processed, 0);
  EXPECT_TRUE(Zip.State().CancelRequested);  // neither cleared nor honoured
  EXPECT_EQ(Read("b.txt"), Noise(100000, 2));
}

TEST_F(ExtractTest, ACancelDuringAStoredCopyIsHonouredAndLeavesNothingPartial) {
  // Stored entries are copied without an input refill: the cancel is seen as output flows.
  for (const std::string target : {"new.bin", "old.bin"}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
    testzip::WriteFile(Out("old.bin"), "old");
    testzip::ZipWriter zip;
    zip.Add("new.bin", Noise(3000000, 1));
    zip.Add("old.bin", Noise(3000000, 2));
    zip.Add("after.txt", "after");
    Use(zip);
    Zip.OverwriteMode = TUZOverwriteMode::Always;
    bool inTarget = false;
    Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string& n, bool&) {
      inTarget = n.size() >= target.size() && n.compare(n.size() - target.size(), target.size(), target) == 0;
    };
    // Raised from the first progress event of the target, as a Ctrl-C handler would.
    Zip.OnFilePercentDone = [&](unzip::TSender, int32_t) {
      if (inTarget) Zip.Cancel();
    };
    EXPECT_THROW(Zip.ExtractFiles(), unzip::EUserCanceled);
    EXPECT_EQ(Read("old.bin"), "old");
    const std::vector<std::string> left = target == "new.bin" ? std::vector<std::string>{"old.bin"}
                                                              : std::vector<std::string>{"new.bin", "old.bin"};
    EXPECT_EQ(Tree(Dest), left);
    std::filesystem::remove_all(Dest);
  }
}

// ---- An entry that cannot be made stops nothing else ----------------------------------------------

TEST_F(ExtractTest, AnEntryThatCannotBeMadeIsReportedWithTheSystemsReasonAndTheRunGoesOn) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Out("dir.txt").c_str(), 0755), 0);
  testzip::ZipWriter zip;
  zip.Add("a.txt", "a");
  zip.Add("dir.txt", "a directory stands there");
  zip.Add(std::string(300, 'x'), "a name the host refuses");
  zip.Add("f/b", "file");
  zip.AddDirectory("f/b/");  // a file stands where the directory goes
  zip.Add("f/b/c.txt", "below it");
  zip.Add("z.txt", "z");
  Use(zip);
  Zip.RecreateDirs = true;
  Zip.ContinueAfterEntryErrors = true;
  std::vector<std::pair<int32_t, int>> failed;
  Zip.OnEntryFailed = [&](unzip::TSender, int32_t i, const unzip::TEntryResult& r) {
    EXPECT_EQ(r.Problem, unzip::TEntryProblem::CannotCreate);
    failed.emplace_back(i, r.SystemError);
  };
  std::vector<std::string> started;
  Zip.OnStartUnZip = [&](unzip::TSender, int32_t, const std::string& n, bool&) { started.push_back(n); };
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_EQ(failed, (std::vector<std::pair<int32_t, int>>{{1, EISDIR}, {2, ENAMETOOLONG}, {4, ENOTDIR}, {5, ENOTDIR}}));
  EXPECT_EQ(started.size(), 3u) << "an entry not made is never started";
  EXPECT_EQ(Read("z.txt"), "z");
  EXPECT_EQ(Read("f/b"), "file");
  EXPECT_EQ(Zip.EntryResult(6).Outcome, unzip::TEntryOutcome::Made);
  EXPECT_EQ(Zip.EntryResult(4).Outcome, unzip::TEntryOutcome::Failed);
  EXPECT_EQ(Zip.EntryResult(5).OutputPath, Dest + "\\f\\b\\");

  // Left out by the filter, an entry in the way is never looked at.
  Zip.EntryFilter = [](int32_t i) { return i == 0 || i == 6; };
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  failed.clear();
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_TRUE(failed.empty());
}

// ---- Failed writes are errors ------------------------------------------------------------------

// Lowers the largest file this process may write, so the system refuses writes past it, the
// way a full disk or a quota does.
class ScopedFileSizeLimit {
public:
  explicit ScopedFileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &Old);
    OldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = Old;
    lim.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &Old);
    ::signal(SIGXFSZ, OldHandler);
  }

private:
  rlimit Old{};
  sighandler_t OldHandler;
};

TEST_F(ExtractTest, AWriteTheSystemRefusesIsAnErrorNamingTheFile) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  testzip::WriteFile(Out("big.bin"), "old");
  testzip::ZipWriter zip;
  zip.Add("big.bin", Noise(100000, 1));
  zip.Add("after.txt", "after");
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  Zip.ContinueAfterEntryErrors = true;  // a refused write ends the run all the same
  int ended = 0;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t, const std::string&) { ++ended; };
  {
    ScopedFileSizeLimit limit(40000);
    try {
      Zip.ExtractFiles();
      ADD_FAILURE() << "no error";
    } catch (const platform::EWriteError& err) {
      EXPECT_NE(err.Message.find(Dest + "\\big.bin"), std::string::npos) << err.Message;
    }
  }
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(Read("big.bin"), "old");
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"big.bin"}));  // the run stopped there
  EXPECT_EQ(Zip.EntryResult(0).Problem, unzip::TEntryProblem::WriteFailed);
  EXPECT_EQ(Zip.EntryResult(0).SystemError, EFBIG);
}

// ---- A stored entry continues on the next disk ---------------------------------------------------

// Writes the set as name.z01, name.z02, ... name.zip and answers the disk requests.
std::string WriteSet(const testzip::ZipWriter& zip, uint64_t diskSize, const std::string& base,
                     unzip::TUnZipper& unzipper, int* requests) {
  const auto disks = zip.BuildDisks(diskSize);
  std::vector<std::string> names;
  for (size_t i = 0; i + 1 < disks.size(); ++i) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".z%02zu", i + 1);
    names.push_back(base + suffix);
  }
  names.push_back(base + ".zip");
  zip.WriteDisks(diskSize, names);
  unzipper.OnGetNextDisk = [names, requests](unzip::TSender, int32_t disk, std::string& name) {
    if (requests) ++*requests;
    name = disk >= 1 && disk <= static_cast<int32_t>(names.size()) ? names[disk - 1] : "";
  };
  return names.back();
}

TEST_F(ExtractTest, EntriesRunningOverDiskBoundariesDecryptAndExtractTheSame) {
  testzip::ZipWriter zip;
  auto& a = zip.Add("stored.bin", Noise(70000, 1));
  a.Password = "pw";
  auto& b = zip.AddDeflated("deflated.txt", Noise(90000, 2), 1);
  b.Password = "pw";
  b.DataDescriptor = true;
  zip.Add("plain.bin", Noise(40000, 3));
  int requests = 0;
  const std::string last = WriteSet(zip, 30000, Tmp.Path() + "/set", Zip, &requests);
  Zip.SetZipName(last);
  Zip.SetDestDir(Dest);
  Zip.DoAll = true;
  Zip.Password = "pw";
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_GT(requests, 0);
  EXPECT_EQ(Read("stored.bin"), Noise(70000, 1));
  EXPECT_EQ(Read("deflated.txt"), Noise(90000, 2));
  EXPECT_EQ(Read("plain.bin"), Noise(40000, 3));
}

TEST_F(ExtractTest, AMissingNextDiskEndsTheRunAsACancel) {
  testzip::ZipWriter zip;
  zip.Add("stored.bin", Noise(70000, 1));
  const std::string last = WriteSet(zip, 30000, Tmp.Path() + "/set", Zip, nullptr);
  Zip.SetZipName(last);
  Zip.SetDestDir(Dest);
  Zip.DoAll = true;
  ASSERT_EQ(::unlink((Tmp.Path() + "/set.z02").c_str()), 0);
  int asked = 0;
  auto answer = Zip.OnGetNextDisk;
  Zip.OnGetNextDisk = [&](unzip::TSender s, int32_t disk, std::string& name) {
    answer(s, disk, name);
    if (disk == 2) name = ++asked < 3 ? name : "";  // missing twice, then given up
  };
  EXPECT_THROW(Zip.ExtractFiles(), unzip::EUserCanceled);
  EXPECT_TRUE(NoPartFiles(Tree(Dest)));
  EXPECT_FALSE(Exists(Out("stored.bin")));
}

// ---- No path escapes the destination -----------------------------------------------------------

TEST_F(ExtractTest, DotAndDotDotDirectoriesNeverLeadOutOfTheDestination) {
  testzip::ZipWriter zip;
  zip.Add("../evil1.txt", "1");
  zip.Add("a/../../../b/evil2.txt", "2");
  zip.Add("./c/./d.txt", "3");
  zip.Add("..\\..\\evil4.txt", "4");
  zip.Add("c:..\\evil5.txt", "5");
  zip.Add("\\..\\evil6.txt", "6");
  zip.Add("x/..", "not a file");
  zip.Add("..", "not a file either");
  Use(zip);
  Zip.RecreateDirs = true;
  const int32_t n = Zip.ExtractFiles();
  EXPECT_EQ(n, 8);
  // Everything is below the destination; the scratch directory holds only the archive.
  EXPECT_EQ(Tree(Tmp.Path()),
            (std::vector<std::string>{"out", "out/a", "out/a/b", "out/a/b/evil2.txt", "out/c",
                                      "out/c/d.txt", "out/evil1.txt", "out/evil4.txt",
                                      "out/evil5.txt", "out/evil6.txt", "out/x", "t.zip"}));
  EXPECT_EQ(Read("a/b/evil2.txt"), "2");
  EXPECT_EQ(Read("evil5.txt"), "5");
}

TEST_F(ExtractTest, ADriveRelativeDirectoryIsNotGluedToTheDestinationName) {
  testzip::ZipWriter zip;
  zip.Add("c:sub\\f.txt", "f");
  Use(zip);
  Zip.RecreateDirs = true;
  EXPECT_EQ(Zip.ExtractFiles(), 1);
  EXPECT_EQ(Read("sub/f.txt"), "f");
  EXPECT_FALSE(Exists(Tmp.Path() + "/outsub"));
}

// ---- Output that does not fit its declared size -------------------------------------------------

TEST_F(ExtractTest, DataThatRunsOutOrRunsPastItsDeclaredSizeFailsAndSaysWhich) {
  // A reduced entry of empty follower sets and five literals, declared far longer: past its
  // data the decoder reads zero bits until it sees the data has run out. The second round
  // gives it the CRC of exactly what came out, so only the written size tells it is short.
  const std::string reduced = std::string(192, '\0') + "hello";
  uint32_t shortCrc = 1;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t calc, int32_t, int32_t i) {
    if (i == 0) shortCrc = static_cast<uint32_t>(calc);
  };
  for (int round = 0; round < 2; ++round) {
    testzip::ZipWriter zip;
    zip.AddRaw("short.bin", reduced, 2, shortCrc, 100000);
    zip.AddRaw("long.bin", "0123456789", 0, testzip::Crc32("01234"), 5);  // declared shorter
    // A whole deflate stream of three bytes, with their CRC, declared as ten.
    zip.AddRaw("ended.bin", testzip::Deflate("abc", 6), 8, testzip::Crc32("abc"), 10);
    EXPECT_EQ(Extract(zip), 0) << "round " << round;
    EXPECT_EQ(Zip.EntryResult(0).Problem, unzip::TEntryProblem::TooShort);
    EXPECT_EQ(Zip.EntryResult(1).Problem, unzip::TEntryProblem::TooLong);
    EXPECT_EQ(Zip.EntryResult(2).Problem, unzip::TEntryProblem::TooShort);
    EXPECT_TRUE(Tree(Dest).empty());
  }
}

// ---- Sizes of 2 GiB to 4 GiB ---------------------------------------------------------------------

constexpr uint64_t kThreeGiB = 3ull << 30;

TEST_F(ExtractTest, EntriesBetweenTwoAndFourGiBCountAsTheirTrueSize) {
  testzip::ZipWriter zip;
  auto& e = zip.Add("huge.bin", "");
  e.ZeroFill = kThreeGiB;
  e.Crc = 0x12345678;  // not extracted here: no need to compute it
  zip.Add("small.bin", "abc");
  Use(zip);
  int64_t bytes = 0;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t, int64_t b, bool& stop) {
    bytes = b;
    stop = true;
  };
  EXPECT_EQ(Zip.ExtractFiles(), 2);
  EXPECT_EQ(bytes, static_cast<int64_t>(kThreeGiB + 3));
}

TEST_F(ExtractTest, AShortArchiveUnderABigEntryIsAnErrorNotAnEmptySuccess) {
  testzip::ZipWriter zip;
  auto& e = zip.Add("huge.bin", Noise(1000, 1));
  // Claims 2.5 GiB; as a signed 32-bit size this is negative and would read nothing.
  e.CompressedSize = 0xA0000000u;
  e.UncompressedSize = 0xA0000000u;
  int badCrc = 0;
  Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++badCrc; };
  EXPECT_THROW(Extract(zip), unzip::EFatalUnzipError);
  EXPECT_EQ(badCrc, 0);
  EXPECT_TRUE(Tree(Dest).empty());
}

TEST_F(ExtractTest, AStoredEntryOfMoreThanTwoGiBExtractsWhole) {
  // Sparse archive, output on the memory file system when there is one.
  std::optional<testzip::TempDir> shm;
  if (::access("/dev/shm", W_OK) == 0) {
    shm.emplace("/dev/shm");
    Dest = shm->Path() + "/out";
  }
  const uint64_t size = (2ull << 30) + 12345;
  testzip::ZipWriter zip;
  auto& e = zip.Add("big.bin", "head");
  e.ZeroFill = size - 4;
  Use(zip);
  int64_t reported = 0;
  int lastTotal = -1;
  Zip.OnStartUnZipInfo = [&](unzip::TSender, int32_t, int64_t b, bool&) { reported = b; };
  Zip.OnTotalPercentDone = [&](unzip::TSender, int32_t p) { lastTotal = p; };
  EXPECT_EQ(Zip.ExtractFiles(), 1);  // CRC matched
  EXPECT_EQ(reported, static_cast<int64_t>(size));
  EXPECT_EQ(lastTotal, 100);
  struct stat st;
  ASSERT_EQ(::stat(Out("big.bin").c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), size);
  ::unlink(Out("big.bin").c_str());
}

// ---- Attributes and links ------------------------------------------------------------------------

TEST_F(ExtractTest, ALinkAtTheOutputPathIsReplacedNeverWrittenThrough) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  const std::string target = Tmp.Path() + "/target.txt";
  testzip::WriteFile(target, "precious");
  ASSERT_EQ(::symlink(target.c_str(), Out("a.txt").c_str()), 0);
  ASSERT_EQ(::symlink((Tmp.Path() + "/nowhere").c_str(), Out("b.txt").c_str()), 0);
  ASSERT_EQ(::mkdir((Tmp.Path() + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((Tmp.Path() + "/elsewhere").c_str(), Out("c.txt").c_str()), 0);
  testzip::ZipWriter zip;
  zip.Add("a.txt", "from the archive");
  zip.Add("b.txt", "b");
  zip.Add("c.txt", "c");
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_EQ(Read("c.txt"), "c");  // a link to a directory is replaced like any other
  EXPECT_TRUE(Tree(Tmp.Path() + "/elsewhere").empty());
  EXPECT_EQ(testzip::ReadFile(target), "precious");
  EXPECT_TRUE(IsFile(Out("a.txt")));
  EXPECT_EQ(Read("a.txt"), "from the archive");
  EXPECT_TRUE(IsFile(Out("b.txt")));
  EXPECT_FALSE(Exists(Tmp.Path() + "/nowhere"));
}

TEST_F(ExtractTest, ALinkAtTheOutputPathCountsAsAnExistingFile) {
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  ASSERT_EQ(::symlink((Tmp.Path() + "/nowhere").c_str(), Out("b.txt").c_str()), 0);
  testzip::ZipWriter zip;
  zip.Add("b.txt", "b");
  Use(zip);
  Zip.OverwriteMode = TUZOverwriteMode::Never;
  EXPECT_EQ(Zip.ExtractFiles(), 0);
  struct stat st;
  ASSERT_EQ(::lstat(Out("b.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

std::string ReadLink(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? "(no link)" : std::string(buf, static_cast<size_t>(n));
}

TEST_F(ExtractTest, LinksAreMadeOnlyWhereTheyStayInsideAndNothingIsWrittenThroughOne) {
  testzip::ZipWriter zip;
  zip.Add("d/file.txt", "data");
  struct TLink {
    const char* Name;
    const char* Target;
    bool Made;
  } links[] = {
      {"d/ok", "file.txt", true},
      {"d/up", "../d/./file.txt", true},
      {"abs", "/etc/passwd", false},
      {"d/out", "../../x", false},
      {"climb", "d/../..", false},      // a ".." after a name: that name could be a link
      {"empty", "", false},
      {"sub", "d", true},
  };
  for (const TLink& l : links) {
    auto& e = zip.Add(l.Name, l.Target);
    e.VersionMadeBy = 3 << 8 | 30;
    e.ExternalAttributes = 0120777u << 16;
  }
  zip.Add("sub/through.txt", "never");  // the link just made stands in its way
  Use(zip);
  Zip.RecreateDirs = true;
  int unsafe = 0;
  Zip.OnSkippingFile = [&](unzip::TSender, unzip::TSkipReason r, int32_t) {
    unsafe += r == unzip::TSkipReason::SkipUnsafeLink;
  };
  try {
    Zip.ExtractFiles();
    ADD_FAILURE() << "written through a link";
  } catch (const platform::EFCreateError& e) {
    EXPECT_EQ(e.Message, "Cannot create file " + Dest + "\\sub\\through.txt (a symbolic link or a file "
                         "stands in its way)");
  }
  EXPECT_EQ(unsafe, 4);
  for (const TLink& l : links) EXPECT_EQ(ReadLink(Out(l.Name)), l.Made ? l.Target : "(no link)") << l.Name;
  EXPECT_EQ(Read("d/file.txt"), "data");
  EXPECT_FALSE(Exists(Out("d/through.txt")));
}

TEST_F(ExtractTest, ASymlinkedDirectoryStandingInTheDestinationIsNotWrittenThrough) {
  const std::string outside = Tmp.Path() + "/outside";
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(::symlink(outside.c_str(), Out("pre").c_str()), 0);
  testzip::ZipWriter zip;
  zip.AddDirectory("pre/deeper/");
  zip.Add("pre/deeper/f.txt", "f");
  Use(zip);
  Zip.RecreateDirs = true;
  EXPECT_THROW(Zip.ExtractFiles(), platform::EFCreateError);
  EXPECT_TRUE(Tree(outside).empty());
}

// The handles held on the way to the last output directory serve the next one; a directory
// removed meanwhile is walked to (and made) again, and a link put in its place is refused.
TEST_F(ExtractTest, OutputDirectoriesAreReachedFromTheWayHeldButNeverThroughALink) {
  namespace fs = std::filesystem;
  ASSERT_EQ(::mkdir(Dest.c_str(), 0755), 0);
  unzip::TOutputDirectory dirs;
  std::string deep = "a";
  for (int k = 0; k < 40; ++k) deep += "/d";  // deeper than the handles held
  for (const std::string& path : {std::string("a/b/c"), std::string("a/b/d"), deep, deep + "/e", std::string("a/x")})
    ASSERT_GE(dirs.Open(Dest, path), 0) << path;
  fs::remove_all(Out("a"));
  ASSERT_GE(dirs.Open(Dest, "a/x/y"), 0);
  EXPECT_TRUE(fs::is_directory(Out("a/x/y")));
  const std::string outside = Tmp.Path() + "/outside";
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  fs::remove_all(Out("a/x"));
  ASSERT_EQ(::symlink(outside.c_str(), Out("a/x").c_str()), 0);
  EXPECT_LT(dirs.Open(Dest, "a/x/z"), 0);
  EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errno;
  EXPECT_TRUE(Tree(outside).empty());
}

// An extended-timestamp field (0x5455) or an NTFS field (0x000a) in the central record.
std::string UnixTimeField(uint32_t seconds) {
  std::string f = {'\x55', '\x54', 5, 0, 1};
  for (int i = 0; i < 4; ++i) f += static_cast<char>(seconds >> (8 * i));
  return f;
}
std::string NtfsTimeField(uint64_t filetime) {
  std::string f = {'\x0a', 0, 32, 0, 0, 0, 0, 0, 1, 0, 24, 0};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 8; ++i) f += static_cast<char>(filetime >> (8 * i));
  return f;
}

TEST_F(ExtractTest, UtcTimesFromExtraFieldsAndDirectoryTimesAfterTheirContents) {
  testzip::ZipWriter zip;
  zip.AddDirectory("t/").CentralExtra = UnixTimeField(1000000000);
  zip.Add("t/unix.txt", "u").CentralExtra = UnixTimeField(987654321);
  // 2009-02-13 23:31:30.1234567 UTC in 100 ns steps since 1601; the NTFS field wins.
  zip.Add("t/ntfs.txt", "n").CentralExtra = UnixTimeField(5) + NtfsTimeField(128790414901234567ULL);
  Use(zip);
  Zip.RecreateDirs = true;
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  auto mtime = [&](const std::string& rel) {
    struct stat st;
    EXPECT_EQ(::lstat(Out(rel).c_str(), &st), 0) << rel;
    return std::pair<int64_t, long>(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  };
  EXPECT_EQ(mtime("t/unix.txt"), (std::pair<int64_t, long>(987654321, 0)));
  EXPECT_EQ(mtime("t/ntfs.txt"), (std::pair<int64_t, long>(1234567890, 123456700)));
  EXPECT_EQ(mtime("t"), (std::pair<int64_t, long>(1000000000, 0)));
}

TEST_F(ExtractTest, SetuidSetgidAndStickyBitsAreNeverGiven) {
  testzip::ZipWriter zip;
  for (uint32_t mode : {0104755u, 0102755u, 0101777u, 0107777u}) {
    auto& e = zip.Add("f" + std::to_string(mode), "x");
    e.VersionMadeBy = 3 << 8 | 30;
    e.ExternalAttributes = mode << 16;
  }
  EXPECT_EQ(Extract(zip), 4);
  for (uint32_t mode : {0104755u, 0102755u, 0101777u, 0107777u}) {
    struct stat st;
    ASSERT_EQ(::stat(Out("f" + std::to_string(mode)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode & 0777) << std::oct << mode;
  }
}

// ---- New files are made in place --------------------------------------------------------------

// Sets the process's umask for the scope.
class ScopedUmask {
public:
  explicit ScopedUmask(mode_t mask) : Old(::umask(mask)) {}
  ~ScopedUmask() { ::umask(Old); }

private:
  mode_t Old;
};

TEST_F(ExtractTest, NewFilesGetTheirModeExactlyAndAreNeverWiderWhileWritten) {
  ScopedUmask mask(027);
  testzip::ZipWriter zip;
  zip.Add("plain.txt", Noise(40000, 1));  // MS-DOS entry: 0666 less the umask
  const uint32_t modes[] = {0600u, 0755u, 0777u, 0444u};
  for (uint32_t mode : modes) {
    auto& e = zip.Add("m" + std::to_string(mode), Noise(40000, mode));
    e.VersionMadeBy = 3 << 8 | 30;
    e.ExternalAttributes = (0100000u | mode) << 16;
  }
  Use(zip);
  // While an entry is written, whatever stands at its path grants nothing the entry does not.
  std::vector<std::string> wider;
  Zip.OnFilePercentDone = [&](unzip::TSender, int32_t) {
    for (uint32_t mode : modes) {
      struct stat st;
      if (::lstat(Out("m" + std::to_string(mode)).c_str(), &st) == 0 && (st.st_mode & 0777 & ~mode) != 0)
        wider.push_back(std::to_string(mode));
    }
  };
  EXPECT_EQ(Zip.ExtractFiles(), 5);
  EXPECT_TRUE(wider.empty()) << wider.front();
  struct stat st;
  ASSERT_EQ(::stat(Out("plain.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  for (uint32_t mode : modes) {
    ASSERT_EQ(::stat(Out("m" + std::to_string(mode)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST_F(ExtractTest, AFileThatTakesTheNameOfAFailingNewEntryIsNotRemoved) {
  // Another program moves its file onto the name while the entry is being written; the
  // entry then fails its CRC. Only the entry's own file may go.
  testzip::ZipWriter zip;
  zip.Add("a.txt", "new data").Crc = 0x12345678;
  Use(zip);
  const std::string theirs = Tmp.Path() + "/theirs.txt";
  testzip::WriteFile(theirs, "theirs");
  Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) {
    ASSERT_EQ(::rename(theirs.c_str(), Out("a.txt").c_str()), 0);
  };
  EXPECT_EQ(Zip.ExtractFiles(), 0);
  EXPECT_EQ(Read("a.txt"), "theirs");
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"a.txt"}));
}

TEST_F(ExtractTest, ADirectoryMadeAgainDuringTheRunGetsTheRestOfItsFiles) {
  testzip::ZipWriter zip;
  zip.Add("d/a.txt", "a");
  zip.Add("d/b.txt", "b");
  zip.Add("d/c.txt", "c");
  Use(zip);
  Zip.RecreateDirs = true;
  Zip.OnEndUnZip = [&](unzip::TSender, int32_t i, const std::string&) {
    if (i != 0) return;
    ASSERT_EQ(::unlink(Out("d/a.txt").c_str()), 0);
    ASSERT_EQ(::rmdir(Out("d").c_str()), 0);
    ASSERT_EQ(::mkdir(Out("d").c_str(), 0755), 0);
  };
  EXPECT_EQ(Zip.ExtractFiles(), 3);
  EXPECT_EQ(Tree(Dest), (std::vector<std::string>{"d", "d/b.txt", "d/c.txt"}));
  EXPECT_EQ(Read("d/c.txt"), "c");
}

}  // namespace
