#include "StringResource.h"

#include <memory>
#include <mutex>

#include "ObjectList.h"

namespace unzip {

namespace detail {
void RegisterStringTables();  // generated with the tables
}

namespace {

constexpr const char* kStringTableType = "S_STRINGTABLE";

// A table entry's fixed part: id (2 bytes) and length (1 byte).
constexpr int kEntryHeader = 3;

void EnsureTablesRegistered() {
  static std::once_flag once;
  std::call_once(once, [] { detail::RegisterStringTables(); });
}

int CompareText(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The tables asked for so far, by name without regard to case.
class TTableList : public TSortedObjectList {
public:
  TTableList() : TSortedObjectList(dupIgnore) {}
  const void* KeyOf(TObject* item) override { return &static_cast<TS_StringResource*>(item)->Name(); }
  int Compare(const void* itemKey, const void* searchKey) override {
    return CompareText(*static_cast<const std::string*>(itemKey), *static_cast<const std::string*>(searchKey));
  }
  std::mutex Lock;
};

TTableList& Tables() {
  static TTableList tables;
  return tables;
}

}  // namespace

TS_StringResource::TS_StringResource(const std::string& name) { Load(name); }

TS_StringResource::~TS_StringResource() {
  Unlock();
  Unload();
}

void TS_StringResource::Load(const std::string& name) {
  EnsureTablesRegistered();
  const platform::TResourceEntry* resource = platform::FindResource(name, kStringTableType);
  if (resource == nullptr)
    throw platform::Exception(platform::Format("No such string resource: %s", name.c_str()));
  if (resource->Data == nullptr)
    throw platform::EOutOfResources(platform::Format("Cannot load string resource %s", name.c_str()));
  FName = name;
  FResource = resource;
}

void TS_StringResource::Unload() {
  FResource = nullptr;
}

void TS_StringResource::Lock() {
  if (FResource == nullptr || FResource->Data == nullptr)
    throw platform::EOutOfResources("Cannot lock string resource");
  FTable = FResource->Data;
  FTableEnd = FResource->Data + FResource->Size;
}

void TS_StringResource::Unlock() {
  FTable = nullptr;
  FTableEnd = nullptr;
}

const uint8_t* TS_StringResource::NextEntry(const uint8_t* entry) {
  if (entry == nullptr || FTableEnd - entry < kEntryHeader) return nullptr;
  const uint8_t* next = entry + kEntryHeader + entry[2];
  return next <= FTableEnd ? next : nullptr;
}

const uint8_t* TS_StringResource::FindEntry(int id) {
  // Every step is checked against the end of the data, so a damaged table ends the walk
  // instead of running past it.
  for (const uint8_t* entry = FTable; entry != nullptr && FTableEnd - entry >= 2;
       entry = NextEntry(entry)) {
    const int entryId = static_cast<int16_t>(entry[0] | entry[1] << 8);
    if (entryId == 0) return nullptr;
    if (FTableEnd - entry < kEntryHeader || FTableEnd - entry - kEntryHeader < entry[2]) return nullptr;
    if (entryId == id) return entry;
  }
  return nullptr;
}

std::string TS_StringResource::Message(int id) {
  Lock();
  struct Unlocker {
    TS_StringResource* Self;
    ~Unlocker() { Self->Unlock(); }
  } unlocker{this};
  const uint8_t* entry = FindEntry(id);
  if (entry == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(entry + kEntryHeader), entry[2]);
}

std::string ResourceMessage(const std::string& tableName, int id) {
  TTableList& tables = Tables();
  std::lock_guard<std::mutex> guard(tables.Lock);
  int32_t index;
  TS_StringResource* table;
  if (tables.Search(&tableName, index)) {
    table = static_cast<TS_StringResource*>(tables.Get(index));
  } else {
    auto loaded = std::make_unique<TS_StringResource>(tableName);
    tables.Add(loaded.get());
    table = loaded.release();
  }
  return table->Message(id);
}

}  // namespace unzip
