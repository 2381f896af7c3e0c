// The three game list readers against a recording view: no widgets involved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "GameList.h"

namespace fs = std::filesystem;
using namespace launcher;

namespace {

class RecordingView : public IGameListView {
public:
  void AddRow(const std::string& text) override { Rows.push_back(text); }
  void ClearRows() override {
    Rows.clear();
    Selected = -1;  // the selection goes with the rows
  }
  int SelectedRow() const override { return Selected; }
  bool PresentOnly() const override { return Filter; }
  void SetRomPathText(const std::string& t) override { Log.push_back("Label1=" + t); }
  void SetCommandText(const std::string& t) override { Log.push_back("Label3=" + t); }
  void SetDestinationText(const std::string& t) override { Log.push_back("Edit3=" + t); }

  std::vector<std::string> Rows;
  std::vector<std::string> Log;
  int Selected = -1;
  bool Filter = false;
};

using Texts = std::vector<std::string>;

std::string Record(const std::string& title, const std::string& rom, const std::string& word,
                   const std::string& dest, const std::string& eol = "\r\n") {
  return title + eol + rom + eol + word + eol + dest + eol + "free" + eol;
}

class GameListTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quorbin-gamelist-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    oldCwd = fs::current_path();
    fs::current_path(dir);  // relative names resolve here, as after the open dialog
    state.FileName = (dir / "GAMES.ROM").string();
  }
  void TearDown() override {
    fs::current_path(oldCwd);
    fs::remove_all(dir);
  }
  void WriteList(const std::string& bytes) { std::ofstream(state.FileName, std::ios::binary) << bytes; }
  Texts Load() {
    RecordingView v;
    ListLoader(state, v);
    return v.Rows;
  }
  // Fetches the record of `row` into state.Current; returns the detail fields' log.
  Texts Fetch(int row) {
    RecordingView v;
    v.Selected = row;
    EXPECT_TRUE(RecordReader(state, v));
    return v.Log;
  }

  fs::path dir, oldCwd;
  TGameListState state;
};

}  // namespace

TEST_F(GameListTest, TenLinesGiveTwoRowsWithOrWithoutTheFinalLineEnd) {
  const std::string two = Record("Alpha", "a.zip", "alpha", "al") + Record("Beta", "b.zip", "beta", "be");
  WriteList(two);
  EXPECT_EQ(Load(), (Texts{"Alpha", "Beta"}));
  WriteList(two.substr(0, two.size() - 2));
  EXPECT_EQ(Load(), (Texts{"Alpha", "Beta"}));
  Fetch(1);
  EXPECT_EQ(state.Current.RomPath, "b.zip");
  EXPECT_EQ(state.Current.Command, "beta");
  EXPECT_EQ(state.Current.DestSubDir, "be");
}

TEST_F(GameListTest, WindowsListsAreReadAsWindows1252AndUtf8ListsAsTheyAre) {
  WriteList(Record("Caf\xE9 \x80", "roms\\caf\xE9.zip", "caf\xE9", "Caf\xE9\x81"));
  EXPECT_EQ(Load(), (Texts{"Caf\xC3\xA9 \xE2\x82\xAC"}));
  EXPECT_EQ(Fetch(0), (Texts{"Label1=ROM path: roms\\caf\xC3\xA9.zip", "Label3=VARNIX command: caf\xC3\xA9",
                             "Edit3=c:\\varnix\\Caf\xC3\xA9\xC2\x81"}));
  EXPECT_EQ(state.Current.Command, "caf\xC3\xA9");
  WriteList("\xEF\xBB\xBF" + Record("Caf\xC3\xA9", "a.zip", "caf\xC3\xA9", "d"));
  EXPECT_EQ(Load(), (Texts{"Caf\xC3\xA9"}));
  Fetch(0);
  EXPECT_EQ(state.Current.Command, "caf\xC3\xA9");
}

TEST_F(GameListTest, ShortLastRecordStillGetsItsRowAndEmptyFields) {
  WriteList(Record("Alpha", "a.zip", "alpha", "al") + "Gamma\r\ng.zip\r\ngamma\r\n");
  EXPECT_EQ(Load(), (Texts{"Alpha", "Gamma"}));
  EXPECT_EQ(Fetch(1), (Texts{"Label1=ROM path: g.zip", "Label3=VARNIX command: gamma", "Edit3=c:\\varnix\\"}));
  EXPECT_EQ(state.Current.DestSubDir, "");
}

TEST_F(GameListTest, BlankLineAfterTheLastRecordStartsAnEmptyRecord) {
  WriteList(Record("Alpha", "a.zip", "alpha", "al") + "\r\n");
  EXPECT_EQ(Load(), (Texts{"Alpha", ""}));
  state.Current = {"x", "y", "z"};
  EXPECT_EQ(Fetch(1), (Texts{"Label1=ROM path: ", "Label3=VARNIX command: ", "Edit3=c:\\varnix\\"}));
  EXPECT_EQ(state.Current.RomPath, "");
  EXPECT_EQ(state.Current.Command, "");
}

