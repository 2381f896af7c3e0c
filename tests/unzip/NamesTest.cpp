#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "Exceptions.h"
#include "Names.h"
#include "ScopedEnv.h"
#include "UserInterface.h"
#include "WildcardReference.h"

namespace fs = std::filesystem;
using unzip::IsMatch;

namespace {

bool NaiveIsMatch(const std::string& mask, const std::string& text) {
  return quorbin_test::WildcardReference::IsMatch(mask, text);
}

}  // namespace

// ---- Wildcards ------------------------------------------------------------------------------

TEST(IsMatch, TheRuleTable) {
  EXPECT_TRUE(IsMatch("*.TXT", "readme.txt"));
  EXPECT_TRUE(IsMatch("*", ""));
  EXPECT_TRUE(IsMatch("", ""));
  EXPECT_FALSE(IsMatch("", "a"));
  EXPECT_TRUE(IsMatch("abc*", "abc"));
  EXPECT_FALSE(IsMatch("abc**", "abc"));
  EXPECT_TRUE(IsMatch("ab**", "abc"));
  EXPECT_TRUE(IsMatch("*?", "a"));
  EXPECT_TRUE(IsMatch("a*?", "abcd"));
  EXPECT_TRUE(IsMatch("*?*", "a"));
  EXPECT_FALSE(IsMatch("*??", "a"));
  EXPECT_TRUE(IsMatch("[a-c]x", "Bx"));
  EXPECT_FALSE(IsMatch("[a-c]x", "dx"));
  EXPECT_TRUE(IsMatch("[c-a]x", "bx"));
  EXPECT_TRUE(IsMatch("[!a-c]x", "dx"));
  EXPECT_FALSE(IsMatch("[!a-c]x", "bx"));
  EXPECT_TRUE(IsMatch("[-a]", "-"));
  for (const char* mask : {"[]", "[!]", "[a", "[a-", "[a-]"})
    for (const char* text : {"", "a", "]", "-", "[]", "[a-]", "ab"})
      EXPECT_FALSE(IsMatch(mask, text)) << mask << " / " << text;
}

TEST(IsMatch, SetsWithNegationAndBackwardRanges) {
  EXPECT_TRUE(IsMatch("[^a-c]x", "dx"));
  EXPECT_FALSE(IsMatch("[^a-c]x", "ax"));
  EXPECT_TRUE(IsMatch("[z-x]", "Y"));
  EXPECT_FALSE(IsMatch("[z-x]", "w"));
  EXPECT_FALSE(IsMatch("[!z-x]", "y"));
  EXPECT_TRUE(IsMatch("[!z-x]", "a"));
  EXPECT_TRUE(IsMatch("[!-]", "a"));          // "-" right after the negation is a member
  EXPECT_FALSE(IsMatch("[!-]", "-"));
  EXPECT_TRUE(IsMatch("[ab-dq]", "c"));       // several members
  EXPECT_TRUE(IsMatch("[ab-dq]", "q"));
  EXPECT_FALSE(IsMatch("[ab-dq]", "e"));
  EXPECT_TRUE(IsMatch("*[0-9].rom", "game7.ROM"));
  EXPECT_FALSE(IsMatch("*[0-9].rom", "gamex.rom"));
  EXPECT_TRUE(IsMatch("[a-c", "b") == false);  // accepted, but no closing bracket
  // 8-bit characters compare by code; only A-Z fold.
  EXPECT_TRUE(IsMatch("[\xe0-\xe9]", "\xe4"));
  EXPECT_FALSE(IsMatch("\xc4", "\xe4"));
}

TEST(IsMatch, BackslashIsAnOrdinaryCharacter) {
  EXPECT_TRUE(IsMatch("roms\\*.zip", "ROMS\\pacman.zip"));
  EXPECT_FALSE(IsMatch("roms\\*.zip", "roms/pacman.zip"));
  EXPECT_TRUE(IsMatch("a\\*", "a\\xyz"));  // no escape: the star stays a star
  EXPECT_FALSE(IsMatch("a\\*", "a*"));
  EXPECT_TRUE(IsMatch("a\\?", "a\\b"));
  EXPECT_TRUE(IsMatch("[\\]", "\\"));
  EXPECT_TRUE(IsMatch("*\\", "dir\\"));
}

