#include "OverlapCheck.h"

#include <cstdint>
#include <string>

#include "UnzipErrors.h"

namespace unzip {

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
      throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + a.FullName() + " and " +
                             b.FullName());
  }
}

void CheckEntryDataExtent(const TSortedZip& entries, const TZipHeaderInfo& entry, int64_t dataStart) {
  // The first entry in archive order that lies after this one's local header.
  int32_t lo = 0, hi = entries.Count();
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const TZipHeaderInfo& m = *entries.Entry(mid);
    const bool after = m.DiskNumberStart != entry.DiskNumberStart
                           ? m.DiskNumberStart > entry.DiskNumberStart
                           : m.LocalHeaderOffset > entry.LocalHeaderOffset;
    if (after) hi = mid;
    else lo = mid + 1;
  }
  if (lo == entries.Count()) return;
  const TZipHeaderInfo& next = *entries.Entry(lo);
  if (next.DiskNumberStart != entry.DiskNumberStart) return;
  if (dataStart + entry.CompressedSize > next.LocalHeaderOffset)
    throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + entry.FullName() + " and " +
                           next.FullName());
}

}  // namespace unzip
