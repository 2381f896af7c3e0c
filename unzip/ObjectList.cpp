#include "ObjectList.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>

namespace unzip {

using platform::EListError;
using platform::Format;
using platform::TStream;

namespace {

[[noreturn]] void RaiseCapacity(int32_t value) {
  throw EListError(Format("List capacity out of bounds (%d)", value));
}

[[noreturn]] void RaiseIndex(int32_t value) {
  throw EListError(Format("List index out of bounds (%d)", value));
}

uint8_t ReadByte(TStream& s) {
  uint8_t b;
  s.ReadBuffer(&b, 1);
  return b;
}

void WriteByte(TStream& s, uint8_t b) { s.WriteBuffer(&b, 1); }

}  // namespace

// ---- TObjectList -------------------------------------------------------------------------

TObjectList::TObjectList() = default;

TObjectList::~TObjectList() {
  FreeAll();
  Clear();
}

void TObjectList::DefineProperties(platform::TFiler& filer) {
  TPersistent::DefineProperties(filer);
  filer.DefineBinaryProperty(
      "ObjectContainer", [this](TStream& s) { ReadData(s); }, [this](TStream& s) { WriteData(s); },
      FCount > 0);
}

void TObjectList::IndexError() {}

void TObjectList::Grow() {
  int32_t delta;
  if (FCapacity <= 4) delta = 4;
  else if (FCapacity <= 8) delta = 8;
  else delta = 16;
  const int32_t target = FCapacity + delta > MaxListSize ? MaxListSize : FCapacity + delta;
  SetCapacity(target);
}

void TObjectList::EnsureRoom() {
  if (FCount < FCapacity) return;
  if (FCount >= MaxListSize) {
    IndexError();
    RaiseCapacity(FCount + 1);
  }
  Grow();
  // A subclass's Grow that did not make room must not let the insert write past the array.
  if (FCount >= FCapacity) RaiseCapacity(FCount + 1);
}

TObject* TObjectList::Get(int32_t index) const {
  if (index < 0 || index >= FCount) {
    const_cast<TObjectList*>(this)->IndexError();
    return nullptr;
  }
  return FItems[index];
}

void TObjectList::Put(int32_t index, TObject* item) {
  if (index < 0 || index >= FCount) {
    IndexError();
    return;
  }
  FItems[index] = item;
}

void TObjectList::FreeItem(TObject* item) {
  if (FOwnsItems) delete item;
}

int32_t TObjectList::Add(TObject* item) {
  const int32_t index = FCount;
  InsertAt(index, item);
  return index;
}

void TObjectList::Clear() {
  std::free(FItems);
  FItems = nullptr;
  FCount = 0;
  FCapacity = 0;
}

int32_t TObjectList::IndexOf(TObject* item) { return TObjectList::IdentityIndex(item); }

int32_t TObjectList::IdentityIndex(TObject* item) {
  for (int32_t i = 0; i < FCount; ++i)
    if (FItems[i] == item) return i;
  return -1;
}

void TObjectList::Insert(int32_t index, TObject* item) { InsertAt(index, item); }

void TObjectList::InsertAt(int32_t index, TObject* item) {
  if (index < 0 || index > FCount) {
    IndexError();
    RaiseIndex(index);
  }
  EnsureRoom();
  if (index < FCount)
    std::memmove(FItems + index + 1, FItems + index, sizeof(TObject*) * static_cast<size_t>(FCount - index));
  FItems[index] = item;
  ++FCount;
}

void TObjectList::Delete(int32_t index) {
  if (index < 0 || index >= FCount) {
    IndexError();
    return;
  }
  --FCount;
  if (index < FCount)
    std::memmove(FItems + index, FItems + index + 1, sizeof(TObject*) * static_cast<size_t>(FCount - index));
}

TObject* TObjectList::First() { return FCount > 0 ? FItems[0] : nullptr; }

TObject* TObjectList::Last() { return FCount > 0 ? FItems[FCount - 1] : nullptr; }

TObject* TObjectList::Neighbour(TObject* item, bool forward) {
  if (item == nullptr) return forward ? First() : Last();
  const int32_t index = IdentityIndex(item);
  if (index < 0) throw EListError(Format("tObject %s not in item list", item->ClassName().c_str()));
  const int32_t next = forward ? index + 1 : index - 1;
  return next >= 0 && next < FCount ? FItems[next] : nullptr;
}

void TObjectList::SetCapacity(int32_t newCapacity) {
  if (newCapacity == FCapacity) return;
  if (newCapacity < FCount || newCapacity > MaxListSize) {
    IndexError();
    return;
  }
  // realloc rather than new-copy-delete: growth goes by 16 slots at a time, and a copy per
  // step would make filling a large list quadratic; realloc mostly extends in place.
  if (newCapacity == 0) {
    std::free(FItems);
    FItems = nullptr;
  } else {
    void* items = std::realloc(FItems, sizeof(TObject*) * static_cast<size_t>(newCapacity));
    if (items == nullptr) throw std::bad_alloc();
    FItems = static_cast<TObject**>(items);
  }
  FCapacity = newCapacity;
}

void TObjectList::SetCount(int32_t newCount) {
  if (newCount < 0 || newCount > MaxListSize) {
    IndexError();
    return;
  }
  if (newCount > FCapacity) SetCapacity(newCount);
  for (int32_t i = FCount; i < newCount; ++i) FItems[i] = nullptr;
  FCount = newCount;
}

void TObjectList::FreeAll() {
  for (int32_t i = 0; i < FCount; ++i) FreeItem(FItems[i]);
  Clear();
}

// ---- Streaming ------------------------------------------------------------------------------

void TObjectList::ReadData(TStream& stream) { ReadItems(stream); }

void TObjectList::WriteData(TStream& stream) { WriteItems(stream); }

void TObjectList::ReadItems(TStream& stream) {
  FreeAll();
  FOwnsItems = ReadByte(stream) != 0;
  uint8_t raw[4];
  stream.ReadBuffer(raw, 4);
  const int32_t count = static_cast<int32_t>(uint32_t{raw[0]} | uint32_t{raw[1]} << 8 |
                                             uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24);
  if (count < 0 || count > MaxListSize) RaiseCapacity(count);
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t length = ReadByte(stream);
    std::string name(length, '\0');
    stream.ReadBuffer(name.data(), length);
    const tRegisterRec* rec = FindRegisteredClass(name);
    if (rec == nullptr) throw EListError(Format("Class <%s> not registered", name.c_str()));
    std::unique_ptr<TObject> item(rec->Create());
    rec->Load(*item, stream);
    const int32_t before = FCount;
    Add(item.get());
    // The list took the item only when it grew; an item a sorted list ignored is ours.
    if (FCount > before) item.release();
  }
}

