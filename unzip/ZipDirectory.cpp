#include "ZipDirectory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "Exceptions.h"

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

// The positions 0..n-1 in the order that adding them one by one to a sorted list under `mode`
// and `duplicates` would give, in O(n log n). `number(i)` gives the numeric key of the modes
// that compare numbers, `name(i)` the name compared under the name modes. An empty result
// with n > 0 means "as given" (only under ByNone, where archive order usually arrives as it is).
template <class NumberOf, class NameOf>
std::vector<uint32_t> SortedPositions(size_t n, TZipSortMode mode, TDuplicates duplicates,
                                      NumberOf number, NameOf name) {
  if (n == 0) return {};
  // Archive order nearly always arrives as it is: central records in the order of their local
  // headers. Then the list is the given order, and no sorting is needed.
  if (mode == TZipSortMode::ByNone) {
    size_t i = 1;
    while (i < n && number(i - 1) < number(i)) ++i;
    if (i == n) return {};
  }

  // One key per entry, ascending in the list's order: folded names (in one block, viewed
  // per entry), or numbers (negated for the largest-first modes).
  std::string folded;
  std::vector<std::string_view> nameKeys;
  std::vector<int64_t> numbers;
  if (mode == TZipSortMode::ByName || mode == TZipSortMode::ByFileName ||
      mode == TZipSortMode::ByDirectoryName) {
    std::vector<size_t> ends;
    ends.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const std::string_view v = name(i);
      for (char c : v) folded.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c);
      ends.push_back(folded.size());
    }
    nameKeys.reserve(n);
    for (size_t i = 0, at = 0; i < n; at = ends[i++])
      nameKeys.emplace_back(folded.data() + at, ends[i] - at);
  } else {
    numbers.reserve(n);
    for (size_t i = 0; i < n; ++i) numbers.push_back(number(i));
  }
  const std::vector<uint32_t> order = nameKeys.empty() ? StableOrder(numbers) : StableOrder(nameKeys);
  const auto equal = [&](uint32_t a, uint32_t b) {
    return nameKeys.empty() ? numbers[a] == numbers[b] : nameKeys[a] == nameKeys[b];
  };

  // Now equal keys stand in the order they were given. Inserting one by one puts a newcomer
  // behind its equals under the never-equal modes (as here), and in front of them under the
  // others: reverse each run of equals there, or apply the duplicates policy.
  if (NeverEqual(mode)) return order;
  std::vector<uint32_t> sorted;
  sorted.reserve(n);
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && equal(order[i], order[j])) ++j;
    if (j - i > 1) {
      if (duplicates == dupError) throw platform::EListError("Duplicate Object index");
      if (duplicates == dupIgnore) {
        // The first one given stays; the others are left out.
        sorted.push_back(order[i]);
        i = j;
        continue;
      }
    }
    for (size_t k = j; k > i; --k) sorted.push_back(order[k - 1]);
    i = j;
  }
  return sorted;
}

// The numeric key of an entry under `mode`, ascending in the list's order.
int64_t NumberKey(TZipSortMode mode, uint16_t disk, int64_t offset, uint32_t dateTime,
                  int64_t compressed, int64_t uncompressed) {
  switch (mode) {
    case TZipSortMode::ByDate:
      return -int64_t{IsValidDosDateTime(dateTime) ? dateTime : 0};
    case TZipSortMode::ByCompressedSize:
      return -compressed;
    case TZipSortMode::ByUnCompressedSize:
      return -uncompressed;
    case TZipSortMode::ByRate:
      return -CompressionRate(uncompressed, compressed);
    default:
      return (int64_t{disk} << 33) + offset;
  }
}

}  // namespace

