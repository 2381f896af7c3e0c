#include "OverlapCheck.h"

#include <cstdint>
#include <string>

#include "UnzipErrors.h"

namespace unzip {

namespace {

std::string FullName(const TZipHeaderInfo& e) { return e.Directory + e.FileName; }

}  // namespace

void CheckOverlappingEntries(const TSortedZip& entries) {
  const int32_t n = entries.Count();
  for (int32_t i = 0; i + 1 < n; ++i) {
    const TZipHeaderInfo& a = *entries.Entry(i);
    const TZipHeaderInfo& b = *entries.Entry(i + 1);
    if (a.DiskNumberStart != b.DiskNumberStart) continue;
    // The name is not counted either: FileNameLength is that of the converted name, which
    // can be longer than the stored one. Sizes are unsigned 32-bit in the archive and offsets
    // non-negative: no overflow in 64 bits.
    const int64_t end = a.LocalHeaderOffset + 30 + a.CompressedSize;
    if (end > b.LocalHeaderOffset)
      throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + FullName(a) + " and " +
                             FullName(b));
  }
}

}  // namespace unzip
