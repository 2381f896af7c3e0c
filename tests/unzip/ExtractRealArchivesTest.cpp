// Archives made by other tools (Info-ZIP zip, 7-Zip) from a tree made in the test: every
// extracted file must be byte-equal to its source.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "FileNames.h"
#include "Methods.h"

#include "ExtractFixture.h"

namespace {

using extracttest::ExtractTest;
using extracttest::Noise;
using extracttest::Text;

int Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

bool Have(const char* tool) { return Shell(std::string("command -v ") + tool) == 0; }

class RealArchiveTest : public ExtractTest {
protected:
  void SetUp() override {
    Source = Tmp.Path() + "/src";
    Files = {
        {"empty.txt", ""},
        {"one.bin", "x"},
        {"chunk.bin", Noise(16000, 1)},
        {"noise.bin", Noise(100001, 2)},
        {"docs/readme.txt", Text(50000, 3)},
        {"docs/deep/er/notes.txt", Text(70000, 4)},
        {"roms/game.rom", Noise(250000, 5)},
    };
    for (const auto& [name, data] : Files) {
      const std::string path = Source + "/" + name;
      ASSERT_EQ(Shell("mkdir -p '" + path.substr(0, path.rfind('/')) + "'"), 0);
      testzip::WriteFile(path, data);
    }
  }

  // Runs `command` in the source directory.
  void Make(const std::string& command) {
    ASSERT_EQ(Shell("cd '" + Source + "' && " + command), 0) << command;
  }

  void ExpectAllExtracted(int32_t count) {
    // Every entry counts, the directory entries (which only make directories) too.
    EXPECT_EQ(count, Zip.EntryCount());
    EXPECT_GE(count, static_cast<int32_t>(Files.size()));
    for (const auto& [name, data] : Files) {
      ASSERT_TRUE(IsFile(Out(name))) << name;
      EXPECT_TRUE(Read(name) == data) << name << " differs";
    }
  }

  void ExtractArchive(const std::string& path, const std::string& password = "") {
    Zip.SetZipName(path);
    Zip.SetDestDir(Dest);
    Zip.DoAll = true;
    Zip.RecreateDirs = true;
    Zip.Password = password;
    int skipped = 0, bad = 0;
    Zip.OnSkippingFile = [&](unzip::TSender, unzip::TSkipReason, int32_t) { ++skipped; };
    Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++bad; };
    ExpectAllExtracted(Zip.ExtractFiles());
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(bad, 0);
  }

  std::string Source;
  std::vector<std::pair<std::string, std::string>> Files;
};

TEST_F(RealArchiveTest, InfoZipStored) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  Make("zip -q -0 -r ../a.zip .");
  ExtractArchive(Tmp.Path() + "/a.zip");
}

TEST_F(RealArchiveTest, InfoZipDeflatedAtEveryLevel) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  for (int level : {1, 6, 9}) {
    testzip::TempDir out;
    Dest = out.Path() + "/out";
    Make("zip -q -" + std::to_string(level) + " -r ../l" + std::to_string(level) + ".zip .");
    ExtractArchive(Tmp.Path() + "/l" + std::to_string(level) + ".zip");
  }
}

TEST_F(RealArchiveTest, InfoZipEncryptedWithDataDescriptorsStoredAndDeflated) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  // zip -P writes data descriptors: the password check byte comes from the time.
  Make("zip -q -0 -P 'Se cret' -r ../s.zip .");
  ExtractArchive(Tmp.Path() + "/s.zip", "Se cret");
  testzip::TempDir out;
  Dest = out.Path() + "/out";
  Make("zip -q -P 'Se cret' -r ../d.zip .");
  ExtractArchive(Tmp.Path() + "/d.zip", "Se cret");
}

TEST_F(RealArchiveTest, InfoZipEncryptedWithTheWrongPasswordExtractsNothing) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  Make("zip -q -0 -P right -r ../s.zip .");
  Zip.SetZipName(Tmp.Path() + "/s.zip");
  Zip.SetDestDir(Dest);
  Zip.DoAll = true;
  Zip.RecreateDirs = true;
  Zip.Password = "wrong";
  // A wrong password may pass the one-byte check now and then; the CRC then catches it.
  const int32_t n = Zip.ExtractFiles();
  EXPECT_EQ(n, Zip.EntryCount() - static_cast<int32_t>(Files.size()));  // the directories
  for (const std::string& n : Tree(Dest)) EXPECT_TRUE(IsDir(Out(n))) << n;
}