TEST(IsMatch, AgreesWithThePlainRecursiveWalk) {
  // Every mask over a small alphabet that stresses stars, sets and their odd corners,
  // against texts over the characters those masks name.
  std::mt19937 rng(20261207);
  const std::string maskChars = "ab*?[]!^-\\A";
  const std::string textChars = "abAB-]\\";
  int matches = 0;
  for (int round = 0; round < 60000; ++round) {
    std::string mask, text;
    const int ml = rng() % 9, tl = rng() % 9;
    for (int i = 0; i < tl; ++i) text += textChars[rng() % textChars.size()];
    if (round % 2 == 0) {
      for (int i = 0; i < ml; ++i) mask += maskChars[rng() % maskChars.size()];
    } else {
      // A mask made from the text, so that a good share of the pairs match.
      for (char c : text) {
        const unsigned r = rng() % 20;
        if (r < 10) mask += c;
        else if (r < 13) mask += '?';
        else if (r < 16) mask += '*';
        else if (r < 18) mask += std::string("[") + (r == 16 ? "" : "!") + "a-" + c + "]";
        else mask += std::string("*") + c;
      }
    }
    const bool expected = NaiveIsMatch(mask, text);
    matches += expected;
    ASSERT_EQ(IsMatch(mask, text), expected) << "mask \"" << mask << "\" text \"" << text << "\"";
  }
  // The sample is only worth something if both answers occur often.
  EXPECT_GT(matches, 6000);
  EXPECT_LT(matches, 54000);
}

