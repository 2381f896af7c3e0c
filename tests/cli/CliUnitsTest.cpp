// The parts of unzipper that need no archive: command line, exit codes, disk names, listing
// layout, progress bar, terminal answers and entry selection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DiskNames.h"
#include "ExitCodes.h"
#include "Listing.h"
#include "Options.h"
#include "Progress.h"
#include "Selection.h"
#include "Shares.h"
#include "Terminal.h"

namespace cli {
namespace {

TOptions Parsed(std::vector<std::string> args) {
  TParseResult r = ParseOptions(args);
  EXPECT_TRUE(r.Ok) << r.Error;
  return r.Options;
}

std::string ParseError(std::vector<std::string> args) {
  TParseResult r = ParseOptions(args);
  EXPECT_FALSE(r.Ok);
  return r.Error;
}

// ---- Command line -----------------------------------------------------------------------------

TEST(CliOptions, BundledLettersAndRepeatedQuiet) {
  TOptions o = Parsed({"-oqq", "a.zip"});
  EXPECT_EQ(o.Overwrite, TOverwrite::Always);
  EXPECT_EQ(o.Quiet, 2);
  EXPECT_EQ(o.Archive, "a.zip");
  EXPECT_EQ(o.Command, TCommand::Extract);

  o = Parsed({"-q", "-jn", "-q", "-q", "a.zip"});
  EXPECT_EQ(o.Quiet, 3);
  EXPECT_TRUE(o.JunkPaths);
  EXPECT_EQ(o.Overwrite, TOverwrite::Never);
}

TEST(CliOptions, ValuesTakeTheRestOfTheirArgumentOrTheNextOne) {
  TOptions o = Parsed({"-dout", "-Psecret", "a.zip"});
  EXPECT_EQ(o.DestDir, "out");
  EXPECT_TRUE(o.HasPassword);
  EXPECT_EQ(o.Password, "secret");

  // A bundle ends at -d: "-qd out" is quiet plus the directory "out".
  o = Parsed({"-qd", "out", "-P", "-x", "a.zip"});
  EXPECT_EQ(o.Quiet, 1);
  EXPECT_EQ(o.DestDir, "out");
  EXPECT_EQ(o.Password, "-x") << "a password may start with a dash";
  EXPECT_TRUE(o.Excludes.empty());

  o = Parsed({"-P", "", "a.zip"});
  EXPECT_TRUE(o.HasPassword) << "an empty password is still a password given";

  o = Parsed({"-CuO", "CP866", "a.zip"});
  EXPECT_TRUE(o.IgnoreCase && o.Update && !o.Freshen);
  EXPECT_EQ(o.Charset, "CP866");

  EXPECT_EQ(Parsed({"--jobs", "3", "a.zip"}).Jobs, 3);
  EXPECT_EQ(Parsed({"a.zip", "--jobs=12"}).Jobs, 12);
  EXPECT_EQ(Parsed({"a.zip"}).Jobs, 0) << "one per core";
}

TEST(CliOptions, MasksExclusionsAndOptionsAfterTheArchive) {
  TOptions o = Parsed({"a.zip", "*.txt", "doc/*", "-x", "*.bak", "tmp/*", "-d", "out"});
  EXPECT_EQ(o.Archive, "a.zip");
  EXPECT_EQ(o.Includes, (std::vector<std::string>{"*.txt", "doc/*"}));
  EXPECT_EQ(o.Excludes, (std::vector<std::string>{"*.bak", "tmp/*"}));
  EXPECT_EQ(o.DestDir, "out");

  // After "--" even dashed words are names; a lone "-" is always one.
  o = Parsed({"-l", "--", "-weird.zip", "-o"});
  EXPECT_EQ(o.Archive, "-weird.zip");
  EXPECT_EQ(o.Includes, std::vector<std::string>{"-o"});
  EXPECT_EQ(o.Overwrite, TOverwrite::Ask);
  o = Parsed({"a.zip", "-"});
  EXPECT_EQ(o.Includes, std::vector<std::string>{"-"});
}

TEST(CliOptions, CommandsHelpAndVersion) {
  EXPECT_EQ(Parsed({"-l", "a.zip"}).Command, TCommand::List);
  EXPECT_EQ(Parsed({"-v", "a.zip"}).Command, TCommand::Verbose);
  EXPECT_EQ(Parsed({"-t", "a.zip"}).Command, TCommand::Test);
  EXPECT_EQ(Parsed({"-p", "a.zip"}).Command, TCommand::Pipe);
  EXPECT_EQ(Parsed({"-ll", "a.zip"}).Command, TCommand::List) << "the same command twice is fine";
  EXPECT_EQ(Parsed({"-Z1", "a.zip"}).Command, TCommand::Names);
  EXPECT_EQ(Parsed({}).Command, TCommand::Help);
  EXPECT_EQ(Parsed({"-h"}).Command, TCommand::Help);
  EXPECT_EQ(Parsed({"-l", "a.zip", "--help"}).Command, TCommand::Help);
  EXPECT_EQ(Parsed({"--version"}).Command, TCommand::Version);
}

TEST(CliOptions, MistakesAreNamed) {
  EXPECT_EQ(ParseError({"-y", "a.zip"}), "unknown option -y");
  EXPECT_EQ(ParseError({"--verbose", "a.zip"}), "unknown option --verbose");
  EXPECT_EQ(ParseError({"a.zip", "-d"}), "option -d needs a directory");
  EXPECT_EQ(ParseError({"-d", "", "a.zip"}), "option -d needs a directory");
  EXPECT_EQ(ParseError({"a.zip", "-P"}), "option -P needs a password");
  EXPECT_EQ(ParseError({"-l", "-t", "a.zip"}), "options -l and -t cannot be used together");
  EXPECT_EQ(ParseError({"-pv", "a.zip"}), "options -p and -v cannot be used together");
  EXPECT_EQ(ParseError({"-on", "a.zip"}), "options -o and -n cannot be used together");
  EXPECT_EQ(ParseError({"-q"}), "no archive named");
  for (const char* jobs : {"--jobs=0", "--jobs=", "--jobs=2x", "--jobs=99999999999", "--jobs"})
    EXPECT_EQ(ParseError({"a.zip", jobs}), "option --jobs needs a number from 1 to 1024") << jobs;
  EXPECT_EQ(ParseError({"-uf", "a.zip"}), "options -u and -f cannot be used together");
  EXPECT_EQ(ParseError({"-Z", "a.zip"}), "of the -Z listings only -Z1 is supported");
  EXPECT_EQ(ParseError({"-Z1", "-l", "a.zip"}), "options -Z1 and -l cannot be used together");
}

TEST(CliOptions, UsageNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* opt : {"-l", "-v", "-t", "-p", "-d DIR", "-j", "-o", "-n", "-P PASSWORD", "-q",
                          "-x MASK", "--help", "--version", "-Z1", "-C", "-u", "-f", "-O CHARSET"})
    EXPECT_NE(usage.find(opt), std::string::npos) << opt;
}

// ---- Exit codes -------------------------------------------------------------------------------

TEST(CliExitCodes, GravestClassWins) {
  struct Row {
    TOutcome Outcome;
    int Code;
  };
  auto with = [](auto set) {
    TOutcome o;
    set(o);
    return o;
  };
  const Row rows[] = {
      {with([](TOutcome& o) { o.Done = 3; }), kExitOk},
      {with([](TOutcome&) {}), kExitOk},
      {with([](TOutcome& o) { o.Done = 1; o.NotReplaced = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.Done = 1; o.UnsafeLinks = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.Done = 1; o.BadPassword = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.BadPassword = 2; }), kExitBadPassword},
      {with([](TOutcome& o) { o.DirectoriesMade = 1; o.BadPassword = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.BadPassword = 1; o.NotReplaced = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.Done = 1; o.NotCreated = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.Done = 1; o.Rewritten = 1; }), kExitWarning},
      {with([](TOutcome& o) { o.Done = 4; o.UnmatchedMasks = 1; }), kExitNoMatch},
      {with([](TOutcome& o) { o.NothingSelected = true; }), kExitNoMatch},
      {with([](TOutcome& o) { o.Unsupported = 1; o.BadPassword = 1; }), kExitUnsupported},
      {with([](TOutcome& o) { o.Damaged = 1; o.Unsupported = 1; o.UnmatchedMasks = 2; }), kExitBadArchive},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(ExitCodeFor(rows[i].Outcome), rows[i].Code) << "row " << i;
}

// ---- Disk names -------------------------------------------------------------------------------

TEST(CliDiskNames, EarlierDisksBesideTheLast) {
  EXPECT_EQ(DiskNameCandidates("/d/set.zip", 1, 3), (std::vector<std::string>{"/d/set.z01", "/d/set.Z01"}));
  EXPECT_EQ(DiskNameCandidates("/d/set.zip", 2, 3), (std::vector<std::string>{"/d/set.z02", "/d/set.Z02"}));
  EXPECT_EQ(DiskNameCandidates("/d/set.zip", 3, 3), std::vector<std::string>{"/d/set.zip"});
  EXPECT_EQ(DiskNameCandidates("/d/SET.ZIP", 7, 9), (std::vector<std::string>{"/d/SET.Z07", "/d/SET.z07"}));
  EXPECT_EQ(DiskNameCandidates("/d/set.zip", 123, 200), (std::vector<std::string>{"/d/set.z123", "/d/set.Z123"}));
  EXPECT_EQ(DiskNameCandidates("/d/backup", 1, 2), (std::vector<std::string>{"/d/backup.z01", "/d/backup.Z01"}));
  EXPECT_EQ(DiskNameCandidates("/d.zip/x.zipx", 1, 2), (std::vector<std::string>{"/d.zip/x.zipx.z01", "/d.zip/x.zipx.Z01"}));
}

// ---- Listing ----------------------------------------------------------------------------------

TEST(CliListing, MethodNames) {
  EXPECT_EQ(MethodName(0, 0), "Stored");
  EXPECT_EQ(MethodName(1, 0), "Shrunk");
  EXPECT_EQ(MethodName(2, 0), "Reduce1");
  EXPECT_EQ(MethodName(5, 0), "Reduce4");
  EXPECT_EQ(MethodName(6, 0), "Implode");
  EXPECT_EQ(MethodName(8, 0), "Defl:N");
  EXPECT_EQ(MethodName(8, 2), "Defl:X");
  EXPECT_EQ(MethodName(8, 4 | 1), "Defl:F");
  EXPECT_EQ(MethodName(8, 6), "Defl:S");
  EXPECT_EQ(MethodName(12, 0), "BZip2");
  EXPECT_EQ(MethodName(77, 0), "Unk:077");
}

TEST(CliListing, DatesAttributesAndSavings) {
  // 2020-06-15 12:30:44 packed as the headers store it.
  const uint32_t dt = ((40u << 9 | 6u << 5 | 15u) << 16) | (12u << 11 | 30u << 5 | 22u);
  EXPECT_EQ(FormatDosDateTime(dt), "2020-06-15 12:30");
  EXPECT_EQ(FormatDosDateTime(0), "1980-00-00 00:00") << "an invalid date is shown as stored";

  EXPECT_EQ(FormatAttributes(3 << 8 | 30, 0100644u << 16), "-rw-r--r--");
  EXPECT_EQ(FormatAttributes(3 << 8 | 30, 040755u << 16 | 0x10), "drwxr-xr-x");
  EXPECT_EQ(FormatAttributes(3 << 8 | 30, 0120777u << 16), "lrwxrwxrwx");
  EXPECT_EQ(FormatAttributes(3 << 8 | 30, 0104755u << 16), "-rwsr-xr-x");
  EXPECT_EQ(FormatAttributes(20, 0x21), "dos -r--a") << "MS-DOS entry: read-only and archive";
  EXPECT_EQ(FormatAttributes(3 << 8 | 30, 0x10), "dos d----") << "Unix entry without a mode";

  // Rows checked against unzip -v on entries with these sizes.
  EXPECT_EQ(SavedPercentText(0, 0), "0%");
  EXPECT_EQ(SavedPercentText(0, 2), "0%");
  EXPECT_EQ(SavedPercentText(100, 100), "0%");
  EXPECT_EQ(SavedPercentText(1000, 370), "63%");
  EXPECT_EQ(SavedPercentText(200, 1), "100%") << "99.5 rounds up";
  EXPECT_EQ(SavedPercentText(100, 112), "-12%");
  EXPECT_EQ(SavedPercentText(int64_t{4000000000}, int64_t{1000000000}), "75%") << "sizes past 32 bits";
  EXPECT_EQ(SavedPercentText(2000, 1911), "5%") << "4.45% rounds to tenths first: 4.5%, then 5%";
  EXPECT_EQ(SavedPercentText(1000, 1004), "-0%") << "a loss that rounds to nothing keeps its sign";
  EXPECT_EQ(SavedPercentText(1000000, 1000001), "0%") << "unless it is gone at the tenths";
  EXPECT_EQ(SavedPercentText(7, 14), "100%") << "a loss of exactly 100% is shown without its sign";
  EXPECT_EQ(SavedPercentText(1000, 2005), "-101%");
}

TEST(CliListing, ShortAndVerboseLinesAndTotalsAreUnzipsColumns) {
  // The expected text is what unzip -l and unzip -v print for the same two entries.
  TListEntry a;
  a.Name = "dir/readme.txt";
  a.Size = 1234;
  a.Packed = 617;
  a.Method = 8;
  a.Crc = 0x0d4a1185;
  a.DosDateTime = ((40u << 9 | 6u << 5 | 15u) << 16) | (12u << 11 | 30u << 5);
  a.Comment = "its comment";
  TListEntry b = a;
  b.Name = "b";
  b.Size = b.Packed = 4000000000;
  b.Method = 0;
  b.Comment.clear();

  TListWriter l(false);
  std::string text = l.Header() + l.Line(a);
  text += l.Line(b);
  EXPECT_EQ(text + l.Footer(),
            "  Length      Date    Time    Name\n"
            "---------  ---------- -----   ----\n"
            "     1234  2020-06-15 12:30   dir/readme.txt\n"
            "its comment\n"
            "4000000000  2020-06-15 12:30   b\n"
            "---------                     -------\n"
            "4000001234                     2 files\n");
  TListWriter v(true);
  text = v.Header() + v.Line(a);
  EXPECT_EQ(text + v.Footer(),
            " Length   Method    Size  Cmpr    Date    Time   CRC-32   Name\n"
            "--------  ------  ------- ---- ---------- ----- --------  ----\n"
            "    1234  Defl:N      617  50% 2020-06-15 12:30 0d4a1185  dir/readme.txt\n"
            "its comment\n"
            "--------          -------  ---                            -------\n"
            "    1234              617  50%                            1 file\n");
}

// ---- Progress ---------------------------------------------------------------------------------

TEST(CliProgress, LineSaysPercentBytesAndRate) {
  EXPECT_EQ(FormatBytes(97), "97 B");
  EXPECT_EQ(FormatBytes(2048), "2 KiB");
  EXPECT_EQ(FormatBytes(114360320), "109.1 MiB");
  EXPECT_EQ(FormatBytes(int64_t{5} << 30), "5.0 GiB");
  EXPECT_EQ(FormatProgressLine(50, 50 << 20, 100 << 20, 2.0, 10),
            " 50% [#####     ]  50.0 MiB / 100.0 MiB  25.0 MiB/s");
  EXPECT_EQ(FormatProgressLine(150, 1, 1, 0.0, 4), "100% [####]  1 B / 1 B") << "clamped; no rate at 0 s";
}

TEST(CliProgress, SilentForTheFirstSecondThenPaced) {
  TProgressPacer p;
  EXPECT_FALSE(p.ShouldDraw(0.0, 10));
  EXPECT_FALSE(p.ShouldDraw(0.99, 90));
  EXPECT_FALSE(p.Drawn());
  EXPECT_TRUE(p.ShouldDraw(1.0, 91));
  EXPECT_FALSE(p.ShouldDraw(1.05, 92)) << "within a tenth of a second";
  EXPECT_FALSE(p.ShouldDraw(1.5, 91)) << "nothing changed";
  EXPECT_TRUE(p.ShouldDraw(1.5, 93));
  EXPECT_TRUE(p.Drawn());
}

// ---- Terminal answers ---------------------------------------------------------------------------

TEST(CliTerminal, OverwriteAnswers) {
  EXPECT_EQ(ParseOverwriteAnswer("y"), TOverwriteAnswer::Yes);
  EXPECT_EQ(ParseOverwriteAnswer(" YES \r"), TOverwriteAnswer::Yes);
  EXPECT_EQ(ParseOverwriteAnswer("n"), TOverwriteAnswer::No);
  EXPECT_EQ(ParseOverwriteAnswer("No"), TOverwriteAnswer::No);
  EXPECT_EQ(ParseOverwriteAnswer("N"), TOverwriteAnswer::None) << "the capital is none, as in unzip";
  EXPECT_EQ(ParseOverwriteAnswer("none"), TOverwriteAnswer::None);
  EXPECT_EQ(ParseOverwriteAnswer("A"), TOverwriteAnswer::All);
  EXPECT_EQ(ParseOverwriteAnswer("all"), TOverwriteAnswer::All);
  EXPECT_EQ(ParseOverwriteAnswer(""), TOverwriteAnswer::Invalid);
  EXPECT_EQ(ParseOverwriteAnswer("r"), TOverwriteAnswer::Invalid);
  EXPECT_EQ(ParseOverwriteAnswer("yess"), TOverwriteAnswer::Invalid);
}

TEST(CliTerminal, EverySignalThatFollowsOnlySetsTheFlag) {
  // In a child, so the test program keeps its own handlers: the second Ctrl-C must not end
  // the program while its run is still cleaning up.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    InstallInterruptHandlers();
    for (int sig : {SIGINT, SIGINT, SIGTERM, SIGINT}) ::raise(sig);
    ::_exit(Interrupted() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// ---- Selection --------------------------------------------------------------------------------

struct Names {
  std::vector<std::pair<std::string, std::string>> List;
  TEntryNames Get() const {
    return [this](int32_t i) -> std::pair<const std::string&, const std::string&> {
      return {List[i].first, List[i].second};
    };
  }
  int32_t Count() const { return static_cast<int32_t>(List.size()); }
};

TEST(CliSelection, MasksFollowTheComponentsRules) {
  const Names n{{{"", "top.txt"}, {"doc\\", "top.txt"}, {"doc\\", "a.c"}, {"doc\\", ""}, {"Src\\", "B.TXT"}}};

  // No "/": the file name alone, in any directory, letter case ignored with -C.
  TSelection s = SelectEntries(n.Count(), n.Get(), {"*.txt"}, {}, true);
  EXPECT_EQ(s.Included, (std::vector<bool>{true, true, false, false, true}));
  EXPECT_EQ(s.Count, 3);
  // Without -C letter case counts, on both sides.
  s = SelectEntries(n.Count(), n.Get(), {"*.txt", "SRC/*"}, {"DOC/*"}, false);
  EXPECT_EQ(s.Included, (std::vector<bool>{true, true, false, false, false}));
  EXPECT_EQ(s.Count, 2);
  EXPECT_EQ(s.UnmatchedMasks, std::vector<std::string>{"SRC/*"});

  // With "/": directory and name, so a root-level name is told apart.
  s = SelectEntries(n.Count(), n.Get(), {"doc/*"}, {}, true);
  EXPECT_EQ(s.Included, (std::vector<bool>{false, true, true, true, false}));

  s = SelectEntries(n.Count(), n.Get(), {}, {}, false);
  EXPECT_EQ(s.Count, 5);
  EXPECT_TRUE(s.UnmatchedMasks.empty());
}

TEST(CliSelection, ExclusionsAndUnmatchedMasks) {
  const Names n{{{"", "a.txt"}, {"tmp\\", "b.txt"}, {"", "c.bak"}}};
  TSelection s = SelectEntries(n.Count(), n.Get(), {}, {"*.bak", "tmp/*"}, true);
  EXPECT_EQ(s.Included, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(s.Excluded, (std::vector<bool>{false, true, true}));
  EXPECT_EQ(s.Count, 1);

  // A mask counts as matched even when an earlier mask already took the same entries.
  s = SelectEntries(n.Count(), n.Get(), {"*.txt", "a.*", "zzz", "[b]*"}, {"*"}, true);
  EXPECT_EQ(s.UnmatchedMasks, std::vector<std::string>{"zzz"});
  EXPECT_EQ(s.Count, 0);
}


TEST(CliShares, EntriesMeetingAtOnePathStayWithTheFirstWorkerOfThem) {
  Names n;
  for (int k = 0; k < 12; ++k) n.List.push_back({"d\\", "f" + std::to_string(k)});
  n.List[1] = {"", "same.txt"};
  n.List[2] = {"", "x"};
  n.List[3] = {"up\\", ""};
  n.List[9] = {"", "SAME.TXT"};     // letter case aside, the same path
  n.List[10] = {"x\\y\\", "z"};     // needs a directory where entry 2 is a file
  n.List[11] = {"..\\up\\", "w"};   // written as up/w: under entry 3, which is a directory
  const auto packed = [](int32_t) { return int64_t{1000}; };
  const auto paths = [&n](int32_t i) {
    return std::pair<std::string_view, std::string_view>(n.List[i].first, n.List[i].second);
  };
  const auto all = [&n](const TShares& s) {
    std::vector<uint8_t> v;
    for (int32_t i = 0; i < n.Count(); ++i) v.push_back(s(i));
    return v;
  };
  std::vector<bool> excluded(12, false);
  EXPECT_EQ(all(ShareOut(n.Count(), paths, packed, excluded, 3, false)),
            (std::vector<uint8_t>{0, 0, 0, 0, 1, 1, 1, 1, 2, 0, 0, 2}));
  EXPECT_EQ(all(ShareOutByWork(n.Count(), packed, excluded, 3)),
            (std::vector<uint8_t>{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}));
  // Sizes as large as an archive may claim: no sum overflows.
  EXPECT_EQ(all(ShareOutByWork(n.Count(), [](int32_t) { return INT64_MAX / 2; }, excluded, 2)),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1}));
  // With -j only the file names meet; an excluded entry takes no share.
  excluded[0] = true;
  EXPECT_EQ(all(ShareOut(n.Count(), paths, packed, excluded, 2, true)),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 1}));
}

}  // namespace
}  // namespace cli
