#pragma once
// The sorted list of directory entries.
#include <cstdint>
#include <vector>

#include "ObjectList.h"
#include "ZipRecords.h"

namespace unzip {

// A list of TZipHeaderInfo ordered by CompareEntries under its SortMode.
class TSortedZip : public TSortedObjectList {
public:
  explicit TSortedZip(TDuplicates duplicates) : TSortedObjectList(duplicates) {}

  int Compare(const void* itemKey, const void* searchKey) override;

  // The entry at `index` (no range check beyond the list's own).
  TZipHeaderInfo* Entry(int32_t index) const { return static_cast<TZipHeaderInfo*>(Get(index)); }

  // Fills an empty list with `entries` in one go, in exactly the order that adding them
  // one by one in the given order would give, in O(n log n) instead of the quadratic cost
  // of sorted inserts. Under dupError two equal entries raise "Duplicate Object index" and
  // leave the list empty; under dupIgnore the later of two equals is left out (it stays with
  // the caller, as with Add).
  void AddSorted(const std::vector<TZipHeaderInfo*>& entries);

  TZipSortMode SortMode = TZipSortMode::ByNone;

private:
  // Takes `sorted` as the list's items, in that order.
  void Fill(const std::vector<TZipHeaderInfo*>& sorted);
};

}  // namespace unzip
