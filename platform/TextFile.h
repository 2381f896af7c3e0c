#pragma once
// Text files as the runtime reads them, for the game list and anything else line-based.
// The line rule is exact, because the game list readers count lines:
//  - a line is the run of bytes up to the next CR (13) or Ctrl-Z (26), without that byte;
//  - a CR ends the line, and one LF (10) right after it belongs to the line end;
//  - a lone LF is an ordinary byte of the text;
//  - Ctrl-Z is the end of the file: neither it nor anything after it is ever read;
//  - lines have no length limit, and text is never trimmed or converted.
// Every operation raises EInOutError at once when the platform reports an error.
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Runtime error code for an operation on a text file that is not open.
inline constexpr int kFileNotOpen = 103;

class TTextFile {
public:
  TTextFile() = default;
  ~TTextFile();
  TTextFile(const TTextFile&) = delete;
  TTextFile& operator=(const TTextFile&) = delete;

  // Opens an existing file for reading (a Windows-style or host name). A missing file,
  // a directory or a file that cannot be read raises EInOutError. An open file is closed
  // first.
  void Reset(std::string_view name);
  // The text of the current line, up to (not including) its CR or Ctrl-Z. At the end of
  // the file: an empty string, no error.
  void ReadLine(std::string& line);
  // Moves to the start of the next line: past the next CR and one LF right after it.
  // At the end of the file it does nothing.
  void SkipLine();
  // Both steps: the line's text, then on to the next line.
  void ReadLn(std::string& line) {
    ReadLine(line);
    SkipLine();
  }
  // True when no byte is left or the next byte is Ctrl-Z.
  bool Eof();
  // Closes the file; closing a file that is not open raises EInOutError (103).
  void Close();
  bool IsOpen() const { return Fd >= 0; }

private:
  // The next byte without consuming it; -1 at the end of the data or at Ctrl-Z.
  int Peek();
  void RequireOpen() const;
  bool Fill();

  int Fd = -1;
  bool AtEnd = false;  // the data ended or a Ctrl-Z was met: nothing more is read
  std::vector<char> Buffer;
  size_t Pos = 0;
  size_t Len = 0;
};

// True when the text of a file (up to a Ctrl-Z) is well-formed UTF-8. Errors as Reset.
bool TextFileIsUtf8(std::string_view name);

}  // namespace platform