TEST_F(RealArchiveTest, SevenZipZipCryptoWithoutDescriptors) {
  if (!Have("7zz")) GTEST_SKIP() << "7-Zip (7zz) is not installed";
  // No data descriptors here: the check byte comes from the CRC.
  Make("7zz a -tzip -mem=ZipCrypto -mx0 -ppass7 ../7.zip .");
  ExtractArchive(Tmp.Path() + "/7.zip", "pass7");
  testzip::TempDir out;
  Dest = out.Path() + "/out";
  Make("7zz a -tzip -mem=ZipCrypto -mx5 -ppass7 ../7d.zip .");
  ExtractArchive(Tmp.Path() + "/7d.zip", "pass7");
}

TEST_F(RealArchiveTest, SevenZipAesEveryStrengthStoredAndDeflatedAndWithAWrongPassword) {
  if (!Have("7zz")) GTEST_SKIP() << "7-Zip (7zz) is not installed";
  for (const char* cipher : {"AES128", "AES192", "AES256"}) {
    for (const char* level : {"-mx0", "-mx5"}) {
      SCOPED_TRACE(std::string(cipher) + " " + level);
      const std::string zip = Tmp.Path() + "/" + cipher + level + ".zip";
      Make(std::string("7zz a -tzip -mem=") + cipher + " " + level + " '-pAes pass' '" + zip + "' .");
      testzip::TempDir out;
      Dest = out.Path() + "/out";
      ExtractArchive(zip, "Aes pass");
    }
  }
  // The verifier turns a wrong password away before anything is made.
  testzip::TempDir out;
  Dest = out.Path() + "/out";
  Zip.SetZipName(Tmp.Path() + "/AES256-mx5.zip");
  Zip.SetDestDir(Dest);
  Zip.Password = "aes pass";
  int badPassword = 0;
  Zip.OnSkippingFile = [&](unzip::TSender, unzip::TSkipReason r, int32_t) {
    badPassword += r == unzip::TSkipReason::SkipBadPassword;
  };
  Zip.ExtractFiles();
  EXPECT_EQ(badPassword, static_cast<int>(Files.size()));
  for (const std::string& n : Tree(Dest)) EXPECT_TRUE(IsDir(Out(n))) << n;
}

TEST_F(RealArchiveTest, SevenZipDeflate64WithFarMatches) {
  if (!Have("7zz")) GTEST_SKIP() << "7-Zip (7zz) is not installed";
  // Text repeated from 33 to 60 KiB back (distance codes 30 and 31) and a long run of zeros.
  std::string far = Text(40000, 6);
  far += far.substr(0, 3000) + Text(20000, 7) + far.substr(5000, 4000) + std::string(70000, '\0');
  Files.push_back({"far.txt", far});
  testzip::WriteFile(Source + "/far.txt", far);
  Make("7zz a -tzip -mm=Deflate64 ../d64.zip .");
  ExtractArchive(Tmp.Path() + "/d64.zip");
  EXPECT_EQ(unzip::MethodDescription(9), "Deflate64 (method 9)");
  EXPECT_TRUE(unzip::CanDecode(9));
}

