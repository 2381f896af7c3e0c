#pragma once
// Refusal of archives whose entries share compressed data. A "zip bomb" without nesting
// reaches its size by pointing many central records at overlapping stretches of one
// compressed kernel; archives made by real tools never overlap, so such an archive is
// refused as a whole before anything is extracted.
#include "ZipDirectory.h"

namespace unzip {

inline constexpr const char* kMsgOverlappingEntries = "overlapping entries (possible zip bomb)";

// `entries` in archive order (by disk, then local header offset), as EntryList holds them.
// Each entry occupies, on its disk, its local header and its compressed data; when that
// stretch reaches the next entry's local header, raises EFatalUnzipError
// "overlapping entries (possible zip bomb): " + both names. Only the fixed 30 bytes of the
// local header are counted (its name and extra field lengths are not in the directory), so
// the stretch taken is the least the entry can occupy: a sound archive is never refused.
void CheckOverlappingEntries(const TZipEntries& entries);

// The same for one entry once its local header is read, with the real start of its data
// (`dataStart`, after the header's name and extra field, which can be of any length): raises
// the same error when the data reaches the local header of the entry that follows it on its
// disk in `entries` (archive order). A local extra field stretching into the next entry is
// caught only here. Returns the position in `entries` of that following entry (Count() when
// there is none); `guess`, where the caller expects it (one past the last result when going
// through the archive in order), spares the search when right.
int32_t CheckEntryDataExtent(const TZipEntries& entries, const TZipHeaderInfo& entry, int64_t dataStart,
                             int32_t guess = -1);

}  // namespace unzip