void TSortedZip::AddSorted(const std::vector<TZipHeaderInfo*>& entries) {
  Clear();
  if (entries.empty()) return;
  const auto number = [&](size_t i) {
    const TZipHeaderInfo& e = *entries[i];
    return NumberKey(SortMode, e.DiskNumberStart, e.LocalHeaderOffset, e.FileDateTime, e.CompressedSize,
                     e.UncompressedSize);
  };
  std::string scratch;
  const auto name = [&](size_t i) -> std::string_view {
    const TZipHeaderInfo& e = *entries[i];
    if (SortMode == TZipSortMode::ByFileName) return e.FileName;
    if (SortMode == TZipSortMode::ByDirectoryName) return e.Directory;
    scratch = e.Directory + e.FileName;
    return scratch;
  };
  const std::vector<uint32_t> order = SortedPositions(entries.size(), SortMode, FDuplicates, number, name);
  if (order.empty()) {
    Fill(entries);
    return;
  }
  std::vector<TZipHeaderInfo*> sorted;
  sorted.reserve(order.size());
  for (uint32_t i : order) sorted.push_back(entries[i]);
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

// ---- TEntryStore ---------------------------------------------------------------------------

namespace {

bool Fits32(int64_t v) { return v >= 0 && v <= int64_t{UINT32_MAX}; }
uint16_t Saturated16(size_t n) { return static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF)); }
bool IsDelimiter(char c) { return c == '\\' || c == ':'; }

}  // namespace

template <class T>
const T* TEntryStore::Find(const TSide<T>& side, uint32_t index) {
  const auto it = std::lower_bound(side.begin(), side.end(), index,
                                   [](const auto& p, uint32_t i) { return p.first < i; });
  return it != side.end() && it->first == index ? &it->second : nullptr;
}

template <class T>
void TEntryStore::Put(TSide<T>& side, uint32_t index, const T* value) {
  // Entries arrive in index order, so the table nearly always grows at its end.
  auto it = side.end();
  if (!side.empty() && side.back().first >= index)
    it = std::lower_bound(side.begin(), side.end(), index,
                          [](const auto& p, uint32_t i) { return p.first < i; });
  const bool present = it != side.end() && it->first == index;
  if (value == nullptr) {
    if (present) side.erase(it);
  } else if (present) {
    it->second = *value;
  } else {
    side.insert(it, {index, *value});
  }
}

TEntryStore::TData& TEntryStore::Own() {
  // Shared data is read-only: a change is made to a copy of this store's own.
  if (Data.use_count() > 1) Data = std::make_shared<TData>(*Data);
  return *Data;
}

std::shared_ptr<TEntryStore> TEntryStore::Share() const {
  auto other = std::make_shared<TEntryStore>();
  other->Data = Data;
  other->Selection = Selection;
  other->CommentsSet = CommentsSet;
  return other;
}

void TEntryStore::Reserve(size_t entries, size_t nameBytes) {
  TData& d = Own();
  d.Records.reserve(entries);
  d.Names.reserve(nameBytes);
  Selection.reserve(entries);
}

uint32_t TEntryStore::Append(const TZipHeaderInfo& entry) {
  TData& d = Own();
  if (d.Records.size() >= INT32_MAX) throw platform::EListError("Too many directory entries");
  const auto index = static_cast<uint32_t>(d.Records.size());
  d.Records.emplace_back();
  try {
    Store(d, index, entry);
    Selection.push_back(entry.Selected);
  } catch (...) {
    d.Records.pop_back();
    throw;
  }
  return index;
}

void TEntryStore::Replace(uint32_t index, const TZipHeaderInfo& entry) {
  Store(Own(), index, entry);
  Selection[index] = entry.Selected;
  CommentsSet.erase(index);
  Refresh(index);
}

