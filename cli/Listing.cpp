#include "Listing.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "Methods.h"

namespace cli {

namespace {

bool IsEncrypted(uint16_t flags) { return (flags & 1) != 0; }

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

int SavedPercent(int64_t size, int64_t packed) {
  if (size <= 0) return 0;
  // Rounded half away from zero, in integers so that huge sizes lose nothing.
  const __int128 num = static_cast<__int128>(size - packed) * 200;
  const __int128 den = static_cast<__int128>(size) * 2;
  const __int128 q = num >= 0 ? (num + size) / den : -((-num + size) / den);
  return static_cast<int>(q);
}

std::string TListWriter::Header() const {
  // Each title sits over its column as Line() prints it: right-aligned over the numbers.
  std::string titles = "    Length  Method         Size  Cmpr  Date       Time   CRC-32    ";
  std::string rule = "----------  -------  ----------  ----  ---------- -----  --------  ";
  if (Verbose) {
    titles += "Attributes  E  ";
    rule += "----------  -  ";
  }
  return titles + "Name\n" + rule + "----\n";
}

std::string TListWriter::Line(const TListEntry& e) {
  TotalSize += e.Size;
  TotalPacked += e.Packed;
  ++Count;
  std::string line = Printf("%10" PRId64 "  %-7s  %10" PRId64 "  %3d%%  %s  %08" PRIx32 "  ", e.Size,
                            (e.MethodText.empty() ? MethodName(e.Method, e.Flags) : e.MethodText).c_str(),
                            e.Packed,
                            SavedPercent(e.Size, e.Packed),
                            FormatDosDateTime(e.DosDateTime).c_str(), e.Crc);
  if (Verbose)
    line += Printf("%-10s  %c  ", FormatAttributes(e.VersionMadeBy, e.ExternalAttributes).c_str(),
                   IsEncrypted(e.Flags) ? '*' : ' ');
  line += e.Name;
  line += '\n';
  if (Verbose && !e.Comment.empty()) {
    // The comment goes under the name, each of its lines indented alike.
    const std::string indent(Header().find("Name"), ' ');
    size_t start = 0;
    while (start <= e.Comment.size()) {
      size_t end = e.Comment.find('\n', start);
      if (end == std::string::npos) end = e.Comment.size();
      std::string part = e.Comment.substr(start, end - start);
      if (!part.empty() && part.back() == '\r') part.pop_back();
      line += indent + part + '\n';
      start = end + 1;
    }
  }
  return line;
}

std::string TListWriter::Footer() const {
  // The totals stand under the size columns, the count of files under the names.
  const size_t nameColumn = Header().find("Name");
  std::string rule = "----------           ----------  ----";
  rule.append(nameColumn - rule.size(), ' ');
  rule += "-------\n";
  std::string totals = Printf("%10" PRId64 "           %10" PRId64 "  %3d%%", TotalSize, TotalPacked,
                              SavedPercent(TotalSize, TotalPacked));
  totals.append(nameColumn - totals.size(), ' ');
  totals += (Count == 1 ? std::string("1 file") : std::to_string(Count) + " files") + "\n";
  return rule + totals;
}

}  // namespace cli
