// Directory listings of archives made by other tools (Info-ZIP zip, 7-Zip, Python's
// zipfile) and of the shared corpus of real archives must agree with Python's zipfile on
// every name, size, CRC, method, date, attribute, offset and comment. A split set made by
// "zip -s" is read through OnGetNextDisk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "UnZipper.h"
#include "UnZipperState.h"
#include "UserInterface.h"
#include "ZipDirectory.h"
#include "ZipWriter.h"

using namespace unzip;
namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command; its exit status and standard output.
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& tool) { return Shell("command -v " + tool + " >/dev/null 2>&1") == 0; }

// Debian's interpreter when present: a version manager's shim in front of "python3" can take
// seconds per start.
std::string Python() { return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

std::string ListingScript() { return std::string(QUORBIN_SOURCE_DIR) + "/tests/unzip/zipfile_listing.py"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) v.push_back(line);
  return v;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : bytes) {
    h += digits[c >> 4];
    h += digits[c & 15];
  }
  return h;
}

// The listing of Python's zipfile; false when it refused the archive.
bool PythonListing(const std::string& archive, std::vector<std::string>& lines) {
  std::string out;
  if (Shell(Python() + " " + Quote(ListingScript()) + " " + Quote(archive) + " 2>/dev/null", &out) != 0) return false;
  lines = Lines(out);
  return !lines.empty();
}

// The same listing from the component.
std::vector<std::string> OurListing(TUnZipper& z, bool withOffsets = true) {
  std::vector<std::string> lines;
  lines.push_back("archive\t" + Hex(z.ArchiveComment()) + "\t0");
  for (int32_t i = 0; i < z.EntryCount(); ++i) {
    const TZipHeaderInfo& e = z.EntryInfo(i);
    std::ostringstream s;
    s << e.FullName() << '\t' << e.UncompressedSize << '\t' << e.CompressedSize << '\t' << e.Crc32 << '\t'
      << e.CompressionMethod << '\t' << e.FileDateTime << '\t' << e.ExternalAttributes << '\t'
      << e.InternalAttributes << '\t' << e.Flags << '\t' << e.VersionMadeBy << '\t' << e.VersionNeeded << '\t'
      << e.DiskNumberStart << '\t' << (withOffsets ? e.LocalHeaderOffset : 0) << '\t' << Hex(z.EntryComment(i));
    lines.push_back(s.str());
  }
  return lines;
}

std::vector<std::string> WithoutOffsets(std::vector<std::string> lines) {
  for (size_t i = 1; i < lines.size(); ++i) {
    // Field 11 is the disk, 12 the offset: both depend on how the set is cut.
    std::vector<std::string> f;
    std::istringstream in(lines[i]);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    if (lines[i].back() == '\t') f.push_back("");
    if (f.size() == 14) f[11] = f[12] = "0";
    std::string joined;
    for (size_t k = 0; k < f.size(); ++k) joined += (k ? "\t" : "") + f[k];
    lines[i] = joined;
  }
  return lines;
}

// A tree of files worth listing: nested directories, an empty one, an executable, text and
// incompressible data, an empty file, and a name outside ASCII.
void MakeTree(const fs::path& root) {
  fs::create_directories(root / "sub" / "deeper");
  fs::create_directories(root / "empty");
  testzip::WriteFile((root / "readme.txt").string(), std::string(5000, 'r') + "end\n");
  testzip::WriteFile((root / "sub" / "notes.md").string(), "# notes\n");
  testzip::WriteFile((root / "sub" / "deeper" / "zero.dat").string(), "");
  std::mt19937 rng(3);
  std::string noise(20000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  testzip::WriteFile((root / "sub" / "noise.bin").string(), noise);
  testzip::WriteFile((root / "run.sh").string(), "#!/bin/sh\necho hi\n");
  fs::permissions(root / "run.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  testzip::WriteFile((root / "caf\xC3\xA9.txt").string(), "accent");
  // Fixed times, so the archives' dates are not all "now".
  for (const auto& p : fs::recursive_directory_iterator(root))
    fs::last_write_time(p.path(), fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
}

class PeerListingTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveTool(Python())) GTEST_SKIP() << "python3 is not installed; run scripts/deps.sh";
    ui = std::make_unique<platform::ScopedUserInterface>(quiet);
    MakeTree(fs::path(dir.Path()) / "tree");
  }

  void ExpectSameAsPython(const std::string& archive) {
    std::vector<std::string> expected;
    ASSERT_TRUE(PythonListing(archive, expected)) << "zipfile refused " << archive;
    TUnZipper z;
    z.SetZipName(archive);
    z.ReadDirectory();
    EXPECT_FALSE(z.State().RebuiltFromLocalHeaders);
    EXPECT_EQ(OurListing(z), expected) << archive;
  }

  struct QuietUI : platform::ConsoleUserInterface {
    platform::TModalResult MessageBox(const std::string&, const std::string&, platform::TMsgButtons) override {
      return platform::TModalResult::No;
    }
  } quiet;
  std::unique_ptr<platform::ScopedUserInterface> ui;
  testzip::TempDir dir;
};

}  // namespace

