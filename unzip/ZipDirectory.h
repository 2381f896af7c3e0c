#pragma once
// The sorted list of directory entries.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// The entries of a directory, held compactly: one fixed record of 41 bytes per entry and one
// block holding every name; the few values that do not fit there (Zip64 sizes and offsets,
// UTC times, comments, AES fields, disks past the first) sit in side tables keyed by index.
// An entry is made whole, as a TZipHeaderInfo, only when it is asked for.
//
// The records, names and side tables are read-only once filled, so that several stores can
// hold them at once (Share): what a store changes later (which entries are selected, comments
// set, the entries made whole) is its own. Two stores on the same entries may be used from two
// threads at once, one store each.
class TEntryStore {
public:
  // Room for `entries` entries and `nameBytes` bytes of names (an estimate: reserved address
  // space that is not touched costs no memory).
  void Reserve(size_t entries, size_t nameBytes);
  // Adds a copy of `entry`; returns its index.
  uint32_t Append(const TZipHeaderInfo& entry);
  // Overwrites the entry at `index` with a copy of `entry`.
  void Replace(uint32_t index, const TZipHeaderInfo& entry);
  // The whole entry at `index`, into `out` (whose string storage is reused).
  void Load(uint32_t index, TZipHeaderInfo& out) const;
  uint32_t Count() const { return static_cast<uint32_t>(Data->Records.size()); }

  // A store of its own on the same records and names (not copied), starting with this one's
  // selection and comments. Appending to or replacing in either store afterwards gives that
  // store a copy of its own first, so the other never sees the change.
  std::shared_ptr<TEntryStore> Share() const;
  // True when `other` holds the same records and names.
  bool SharesWith(const TEntryStore& other) const { return Data == other.Data; }

  // What the sorted views and the overlap checks look at, without making the entry whole.
  uint16_t DiskNumberStart(uint32_t index) const;
  int64_t LocalHeaderOffset(uint32_t index) const;
  int64_t CompressedSize(uint32_t index) const;
  int64_t UncompressedSize(uint32_t index) const;
  uint32_t FileDateTime(uint32_t index) const { return Data->Records[index].FileDateTime; }
  // Directory + FileName, and the length of the directory part.
  std::string_view FullName(uint32_t index) const;
  size_t DirectoryLength(uint32_t index) const;

  bool Selected(uint32_t index) const { return Selection[index]; }
  void SetSelected(uint32_t index, bool selected);
  // As TZipHeaderInfo::SetComment on the stored entry.
  void SetComment(uint32_t index, std::optional<std::string> text);

  // The entries made whole for callers that hold a reference: a few slots, each keeping its
  // entry until it is reused for another one (after four other entries were asked for).
  const TZipHeaderInfo& Materialized(uint32_t index) const;

private:
  // Packed: every byte an entry counts a megabyte on a million entries. Lengths and the
  // method past 255 go to the rare table.
#pragma pack(push, 1)
  struct TRecord {
    uint32_t CompressedSize, UncompressedSize, LocalHeaderOffset, CentralHeaderOffset;
    uint32_t FileDateTime, Crc32, ExternalAttributes, NameAt;
    uint16_t VersionMadeBy, Flags;
    uint8_t CompressionMethod, NameLength, ExtraFieldLength, VersionNeeded, Bits;
  };
#pragma pack(pop)
  static_assert(sizeof(TRecord) == 41, "one directory entry in 41 bytes");
  // Values past 32 bits.
  struct TWide {
    int64_t CompressedSize, UncompressedSize, LocalHeaderOffset, CentralHeaderOffset;
  };
  // Fields that rarely differ from what the record implies.
  struct TRare {
    uint32_t NameLength, DirectoryLength;
    uint16_t FileNameLength, FileCommentLength, DiskNumberStart, InternalAttributes, VersionNeeded;
    uint16_t CompressionMethod, ExtraFieldLength;
    uint8_t AesStrength;
    uint16_t AesVersion, AesMethod;
  };
  struct TTime {
    int64_t UtcTime;
    uint32_t UtcTimeNanos;
    bool HasUtcTime;
    bool HasUnixTime;
    int64_t UnixTime;
  };
  enum : uint8_t {
    kWide = 1,
    kRare = 2,
    kTime = 4,
    kInternalOne = 16,  // InternalAttributes 1 (else 0) when the entry is not rare
  };
  template <class T>
  using TSide = std::vector<std::pair<uint32_t, T>>;
  // What the stores on the same entries share, read-only once shared.
  struct TData {
    std::vector<TRecord> Records;
    std::string Names;
    TSide<TWide> Wide;
    TSide<TRare> Rare;
    TSide<TTime> Times;
    std::map<uint32_t, std::string> Comments;
  };
  template <class T>
  static const T* Find(const TSide<T>& side, uint32_t index);
  template <class T>
  static void Put(TSide<T>& side, uint32_t index, const T* value);
  // The data, made this store's own first when another store holds it too.
  TData& Own();
  void Store(TData& d, uint32_t index, const TZipHeaderInfo& entry);
  void Refresh(uint32_t index);

