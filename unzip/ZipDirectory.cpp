#include "ZipDirectory.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <numeric>

namespace unzip {

int TSortedZip::Compare(const void* itemKey, const void* searchKey) {
  return CompareEntries(SortMode,
                        *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(itemKey)),
                        *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(searchKey)));
}

namespace {

// The modes whose comparison never reports equality: an entry inserted among equals goes
// behind them. Under the others it finds an equal and goes in front of it.
bool NeverEqual(TZipSortMode mode) {
  return mode == TZipSortMode::ByDate || mode == TZipSortMode::ByCompressedSize ||
         mode == TZipSortMode::ByUnCompressedSize;
}

}  // namespace

void TSortedZip::AddSorted(const std::vector<TZipHeaderInfo*>& entries) {
  Clear();
  const size_t n = entries.size();
  if (n == 0) return;

  // Keys are worked out once per entry, so the sort does not rebuild them at every step.
  std::vector<std::string> names;
  std::vector<int64_t> numbers;
  switch (SortMode) {
    case TZipSortMode::ByName:
      names.reserve(n);
      for (const auto* e : entries) names.push_back(e->Directory + e->FileName);
      break;
    case TZipSortMode::ByFileName:
      names.reserve(n);
      for (const auto* e : entries) names.push_back(e->FileName);
      break;
    case TZipSortMode::ByDirectoryName:
      names.reserve(n);
      for (const auto* e : entries) names.push_back(e->Directory);
      break;
    case TZipSortMode::ByDate:
      for (const auto* e : entries)
        numbers.push_back(IsValidDosDateTime(e->FileDateTime) ? e->FileDateTime : 0);
      break;
    case TZipSortMode::ByCompressedSize:
      for (const auto* e : entries) numbers.push_back(e->CompressedSize);
      break;
    case TZipSortMode::ByUnCompressedSize:
      for (const auto* e : entries) numbers.push_back(e->UncompressedSize);
      break;
    case TZipSortMode::ByRate:
      for (const auto* e : entries)
        numbers.push_back(CompressionRate(e->UncompressedSize, e->CompressedSize));
      break;
    case TZipSortMode::ByNone:
      break;
  }

  // -1, 0, +1 like CompareEntries, on the precomputed keys.
  auto compare = [&](size_t a, size_t b) -> int {
    switch (SortMode) {
      case TZipSortMode::ByName:
      case TZipSortMode::ByFileName:
      case TZipSortMode::ByDirectoryName: {
        return CompareText(names[a], names[b]);
      }
      case TZipSortMode::ByDate:
      case TZipSortMode::ByCompressedSize:
      case TZipSortMode::ByUnCompressedSize:
      case TZipSortMode::ByRate:
        // Largest first.
        return numbers[a] > numbers[b] ? -1 : (numbers[a] < numbers[b] ? 1 : 0);
      case TZipSortMode::ByNone:
        return CompareEntries(TZipSortMode::ByNone, *entries[a], *entries[b]);
    }
    return 0;
  };

  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  const auto before = [&](size_t a, size_t b) { return compare(a, b) < 0; };
  // Archive order usually arrives in order already.
  if (!std::is_sorted(order.begin(), order.end(), before))
    std::stable_sort(order.begin(), order.end(), before);

  // Now equal keys stand in the order they were given. Inserting one by one puts a newcomer
  // behind its equals under the never-equal modes (as here), and in front of them under the
  // others: reverse each run of equals there, or apply the duplicates policy.
  std::vector<TZipHeaderInfo*> sorted;
  sorted.reserve(n);
  if (NeverEqual(SortMode)) {
    for (size_t i : order) sorted.push_back(entries[i]);
  } else {
    for (size_t i = 0; i < n;) {
      size_t j = i + 1;
      while (j < n && compare(order[i], order[j]) == 0) ++j;
      if (j - i > 1) {
        if (FDuplicates == dupError) throw platform::EListError("Duplicate Object index");
        if (FDuplicates == dupIgnore) {
          // The first one given stays; the others are left out.
          sorted.push_back(entries[order[i]]);
          i = j;
          continue;
        }
      }
      for (size_t k = j; k > i; --k) sorted.push_back(entries[order[k - 1]]);
      i = j;
    }
  }

  // The directory of a ZIP archive may hold 65535 entries, one more than other lists take,
  // so the array is laid out here rather than grown through Add.
  // Allocated as the list's own storage is (malloc/realloc/free), since the list frees it.
  FItems = static_cast<TObject**>(std::malloc(sizeof(TObject*) * (sorted.empty() ? 1 : sorted.size())));
  if (FItems == nullptr) throw std::bad_alloc();
  for (size_t i = 0; i < sorted.size(); ++i) FItems[i] = sorted[i];
  FCapacity = FCount = static_cast<int32_t>(sorted.size());
}

}  // namespace unzip