TEST_F(PeerListingTest, InfoZipArchiveAgreesWithPython) {
  if (!HaveTool("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = dir.Path() + "/infozip.zip";
  ASSERT_EQ(Shell("cd " + Quote(dir.Path()) + " && zip -q -r " + Quote(archive) + " tree"), 0);
  ASSERT_EQ(Shell("cd " + Quote(dir.Path()) + " && echo 'made by zip' | zip -q -z " + Quote(archive)), 0);
  ExpectSameAsPython(archive);
}

TEST_F(PeerListingTest, SevenZipArchiveAgreesWithPython) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7-Zip (7zz) is not installed";
  const std::string archive = dir.Path() + "/seven.zip";
  ASSERT_EQ(Shell("cd " + Quote(dir.Path()) + " && 7zz a -tzip -bso0 -bsp0 " + Quote(archive) + " tree"), 0);
  ExpectSameAsPython(archive);
}

TEST_F(PeerListingTest, PythonZipfileArchiveAgreesWithPython) {
  const std::string archive = dir.Path() + "/python.zip";
  const std::string script =
      "import zipfile, sys\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "    z.comment = b'python archive'\n"
      "    i = zipfile.ZipInfo('stored.txt', (2001, 2, 3, 4, 5, 6)); i.comment = b'entry note'\n"
      "    z.writestr(i, 'stored data', zipfile.ZIP_STORED)\n"
      "    i = zipfile.ZipInfo('dir/deflated.txt', (2107, 12, 31, 23, 59, 58)); i.external_attr = 0o100640 << 16\n"
      "    z.writestr(i, 'x' * 10000, zipfile.ZIP_DEFLATED)\n"
      "    z.writestr(zipfile.ZipInfo('dir/empty/'), '')\n"
      "    z.writestr('\\u00fcber/\\u20ac.txt', 'unicode name', zipfile.ZIP_DEFLATED)\n"
      "    i = zipfile.ZipInfo('all-bytes-comment.txt', (1980, 1, 1, 0, 0, 0)); i.comment = bytes(range(256))\n"
      "    z.writestr(i, b'')\n";
  const std::string scriptPath = dir.Path() + "/make.py";
  testzip::WriteFile(scriptPath, script);
  ASSERT_EQ(Shell(Python() + " " + Quote(scriptPath) + " " + Quote(archive)), 0);
  ExpectSameAsPython(archive);
}

TEST_F(PeerListingTest, SplitSetMadeByZipIsReadThroughOnGetNextDisk) {
  if (!HaveTool("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  // Enough entries that the central directory itself spans disks.
  const fs::path many = fs::path(dir.Path()) / "many";
  fs::create_directories(many);
  std::mt19937 rng(11);
  for (int i = 0; i < 1500; ++i) {
    std::string data(40 + rng() % 200, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    testzip::WriteFile((many / ("entry-with-a-longish-name-" + std::to_string(i) + ".bin")).string(), data);
  }
  const std::string split = dir.Path() + "/split.zip";
  const std::string joined = dir.Path() + "/joined.zip";
  ASSERT_EQ(Shell("cd " + Quote(dir.Path()) + " && zip -q -r -s 64k " + Quote(split) + " many tree"), 0);
  ASSERT_EQ(Shell("zip -q -s 0 " + Quote(split) + " --out " + Quote(joined)), 0);
  int parts = 0;
  while (fs::exists(dir.Path() + "/split.z" + (parts < 9 ? "0" : "") + std::to_string(parts + 1))) ++parts;
  ASSERT_GE(parts, 2);
  const int32_t diskCount = parts + 1;

  std::vector<int32_t> asked;
  TUnZipper z;
  z.OnGetNextDisk = [&](TSender, int32_t disk, std::string& name) {
    asked.push_back(disk);
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".z%02d", disk);
    name = disk == diskCount ? split : dir.Path() + "/split" + suffix;
  };
  z.SetZipName(split);
  z.ReadDirectory();
  EXPECT_FALSE(asked.empty());  // the directory began on an earlier disk
  EXPECT_EQ(z.State().DiskCount, diskCount);
  EXPECT_EQ(z.State().MultiDiskMode, TMultiDiskMode::Files);
  ASSERT_EQ(z.EntryCount(), 1500 + 11);  // files and directories

  std::vector<std::string> expected;
  ASSERT_TRUE(PythonListing(joined, expected));
  EXPECT_EQ(WithoutOffsets(OurListing(z, false)), WithoutOffsets(expected));
  // Entries stand in archive order: by disk, then by offset on it.
  for (int32_t i = 1; i < z.EntryCount(); ++i) {
    const auto& a = z.EntryInfo(i - 1);
    const auto& b = z.EntryInfo(i);
    EXPECT_TRUE(a.DiskNumberStart < b.DiskNumberStart ||
                (a.DiskNumberStart == b.DiskNumberStart && a.LocalHeaderOffset < b.LocalHeaderOffset));
  }
}

TEST_F(PeerListingTest, SharedCorpusArchivesAgreeWithPython) {
  const fs::path corpus = fs::path(QUORBIN_SHARED_DIR) / "corpus";
  if (!fs::exists(corpus / "MANIFEST.tsv"))
    GTEST_SKIP() << "no shared corpus at " << corpus << " (QUORBIN_SHARED_DIR)";
  std::set<std::string> archives;
  std::ifstream manifest(corpus / "MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // heading
  while (std::getline(manifest, line)) archives.insert(line.substr(0, line.find('\t')));

  // One run of zipfile over every archive.
  std::string command = Python() + " " + Quote(ListingScript());
  for (const std::string& name : archives) command += " " + Quote((corpus / name).string());
  std::string output;
  ASSERT_EQ(Shell(command + " 2>/dev/null", &output), 0);
  std::map<std::string, std::vector<std::string>> listings;
  std::vector<std::string>* current = nullptr;
  for (const std::string& l : Lines(output)) {
    if (l.rfind("== ", 0) == 0)
      current = &listings[l.substr(3)];
    else if (current)
      current->push_back(l);
  }

  int compared = 0;
  std::vector<std::string> skipped;
  for (const std::string& name : archives) {
    const fs::path path = corpus / name;
    if (!fs::exists(path) || fs::file_size(path) == 0) continue;
    // The parts of a split set are listed through their last part elsewhere.
    fs::path firstPart = path;
    firstPart.replace_extension(".z01");
    if (fs::exists(firstPart)) {
      skipped.push_back(name + " (split set)");
      continue;
    }
    const std::vector<std::string>& expected = listings[path.string()];
    if (expected.empty() || expected[0] == "refused") {
      skipped.push_back(name + " (zipfile refuses it)");
      continue;
    }
    TUnZipper z;
    z.SetZipName(path.string());
    try {
      z.ReadDirectory();
    } catch (const platform::Exception& e) {
      ADD_FAILURE() << name << ": " << e.what();
      continue;
    }
    if (z.State().RebuiltFromLocalHeaders) {
      skipped.push_back(name + " (damaged: rebuilt from local headers)");
      continue;
    }
    EXPECT_EQ(OurListing(z), expected) << name;
    ++compared;
  }
  for (const auto& s : skipped) std::printf("  not compared: %s\n", s.c_str());
  EXPECT_GT(compared, 50);
}

TEST_F(PeerListingTest, SharedCorpusSplitSetsAreReadThroughOnGetNextDisk) {
  const fs::path features = fs::path(QUORBIN_SHARED_DIR) / "corpus" / "features";
  if (!fs::exists(features / "split64k.zip")) GTEST_SKIP() << "no shared corpus split set at " << features;
  int32_t lastDisk = 0;
  while (fs::exists(features / ("split64k.z" + std::string(lastDisk + 1 < 10 ? "0" : "") + std::to_string(lastDisk + 1))))
    ++lastDisk;
  TUnZipper z;
  z.OnGetNextDisk = [&](TSender, int32_t disk, std::string& name) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".z%02d", disk);
    name = (features / (disk == lastDisk + 1 ? std::string("split64k.zip") : "split64k" + std::string(suffix))).string();
  };
  z.SetZipName((features / "split64k.zip").string());
  z.ReadDirectory();
  EXPECT_EQ(z.State().DiskCount, lastDisk + 1);
  // The manifest lists what the central directory records.
  std::ifstream manifest(features.parent_path() / "MANIFEST.tsv");
  std::map<std::string, std::string> crcs;
  for (std::string line; std::getline(manifest, line);) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    if (f.size() > 6 && f[0] == "features/split64k.zip") crcs[f[1]] = f[6];
  }
  ASSERT_FALSE(crcs.empty());
  ASSERT_EQ(z.EntryCount(), static_cast<int32_t>(crcs.size()));
  for (int32_t i = 0; i < z.EntryCount(); ++i) {
    const auto& e = z.EntryInfo(i);
    std::string name = e.FullName();
    for (char& c : name) if (c == '\\') c = '/';
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", e.Crc32);
    EXPECT_EQ(crcs[name], crc) << name;
  }
}
