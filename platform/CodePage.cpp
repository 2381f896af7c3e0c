#include "CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {

// Code points of CP437 bytes 0x80 to 0xFF.
constexpr std::array<char16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// Windows-1252 from 0x80 to 0x9F; the five bytes it leaves undefined keep their value as
// C1 controls, as Windows converts them, so no byte's meaning is lost.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string WindowsAnsiToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80)
      out += ch;
    else
      AppendUtf8(out, c < 0xA0 ? char32_t{kCp1252High[c - 0x80]} : char32_t{c});
  }
  return out;
}

bool TUtf8Check::Add(std::string_view bytes) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (Need == 0) {
      if (c < 0x80) continue;
      Low = 0x80;
      High = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        Need = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        Need = 2;
        if (c == 0xE0) Low = 0xA0;    // no overlong forms
        if (c == 0xED) High = 0x9F;   // no surrogates
      } else if (c >= 0xF0 && c <= 0xF4) {
        Need = 3;
        if (c == 0xF0) Low = 0x90;
        if (c == 0xF4) High = 0x8F;   // nothing above U+10FFFF
      } else {
        return Valid = false;
      }
    } else {
      if (c < Low || c > High) return Valid = false;
      Low = 0x80;
      High = 0xBF;
      --Need;
    }
  }
  return Valid;
}

char32_t Cp437CodePoint(unsigned char c) {
  return c < 0x80 ? char32_t{c} : char32_t{kCp437High[c - 0x80]};
}

namespace {

std::mutex gCharsetLock;
iconv_t gCharset = reinterpret_cast<iconv_t>(-1);  // none: CP437

// Through iconv; false on any byte sequence the code page does not have.
bool ConvertWithCharset(std::string_view in, std::string& out) {
  std::lock_guard<std::mutex> lock(gCharsetLock);
  if (gCharset == reinterpret_cast<iconv_t>(-1)) return false;
  ::iconv(gCharset, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  std::string input(in);
  char* src = input.data();
  size_t srcLeft = input.size();
  out.assign(in.size() * 4 + 8, '\0');  // no code page needs more than 4 UTF-8 bytes a byte
  char* dst = out.data();
  size_t dstLeft = out.size();
  if (::iconv(gCharset, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) ||
      ::iconv(gCharset, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
    return false;
  out.resize(out.size() - dstLeft);
  return true;
}

}  // namespace

bool SetOemCharset(const std::string& charset) {
  iconv_t next = reinterpret_cast<iconv_t>(-1);
  if (!charset.empty()) {
    next = ::iconv_open("UTF-8", charset.c_str());
    if (next == reinterpret_cast<iconv_t>(-1)) return false;
  }
  std::lock_guard<std::mutex> lock(gCharsetLock);
  if (gCharset != reinterpret_cast<iconv_t>(-1)) ::iconv_close(gCharset);
  gCharset = next;
  return true;
}

std::string OemToAnsi(std::string_view oem) {
  if (std::string converted; ConvertWithCharset(oem, converted)) return converted;
  std::string out;
  out.reserve(oem.size());
  for (const char ch : oem) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80)
      out += ch;
    else
      AppendUtf8(out, Cp437CodePoint(c));
  }
  return out;
}

}  // namespace platform