TEST(IsMatch, HostileMasksGiveTheSameAnswers) {
  std::string text(2000, 'a');
  EXPECT_FALSE(IsMatch("*a*a*a*a*a*a*a*b", text));
  text.back() = 'b';
  EXPECT_TRUE(IsMatch("*a*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(IsMatch("*[a-b]*[a-b]*[a-b]*[a-b]*b", text));
  EXPECT_FALSE(IsMatch("*[a-b]*[a-b]*[a-b]*[a-b]*c", text));
  // The naive walk still answers these quickly on short texts; both must agree.
  const std::string shortText(18, 'a');
  for (const char* mask : {"*a*a*a*b", "*a*?*a*", "**a**a**", "*?*?*?*?a", "*[!b]*a*a"})
    EXPECT_EQ(IsMatch(mask, shortText), NaiveIsMatch(mask, shortText)) << mask;
}

// ---- Percentages ----------------------------------------------------------------------------

TEST(PercentDone, RoundsHalvesToEvenAndCapsAt100) {
  EXPECT_EQ(unzip::PercentDone(8, 1), 12);   // 12.5
  EXPECT_EQ(unzip::PercentDone(8, 3), 38);   // 37.5
  EXPECT_EQ(unzip::PercentDone(8, 5), 62);   // 62.5
  EXPECT_EQ(unzip::PercentDone(3, 1), 33);
  EXPECT_EQ(unzip::PercentDone(3, 2), 67);
  EXPECT_EQ(unzip::PercentDone(0, 5), 0);
  EXPECT_EQ(unzip::PercentDone(-4, 5), 0);
  EXPECT_EQ(unzip::PercentDone(10, 20), 100);
  EXPECT_EQ(unzip::PercentDone(1, 2147483647), 100);
  EXPECT_EQ(unzip::PercentDone(2147483647, 2147483647), 100);
  EXPECT_EQ(unzip::PercentDone(200, 1), 0);  // 0.5 goes to 0
  EXPECT_EQ(unzip::PercentDone(200, 3), 2);  // 1.5 goes to 2
}

TEST(PercentDone, SixtyFourBitValuesAbove4GiB) {
  const int64_t g = int64_t{1} << 32;
  EXPECT_EQ(unzip::PercentDone64(8 * g, g), 12);
  EXPECT_EQ(unzip::PercentDone64(8 * g, 3 * g), 38);
  EXPECT_EQ(unzip::PercentDone64(3 * g, 2 * g), 67);
  EXPECT_EQ(unzip::PercentDone64(10 * g, 10 * g), 100);
  EXPECT_EQ(unzip::PercentDone64(g, 5 * g), 100);
  EXPECT_EQ(unzip::PercentDone64(0, g), 0);
  EXPECT_EQ(unzip::PercentDone64(-g, g), 0);
  // A 32-bit view of these would be 0/0: the total must be read whole.
  EXPECT_EQ(unzip::PercentDone64(2 * g, g), 50);
  EXPECT_EQ(unzip::PercentDone64(INT64_MAX, INT64_MAX / 4), 25);
}

// ---- Strings ----------------------------------------------------------------------------

TEST(Strings, PartsSlashesAndZeroTerminatedCopies) {
  EXPECT_EQ(unzip::RightPart("abc", 5), "abc");
  EXPECT_EQ(unzip::RightPart("abcdef", 2), "ef");
  EXPECT_EQ(unzip::RightPart("abc", 0), "");
  EXPECT_EQ(unzip::RightPart("abc", -3), "");
  EXPECT_EQ(unzip::LeftPart("abc", 0), "");
  EXPECT_EQ(unzip::LeftPart("c:\\dir\\x", 3), "c:\\");
  EXPECT_EQ(unzip::LeftPart("ab", 9), "ab");

  char name[] = "dir/sub/file.txt";
  EXPECT_EQ(unzip::ForwardToBackSlash(name), name);
  EXPECT_STREQ(name, "dir\\sub\\file.txt");
  EXPECT_EQ(unzip::ForwardToBackSlash(nullptr), nullptr);

  const std::string comment("line\0hidden", 11);
  auto copy = unzip::NewZCopy(comment);
  EXPECT_EQ(std::string(copy.get(), 12), std::string("line\0hidden\0", 12));
  EXPECT_EQ(unzip::StringFromZ(copy.get()), "line");
  EXPECT_EQ(unzip::StringFromZ(nullptr), "");
  EXPECT_EQ(unzip::NewZCopy("")[0], '\0');
  const std::string s = "view";
  EXPECT_EQ(unzip::ZView(s), s.data());
  EXPECT_EQ(unzip::Min(-3, 2), -3);
  EXPECT_EQ(unzip::Max(-3, 2), 2);
}

// ---- Directories ----------------------------------------------------------------------------

namespace {

class DirTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quorbin-names-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "drive_c");
    prefix.emplace(root.string());
    savedCwd = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(savedCwd);
    prefix.reset();
    fs::remove_all(root);
  }
  fs::path root, savedCwd;
  std::optional<ScopedWinePrefix> prefix;
};

class ScriptedUI : public platform::IUserInterface {
public:
  platform::TModalResult MessageBox(const std::string&, const std::string&, platform::TMsgButtons) override {
    return platform::TModalResult::No;
  }
  void ProcessMessages() override {}
  void SetBusyCursor(bool) override {}
  bool OpenFileDialog(const platform::TOpenDialogOptions&, std::string&) override { return false; }
  bool SelectDirectory(const platform::TSelectDirOptions& options, std::string& directory) override {
    Seen = options;
    Started = directory;
    if (!Answer) return false;
    directory = "c:\\chosen";
    return true;
  }
  void ShowError(const std::string&) override {}
  platform::TSelectDirOptions Seen;
  std::string Started;
  bool Answer = true;
};

}  // namespace

TEST_F(DirTest, ForceDirsMakesEveryMissingParent) {
  unzip::ForceDirs("c:\\a\\b\\");
  EXPECT_TRUE(fs::is_directory(root / "drive_c/a/b"));
  unzip::ForceDirs("c:\\a\\b\\c\\d");
  EXPECT_TRUE(fs::is_directory(root / "drive_c/a/b/c/d"));
  unzip::ForceDirs((root / "host/x/y").string());
  EXPECT_TRUE(fs::is_directory(root / "host/x/y"));
}

