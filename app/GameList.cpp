#include "GameList.h"

#include "CodePage.h"
#include "FileNames.h"
#include "TextFile.h"

namespace launcher {

namespace {

// The list's text as the rest of the program holds it (UTF-8): a file that is UTF-8 as a
// whole is taken as it is, any other was written on Windows in its ANSI code page
// (Windows-1252). Titles, paths, command words and destinations all go the same way.
// Each reader opens its own handle: it is closed by its destructor on every path, so an
// error half-way never leaves the file open for the next reader.
class TListFile {
public:
  void Reset(const std::string& name) {
    File.Reset(name);
    Utf8 = platform::TextFileIsUtf8(name);
  }
  bool Eof() { return File.Eof(); }
  void ReadLn(std::string& line) {
    File.ReadLn(line);
    if (!Utf8)
      line = platform::WindowsAnsiToUtf8(line);
    else if (First && line.starts_with("\xEF\xBB\xBF"))
      line.erase(0, 3);  // the mark some editors put before UTF-8 text
    First = false;
  }
  void Close() { File.Close(); }

private:
  platform::TTextFile File;
  bool Utf8 = true;
  bool First = true;
};

}  // namespace

void ListLoader(const TGameListState& state, IGameListView& view) {
  if (!platform::FileExists(state.FileName)) return;
  TListFile file;
  std::string scratch;
  file.Reset(state.FileName);
  while (!file.Eof()) {
    file.ReadLn(scratch);
    view.AddRow(scratch);
    for (int i = 0; i < 4; ++i) file.ReadLn(scratch);
  }
  file.Close();
}

bool RecordReader(TGameListState& state, IGameListView& view) {
  if (!platform::FileExists(state.FileName)) return false;
  TListFile file;
  std::string scratch;
  file.Reset(state.FileName);
  const int k = view.SelectedRow();
  for (long i = 0; i < 5L * k; ++i) file.ReadLn(scratch);  // none for row 0 or no selection
  file.ReadLn(scratch);
  file.ReadLn(state.Current.RomPath);
  view.SetRomPathText(kRomPathCaption + state.Current.RomPath);
  file.ReadLn(state.Current.Command);
  view.SetCommandText(kCommandCaption + state.Current.Command);
  file.ReadLn(state.Current.DestSubDir);
  view.SetDestinationText(kDestinationRoot + state.Current.DestSubDir);
  file.ReadLn(scratch);
  file.Close();
  return true;
}

void PresenceFilter(const TGameListState& state, IGameListView& view) {
  view.ClearRows();
  if (!platform::FileExists(state.FileName)) return;
  TListFile file;
  std::string title, romPath, command, scratch;
  file.Reset(state.FileName);
  while (!file.Eof()) {
    file.ReadLn(title);
    file.ReadLn(romPath);
    file.ReadLn(command);
    if (!view.PresentOnly())
      view.AddRow(title);
    else
      view.AddRow(GameIsPresent(romPath, command) ? title : std::string());
    file.ReadLn(scratch);
    file.ReadLn(scratch);
  }
  file.Close();
}

bool GameIsPresent(const std::string& romPath, const std::string& command) {
  return platform::FileExists(romPath) || platform::DirectoryExists(command);
}

std::string ScreenshotName(const std::string& command, int n) {
  return "shots\\" + command + static_cast<char>('0' + n) + ".bmp";
}

}  // namespace launcher
