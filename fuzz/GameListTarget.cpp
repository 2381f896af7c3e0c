// The three game list readers on an arbitrary file. The input is the whole file; the size
// chooses the selected row (size % 9 - 1, so -1 is "no selection"). Checked against the line
// rule read independently here: the list loader gives one row per record with its title;
// the presence filter, unchecked, gives the same rows; checked, the same number of rows; the
// record reader gives the selected record's fields. The text is UTF-8 when the whole file is
// (told here by decoding each character), else Windows-1252 turned into UTF-8: every row and
// field must then be UTF-8.
#include <cstdint>
#include <string>
#include <vector>

#include "CodePage.h"
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

// UTF-8 by decoding: each sequence gives a code point in its length's range, no surrogate,
// nothing above U+10FFFF.
bool IsUtf8(const uint8_t* s, size_t size) {
  static constexpr char32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < size;) {
    const uint8_t c = s[i];
    const size_t n = c < 0x80 ? 1 : c >= 0xF8 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > size) return false;
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if (cp < kLeast[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += n;
  }
  return true;
}

// The lines as the program holds them.
struct Text {
  Lines Raw;
  bool Utf8, First = true;
  Text(const uint8_t* data, size_t size) : Raw{data, size} {
    size_t end = 0;
    while (end < size && data[end] != 26) ++end;
    Utf8 = IsUtf8(data, end);
  }
  bool AtEnd() const { return Raw.AtEnd(); }
  std::string Next() {
    std::string line = Raw.Next();
    if (!Utf8) line = platform::WindowsAnsiToUtf8(line);
    else if (First && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    First = false;
    REQUIRE(IsUtf8(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
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
  for (Text l{data, size}; !l.AtEnd();) {
    titles.push_back(l.Next());
    for (int i = 0; i < 4; ++i) l.Next();
  }
  const int selected = static_cast<int>(size % 9) - 1;
  Text l{data, size};
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