TEST_F(DirTest, ForceDirsOnABareDriveOrAnExistingDirectoryDoesNothing) {
  const auto before = std::distance(fs::directory_iterator(root), fs::directory_iterator());
  unzip::ForceDirs("c:");
  unzip::ForceDirs("c:\\");
  unzip::ForceDirs("q:\\");  // a drive that maps nowhere is never made
  unzip::ForceDirs("q:\\dir");
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), before);
  EXPECT_FALSE(fs::exists(root / "dosdevices"));
  unzip::ForceDirs("c:\\a");
  unzip::ForceDirs("c:\\a");
  EXPECT_TRUE(fs::is_directory(root / "drive_c/a"));
}

TEST_F(DirTest, ForceDirsOnRelativeNames) {
  fs::current_path(root);
  unzip::ForceDirs("x\\");           // short names are made too
  unzip::ForceDirs("data\\sub\\deep");
  EXPECT_TRUE(fs::is_directory(root / "x"));
  EXPECT_TRUE(fs::is_directory(root / "data/sub/deep"));
  try {
    unzip::ForceDirs("");
    ADD_FAILURE() << "no exception";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(e.Message, "Unable to create directory");
  }
}

TEST_F(DirTest, CurrentDirectoryAndExistence) {
  fs::create_directories(root / "drive_c/dest");
  std::ofstream(root / "drive_c/dest/f.bin") << "x";
  const std::string saved = unzip::GetCurrentDir();
  unzip::SetCurrentDir("c:\\dest");
  EXPECT_EQ(fs::current_path(), fs::canonical(root / "drive_c/dest"));
  EXPECT_TRUE(unzip::FileExists("f.bin"));
  EXPECT_FALSE(unzip::DirectoryExists("f.bin"));
  EXPECT_TRUE(unzip::DirectoryExists("c:\\dest"));
  EXPECT_FALSE(unzip::FileExists("c:\\dest"));
  unzip::SetCurrentDir(saved);
  EXPECT_EQ(unzip::GetCurrentDir(), saved);
  try {
    unzip::SetCurrentDir("c:\\missing");
    ADD_FAILURE() << "no exception";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(e.Message, "File not found");
  }
  EXPECT_THROW(unzip::SetCurrentDir("c:\\dest\\f.bin"), platform::EInOutError);
  EXPECT_THROW(unzip::SetCurrentDir(""), platform::EInOutError);
  EXPECT_EQ(unzip::GetCurrentDir(), saved);
}

TEST_F(DirTest, VolumeLabelReadsTheDrivesLabelFile) {
  EXPECT_EQ(unzip::VolumeLabel("C:\\"), "");
  std::ofstream(root / "drive_c/.windows-label") << "PKBACK# 003\n";
  EXPECT_EQ(unzip::VolumeLabel("C:\\"), "PKBACK# 003");
  std::ofstream(root / "drive_c/.windows-label") << "THIRTEEN_CHAR";
  EXPECT_EQ(unzip::VolumeLabel("c:\\"), "THIRTEEN_CHAR");
  std::ofstream(root / "drive_c/.windows-label") << "FOURTEEN_CHARS";
  EXPECT_EQ(unzip::VolumeLabel("c:\\"), "");  // does not fit the buffer
  EXPECT_EQ(unzip::VolumeLabel("q:\\"), "");
}

TEST_F(DirTest, SelectDirectoryGoesThroughTheUserInterface) {
  ScriptedUI ui;
  platform::ScopedUserInterface scoped(ui);
  std::string dir = "c:\\start";
  EXPECT_TRUE(unzip::SelectDirectory(dir));
  EXPECT_EQ(dir, "c:\\chosen");
  EXPECT_EQ(ui.Started, "c:\\start");
  EXPECT_EQ(ui.Seen.Caption, "Select Directory");
  EXPECT_TRUE(ui.Seen.AllowCreate);
  EXPECT_TRUE(ui.Seen.PromptBeforeCreate);
  ui.Answer = false;
  EXPECT_FALSE(unzip::SelectDirectory(dir));
  EXPECT_EQ(dir, "c:\\chosen");
}