// WinZip AES from the tests' own writer: AE-1 (CRC kept) and AE-2, every strength, data
// across several refills and not a whole number of AES blocks.
TEST_F(ExtractTest, WinZipAesEntriesExtractOrFailAsTheirPasswordCodeAndCrcSay) {
  enum TOutcome { Extracted, WrongPassword, BadCrc };
  struct TRow {
    const char* What;
    int Strength, Version;
    uint16_t Method;
    const char* Password;     // given before the run
    const char* Answer;       // from OnBadPassword, "" for none
    bool DamageCode;
    std::optional<uint32_t> Crc, Packed;
    TOutcome Outcome;
    const char* Listed;       // the method as listings name it, "" not looked at
  } rows[] = {
      {"AE-1 128 stored", 1, 1, 0, "pw", "", false, {}, {}, Extracted, "AES-128 + Stored"},
      {"AE-1 256 deflated", 3, 1, 8, "pw", "", false, {}, {}, Extracted, "AES-256 + Deflate"},
      {"AE-2 192 deflated", 2, 2, 8, "pw", "", false, {}, {}, Extracted, "AES-192 + Deflate"},
      {"AE-2 256, right password on asking", 3, 2, 8, "no", "pw", false, {}, {}, Extracted, ""},
      {"AE-2 256, wrong password", 3, 2, 0, "no", "", false, {}, {}, WrongPassword, ""},
      {"AE-2 damaged code", 3, 2, 8, "pw", "", true, {}, {}, BadCrc, ""},
      {"AE-1 damaged code", 1, 1, 0, "pw", "", true, {}, {}, BadCrc, ""},
      {"AE-1 wrong CRC under a sound code", 3, 1, 8, "pw", "", false, 0x12345678u, {}, BadCrc, ""},
      {"AE-2 too short for salt and code", 3, 2, 0, "pw", "", false, {}, 20u, BadCrc, ""},
  };
  const std::string data = Noise(40001, 9) + Text(3333, 2);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    testzip::TempDir out;
    Dest = out.Path() + "/out";
    testzip::ZipWriter zip;
    auto& e = row.Method == 8 ? zip.AddDeflated("f.bin", data) : zip.Add("f.bin", data);
    zip.Add("after.txt", "after");
    e.Password = "pw";
    e.AesStrength = row.Strength;
    e.AesVersion = row.Version;
    e.DamageAuthCode = row.DamageCode;
    e.Crc = row.Crc;
    e.CompressedSize = row.Packed;
    Zip.Password = row.Password;
    Zip.OnBadPassword = [&](unzip::TSender, int32_t, std::string& p) {
      if (*row.Answer) p = row.Answer;
    };
    int skipped = 0, badCrc = 0;
    Zip.OnSkippingFile = [&](unzip::TSender, unzip::TSkipReason r, int32_t) {
      skipped += r == unzip::TSkipReason::SkipBadPassword;
    };
    Zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++badCrc; };
    Use(zip, std::string(row.What) + ".zip");  // a new name: the directory is read anew
    EXPECT_EQ(Zip.ExtractFiles(), row.Outcome == Extracted ? 2 : 1);
    EXPECT_EQ(skipped, row.Outcome == WrongPassword);
    EXPECT_EQ(badCrc, row.Outcome == BadCrc);
    if (*row.Listed) {
      EXPECT_EQ(unzip::EntryMethodName(Zip.EntryInfo(0)), row.Listed);
    }
    EXPECT_EQ(IsFile(Out("f.bin")) && Read("f.bin") == data, row.Outcome == Extracted);
    EXPECT_EQ(Tree(Dest), (row.Outcome == Extracted ? std::vector<std::string>{"after.txt", "f.bin"}
                                                     : std::vector<std::string>{"after.txt"}));
  }
}

// The newer methods as other writers make them: (tool, method id, command). The method is
// checked too, so a writer that quietly fell back to deflate fails the row.
TEST_F(RealArchiveTest, NewerMethodsFromOtherWriters) {
  const std::string python =
      "python3 -c \"import zipfile,os; z=zipfile.ZipFile('../r.zip','w',zipfile.%s); "
      "[z.write(os.path.join(d,f)) for d,_,fs in os.walk('.') for f in fs]; z.close()\"";
  auto py = [&](const std::string& kind) {
    return python.substr(0, python.find("%s")) + kind + python.substr(python.find("%s") + 2);
  };
  const struct {
    const char* Tool;
    uint16_t Method;
    std::string Command;
  } rows[] = {
      {"7zz", 12, "7zz a -tzip -mm=BZip2 ../r.zip ."},
      {"7zz", 12, "7zz a -tzip -mm=BZip2 -mx9 -mmt=4 ../r.zip ."},
      {"7zz", 14, "7zz a -tzip -mm=LZMA ../r.zip ."},
      {"7zz", 14, "7zz a -tzip -mm=LZMA:eos ../r.zip ."},  // with end marker, flag bit 1
      {"7zz", 14, "7zz a -tzip -mm=LZMA:d=64k -mx1 ../r.zip ."},
      {"7zz", 95, "7zz a -tzip -mm=XZ ../r.zip ."},
      {"python3", 12, py("ZIP_BZIP2")},
      {"python3", 14, py("ZIP_LZMA")},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Command);
    if (!Have(row.Tool)) GTEST_SKIP() << row.Tool << " is not installed";
    testzip::TempDir out;
    Dest = out.Path() + "/out";
    // A name of its own per row: the same name rewritten within a second may keep the
    // directory read before.
    const std::string name = "r" + std::to_string(++n) + ".zip";
    std::string command = row.Command;
    command.replace(command.find("r.zip"), 5, name);
    Make(command);
    ExtractArchive(Tmp.Path() + "/" + name);
    int ofMethod = 0;
    for (int32_t i = 0; i < Zip.EntryCount(); ++i)
      ofMethod += Zip.EntryInfo(i).CompressionMethod == row.Method;
    EXPECT_GE(ofMethod, 2);  // the text files; noise may be stored
  }
}

