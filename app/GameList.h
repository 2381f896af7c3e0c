#pragma once
// The game list file and its three readers: the list loader, the record reader and the
// presence filter. No widgets here: the readers talk to the main window through
// IGameListView, so they can be checked without one.
//
// A game record is five lines: title, ROM path, command word, destination sub-directory,
// and a free line. Row n of the list always stands for record n. Every reader opens the
// file afresh and closes it before it returns, on every path.
#include <string>

namespace launcher {

// The directory every destination sub-directory is appended to.
inline constexpr const char* kDestinationRoot = "c:\\varnix\\";
inline constexpr const char* kRomPathCaption = "ROM path: ";
inline constexpr const char* kCommandCaption = "VARNIX command: ";

// The current game: the record the record reader fetched last. Empty at start.
struct TGame {
  std::string RomPath;
  std::string Command;
  std::string DestSubDir;
};

// What the readers need of the main window.
class IGameListView {
public:
  virtual ~IGameListView() = default;
  virtual void AddRow(const std::string& text) = 0;
  virtual void ClearRows() = 0;
  // The selected row, -1 when none.
  virtual int SelectedRow() const = 0;
  // The "present ROMS" box, read afresh for every record.
  virtual bool PresentOnly() const = 0;
  // The detail fields, set while the record is read.
  virtual void SetRomPathText(const std::string& text) = 0;
  virtual void SetCommandText(const std::string& text) = 0;
  virtual void SetDestinationText(const std::string& text) = 0;
};

// What the front-end holds for the whole run.
struct TGameListState {
  std::string FileName;  // as the open dialog returned it; empty until one was chosen
  TGame Current;
};

// Fills the list with the titles; nothing when no file of the held name exists.
void ListLoader(const TGameListState& state, IGameListView& view);
// Fetches the record of the selected row (row 0 and no selection both fetch record 0) into
// state.Current, updating the detail fields as it goes. False, with nothing changed, when no
// file of the held name exists.
bool RecordReader(TGameListState& state, IGameListView& view);
// Rebuilds the list: every title, or with "present ROMS" checked, the present games' titles
// and an empty row for each absent game. Never touches the current game.
void PresenceFilter(const TGameListState& state, IGameListView& view);

// A game is present when its ROM path names a file (not a directory) or its command word
// names a directory (not a file).
bool GameIsPresent(const std::string& romPath, const std::string& command);

// The screenshot names of a game: "shots\" + command word + n + ".bmp", n = 1 or 2.
std::string ScreenshotName(const std::string& command, int n);

}  // namespace launcher
