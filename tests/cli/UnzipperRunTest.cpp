// unzipper as people run it: the built program as a child process on small archives made here,
// its output, the files it leaves and its exit codes. Standard input is /dev/null (no terminal)
// unless a test runs it on a pseudo-terminal to answer its questions.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ChildProcess.h"
#include "ZipWriter.h"

namespace {

namespace fs = std::filesystem;
using clitest::RunProgram;
using clitest::TPtySession;
using clitest::TResult;
using testzip::ZipWriter;

const std::string kUnzipper = QUORBIN_UNZIPPER_PATH;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::string Text(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i) + " of a text that packs well\n";
  return s;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Every file under `dir`, as relative names.
std::vector<std::string> Tree(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    out.push_back(fs::relative(e.path(), dir).string() + (e.is_directory() ? "/" : ""));
  std::sort(out.begin(), out.end());
  return out;
}

class UnzipperCli : public ::testing::Test {
protected:
  testzip::TempDir Dir;
  const std::string Guide = Text(200);
  const std::string Data = RandomBytes(100000, 7);

  std::string P(const std::string& name) const { return Dir.Path() + "/" + name; }

  TResult U(std::vector<std::string> args) { return RunProgram(kUnzipper, args, Dir.Path()); }

  // readme.txt (stored), doc/ (directory), doc/guide.txt and doc/notes.bak (deflated),
  // bin/data.bin (deflated random bytes, so stored-size data).
  void MakeSmall(const std::string& name = "small.zip") {
    ZipWriter z;
    z.Add("readme.txt", "hello\n");
    z.AddDirectory("doc/");
    z.AddDeflated("doc/guide.txt", Guide);
    z.AddDeflated("doc/notes.bak", "old notes\n");
    z.AddDeflated("bin/data.bin", Data);
    z.WriteTo(P(name));
  }
};

// ---- Listing ------------------------------------------------------------------------------------

TEST_F(UnzipperCli, ListingsAreUnzipsColumnsByteForByte) {
  MakeSmall();
  ZipWriter z;
  auto& tool = z.Add("tool.sh", "#!/bin/sh\n");
  tool.Comment = "runs the tool";
  auto& secret = z.Add("secret.txt", "classified\n");
  secret.Password = "pw";
  z.ArchiveComment = "the archive's own comment";
  // An extended-timestamp field (2021-01-14 08:25 UTC) far from the DOS time: the listings show
  // its time, in local time, as unzip's do, not the DOS one.
  z.Add("stamped.txt", "x").CentralExtra = std::string("UT\x05\x00\x01\x00\x00\x00\x60", 9);
  z.WriteTo(P("v.zip"));

  TResult r = U({"-l", "small.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_NE(r.Out.find("Archive:  small.zip\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("\n        6  2020-06-15 12:30   readme.txt\n"), std::string::npos) << r.Out;
  const int64_t total = 6 + static_cast<int64_t>(Guide.size()) + 10 + 100000;
  EXPECT_NE(r.Out.find("   " + std::to_string(total) + "                     5 files\n"), std::string::npos) << r.Out;
  r = U({"-v", "v.zip"});
  EXPECT_NE(r.Out.find("Archive:  v.zip\nthe archive's own comment\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  tool.sh\nruns the tool\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" 2021-01-1"), std::string::npos) << r.Out;
  EXPECT_EQ(U({"-Z1", "small.zip"}).Out, "readme.txt\ndoc/\ndoc/guide.txt\ndoc/notes.bak\nbin/data.bin\n");
  EXPECT_EQ(Tree(Dir.Path()), (std::vector<std::string>{"small.zip", "v.zip"})) << "listing writes nothing";

  if (::access("/usr/bin/unzip", X_OK) != 0) GTEST_SKIP() << "Info-ZIP unzip is not installed";
  for (const char* archive : {"small.zip", "v.zip"})
    for (const char* mode : {"-l", "-v", "-Z1", "-qql", "-qv"}) {
      const TResult peer = RunProgram("/usr/bin/unzip", {mode, archive}, Dir.Path());
      EXPECT_EQ(U({mode, archive}).Out, peer.Out) << mode << " " << archive;
    }
}

TEST_F(UnzipperCli, ADamagedEntryNeverStopsTheListingOrTheOthers) {
  ZipWriter z;
  z.Add("first.txt", "first\n");
  auto& bad = z.Add("bad.txt", "payload\n");
  bad.Crc = 0x12345678;
  auto& lost = z.Add("lost.txt", "lost\n");
  lost.LocalHeaderOffset = 0x7FFFFF00;  // the central record points far past the end
  z.Add("last.txt", "last\n");
  z.WriteTo(P("d.zip"));

  TResult r = U({"-l", "d.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  for (const char* name : {"first.txt", "bad.txt", "lost.txt", "last.txt"})
    EXPECT_NE(r.Out.find(name), std::string::npos) << name;

  r = U({"-t", "d.zip"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Out.find("testing: first.txt  OK"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("testing: bad.txt  bad CRC"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("(should be 12345678)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Err.find("lost.txt"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("testing: last.txt  OK"), std::string::npos) << r.Out;

  r = U({"-o", "d.zip"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(testzip::ReadFile(P("first.txt")), "first\n");
  EXPECT_EQ(testzip::ReadFile(P("last.txt")), "last\n");
  EXPECT_FALSE(Exists(P("bad.txt"))) << "a file with a bad CRC is not left behind";
  EXPECT_FALSE(Exists(P("lost.txt")));
}

// ---- Extraction -----------------------------------------------------------------------------------

TEST_F(UnzipperCli, ExtractsIntoDirectoriesOrFlatOrUnderDestination) {
  MakeSmall();
  TResult r = U({"small.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Tree(Dir.Path()), (std::vector<std::string>{"bin/", "bin/data.bin", "doc/", "doc/guide.txt",
                                                        "doc/notes.bak", "readme.txt", "small.zip"}));
  EXPECT_EQ(testzip::ReadFile(P("doc/guide.txt")), Guide);
  EXPECT_EQ(testzip::ReadFile(P("bin/data.bin")), Data);
  EXPECT_NE(r.Out.find(" extracting: readme.txt\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  inflating: doc/guide.txt\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("   creating: doc/\n"), std::string::npos) << r.Out;

  r = U({"-j", "-d", "flat", "small.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Tree(P("flat")), (std::vector<std::string>{"data.bin", "guide.txt", "notes.bak", "readme.txt"}));

  fs::create_directory(P("sub"));
  r = RunProgram(kUnzipper, {"-d", "../deep/er", "../small.zip"}, P("sub"));
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("deep/er/doc/guide.txt")), Guide) << "a relative -d is taken from the current directory";
}

TEST_F(UnzipperCli, OverwriteAlwaysNeverOrNotWithoutATerminal) {
  MakeSmall();
  testzip::WriteFile(P("readme.txt"), "mine\n");

  TResult r = U({"-n", "small.zip"});
  EXPECT_EQ(r.Code, 0) << "keeping files under -n is what was asked for: " << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "mine\n");
  EXPECT_EQ(testzip::ReadFile(P("doc/guide.txt")), Guide) << "missing files are still extracted";

  r = U({"small.zip", "readme.txt"});
  EXPECT_EQ(r.Code, 1) << "nobody to ask: the file is kept and that is a warning";
  EXPECT_NE(r.Err.find("readme.txt"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("no terminal"), std::string::npos) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "mine\n");

  r = U({"-o", "small.zip", "readme.txt"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "hello\n");
}

TEST_F(UnzipperCli, FreshenAndUpdateReplaceOnlyOlderFiles) {
  MakeSmall();  // every entry dated 2020-06-15 12:30:44
  fs::create_directory(P("doc"));
  testzip::WriteFile(P("readme.txt"), "older\n");
  testzip::WriteFile(P("doc/notes.bak"), "newer\n");
  const timeval in2019[2] = {{1546300800, 0}, {1546300800, 0}};
  ASSERT_EQ(::utimes(P("readme.txt").c_str(), in2019), 0);

  TResult r = U({"-fo", "small.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "hello\n");
  EXPECT_EQ(testzip::ReadFile(P("doc/notes.bak")), "newer\n");
  EXPECT_EQ(Tree(Dir.Path()), (std::vector<std::string>{"doc/", "doc/notes.bak", "readme.txt", "small.zip"}))
      << "-f makes no new file or directory";

  r = U({"-u", "small.zip"});  // nobody to ask, and nothing to ask about
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(testzip::ReadFile(P("doc/notes.bak")), "newer\n");
  EXPECT_EQ(testzip::ReadFile(P("bin/data.bin")), Data);
  EXPECT_EQ(testzip::ReadFile(P("doc/guide.txt")), Guide);
}

TEST_F(UnzipperCli, NamesInALegacyCodePage) {
  ZipWriter z;
  z.Add("\x8F\xE0\xA8\xA2\xA5\xE2.txt", "hi\n");  // a Russian name in CP866, no UTF-8 flag
  z.WriteTo(P("ru.zip"));
  EXPECT_EQ(U({"-Z1", "-O", "CP866", "ru.zip"}).Out, "\u041f\u0440\u0438\u0432\u0435\u0442.txt\n");
  EXPECT_EQ(U({"-Z1", "ru.zip"}).Out, "\u00c5\u03b1\u00bf\u00f3\u00d1\u0393.txt\n") << "CP437 without -O";
  EXPECT_EQ(U({"-qO", "cp866", "ru.zip"}).Code, 0);
  EXPECT_EQ(testzip::ReadFile(P("\u041f\u0440\u0438\u0432\u0435\u0442.txt")), "hi\n");
  EXPECT_EQ(U({"-O", "NO-SUCH-CHARSET", "ru.zip"}).Code, 10);
}

TEST_F(UnzipperCli, TestChecksEveryEntryAndWritesNothing) {
  MakeSmall();
  TResult r = U({"-t", "small.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  for (const char* name : {"readme.txt", "doc/guide.txt", "doc/notes.bak", "bin/data.bin"})
    EXPECT_NE(r.Out.find(std::string("testing: ") + name + "  OK\n"), std::string::npos) << name;
  EXPECT_NE(r.Out.find("No errors detected in small.zip (4 entries tested).\n"), std::string::npos) << r.Out;
  EXPECT_EQ(Tree(Dir.Path()), std::vector<std::string>{"small.zip"});

  r = U({"-tq", "small.zip"});
  EXPECT_EQ(r.Out, "No errors detected in small.zip (4 entries tested).\n");
  r = U({"-tqq", "small.zip"});
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(r.Code, 0);
}

TEST_F(UnzipperCli, PipeWritesTheEntriesBytesAndNothingElse) {
  MakeSmall();
  TResult r = U({"-p", "small.zip", "bin/data.bin"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_TRUE(r.Out == Data) << "standard output differs from the entry (" << r.Out.size() << " bytes)";

  // Several entries come out one after the other, in archive order, stored and deflated alike.
  r = U({"-p", "small.zip", "*.txt"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "hello\n" + Guide);
  EXPECT_EQ(Tree(Dir.Path()), std::vector<std::string>{"small.zip"});
}

TEST_F(UnzipperCli, PipeAndTestLeaveNoScratchBehindEvenWhenTheReaderStops) {
  MakeSmall();
  fs::create_directory(P("tmp"));
  const std::vector<std::string> env = {"TMPDIR=" + P("tmp")};
  TResult r = RunProgram(kUnzipper, {"-t", "small.zip"}, Dir.Path(), env);
  EXPECT_EQ(r.Code, 0) << r.Err;
  r = RunProgram(kUnzipper, {"-t", "small.zip"}, Dir.Path(), {"TMPDIR=" + P("none")});
  EXPECT_EQ(r.Code, 0) << "testing needs no place to write: " << r.Err;
  // Far more than a pipe holds, so the program is still writing when the reader goes.
  ZipWriter big;
  big.Add("big.bin", RandomBytes(4 << 20, 3));
  big.WriteTo(P("big.zip"));
  r = RunProgram(kUnzipper, {"-p", "big.zip"}, Dir.Path(), env, 1000);
  EXPECT_EQ(r.Code, 128 + SIGPIPE) << "ends as a pipeline expects: " << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_TRUE(fs::is_empty(P("tmp"))) << Tree(P("tmp")).front();
}

TEST_F(UnzipperCli, PasswordGivenRightWrongOrForOnlySomeEntries) {
  ZipWriter z;
  z.Add("plain.txt", "plain\n");
  auto& s = z.AddDeflated("secret.txt", Guide);
  s.Password = "open sesame";
  auto& d = z.Add("described.txt", "with a descriptor\n");
  d.Password = "open sesame";
  d.DataDescriptor = true;
  z.WriteTo(P("enc.zip"));

  TResult r = U({"-P", "open sesame", "-d", "right", "enc.zip"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("right/secret.txt")), Guide);
  EXPECT_EQ(testzip::ReadFile(P("right/described.txt")), "with a descriptor\n");

  r = U({"-P", "wrong", "-d", "wrong", "enc.zip", "secret.txt", "described.txt"});
  EXPECT_EQ(r.Code, 82) << "no entry came through: " << r.Err;
  EXPECT_NE(r.Err.find("secret.txt  (incorrect password)"), std::string::npos) << r.Err;
  EXPECT_FALSE(Exists(P("wrong/secret.txt")));

  r = U({"-P", "wrong", "-d", "mixed", "enc.zip"});
  EXPECT_EQ(r.Code, 1) << "the plain entry came through: " << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("mixed/plain.txt")), "plain\n");

  r = U({"-d", "none", "enc.zip", "secret.txt"});
  EXPECT_EQ(r.Code, 82) << "no password and no terminal to ask: " << r.Err;
}

TEST_F(UnzipperCli, QuietLevels) {
  MakeSmall();
  TResult r = U({"-q", "-d", "q", "small.zip"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out, "");
  EXPECT_EQ(testzip::ReadFile(P("q/readme.txt")), "hello\n");

  r = U({"-lq", "small.zip"});
  EXPECT_EQ(r.Out.find("Archive:"), std::string::npos);
  EXPECT_NE(r.Out.find("5 files"), std::string::npos);
  r = U({"-lqq", "small.zip"});
  EXPECT_EQ(r.Out.find("files"), std::string::npos) << "bare entry lines only: " << r.Out;
  EXPECT_NE(r.Out.find("readme.txt\n"), std::string::npos);

  // -qq also keeps warnings quiet, but never the exit code.
  testzip::WriteFile(P("q/readme.txt"), "changed\n");
  r = U({"-qq", "-d", "q", "small.zip"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "");
}

TEST_F(UnzipperCli, MasksAndExclusions) {
  MakeSmall();
  TResult r = U({"-d", "a", "small.zip", "*.txt"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Tree(P("a")), (std::vector<std::string>{"doc/", "doc/guide.txt", "readme.txt"}));

  r = U({"-d", "b", "small.zip", "-x", "*.bak", "bin/*"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Tree(P("b")), (std::vector<std::string>{"doc/", "doc/guide.txt", "readme.txt"}));

  // Include and exclude together; an excluded file that exists is neither asked about nor touched.
  fs::create_directories(P("c/doc"));
  testzip::WriteFile(P("c/doc/notes.bak"), "keep me\n");
  r = U({"-C", "-d", "c", "small.zip", "doc/*", "-x", "*.BAK"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(testzip::ReadFile(P("c/doc/notes.bak")), "keep me\n");
  EXPECT_EQ(testzip::ReadFile(P("c/doc/guide.txt")), Guide);

  // A mask that matches nothing is named and gives 11, the others are still extracted.
  r = U({"-d", "d", "small.zip", "readme.txt", "nothing*"});
  EXPECT_EQ(r.Code, 11);
  EXPECT_NE(r.Err.find("nothing*"), std::string::npos) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("d/readme.txt")), "hello\n");

  r = U({"-d", "e", "small.zip", "-x", "*"});
  EXPECT_EQ(r.Code, 11);
  EXPECT_FALSE(Exists(P("e")));

  // Without -C letter case counts: "DOC/*" selects nothing, "*.BAK" leaves nothing out.
  r = U({"-d", "f", "small.zip", "DOC/*", "doc/*", "-x", "*.BAK"});
  EXPECT_EQ(r.Code, 11);
  EXPECT_EQ(Tree(P("f")), (std::vector<std::string>{"doc/", "doc/guide.txt", "doc/notes.bak"}));
}

// ---- Exit codes of each failure class ---------------------------------------------------------------

TEST_F(UnzipperCli, ExitCodesOfEachFailureClass) {
  MakeSmall();
  TResult r = U({"-l", "missing.zip"});
  EXPECT_EQ(r.Code, 9);
  EXPECT_NE(r.Err.find("missing.zip"), std::string::npos) << r.Err;

  r = U({"-l", "small"});
  EXPECT_EQ(r.Code, 0) << "the .zip is added when the name lacks it: " << r.Err;

  testzip::WriteFile(P("text.zip"), std::string(500, 'x'));
  r = U({"-l", "text.zip"});
  EXPECT_EQ(r.Code, 9) << "not a ZIP archive";
  EXPECT_NE(r.Err.find("text.zip"), std::string::npos) << r.Err;

  ZipWriter crc;
  crc.Add("a.txt", "a\n").Crc = 1;
  crc.WriteTo(P("crc.zip"));
  r = U({"-d", "crc", "crc.zip"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("a.txt: bad CRC"), std::string::npos) << r.Err;

  // A link leading out is left out with a warning (1); a damaged AES entry is damage (2).
  ZipWriter link, aes;
  for (ZipWriter* z : {&link, &aes}) {
    auto& l = z->Add("up", "../../x");
    l.VersionMadeBy = 3 << 8 | 30;
    l.ExternalAttributes = 0120777u << 16;
  }
  link.WriteTo(P("link.zip"));
  auto& a = aes.AddDeflated("aes.txt", Data);
  a.Password = "pw";
  a.AesStrength = 3;
  a.DamageAuthCode = true;
  aes.WriteTo(P("aes.zip"));
  r = U({"-d", "l", "link.zip"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_NE(r.Err.find("up  (symbolic link leads out of the destination)"), std::string::npos) << r.Err;
  r = U({"-P", "pw", "-d", "aes", "aes.zip"});
  EXPECT_EQ(r.Code, 2) << r.Err;
  EXPECT_NE(r.Err.find("aes.txt: bad AES authentication code"), std::string::npos) << r.Err;
  EXPECT_FALSE(Exists(P("aes/aes.txt")));

  ZipWriter method;
  method.AddRaw("future.bin", "????", 98, testzip::Crc32("four"), 4);
  method.AddRaw("unheard.bin", "????", 177, testzip::Crc32("four"), 4);
  method.Add("ok.txt", "ok\n");
  method.WriteTo(P("method.zip"));
  r = U({"-qq", "-d", "m", "method.zip"});  // an error: -qq does not silence it
  EXPECT_EQ(r.Code, 81) << r.Err;
  EXPECT_NE(r.Err.find("future.bin  unsupported compression method: PPMd (method 98)"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("unheard.bin  unsupported compression method: unknown method 177"), std::string::npos);
  EXPECT_FALSE(Exists(P("m/future.bin")));
  EXPECT_EQ(testzip::ReadFile(P("m/ok.txt")), "ok\n");

  ZipWriter truncated;
  truncated.AddDeflated("big.bin", Data).TruncateData = 5000;
  truncated.WriteTo(P("trunc.zip"));
  r = U({"-d", "t", "trunc.zip"});
  EXPECT_EQ(r.Code, 2) << r.Err;
  EXPECT_FALSE(Exists(P("t/big.bin")));

  ZipWriter cut;
  cut.AddRaw("cut.txt", "0123456789", 0, testzip::Crc32("01234"), 5);
  cut.WriteTo(P("cut.zip"));
  r = U({"-d", "t", "cut.zip"});
  EXPECT_EQ(r.Code, 2) << r.Err;
  EXPECT_NE(r.Err.find("cut.txt: data longer than its stored size of 5 bytes"), std::string::npos) << r.Err;

  // -d is a host path, and a destination that cannot be made says why.
  r = U({"-d", "c:out", "method.zip", "ok.txt"});
  EXPECT_EQ(testzip::ReadFile(P("c:out/ok.txt")), "ok\n") << r.Err;
  r = U({"-d", "small.zip/out", "small.zip"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_NE(r.Err.find("cannot extract into " + P("small.zip/out") + ": Not a directory"), std::string::npos) << r.Err;

  ZipWriter empty;
  empty.WriteTo(P("empty.zip"));
  r = U({"empty.zip"});
  EXPECT_EQ(r.Code, 1) << "an empty archive is a warning, as in unzip";

  // A directory of fewer records than declared: every entry comes out, and the run says the
  // archive is damaged. Entries declared where there is nothing: damaged, not empty.
  ZipWriter damaged, nothing;
  damaged.Add("a.txt", "a\n");
  damaged.Add("b.txt", "b\n");
  damaged.TotalEntries = 3;
  damaged.WriteTo(P("damaged.zip"));
  nothing.TotalEntries = 2;
  nothing.WriteTo(P("nothing.zip"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-t", "damaged.zip"},
                                               {"-l", "damaged.zip"}, {"-d", "dm", "damaged.zip"},
                                               {"-l", "nothing.zip"}, {"nothing.zip"}}) {
    r = U(args);
    EXPECT_EQ(r.Code, 2) << args.back() << r.Err;
    EXPECT_NE(r.Err.find("record"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out.find("No errors detected"), std::string::npos) << r.Out;
  }
  EXPECT_EQ(testzip::ReadFile(P("dm/b.txt")), "b\n");

  r = U({"-y", "small.zip"});
  EXPECT_EQ(r.Code, 10);
  EXPECT_NE(r.Err.find("unknown option -y"), std::string::npos);

  r = U({"-h"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out.rfind("Usage: unzipper", 0), 0u);
  r = U({"--version"});
  EXPECT_EQ(r.Code, 0);
  EXPECT_EQ(r.Out.rfind("unzipper ", 0), 0u);
  EXPECT_NE(r.Out.find(", BZip2 (libbz2), LZMA (liblzma), Zstd (libzstd), XZ (liblzma)"), std::string::npos) << r.Out;
}

TEST_F(UnzipperCli, NamesFromTheArchiveStayBelowTheDestination) {
  ZipWriter z;
  z.Add("../escaped.txt", "no\n");
  z.Add("/abs/rooted.txt", "no\n");
  z.WriteTo(P("evil.zip"));
  fs::create_directory(P("inside"));
  const TResult r = RunProgram(kUnzipper, {"-d", "out", "../evil.zip"}, P("inside"));
  EXPECT_EQ(r.Code, 1) << "a rewritten name is a warning, as in unzip: " << r.Err;
  EXPECT_NE(r.Err.find("../escaped.txt is written as escaped.txt"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("/abs/rooted.txt is written as abs/rooted.txt"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find(" extracting: escaped.txt\n"), std::string::npos) << r.Out;
  EXPECT_FALSE(Exists(P("escaped.txt")));
  EXPECT_FALSE(Exists(P("inside/escaped.txt")));
  EXPECT_TRUE(Exists(P("inside/out/escaped.txt")));
  EXPECT_TRUE(Exists(P("inside/out/abs/rooted.txt")));
}

TEST_F(UnzipperCli, AnEntryThatCannotBeWrittenStopsNothingElse) {
  ZipWriter z;
  z.Add("a.txt", "a\n");
  z.Add("b.txt", "a directory stands there\n");
  z.Add(std::string(300, 'x'), "a name the host refuses\n");
  z.Add("f/b", "file\n");
  z.AddDirectory("f/b/");  // a file stands where the directory goes
  z.Add("sub/a:b.txt", "a colon is part of the name\n");
  z.WriteTo(P("w.zip"));
  fs::create_directories(P("out/b.txt"));
  for (const char* overwrite : {"-o", "-n"}) {
    const TResult r = U({overwrite, "-d", "out", "w.zip"});
    EXPECT_EQ(r.Code, 1) << r.Err;
    EXPECT_NE(r.Err.find("cannot create " + P("out/b.txt") + ": Is a directory"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("xxxx: File name too long"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("cannot create " + P("out/f/b/") + ": Not a directory"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out.find("creating: f/b/"), std::string::npos) << "not made, so not reported as made";
    EXPECT_EQ(testzip::ReadFile(P("out/sub/a:b.txt")), "a colon is part of the name\n");
  }
  // Excluded, the entries in the way are never looked at.
  const TResult r = U({"-o", "-d", "out", "w.zip", "-x", "b.txt", "xx*", "f/*"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
}

// ---- Split sets ----------------------------------------------------------------------------------------

class UnzipperCliSplit : public UnzipperCli {
protected:
  void SetUp() override {
    if (::access("/usr/bin/zip", X_OK) != 0) GTEST_SKIP() << "Info-ZIP zip is not installed";
    testzip::WriteFile(P("payload.bin"), RandomBytes(300000, 11));
    testzip::WriteFile(P("notes.txt"), Text(3000));
    const TResult z = RunProgram("/usr/bin/zip", {"-q", "-s", "64k", "set.zip", "payload.bin", "notes.txt"}, Dir.Path());
    ASSERT_EQ(z.Code, 0) << z.Err;
    ASSERT_TRUE(Exists(P("set.z01")));
    ASSERT_TRUE(Exists(P("set.z04"))) << "expected at least five parts";
    fs::create_directory(P("x"));
  }
};

TEST_F(UnzipperCliSplit, TheEarlierPartsAreFoundBesideTheLast) {
  TResult r = RunProgram(kUnzipper, {"-d", "../x", "../set.zip"}, P("x"));
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(testzip::ReadFile(P("x/payload.bin")), testzip::ReadFile(P("payload.bin")));
  EXPECT_EQ(testzip::ReadFile(P("x/notes.txt")), testzip::ReadFile(P("notes.txt")));

  r = U({"-p", "set.zip", "notes.txt"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(r.Out == testzip::ReadFile(P("notes.txt")));
}

TEST_F(UnzipperCliSplit, AMissingPartIsNamed) {
  fs::remove(P("set.z02"));
  const TResult r = U({"-d", "x", "set.zip"});
  EXPECT_EQ(r.Code, 9) << r.Err;
  EXPECT_NE(r.Err.find("cannot find " + P("set.z02")), std::string::npos) << r.Err;
}

// ---- Questions on a terminal ------------------------------------------------------------------------

TEST_F(UnzipperCli, TerminalAnswersTheOverwriteQuestion) {
  MakeSmall();
  testzip::WriteFile(P("readme.txt"), "mine\n");
  fs::create_directories(P("doc"));
  testzip::WriteFile(P("doc/guide.txt"), "my guide\n");
  testzip::WriteFile(P("doc/notes.bak"), "my notes\n");
  {
    TPtySession t(kUnzipper, {"small.zip", "*.txt"}, Dir.Path());
    ASSERT_TRUE(t.WaitFor("replace readme.txt? [y]es, [n]o, [A]ll, [N]one: ")) << t.Output();
    t.Send("maybe\n");
    ASSERT_TRUE(t.WaitFor("replace readme.txt?")) << "asked again after an answer it does not know";
    t.Send("n\n");
    ASSERT_TRUE(t.WaitFor("replace doc/guide.txt?")) << t.Output();
    t.Send("y\n");
    EXPECT_EQ(t.Finish(), 1) << "one file was kept: " << t.Output();
  }
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "mine\n");
  EXPECT_EQ(testzip::ReadFile(P("doc/guide.txt")), Guide);

  {
    TPtySession t(kUnzipper, {"small.zip"}, Dir.Path());
    ASSERT_TRUE(t.WaitFor("replace readme.txt?")) << t.Output();
    t.Send("A\n");
    EXPECT_EQ(t.Finish(), 0) << t.Output();
    EXPECT_EQ(t.Output().find("replace doc/"), std::string::npos) << "All answers the rest";
  }
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "hello\n");
  EXPECT_EQ(testzip::ReadFile(P("doc/notes.bak")), "old notes\n");
}

TEST_F(UnzipperCli, TerminalAnswersNoneAndCtrlCInterrupts) {
  MakeSmall();
  testzip::WriteFile(P("readme.txt"), "mine\n");
  fs::create_directories(P("doc"));
  testzip::WriteFile(P("doc/guide.txt"), "my guide\n");
  {
    TPtySession t(kUnzipper, {"small.zip", "*.txt"}, Dir.Path());
    ASSERT_TRUE(t.WaitFor("replace readme.txt?")) << t.Output();
    t.Send("N\n");
    EXPECT_EQ(t.Finish(), 1) << t.Output();
    EXPECT_EQ(t.Output().find("replace doc/guide.txt?"), std::string::npos) << "None answers the rest";
  }
  EXPECT_EQ(testzip::ReadFile(P("doc/guide.txt")), "my guide\n");
  fs::remove(P("doc/guide.txt"));
  {
    TPtySession t(kUnzipper, {"small.zip"}, Dir.Path());
    ASSERT_TRUE(t.WaitFor("replace readme.txt?")) << t.Output();
    t.Send("\x03");  // the terminal turns it into SIGINT for the program
    EXPECT_EQ(t.Finish(), 80) << t.Output();
  }
  EXPECT_EQ(testzip::ReadFile(P("readme.txt")), "mine\n");
  EXPECT_FALSE(Exists(P("doc/guide.txt"))) << "nothing after the interruption";
}

TEST_F(UnzipperCli, TerminalAsksForThePasswordWithoutEcho) {
  ZipWriter z;
  auto& s = z.AddDeflated("secret.txt", Guide);
  s.Password = "letmein";
  auto& s2 = z.Add("second.txt", "also secret\n");
  s2.Password = "letmein";
  z.WriteTo(P("enc.zip"));
  {
    TPtySession t(kUnzipper, {"enc.zip"}, Dir.Path());
    ASSERT_TRUE(t.WaitFor("[enc.zip] secret.txt password: ")) << t.Output();
    t.Send("guess\n");
    ASSERT_TRUE(t.WaitFor("[enc.zip] secret.txt password: ")) << t.Output();
    t.Send("letmein\n");
    EXPECT_EQ(t.Finish(), 0) << t.Output();
    EXPECT_EQ(t.Output().find("guess"), std::string::npos) << "typed passwords are not shown";
    EXPECT_EQ(t.Output().find("letmein"), std::string::npos) << "typed passwords are not shown";
    EXPECT_EQ(t.Output().find("second.txt password"), std::string::npos) << "the password is kept for the next entry";
  }
  EXPECT_EQ(testzip::ReadFile(P("secret.txt")), Guide);
  EXPECT_EQ(testzip::ReadFile(P("second.txt")), "also secret\n");
}

TEST_F(UnzipperCli, TerminalGivesUpAfterThreeWrongPasswords) {
  ZipWriter z;
  z.Add("secret.txt", "classified\n").Password = "right";
  z.WriteTo(P("enc.zip"));
  TPtySession t(kUnzipper, {"enc.zip"}, Dir.Path());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(t.WaitFor("secret.txt password: ")) << "attempt " << i << ": " << t.Output();
    t.Send("wrong" + std::to_string(i) + "\n");
  }
  EXPECT_EQ(t.Finish(), 82) << t.Output();
  EXPECT_FALSE(t.WaitFor("password: ")) << "no fourth question";
  EXPECT_NE(t.Output().find("secret.txt  (incorrect password)"), std::string::npos) << t.Output();
  EXPECT_FALSE(Exists(P("secret.txt")));
}

}  // namespace

// ---- Several entries at a time ---------------------------------------------------------------------

TEST_F(UnzipperCli, ParallelRunsLeaveWhatOneJobLeaves) {
  // Entries that meet at one path lie far apart, so that a plain split would give them to
  // different workers: the last of them must win, as with one job.
  ZipWriter z;
  z.AddDirectory("a/");
  z.AddDeflated("dup.txt", "first\n");
  z.Add("x", "a file where a directory is wanted later\n");
  auto nth = [](int k) { return std::string(k % 2 ? "a/b/c/f" : "a/f") + std::to_string(k); };
  for (int k = 0; k < 40; ++k) z.AddDeflated(nth(k), Text(20 + k));
  z.Add("bad.txt", "damaged\n").Crc = 0x12345678;
  z.AddDeflated("x/y.txt", "cannot be made\n");
  z.AddDeflated("dup.txt", "last\n");
  z.WriteTo(P("m.zip"));
  auto snapshot = [&] {
    std::string s;
    for (const auto& name : Tree(P("out")))
      s += name + "=" + (name.back() == '/' ? "" : testzip::ReadFile(P("out/" + name))) + "\n";
    s += std::to_string(fs::last_write_time(P("out/a")).time_since_epoch().count());
    fs::remove_all(P("out"));
    return s;
  };
  for (const auto& extra : std::vector<std::vector<std::string>>{{"-o"}, {"-t"}}) {
    std::vector<std::string> one = extra, four = extra;
    one.insert(one.end(), {"--jobs", "1", "-d", "out", "m.zip"});
    four.insert(four.end(), {"--jobs=4", "-d", "out", "m.zip"});
    const TResult r1 = U(one);
    const std::string t1 = extra[0] == "-o" ? snapshot() : "";
    if (extra[0] == "-o") U(four);  // and again over it: every file replaced by several workers
    const TResult r4 = U(four);
    const std::string t4 = extra[0] == "-o" ? snapshot() : "";
    EXPECT_EQ(r1.Code, 2) << r1.Err;
    EXPECT_EQ(r4.Code, r1.Code) << r4.Err;
    EXPECT_EQ(r4.Out, r1.Out);
    EXPECT_EQ(r4.Err, r1.Err);
    EXPECT_EQ(t4, t1);
  }
  // An interruption in the middle stops every worker and leaves no file short.
  const TResult r = RunProgram(kUnzipper, {"--jobs", "2", "-o", "-d", "out", "m.zip"}, Dir.Path(),
                               {"QUORBIN_UNZIPPER_INTERRUPT_AT=a/b/c/f21"});
  EXPECT_EQ(r.Code, 80) << r.Err;
  EXPECT_NE(r.Err.find("unzipper: interrupted"), std::string::npos) << r.Err;
  EXPECT_FALSE(Exists(P("out/a/b/c/f21")));
  EXPECT_FALSE(Exists(P("out/x/y.txt")));
  for (int k = 0; k < 40; ++k) {
    const std::string f = P("out/" + nth(k));
    if (Exists(f)) {
      EXPECT_EQ(testzip::ReadFile(f), Text(20 + k)) << f;
    }
  }
}