void TObjectList::WriteItems(TStream& stream) {
  // Check every item first, so a failure leaves no half-written container behind.
  for (int32_t i = 0; i < FCount; ++i) {
    if (FItems[i] == nullptr) throw EListError("Nil Source Class!");
    const std::string name = FItems[i]->ClassName();
    if (FindRegisteredClass(name) == nullptr)
      throw EListError(Format("Source Class <%s> not registered", name.c_str()));
  }
  WriteByte(stream, FOwnsItems ? 1 : 0);
  const uint32_t count = static_cast<uint32_t>(FCount);
  const uint8_t raw[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                          static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
  stream.WriteBuffer(raw, 4);
  for (int32_t i = 0; i < FCount; ++i) {
    const tRegisterRec* rec = FindRegisteredClass(FItems[i]->ClassName());
    const std::string& name = rec->ClassNameOf;
    WriteByte(stream, static_cast<uint8_t>(name.size()));
    stream.WriteBuffer(name.data(), static_cast<int64_t>(name.size()));
    rec->Store(*FItems[i], stream);
  }
}

// ---- TSortedObjectList ---------------------------------------------------------------------

TSortedObjectList::TSortedObjectList(TDuplicates duplicates) : FDuplicates(duplicates) {}

void TSortedObjectList::Put(int32_t, TObject*) {
  throw EListError("Cannot <Put> an Object in a sorted list!");
}

const void* TSortedObjectList::KeyOf(TObject* item) { return item; }

bool TSortedObjectList::Search(const void* key, int32_t& index) {
  int32_t lo = 0, hi = FCount - 1;
  bool found = false;
  while (lo <= hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const int r = Compare(KeyOf(FItems[mid]), key);
    if (r < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (r == 0) {
        found = true;
        if (FDuplicates != dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

int32_t TSortedObjectList::SortedInsert(TObject* item) {
  int32_t index;
  if (Search(KeyOf(item), index)) {
    if (FDuplicates == dupIgnore) return -1 - index;
    if (FDuplicates == dupError) throw EListError("Duplicate Object index");
  }
  InsertAt(index, item);
  return index;
}

int32_t TSortedObjectList::Add(TObject* item) {
  const int32_t r = SortedInsert(item);
  return r >= 0 ? r : -1 - r;
}

void TSortedObjectList::Insert(int32_t, TObject* item) { SortedInsert(item); }

int32_t TSortedObjectList::IndexOf(TObject* item) {
  int32_t index;
  return Search(KeyOf(item), index) ? index : -1;
}

int32_t TSortedObjectList::IdentityIndex(TObject* item) {
  // Searching by key alone would give the first of several equal items, and a walk by
  // neighbours would then return to it for ever.
  if (item == nullptr) return TObjectList::IdentityIndex(item);
  const void* key = KeyOf(item);
  int32_t index;
  if (!Search(key, index)) return -1;
  // Without accept, Search may stop on any of the equal items: go back to the first.
  while (index > 0 && Compare(KeyOf(FItems[index - 1]), key) == 0) --index;
  for (int32_t i = index; i < FCount && Compare(KeyOf(FItems[i]), key) == 0; ++i)
    if (FItems[i] == item) return i;
  return -1;
}

void TSortedObjectList::ReadData(TStream& stream) {
  const uint8_t duplicates = ReadByte(stream);
  FDuplicates = duplicates <= dupError ? static_cast<TDuplicates>(duplicates) : dupAccept;
  ReadItems(stream);
}

void TSortedObjectList::WriteData(TStream& stream) {
  WriteByte(stream, FDuplicates);
  WriteItems(stream);
}

// ---- Class registry -----------------------------------------------------------------------

namespace {

int CompareNames(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

class TRegistry : public TSortedObjectList {
public:
  TRegistry() : TSortedObjectList(dupError) {}
  const void* KeyOf(TObject* item) override { return &static_cast<tRegisterRec*>(item)->ClassNameOf; }
  int Compare(const void* itemKey, const void* searchKey) override {
    return CompareNames(*static_cast<const std::string*>(itemKey), *static_cast<const std::string*>(searchKey));
  }
};

// Lives as long as the program; its records are freed with it.
TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

void RegisterObjectClass(const std::string& className, TCreateProc create, TLoadProc load,
                         TStoreProc store) {
  if (className.empty() || className.size() > 63)
    throw EListError(Format("Class name <%s> cannot be registered", className.c_str()));
  if (!create || !load || !store)
    throw EListError(Format("Class <%s> registered without its routines", className.c_str()));
  TRegistry& registry = Registry();
  int32_t index;
  if (registry.Search(&className, index)) {
    auto* rec = static_cast<tRegisterRec*>(registry.Get(index));
    rec->Create = create;
    rec->Load = load;
    rec->Store = store;
    return;
  }
  auto rec = std::make_unique<tRegisterRec>(className, create, load, store);
  registry.Add(rec.get());
  rec.release();
}

bool UnregisterObjectClass(const std::string& className) {
  TRegistry& registry = Registry();
  int32_t index;
  if (!registry.Search(&className, index)) return false;
  TObject* rec = registry.Get(index);
  registry.Delete(index);
  delete rec;
  return true;
}

const tRegisterRec* FindRegisteredClass(const std::string& className) {
  TRegistry& registry = Registry();
  int32_t index;
  if (!registry.Search(&className, index)) return nullptr;
  return static_cast<const tRegisterRec*>(registry.Get(index));
}

}  // namespace unzip
