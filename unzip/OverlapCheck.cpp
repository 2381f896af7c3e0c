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

int32_t CheckEntryDataExtent(const TZipEntries& entries, const TZipHeaderInfo& entry, int64_t dataStart,
                             int32_t guess) {
  const TEntryStore& s = *entries.Entries();
  const int32_t n = entries.Count();
  // Whether the entry at `at` lies after this one's local header.
  const auto after = [&](int32_t at) {
    const uint32_t m = entries.StoreIndex(at);
    const uint16_t disk = s.DiskNumberStart(m);
    return disk != entry.DiskNumberStart ? disk > entry.DiskNumberStart
                                         : s.LocalHeaderOffset(m) > entry.LocalHeaderOffset;
  };
  // The first entry in archive order that lies after this one's local header: a run in
  // archive order finds it at the guess; any other is searched for.
  int32_t lo = 0;
  if (guess >= 0 && guess <= n && (guess == 0 || !after(guess - 1)) && (guess == n || after(guess))) {
    lo = guess;
  } else {
    int32_t hi = n;
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      if (after(mid)) hi = mid;
      else lo = mid + 1;
    }
  }
  if (lo == n) return lo;
  const uint32_t next = entries.StoreIndex(lo);
  if (s.DiskNumberStart(next) != entry.DiskNumberStart) return lo;
  if (dataStart + entry.CompressedSize > s.LocalHeaderOffset(next))
    throw EFatalUnzipError(std::string(kMsgOverlappingEntries) + ": " + entry.FullName() + " and " +
                           std::string(s.FullName(next)));
  return lo;
}

}  // namespace unzip