void TEntryStore::Store(TData& d, uint32_t index, const TZipHeaderInfo& e) {
  const size_t nameLength = e.Directory.size() + e.FileName.size();
  if (d.Names.size() + nameLength > UINT32_MAX)
    throw platform::EListError("The directory's names exceed 4 GiB");
  TRecord& r = d.Records[index];
  r.NameAt = static_cast<uint32_t>(d.Names.size());
  d.Names += e.Directory;
  d.Names += e.FileName;

  const bool wide = !Fits32(e.CompressedSize) || !Fits32(e.UncompressedSize) ||
                    !Fits32(e.LocalHeaderOffset) || !Fits32(e.CentralHeaderOffset);
  r.CompressedSize = static_cast<uint32_t>(e.CompressedSize);
  r.UncompressedSize = static_cast<uint32_t>(e.UncompressedSize);
  r.LocalHeaderOffset = static_cast<uint32_t>(e.LocalHeaderOffset);
  r.CentralHeaderOffset = static_cast<uint32_t>(e.CentralHeaderOffset);
  r.FileDateTime = e.FileDateTime;
  r.Crc32 = e.Crc32;
  r.ExternalAttributes = e.ExternalAttributes;
  r.VersionMadeBy = e.VersionMadeBy;
  r.Flags = e.Flags;
  r.CompressionMethod = static_cast<uint8_t>(e.CompressionMethod);
  r.NameLength = static_cast<uint8_t>(nameLength);
  r.ExtraFieldLength = static_cast<uint8_t>(e.ExtraFieldLength);
  r.VersionNeeded = static_cast<uint8_t>(e.VersionNeeded);

  // The name splits again where it was split, unless someone set the parts by hand.
  // (A loop: find_first_of with a set calls memchr once per character, a cost on every entry.)
  const bool splitsBack = std::none_of(e.FileName.begin(), e.FileName.end(), IsDelimiter) &&
                          (e.Directory.empty() || IsDelimiter(e.Directory.back()));
  const bool rare = e.DiskNumberStart != 0 || e.InternalAttributes > 1 || e.VersionNeeded > 0xFF ||
                    e.CompressionMethod > 0xFF || e.ExtraFieldLength > 0xFF ||
                    e.FileCommentLength != 0 || nameLength > 0xFF || !splitsBack ||
                    e.FileNameLength != Saturated16(nameLength) || e.Extra.AesStrength != 0 ||
                    e.Extra.AesVersion != 0 || e.Extra.AesMethod != 0;
  const bool timed = e.Extra.HasUtcTime || e.Extra.UtcTime != 0 || e.Extra.UtcTimeNanos != 0 ||
                     e.Extra.HasUnixTime || e.Extra.UnixTime != 0;
  r.Bits = static_cast<uint8_t>((wide ? kWide : 0) | (rare ? kRare : 0) | (timed ? kTime : 0) |
                                (e.InternalAttributes == 1 ? kInternalOne : 0));

  const TWide w{e.CompressedSize, e.UncompressedSize, e.LocalHeaderOffset, e.CentralHeaderOffset};
  Put(d.Wide, index, wide ? &w : nullptr);
  const TRare x{static_cast<uint32_t>(nameLength), static_cast<uint32_t>(e.Directory.size()),
                e.FileNameLength, e.FileCommentLength, e.DiskNumberStart, e.InternalAttributes,
                e.VersionNeeded, e.CompressionMethod, e.ExtraFieldLength, e.Extra.AesStrength,
                e.Extra.AesVersion, e.Extra.AesMethod};
  Put(d.Rare, index, rare ? &x : nullptr);
  const TTime t{e.Extra.UtcTime, e.Extra.UtcTimeNanos, e.Extra.HasUtcTime, e.Extra.HasUnixTime,
                e.Extra.UnixTime};
  Put(d.Times, index, timed ? &t : nullptr);
  if (e.FileComment) d.Comments[index] = *e.FileComment;
  else d.Comments.erase(index);
}

