#pragma once
// Code-page conversion for names and texts stored in archives. The OEM code page of the
// archives this product reads is CP437; the ANSI code page of the host is UTF-8.
#include <string>
#include <string_view>

namespace platform {

// The OEM code page of the names read from now on, by its iconv name ("CP866", "SHIFT_JIS",
// "GBK", ...), for archives made where another code page than CP437 was in use; empty: CP437
// again. False, and nothing changed, when iconv does not know the name. Process-wide, like
// the code page setting of the host it stands in for.
bool SetOemCharset(const std::string& charset);

// OEM text (CP437 unless SetOemCharset chose another) to UTF-8 (the host's OemToCharA).
// Text that is not valid in the chosen code page is read as CP437 instead. Bytes below 0x80 are kept as they are, so
// control characters and ASCII pass through unchanged; each byte from 0x80 up becomes the
// UTF-8 form of its CP437 character.
std::string OemToAnsi(std::string_view oem);

// Windows-1252 text (the ANSI code page of Western Windows) to UTF-8. Every byte keeps a
// meaning of its own: the five bytes the code page leaves undefined become C1 controls.
std::string WindowsAnsiToUtf8(std::string_view text);

// Checks that text fed in pieces (split anywhere) is well-formed UTF-8.
class TUtf8Check {
public:
  // False once anything fed so far is no UTF-8.
  bool Add(std::string_view bytes);
  // True when everything fed is UTF-8 and no character is left unfinished.
  bool Complete() const { return Valid && Need == 0; }

private:
  bool Valid = true;
  int Need = 0;
  unsigned char Low = 0x80, High = 0xBF;
};

// Appends the UTF-8 form of a code point of the basic multilingual plane.
void AppendUtf8(std::string& out, char32_t cp);

// The Unicode code point that CP437 assigns to a byte (identity below 0x80).
char32_t Cp437CodePoint(unsigned char c);

}  // namespace platform
