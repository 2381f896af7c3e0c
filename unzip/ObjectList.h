#pragma once
// Growable lists of object references. TObjectList may own its objects (frees them when it
// releases them); TSortedObjectList keeps them ordered by a comparison that a subclass
// supplies and finds them by binary search. Both can be stored as the binary property
// "ObjectContainer" through a registry of item classes.
#include <cstdint>
#include <string>

#include "Exceptions.h"
#include "Runtime.h"
#include "Streams.h"

namespace unzip {

using platform::TObject;

// The most items a list can hold.
inline constexpr int32_t MaxListSize = 65534;

class TObjectList : public platform::TPersistent {
public:
  TObjectList();
  // Frees the objects it owns, then releases the array.
  ~TObjectList() override;
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  // Declares "ObjectContainer" (present when the list holds items).
  void DefineProperties(platform::TFiler& filer) override;

  // Called when an index or size is out of range. Does nothing here; the operation that
  // called it then refuses the value itself (see each operation).
  virtual void IndexError();
  // Enlarges the capacity: by 4 up to 4, by 8 up to 8, then by 16 (never past MaxListSize).
  virtual void Grow();
  // Replaces the item at `index`; the object replaced is not freed. Out of range: refused.
  virtual void Put(int32_t index, TObject* item);
  // Frees `item` when the list owns its items.
  virtual void FreeItem(TObject* item);
  // Appends `item`; returns its index.
  virtual int32_t Add(TObject* item);
  // Count and capacity to 0, array released; no object is freed.
  virtual void Clear();
  // Index of this very object, -1 when absent.
  virtual int32_t IndexOf(TObject* item);
  // Inserts at 0..Count. An index out of range, or a full list, raises EListError after
  // IndexError, and the item stays with the caller.
  virtual void Insert(int32_t index, TObject* item);
  // Loads / stores the items (the data of "ObjectContainer").
  virtual void ReadData(platform::TStream& stream);
  virtual void WriteData(platform::TStream& stream);
  // The first / last item; null for an empty list.
  virtual TObject* First();
  virtual TObject* Last();
  // The item before (forward false) or after `item`; with a null item the last or the first.
  // Null past either end. An item not in the list raises "tObject %s not in item list".
  // The item is found as this very object, also in a sorted list holding equal items, so a
  // walk from neighbour to neighbour visits each item once.
  virtual TObject* Neighbour(TObject* item, bool forward);

  // The item at `index`; out of range: IndexError, then null.
  TObject* Get(int32_t index) const;
  TObject* operator[](int32_t index) const { return Get(index); }
  // New capacity; below Count or above MaxListSize: IndexError, then nothing changes.
  void SetCapacity(int32_t newCapacity);
  // New count (new slots empty, objects past a lowered count not freed); below 0 or above
  // MaxListSize: IndexError, then nothing changes.
  void SetCount(int32_t newCount);
  // Removes the item at `index`, moving later items down; the object is not freed.
  // Out of range: IndexError, then nothing changes.
  void Delete(int32_t index);
  // FreeItem for every item from the first, then Clear.
  void FreeAll();

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return FCapacity; }
  bool OwnsItems() const { return FOwnsItems; }
  void SetOwnsItems(bool owns) { FOwnsItems = owns; }

protected:
  // The index of this very object, -1 when absent.
  virtual int32_t IdentityIndex(TObject* item);
  // Insert without the sorted list's rules: the unsorted insert that both kinds share.
  void InsertAt(int32_t index, TObject* item);
  // Reads the owns flag, the count and the items; writes them.
  void ReadItems(platform::TStream& stream);
  void WriteItems(platform::TStream& stream);

  bool FOwnsItems = true;
  TObject** FItems = nullptr;
  int32_t FCount = 0;
  int32_t FCapacity = 0;

private:
  // Makes room for one more item, or raises when the list is at MaxListSize.
  void EnsureRoom();
};

// What inserting an item equal to one already present does.
enum TDuplicates : uint8_t { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TSortedObjectList : public TObjectList {
public:
  explicit TSortedObjectList(TDuplicates duplicates);

  // Always raises "Cannot <Put> an Object in a sorted list!".
  void Put(int32_t index, TObject* item) override;
  // Inserts at the sorted position; returns the index where the item now stands. An item
  // ignored as a duplicate is not inserted (it stays with the caller) and the index of the
  // equal item is returned.
  int32_t Add(TObject* item) override;
  // Search by the item's key; -1 when absent.
  int32_t IndexOf(TObject* item) override;
  // The index is ignored: inserts at the sorted position under the duplicates policy.
  // Under dupError an equal item raises "Duplicate Object index".
  void Insert(int32_t index, TObject* item) override;
  void ReadData(platform::TStream& stream) override;
  void WriteData(platform::TStream& stream) override;

  // The key an item is sorted by; the item itself by default.
  virtual const void* KeyOf(TObject* item);
  // Negative when `itemKey` orders before `searchKey`, 0 when equal, positive after.
  virtual int Compare(const void* itemKey, const void* searchKey) = 0;
  // Binary search. Under dupAccept `index` is the first item equal to the key (or the first
  // greater one); otherwise the position of an equal item when one was found, else where
  // the key would go.
  virtual bool Search(const void* key, int32_t& index);

  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates duplicates) { FDuplicates = duplicates; }

protected:
  // By binary search to the first equal item, then along the equal ones.
  int32_t IdentityIndex(TObject* item) override;
  // Sorted insert; returns the index, or -1 - (index of the equal item) when ignored.
  int32_t SortedInsert(TObject* item);

  TDuplicates FDuplicates;
};

// ---- Class registry of the streamed lists -------------------------------------------------

// Creates an instance of a registered class, loads an item's own data, stores it.
using TCreateProc = TObject* (*)();
using TLoadProc = void (*)(TObject& item, platform::TStream& stream);
using TStoreProc = void (*)(const TObject& item, platform::TStream& stream);

// One registered item class: its name (as ClassName() gives it, at most 63 characters) and
// its routines.
class tRegisterRec : public TObject {
public:
  tRegisterRec(std::string className, TCreateProc create, TLoadProc load, TStoreProc store)
      : ClassNameOf(std::move(className)), Create(create), Load(load), Store(store) {}
  std::string ClassNameOf;
  TCreateProc Create;
  TLoadProc Load;
  TStoreProc Store;
};

// Registers an item class for streaming (a name registered again replaces the routines).
// A name longer than 63 characters, or a missing routine, raises EListError.
void RegisterObjectClass(const std::string& className, TCreateProc create, TLoadProc load,
                         TStoreProc store);
// Removes a registration; false when the name was not registered.
bool UnregisterObjectClass(const std::string& className);
// The registration for a name (compared without regard to case), or null.
const tRegisterRec* FindRegisteredClass(const std::string& className);

}  // namespace unzip