void TEntryStore::Load(uint32_t index, TZipHeaderInfo& e) const {
  const TData& d = *Data;
  const TRecord& r = d.Records[index];
  const TRare* rare = (r.Bits & kRare) ? Find(d.Rare, index) : nullptr;
  const std::string_view full = FullName(index);
  const size_t split = DirectoryLength(index);
  e.Directory.assign(full.substr(0, split));
  e.FileName.assign(full.substr(split));
  e.VersionMadeBy = r.VersionMadeBy;
  e.VersionNeeded = rare ? rare->VersionNeeded : r.VersionNeeded;
  e.Flags = r.Flags;
  e.CompressionMethod = rare ? rare->CompressionMethod : r.CompressionMethod;
  e.FileDateTime = r.FileDateTime;
  e.Crc32 = r.Crc32;
  e.CompressedSize = CompressedSize(index);
  e.UncompressedSize = UncompressedSize(index);
  e.LocalHeaderOffset = LocalHeaderOffset(index);
  const TWide* wide = (r.Bits & kWide) ? Find(d.Wide, index) : nullptr;
  e.CentralHeaderOffset = wide ? wide->CentralHeaderOffset : r.CentralHeaderOffset;
  e.FileNameLength = rare ? rare->FileNameLength : Saturated16(full.size());
  e.ExtraFieldLength = rare ? rare->ExtraFieldLength : r.ExtraFieldLength;
  e.FileCommentLength = rare ? rare->FileCommentLength : 0;
  e.DiskNumberStart = rare ? rare->DiskNumberStart : 0;
  e.InternalAttributes = rare ? rare->InternalAttributes : ((r.Bits & kInternalOne) ? 1 : 0);
  e.ExternalAttributes = r.ExternalAttributes;
  e.Extra = {};
  if (rare) {
    e.Extra.AesStrength = rare->AesStrength;
    e.Extra.AesVersion = rare->AesVersion;
    e.Extra.AesMethod = rare->AesMethod;
  }
  if (const TTime* t = (r.Bits & kTime) ? Find(d.Times, index) : nullptr) {
    e.Extra.HasUtcTime = t->HasUtcTime;
    e.Extra.UtcTime = t->UtcTime;
    e.Extra.UtcTimeNanos = t->UtcTimeNanos;
    e.Extra.HasUnixTime = t->HasUnixTime;
    e.Extra.UnixTime = t->UnixTime;
  }
  const auto comment = d.Comments.find(index);
  if (comment != d.Comments.end()) e.FileComment = comment->second;
  else e.FileComment.reset();
  if (!CommentsSet.empty()) {
    const auto set = CommentsSet.find(index);
    if (set != CommentsSet.end()) e.SetComment(set->second);
  }
  e.Selected = Selection[index];
}

uint16_t TEntryStore::DiskNumberStart(uint32_t index) const {
  if (!(Data->Records[index].Bits & kRare)) return 0;
  return Find(Data->Rare, index)->DiskNumberStart;
}

int64_t TEntryStore::LocalHeaderOffset(uint32_t index) const {
  const TRecord& r = Data->Records[index];
  return (r.Bits & kWide) ? Find(Data->Wide, index)->LocalHeaderOffset : r.LocalHeaderOffset;
}

int64_t TEntryStore::CompressedSize(uint32_t index) const {
  const TRecord& r = Data->Records[index];
  return (r.Bits & kWide) ? Find(Data->Wide, index)->CompressedSize : r.CompressedSize;
}

int64_t TEntryStore::UncompressedSize(uint32_t index) const {
  const TRecord& r = Data->Records[index];
  return (r.Bits & kWide) ? Find(Data->Wide, index)->UncompressedSize : r.UncompressedSize;
}

std::string_view TEntryStore::FullName(uint32_t index) const {
  const TRecord& r = Data->Records[index];
  const size_t length = (r.Bits & kRare) ? Find(Data->Rare, index)->NameLength : r.NameLength;
  return std::string_view(Data->Names).substr(r.NameAt, length);
}

size_t TEntryStore::DirectoryLength(uint32_t index) const {
  if (Data->Records[index].Bits & kRare) return Find(Data->Rare, index)->DirectoryLength;
  const std::string_view full = FullName(index);
  size_t cut = full.size();
  while (cut > 0 && !IsDelimiter(full[cut - 1])) --cut;
  return cut;
}

void TEntryStore::SetSelected(uint32_t index, bool selected) {
  Selection[index] = selected;
  Refresh(index);
}

void TEntryStore::SetComment(uint32_t index, std::optional<std::string> text) {
  // Kept beside the data, which other stores may be reading.
  CommentsSet[index] = std::move(text);
  Refresh(index);
}

void TEntryStore::Refresh(uint32_t index) {
  for (TSlot& slot : Slots)
    if (slot.Index == index) Load(index, slot.Entry);
}