TEST_F(GameListTest, LfOnlyFileIsOneRowOfTheWholeText) {
  const std::string lf = Record("Alpha", "a.zip", "alpha", "al", "\n") + Record("Beta", "b.zip", "beta", "be", "\n");
  WriteList(lf);
  EXPECT_EQ(Load(), (Texts{lf}));
  Fetch(0);
  EXPECT_EQ(state.Current.RomPath, "") << "everything was line 1";
}

TEST_F(GameListTest, CtrlZEndsTheListAndNothingAfterItCanBeFetched) {
  WriteList(Record("Alpha", "a.zip", "alpha", "al") + "\x1A" + Record("Beta", "b.zip", "beta", "be"));
  EXPECT_EQ(Load(), (Texts{"Alpha"}));
  Fetch(1);
  EXPECT_EQ(state.Current.RomPath, "");
  EXPECT_EQ(state.Current.Command, "");
  // And in the middle of a record: the record is cut there.
  WriteList("Alpha\r\na.z\x1Aip\r\nalpha\r\n");
  EXPECT_EQ(Load(), (Texts{"Alpha"}));
  Fetch(0);
  EXPECT_EQ(state.Current.RomPath, "a.z");
  EXPECT_EQ(state.Current.Command, "");
}

TEST_F(GameListTest, RowZeroAndNoSelectionBothFetchRecordZero) {
  WriteList(Record("Alpha", "a.zip", "alpha", "al") + Record("Beta", "b.zip", "beta", "be"));
  const Texts first = {"Label1=ROM path: a.zip", "Label3=VARNIX command: alpha", "Edit3=c:\\varnix\\al"};
  EXPECT_EQ(Fetch(0), first);
  EXPECT_EQ(Fetch(-1), first);
  // Beyond the last record: empty fields, no error.
  EXPECT_EQ(Fetch(7), (Texts{"Label1=ROM path: ", "Label3=VARNIX command: ", "Edit3=c:\\varnix\\"}));
}

TEST_F(GameListTest, FilterShowsAbsentGamesAsEmptyRowsThatStillSelectTheirRecords) {
  fs::create_directories(dir / "roms");
  std::ofstream(dir / "roms" / "here.zip") << "PK";
  fs::create_directories(dir / "dirgame");
  fs::create_directories(dir / "roms" / "adir.zip");  // a directory is no archive
  std::ofstream(dir / "fileword") << "x";             // a file is no command directory
  WriteList(Record("Here", "roms\\here.zip", "here", "h") + Record("Gone", "roms\\gone.zip", "gone", "g") +
            Record("ByDir", "roms\\nothing.zip", "dirgame", "d") +
            Record("DirAsRom", "roms\\adir.zip", "nodir", "x") + Record("FileAsWord", "nope.zip", "fileword", "y"));

  RecordingView v;
  v.Filter = true;
  state.Current = {"kept.zip", "kept", "k"};
  PresenceFilter(state, v);
  EXPECT_EQ(v.Rows, (Texts{"Here", "", "ByDir", "", ""}));
  EXPECT_TRUE(v.Log.empty()) << "the filter never touches the detail fields";
  EXPECT_EQ(state.Current.Command, "kept") << "nor the current game";

  // Selecting the empty row of an absent game fetches that game.
  v.Selected = 1;
  ASSERT_TRUE(RecordReader(state, v));
  EXPECT_EQ(state.Current.RomPath, "roms\\gone.zip");

  // Filter off again: every title, the list rebuilt from scratch.
  v.Filter = false;
  PresenceFilter(state, v);
  EXPECT_EQ(v.Rows, (Texts{"Here", "Gone", "ByDir", "DirAsRom", "FileAsWord"}));
}

TEST_F(GameListTest, MissingListFileChangesNothing) {
  state.FileName.clear();  // a cancelled dialog
  RecordingView v;
  v.Rows = {"stale"};
  ListLoader(state, v);
  EXPECT_EQ(v.Rows, Texts{"stale"});
  state.Current = {"a", "b", "c"};
  EXPECT_FALSE(RecordReader(state, v));
  EXPECT_TRUE(v.Log.empty());
  EXPECT_EQ(state.Current.Command, "b");
  PresenceFilter(state, v);
  EXPECT_TRUE(v.Rows.empty()) << "the filter empties the list first";

  // A directory of the held name is no file either.
  state.FileName = dir.string();
  ListLoader(state, v);
  EXPECT_TRUE(v.Rows.empty());
}

TEST_F(GameListTest, ScreenshotNamesFollowTheCommandWord) {
  EXPECT_EQ(ScreenshotName("galaxor", 1), "shots\\galaxor1.bmp");
  EXPECT_EQ(ScreenshotName("", 2), "shots\\2.bmp");
}