  std::shared_ptr<TData> Data = std::make_shared<TData>();
  // Bits of this store alone.
  std::vector<bool> Selection;
  // Comments set through this store: none (nullopt) or a text, over what the data holds.
  std::map<uint32_t, std::optional<std::string>> CommentsSet;
  struct TSlot {
    uint32_t Index = UINT32_MAX;
    TZipHeaderInfo Entry;
  };
  mutable std::array<TSlot, 4> Slots;
  mutable size_t NextSlot = 0;
};

// A view of the entries of a TEntryStore, by index: in store order, or in an order of its own
// (a sorted view). Views share the store; the last one to go releases it.
class TZipEntries {
public:
  // The entries of `store` ordered by `mode` (ByNone: by disk and local header offset) under
  // the duplicates policy of the sorted lists: two equal entries raise "Duplicate Object
  // index" under dupError, the later of them is left out under dupIgnore.
  TZipEntries(std::shared_ptr<TEntryStore> store, TZipSortMode mode, TDuplicates duplicates);
  // The entries of `base` ordered by `mode`; entries that compare equal are taken in the order
  // they have in `base`.
  TZipEntries(const TZipEntries& base, TZipSortMode mode, TDuplicates duplicates);
  // The same view as `view`, its order not copied, on `store`: a store on the same entries
  // (TEntryStore::Share).
  TZipEntries(const TZipEntries& view, std::shared_ptr<TEntryStore> store);
  TZipEntries& operator=(const TZipEntries&) = delete;

  int32_t Count() const;
  // The entry at `index`, made whole (see TEntryStore::Materialized).
  const TZipHeaderInfo* Entry(int32_t index) const { return &Store->Materialized(StoreIndex(index)); }
  void Load(int32_t index, TZipHeaderInfo& out) const { Store->Load(StoreIndex(index), out); }
  bool Selected(int32_t index) const { return Store->Selected(StoreIndex(index)); }
  void SetSelected(int32_t index, bool selected) { Store->SetSelected(StoreIndex(index), selected); }
  void SetComment(int32_t index, std::optional<std::string> text) {
    Store->SetComment(StoreIndex(index), std::move(text));
  }
  uint32_t StoreIndex(int32_t index) const {
    return Order ? (*Order)[static_cast<size_t>(index)] : static_cast<uint32_t>(index);
  }
  // The view under ByNone: the index of the entry whose local header is at `offset` on disk
  // `disk`, -1 when there is none.
  int32_t FindByPosition(uint16_t disk, int64_t offset) const;
  const std::shared_ptr<TEntryStore>& Entries() const { return Store; }

  const TZipSortMode SortMode;

private:
  void Arrange(const TZipEntries* base, TDuplicates duplicates);

  std::shared_ptr<TEntryStore> Store;
  // Store indexes in view order; none when that is the store's own order. Read-only, so
  // views on stores that share their entries share it too.
  std::shared_ptr<const std::vector<uint32_t>> Order;
};

}  // namespace unzip
