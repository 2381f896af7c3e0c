#pragma once
// Code-page conversion for names and texts stored in archives. The OEM code page of the
// archives this product reads is CP437; the ANSI code page of the host is UTF-8.
#include <string>
#include <string_view>

namespace platform {

// CP437 text to UTF-8 (the host's OemToCharA). Bytes below 0x80 are kept as they are, so
// control characters and ASCII pass through unchanged; each byte from 0x80 up becomes the
// UTF-8 form of its CP437 character.
std::string OemToAnsi(std::string_view oem);

// The Unicode code point that CP437 assigns to a byte (identity below 0x80).
char32_t Cp437CodePoint(unsigned char c);

}  // namespace platform
