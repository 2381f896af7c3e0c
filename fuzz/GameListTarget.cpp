// The three game list readers on an arbitrary file. The input is the whole file; the size
// chooses the selected row (size % 9 - 1, so -1 is "no selection"). Checked against the line
// rule read independently here: the list loader gives one row per record with its title;
// the presence filter, unchecked, gives the same rows; checked, the same number of rows; the
// record reader gives the selected record's fields.
#include <cstdint>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "GameList.h"


namespace {

class View : public launcher::IGameListView {
public:
  std::vector<std::string> Rows;
  int Selected = -1;
  bool Present = false;
  std::string RomText, CommandText, DestText;
  void AddRow(const std::string& text) override { Rows.push_back(text); }
  void ClearRows() override { Rows.clear(); }
  int SelectedRow() const override { return Selected; }
  bool PresentOnly() const override { return Present; }
  void SetRomPathText(const std::string& text) override { RomText = text; }
  void SetCommandText(const std::string& text) override { CommandText = text; }
  void SetDestinationText(const std::string& text) override { DestText = text; }
};

// The line rule: a line runs to CR or Ctrl-Z; one LF right after a CR belongs to the line
// end; Ctrl-Z ends the file. Lines read at the end are empty.
struct Lines {
  const uint8_t* Data;
  size_t Size, Pos = 0;
  bool AtEnd() const { return Pos >= Size || Data[Pos] == 26; }
  std::string Next() {
    std::string line;
    while (Pos < Size && Data[Pos] != 13 && Data[Pos] != 26) line.push_back(static_cast<char>(Data[Pos++]));
    if (Pos < Size && Data[Pos] == 13) {
      ++Pos;
      if (Pos < Size && Data[Pos] == 10) ++Pos;
    }
    return line;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzsupport::Sandbox sandbox;
  const std::string file = sandbox.Root() + "/games.rom";
  fuzzsupport::WriteWhole(file, data, size);

  // Expected titles and the selected record.
  std::vector<std::string> titles;
  for (Lines l{data, size}; !l.AtEnd();) {
    titles.push_back(l.Next());
    for (int i = 0; i < 4; ++i) l.Next();
  }
  const int selected = static_cast<int>(size % 9) - 1;
  Lines l{data, size};
  for (int i = 0; i < 5 * selected; ++i) l.Next();
  l.Next();
  const std::string rom = l.Next(), command = l.Next(), sub = l.Next();

  launcher::TGameListState state;
  state.FileName = file;
  View view;
  try {
    launcher::ListLoader(state, view);
    REQUIRE(view.Rows == titles);

    view.Selected = selected;
    REQUIRE(launcher::RecordReader(state, view));
    REQUIRE(state.Current.RomPath == rom && state.Current.Command == command &&
            state.Current.DestSubDir == sub);
    REQUIRE(view.DestText == launcher::kDestinationRoot + sub);

    const launcher::TGame before = state.Current;
    launcher::PresenceFilter(state, view);
    REQUIRE(view.Rows == titles);
    view.Present = true;
    launcher::PresenceFilter(state, view);
    REQUIRE(view.Rows.size() == titles.size());
    REQUIRE(state.Current.RomPath == before.RomPath && state.Current.Command == before.Command);
  } catch (const platform::Exception&) {
    // A file that cannot be read ends in the runtime's input/output error; an ordinary file
    // in the sandbox always can, so nothing is expected here.
    REQUIRE(false);
  }
  return 0;
}
