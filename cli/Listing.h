#pragma once
// The text of -l and -v: one line per entry and a line of totals, column for column as
// unzip -l and unzip -v print them, so that scripts that cut and awk them keep working. Works
// on plain values, not on the component, so the layout is tested on its own.
#include <cstdint>
#include <string>

namespace cli {

struct TListEntry {
  std::string Name;            // as shown: directory and name with "/" between the parts
  int64_t Size = 0;            // uncompressed
  int64_t Packed = 0;          // compressed, less an encryption header
  uint16_t Method = 0;
  uint16_t Flags = 0;
  std::string MethodText;      // the method as the component names the entry's data
                               //   ("AES-256 + Deflate"); empty: MethodName(Method, Flags)
  uint32_t DosDateTime = 0;    // time in the low 16 bits, date in the high 16 bits
  uint32_t Crc = 0;
  std::string Comment;         // shown under the entry's line
};

// The component's name of the method: "Stored", "Defl:N" (X, F, S by the flags of the
// deflate level), "BZip2", ..., else "Unk:NNN".
std::string MethodName(uint16_t method, uint16_t flags);
// "YYYY-MM-DD HH:MM" of a packed MS-DOS date-time, digits as stored even when invalid.
std::string FormatDosDateTime(uint32_t dosDateTime);
// "-rw-r--r--"-style for entries made on Unix that carry a mode; otherwise the MS-DOS
// attributes as "dos " and the letters d r h s a (or "-" where a bit is clear).
std::string FormatAttributes(uint16_t versionMadeBy, uint32_t externalAttributes);
// The space saved as unzip's listings show it: "53%", "0%" for an empty entry, "-12%" when
// the packed data is larger than the entry.
std::string SavedPercentText(int64_t size, int64_t packed);

// Writes the listing line by line and keeps the totals.
class TListWriter {
public:
  explicit TListWriter(bool verbose) : Verbose(verbose) {}
  std::string Header() const;
  std::string Line(const TListEntry& entry);
  std::string Footer() const;

private:
  bool Verbose;
  int64_t TotalSize = 0;
  int64_t TotalPacked = 0;
  int64_t Count = 0;
};

}  // namespace cli
