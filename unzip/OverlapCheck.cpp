#include "OverlapCheck.h"

#include <cstdint>
#include <string>

#include "UnzipErrors.h"

namespace unzip {

void CheckOverlappingEntries(const TZipEntries& entries) {
  const TEntryStore& s = *entries.Entries();
  const int32_t n = entries.Count();
  for (int32_t i = 0; i + 1 < n; ++i) {
    const uint32_t a = entries.StoreIndex(i), b = entries.StoreIndex(i + 1);
    if (s.DiskNumberStart(a) != s.DiskNumberStart(b)) continue;
    // The name is not counted either: FileNameLength is that of the converted name, which
    // can be longer than the stored one. Sizes are unsigned 32-bit in the archive and offsets
    // non-negative: no overflow in 64 bits.
    const int64_t end = s.LocalHeaderOffset(a) + 30 + s.CompressedSize(a);
    if (end > s.LocalHeaderOffset(b))
      throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + std::string(s.FullName(a)) +
                             " and " + std::string(s.FullName(b)));
  }
}

void CheckEntryDataExtent(const TZipEntries& entries, const TZipHeaderInfo& entry, int64_t dataStart) {
  // The first entry in archive order that lies after this one's local header.
  int32_t lo = 0, hi = entries.Count();
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const uint32_t m = entries.StoreIndex(mid);
    const uint16_t disk = entries.Entries()->DiskNumberStart(m);
    const bool after = disk != entry.DiskNumberStart ? disk > entry.DiskNumberStart
                                                     : entries.Entries()->LocalHeaderOffset(m) > entry.LocalHeaderOffset;
    if (after) hi = mid;
    else lo = mid + 1;
  }
  if (lo == entries.Count()) return;
  const TZipHeaderInfo next = *entries.Entry(lo);
  if (next.DiskNumberStart != entry.DiskNumberStart) return;
  if (dataStart + entry.CompressedSize > next.LocalHeaderOffset)
    throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + entry.FullName() + " and " +
                           next.FullName());
}

}  // namespace unzip
