#include "ZipDirectory.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

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

namespace {

// The framework's CompareText equals a byte-wise comparison of the names with a-z folded to
// A-Z, so the names are folded once and then compared as plain bytes.
std::string FoldedName(std::string name) {
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  return name;
}

// Entries in ascending order of their keys; equal keys in the order given.
template <class Key>
std::vector<uint32_t> StableOrder(const std::vector<Key>& keys) {
  std::vector<std::pair<Key, uint32_t>> keyed;
  keyed.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) keyed.emplace_back(keys[i], static_cast<uint32_t>(i));
  const auto before = [](const auto& a, const auto& b) { return a.first < b.first; };
  // Archive order usually arrives in order already.
  if (!std::is_sorted(keyed.begin(), keyed.end(), before))
    std::stable_sort(keyed.begin(), keyed.end(), before);
  std::vector<uint32_t> order;
  order.reserve(keyed.size());
  for (const auto& k : keyed) order.push_back(k.second);
  return order;
}

}  // namespace

void TSortedZip::AddSorted(const std::vector<TZipHeaderInfo*>& entries) {
  Clear();
  const size_t n = entries.size();
  if (n == 0) return;

  // Archive order nearly always arrives as it is: central records in the order of their local
  // headers. Then the list is the given order, and none of the sorting below (five words of
  // scratch per entry, a third of the peak on a large directory) is needed.
  if (SortMode == TZipSortMode::ByNone) {
    const auto key = [](const TZipHeaderInfo* e) {
      return (int64_t{e->DiskNumberStart} << 33) + e->LocalHeaderOffset;
    };
    size_t i = 1;
    while (i < n && key(entries[i - 1]) < key(entries[i])) ++i;
    if (i == n) {
      Fill(entries);
      return;
    }
  }

  // One key per entry, ascending in the list's order: folded names, or numbers (negated for
  // the largest-first modes).
  std::vector<std::string> names;
  std::vector<std::string_view> nameKeys;
  std::vector<int64_t> numbers;
  switch (SortMode) {
    case TZipSortMode::ByName:
    case TZipSortMode::ByFileName:
    case TZipSortMode::ByDirectoryName:
      names.reserve(n);
      for (const auto* e : entries)
        names.push_back(FoldedName(SortMode == TZipSortMode::ByName       ? e->Directory + e->FileName
                                   : SortMode == TZipSortMode::ByFileName ? e->FileName
                                                                          : e->Directory));
      nameKeys.assign(names.begin(), names.end());
      break;
    case TZipSortMode::ByDate:
      for (const auto* e : entries)
        numbers.push_back(-int64_t{IsValidDosDateTime(e->FileDateTime) ? e->FileDateTime : 0});
      break;
    case TZipSortMode::ByCompressedSize:
      for (const auto* e : entries) numbers.push_back(-e->CompressedSize);
      break;
    case TZipSortMode::ByUnCompressedSize:
      for (const auto* e : entries) numbers.push_back(-e->UncompressedSize);
      break;
    case TZipSortMode::ByRate:
      for (const auto* e : entries) numbers.push_back(-CompressionRate(e->UncompressedSize, e->CompressedSize));
      break;
    case TZipSortMode::ByNone:
      for (const auto* e : entries)
        numbers.push_back((int64_t{e->DiskNumberStart} << 33) + e->LocalHeaderOffset);
      break;
  }
  const std::vector<uint32_t> order = nameKeys.empty() ? StableOrder(numbers) : StableOrder(nameKeys);
  const auto equal = [&](uint32_t a, uint32_t b) {
    return nameKeys.empty() ? numbers[a] == numbers[b] : nameKeys[a] == nameKeys[b];
  };

  // Now equal keys stand in the order they were given. Inserting one by one puts a newcomer
  // behind its equals under the never-equal modes (as here), and in front of them under the
  // others: reverse each run of equals there, or apply the duplicates policy.
  std::vector<TZipHeaderInfo*> sorted;
  sorted.reserve(n);
  if (NeverEqual(SortMode)) {
    for (uint32_t i : order) sorted.push_back(entries[i]);
  } else {
    for (size_t i = 0; i < n;) {
      size_t j = i + 1;
      while (j < n && equal(order[i], order[j])) ++j;
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

  Fill(sorted);
}

void TSortedZip::Fill(const std::vector<TZipHeaderInfo*>& sorted) {
  // The list's own storage, sized once. The directory of a ZIP archive may hold 65535
  // entries, one more than other lists take: that one slot more is added to the same block
  // the way the list grows it (realloc; the list releases it with free).
  const auto count = static_cast<int32_t>(sorted.size());
  SetCapacity(std::min(count, MaxListSize));
  if (count > MaxListSize) {
    void* items = std::realloc(FItems, sizeof(TObject*) * static_cast<size_t>(count));
    if (items == nullptr) throw std::bad_alloc();
    FItems = static_cast<TObject**>(items);
    FCapacity = count;
  }
  for (int32_t i = 0; i < count; ++i) FItems[i] = sorted[static_cast<size_t>(i)];
  FCount = count;
}

}  // namespace unzip
