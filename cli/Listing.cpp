#include "Listing.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "Methods.h"

namespace cli {

namespace {

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, n);
  std::string big(n + 1, '\0');
  va_start(args, fmt);
  std::vsnprintf(big.data(), big.size(), fmt, args);
  va_end(args);
  big.resize(n);
  return big;
}

// The method column: one word, so that scripts splitting at blanks find every later column
// where they expect it ("AES-256 + Deflate" shows as "AES-256+Deflate").
std::string ListedMethod(const TListEntry& e) {
  std::string text = e.MethodText.empty() ? unzip::MethodListName(e.Method, e.Flags) : e.MethodText;
  std::erase(text, ' ');
  return text;
}

}  // namespace

std::string MethodName(uint16_t method, uint16_t flags) { return unzip::MethodListName(method, flags); }

std::string FormatDosDateTime(uint32_t dt) {
  const unsigned date = dt >> 16, time = dt & 0xFFFF;
  return Printf("%04u-%02u-%02u %02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63);
}

std::string FormatAttributes(uint16_t versionMadeBy, uint32_t external) {
  const uint32_t mode = external >> 16;
  if ((versionMadeBy >> 8) == 3 && mode != 0) {
    std::string s(10, '-');
    switch (mode & 0170000) {
      case 0040000: s[0] = 'd'; break;
      case 0120000: s[0] = 'l'; break;
      case 0010000: s[0] = 'p'; break;
      case 0020000: s[0] = 'c'; break;
      case 0060000: s[0] = 'b'; break;
      case 0140000: s[0] = 's'; break;
      default: break;
    }
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
      if (mode & (0400u >> i)) s[1 + i] = rwx[i];
    if (mode & 04000) s[3] = (mode & 0100) ? 's' : 'S';
    if (mode & 02000) s[6] = (mode & 0010) ? 's' : 'S';
    if (mode & 01000) s[9] = (mode & 0001) ? 't' : 'T';
    return s;
  }
  std::string s = "dos -----";
  if (external & 0x10) s[4] = 'd';
  if (external & 0x01) s[5] = 'r';
  if (external & 0x02) s[6] = 'h';
  if (external & 0x04) s[7] = 's';
  if (external & 0x20) s[8] = 'a';
  return s;
}

std::string SavedPercentText(int64_t size, int64_t packed) {
  if (size <= 0) return "0%";
  // The saving is rounded twice, to tenths of a percent and then to whole percents, halves
  // away from zero, in integers so that huge sizes lose nothing. A saving that rounds to zero
  // from below keeps its sign ("-0%"); one of exactly minus a hundred is shown without it,
  // as unzip shows both.
  const __int128 diff = static_cast<__int128>(size) - packed;
  const __int128 magnitude = diff < 0 ? -diff : diff;
  const __int128 permille = (magnitude * 2000 + size) / (static_cast<__int128>(size) * 2);
  const int64_t percent = static_cast<int64_t>((permille + 5) / 10);
  const bool negative = diff < 0 && permille > 0 && percent != 100;
  std::string text = negative ? "-" : "";
  text += std::to_string(percent);
  text += '%';
  return text;
}

std::string TListWriter::Header() const {
  if (Verbose)
    return " Length   Method    Size  Cmpr    Date    Time   CRC-32   Name\n"
           "--------  ------  ------- ---- ---------- ----- --------  ----\n";
  return "  Length      Date    Time    Name\n"
         "---------  ---------- -----   ----\n";
}

std::string TListWriter::Line(const TListEntry& e) {
  TotalSize += e.Size;
  TotalPacked += e.Packed;
  ++Count;
  std::string line =
      Verbose ? Printf("%8" PRId64 "  %-7s%8" PRId64 " %4s %s %08" PRIx32 "  ", e.Size,
                       ListedMethod(e).c_str(), e.Packed, SavedPercentText(e.Size, e.Packed).c_str(),
                       FormatDosDateTime(e.DosDateTime).c_str(), e.Crc)
              : Printf("%9" PRId64 "  %s   ", e.Size, FormatDosDateTime(e.DosDateTime).c_str());
  line += e.Name;
  line += '\n';
  // The entry's comment follows on lines of its own, as stored.
  if (!e.Comment.empty()) {
    line += e.Comment;
    if (e.Comment.back() != '\n') line += '\n';
  }
  return line;
}

std::string TListWriter::Footer() const {
  const std::string files = Count == 1 ? std::string("1 file") : std::to_string(Count) + " files";
  if (Verbose)
    return "--------          -------  ---                            -------\n" +
           Printf("%8" PRId64 "         %8" PRId64 " %4s                            %s\n", TotalSize,
                  TotalPacked, SavedPercentText(TotalSize, TotalPacked).c_str(), files.c_str());
  return "---------                     -------\n" +
         Printf("%9" PRId64 "                     %s\n", TotalSize, files.c_str());
}

}  // namespace cli
