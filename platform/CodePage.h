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

// The Unicode code point that CP437 assigns to a byte (identity below 0x80).
char32_t Cp437CodePoint(unsigned char c);

}  // namespace platform