const TZipHeaderInfo& TEntryStore::Materialized(uint32_t index) const {
  for (TSlot& slot : Slots)
    if (slot.Index == index) return slot.Entry;
  TSlot& slot = Slots[NextSlot];
  NextSlot = (NextSlot + 1) % Slots.size();
  slot.Index = UINT32_MAX;  // a failed load leaves no stale tag
  Load(index, slot.Entry);
  slot.Index = index;
  return slot.Entry;
}

// ---- TZipEntries ---------------------------------------------------------------------------

TZipEntries::TZipEntries(std::shared_ptr<TEntryStore> store, TZipSortMode mode, TDuplicates duplicates)
    : SortMode(mode), Store(std::move(store)) {
  Arrange(nullptr, duplicates);
}

TZipEntries::TZipEntries(const TZipEntries& base, TZipSortMode mode, TDuplicates duplicates)
    : SortMode(mode), Store(base.Store) {
  Arrange(&base, duplicates);
}

TZipEntries::TZipEntries(const TZipEntries& view, std::shared_ptr<TEntryStore> store)
    : SortMode(view.SortMode), Store(std::move(store)), Order(view.Order) {}

void TZipEntries::Arrange(const TZipEntries* base, TDuplicates duplicates) {
  const TEntryStore& s = *Store;
  const TZipSortMode mode = SortMode;
  const auto at = [base](size_t i) {
    return base ? base->StoreIndex(static_cast<int32_t>(i)) : static_cast<uint32_t>(i);
  };
  const auto number = [&](size_t i) {
    const uint32_t k = at(i);
    switch (mode) {
      case TZipSortMode::ByDate:
        return NumberKey(mode, 0, 0, s.FileDateTime(k), 0, 0);
      case TZipSortMode::ByCompressedSize:
      case TZipSortMode::ByUnCompressedSize:
      case TZipSortMode::ByRate:
        return NumberKey(mode, 0, 0, 0, s.CompressedSize(k), s.UncompressedSize(k));
      default:
        return NumberKey(mode, s.DiskNumberStart(k), s.LocalHeaderOffset(k), 0, 0, 0);
    }
  };
  const auto name = [&](size_t i) -> std::string_view {
    const uint32_t k = at(i);
    const std::string_view full = s.FullName(k);
    if (mode == TZipSortMode::ByFileName) return full.substr(s.DirectoryLength(k));
    if (mode == TZipSortMode::ByDirectoryName) return full.substr(0, s.DirectoryLength(k));
    return full;
  };
  const size_t n = base ? static_cast<size_t>(base->Count()) : s.Count();
  std::vector<uint32_t> positions = SortedPositions(n, mode, duplicates, number, name);
  if (positions.empty() && n > 0) {
    if (base) Order = base->Order;
    return;
  }
  for (uint32_t& p : positions) p = at(p);
  if (positions.size() == s.Count()) {
    // An order that leaves every entry where it is needs no table.
    bool identity = true;
    for (uint32_t i = 0; i < positions.size() && identity; ++i) identity = positions[i] == i;
    if (identity) return;
  }
  Order = std::make_shared<const std::vector<uint32_t>>(std::move(positions));
}

int32_t TZipEntries::Count() const {
  return static_cast<int32_t>(Order ? Order->size() : Store->Count());
}

int32_t TZipEntries::FindByPosition(uint16_t disk, int64_t offset) const {
  const TEntryStore& s = *Store;
  const int64_t key = (int64_t{disk} << 33) + offset;
  int32_t lo = 0, hi = Count();
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const uint32_t k = StoreIndex(mid);
    if ((int64_t{s.DiskNumberStart(k)} << 33) + s.LocalHeaderOffset(k) < key) lo = mid + 1;
    else hi = mid;
  }
  if (lo < Count()) {
    const uint32_t k = StoreIndex(lo);
    if (s.DiskNumberStart(k) == disk && s.LocalHeaderOffset(k) == offset) return lo;
  }
  return -1;
}

}  // namespace unzip