TEST_F(RealArchiveTest, InfoZipSplitSet) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  Make("zip -q -s 64k -r ../set.zip .");
  // Parts set.z01, set.z02, ... and the last one set.zip.
  int parts = 0;
  while (IsFile(Tmp.Path() + "/set.z" + (parts < 9 ? "0" : "") + std::to_string(parts + 1))) ++parts;
  ASSERT_GE(parts, 3);
  std::vector<int32_t> asked;
  Zip.OnGetNextDisk = [&](unzip::TSender, int32_t disk, std::string& name) {
    asked.push_back(disk);
    name = disk > parts ? Tmp.Path() + "/set.zip"
                        : Tmp.Path() + "/set.z" + (disk < 10 ? "0" : "") + std::to_string(disk);
  };
  ExtractArchive(Tmp.Path() + "/set.zip");
  EXPECT_FALSE(asked.empty());
}

TEST_F(RealArchiveTest, InfoZipSplitSetSortedByNameIsStillReadInArchiveOrder) {
  if (!Have("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  Make("zip -q -s 64k -r ../set.zip .");
  std::vector<int32_t> asked;
  Zip.OnGetNextDisk = [&](unzip::TSender, int32_t disk, std::string& name) {
    asked.push_back(disk);
    const std::string part = Tmp.Path() + "/set.z" + (disk < 10 ? "0" : "") + std::to_string(disk);
    name = IsFile(part) ? part : Tmp.Path() + "/set.zip";
  };
  Zip.SortMode = unzip::TZipSortMode::ByName;
  ExtractArchive(Tmp.Path() + "/set.zip");
  // Each disk asked for in ascending order, never going back.
  for (size_t i = 1; i < asked.size(); ++i) EXPECT_LE(asked[i - 1], asked[i]);
  EXPECT_EQ(Zip.SortMode, unzip::TZipSortMode::ByName);  // given back after the run
}

}  // namespace

// ---- The shared corpus ---------------------------------------------------------------------------

#ifdef QUORBIN_SHARED_DIR
namespace corpus {

struct TArchive {
  std::string Path;
  std::string Password;
  bool AllCrcOk = true;
  int Entries = 0;
};

std::vector<TArchive> SoundArchives(const std::string& root) {
  std::vector<TArchive> list;
  std::ifstream manifest(root + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
    if (f.size() < 9) continue;
    if (list.empty() || list.back().Path != f[0]) list.push_back({f[0], f[7]});
    list.back().AllCrcOk = list.back().AllCrcOk && f[8] == "crc-ok";
    ++list.back().Entries;
  }
  std::erase_if(list, [](const TArchive& a) { return !a.AllCrcOk; });
  return list;
}

}  // namespace corpus

// Every corpus archive whose entries should all extract: each one extracts, and each file
// written reads back with the CRC its entry records.
TEST_F(ExtractTest, EverySoundCorpusArchiveExtractsWithGoodCrcs) {
  const std::string root = std::string(QUORBIN_SHARED_DIR) + "/corpus";
  if (!IsFile(root + "/MANIFEST.tsv")) GTEST_SKIP() << "no shared corpus at " << root;
  const auto archives = corpus::SoundArchives(root);
  ASSERT_GT(archives.size(), 50u);
  for (const auto& a : archives) {
    SCOPED_TRACE(a.Path);
    testzip::TempDir out;
    unzip::TUnZipper zip;
    const std::string path = root + "/" + a.Path;
    const std::string base = path.substr(0, path.size() - 4);
    zip.OnGetNextDisk = [&](unzip::TSender, int32_t disk, std::string& name) {
      const std::string part = base + ".z" + (disk < 10 ? "0" : "") + std::to_string(disk);
      name = IsFile(part) ? part : path;
    };
    zip.SetZipName(path);
    zip.SetDestDir(out.Path() + "/out");
    zip.DoAll = true;
    zip.RecreateDirs = true;
    zip.OverwriteMode = unzip::TUZOverwriteMode::Always;
    zip.Password = a.Password;
    int problems = 0, written = 0;
    zip.OnBadCRC = [&](unzip::TSender, int32_t, int32_t, int32_t) { ++problems; };
    zip.OnSkippingFile = [&](unzip::TSender, unzip::TSkipReason, int32_t) { ++problems; };
    zip.OnEndUnZip = [&](unzip::TSender, int32_t i, const std::string& name) {
      ++written;
      EXPECT_EQ(testzip::Crc32(testzip::ReadFile(platform::HostPath(name))), zip.EntryInfo(i).Crc32)
          << name;
    };
    int32_t count = -1;
    try {
      count = zip.ExtractFiles();
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_EQ(problems, 0);
    EXPECT_EQ(count, zip.EntryCount());
    EXPECT_GT(written, 0);
  }
}
#endif
