#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ExpectThrowMsg.h"
#include "ObjectList.h"
#include "Streams.h"

using platform::EListError;
using platform::TMemoryStream;
using platform::TObject;
using unzip::TObjectList;
using unzip::TSortedObjectList;

namespace {

// An item that counts its destruction, with a key to sort by.
int g_destroyed = 0;

class TCounted : public TObject {
public:
  explicit TCounted(int key = 0) : Key(key) {}
  ~TCounted() override { ++g_destroyed; }
  int Key;
};

class TOther : public TObject {};

// Lists that record how often the range hook fired.
class TCheckedList : public TObjectList {
public:
  void IndexError() override { ++IndexErrors; }
  int IndexErrors = 0;
};

class TKeyList : public TSortedObjectList {
public:
  explicit TKeyList(unzip::TDuplicates d) : TSortedObjectList(d) {}
  const void* KeyOf(TObject* item) override { return &static_cast<TCounted*>(item)->Key; }
  int Compare(const void* a, const void* b) override {
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
  }
  int KeyAt(int i) { return static_cast<TCounted*>(Get(i))->Key; }
};

class ObjectListTest : public ::testing::Test {
protected:
  void SetUp() override { g_destroyed = 0; }
};

}  // namespace

TEST_F(ObjectListTest, CapacityGrowsBy4Then8Then16) {
  TObjectList list;
  list.SetOwnsItems(false);
  TCounted item;
  std::vector<int> capacities;
  for (int i = 1; i <= 49; ++i) {
    list.Add(&item);
    if (i == 5 || i == 9 || i == 17) capacities.push_back(list.Capacity());
    if (i == 1 || i == 33 || i == 49) capacities.push_back(list.Capacity());
  }
  // After 1, 5, 9, 17, 33 and 49 items.
  EXPECT_EQ(capacities, (std::vector<int>{4, 8, 16, 32, 48, 64}));
  EXPECT_EQ(list.Count(), 49);
}

TEST_F(ObjectListTest, InsertShiftsLaterItemsAndAddReturnsIndex) {
  TObjectList list;
  std::vector<TCounted*> items;
  for (int i = 0; i < 3; ++i) items.push_back(new TCounted(i));
  EXPECT_EQ(list.Add(items[0]), 0);
  EXPECT_EQ(list.Add(items[2]), 1);
  list.Insert(1, items[1]);
  ASSERT_EQ(list.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list.Get(i), items[i]);
  EXPECT_EQ(list.IndexOf(items[2]), 2);
  TCounted absent;
  EXPECT_EQ(list.IndexOf(&absent), -1);
  // Put replaces without freeing the replaced object.
  auto* replacement = new TCounted(9);
  list.Put(0, replacement);
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(list.First(), replacement);
  EXPECT_EQ(list.Last(), items[2]);
  delete items[0];
}

TEST_F(ObjectListTest, OutOfRangeValuesCallTheHookAndAreRefused) {
  TCheckedList list;
  list.SetOwnsItems(false);
  TCounted a(1), b(2);
  list.Add(&a);
  list.Add(&b);

  EXPECT_EQ(list.Get(2), nullptr);
  EXPECT_EQ(list.Get(-1), nullptr);
  EXPECT_EQ(list.IndexErrors, 2);

  list.Put(5, &a);  // refused: nothing written past the items
  EXPECT_EQ(list.IndexErrors, 3);
  EXPECT_EQ(list.Get(1), &b);

  list.SetCapacity(1);  // below the count
  list.SetCapacity(unzip::MaxListSize + 1);
  list.SetCapacity(-5);
  EXPECT_EQ(list.IndexErrors, 6);
  EXPECT_EQ(list.Capacity(), 4);
  EXPECT_EQ(list.Count(), 2);

  list.SetCount(-1);
  list.SetCount(unzip::MaxListSize + 1);
  EXPECT_EQ(list.IndexErrors, 8);
  EXPECT_EQ(list.Count(), 2);

  // An insert that cannot be done raises, so the caller keeps the item knowingly.
  EXPECT_THROW(list.Insert(3, &a), EListError);
  EXPECT_THROW(list.Insert(-1, &a), EListError);
  EXPECT_EQ(list.IndexErrors, 10);
  EXPECT_EQ(list.Count(), 2);
}

TEST_F(ObjectListTest, SetCountClearsNewSlotsAndFreesNothingWhenLowered) {
  TObjectList list;
  list.Add(new TCounted(1));
  list.Add(new TCounted(2));
  auto* kept = static_cast<TCounted*>(list.Get(1));
  list.SetCount(1);
  EXPECT_EQ(g_destroyed, 0);
  list.SetCount(20);
  EXPECT_EQ(list.Capacity(), 20);
  for (int i = 1; i < 20; ++i) EXPECT_EQ(list.Get(i), nullptr) << i;
  list.SetCapacity(20);
  delete kept;
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectListTest, FullListRefusesTheNextItem) {
  TCheckedList list;
  list.SetOwnsItems(false);
  TCounted item;
  for (int i = 0; i < unzip::MaxListSize; ++i) list.Add(&item);
  EXPECT_EQ(list.Count(), unzip::MaxListSize);
  EXPECT_EQ(list.Capacity(), unzip::MaxListSize);  // growth stops at the limit
  EXPECT_EQ(list.IndexErrors, 0);
  EXPECT_THROW(list.Add(&item), EListError);
  EXPECT_EQ(list.IndexErrors, 1);
  EXPECT_EQ(list.Count(), unzip::MaxListSize);
}

TEST_F(ObjectListTest, ClearFreesNoObjectFreeAllFreesOwnedOnes) {
  std::vector<std::unique_ptr<TCounted>> keep;
  {
    TObjectList list;
    for (int i = 0; i < 3; ++i) {
      keep.push_back(std::make_unique<TCounted>(i));
      list.Add(keep.back().get());
    }
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 0);  // nothing was left to free at destruction

  TObjectList owning;
  for (int i = 0; i < 3; ++i) owning.Add(new TCounted(i));
  owning.FreeAll();
  EXPECT_EQ(g_destroyed, 3);
  EXPECT_EQ(owning.Count(), 0);
  EXPECT_EQ(owning.Capacity(), 0);

  TObjectList borrowing;
  borrowing.SetOwnsItems(false);
  for (auto& k : keep) borrowing.Add(k.get());
  borrowing.FreeAll();
  EXPECT_EQ(g_destroyed, 3);
  EXPECT_EQ(borrowing.Count(), 0);
}

TEST_F(ObjectListTest, DestructionFreesOwnedItemsOnly) {
  {
    TObjectList owning;
    for (int i = 0; i < 5; ++i) owning.Add(new TCounted(i));
  }
  EXPECT_EQ(g_destroyed, 5);
  TCounted a, b;
  {
    TObjectList borrowing;
    borrowing.SetOwnsItems(false);
    borrowing.Add(&a);
    borrowing.Add(&b);
  }
  EXPECT_EQ(g_destroyed, 5);
}

TEST_F(ObjectListTest, NeighbourWalksBothWaysAndRejectsStrangers) {
  TObjectList list;
  list.SetOwnsItems(false);
  TCounted a(1), b(2), c(3);
  EXPECT_EQ(list.Neighbour(nullptr, true), nullptr);
  list.Add(&a);
  list.Add(&b);
  list.Add(&c);
  EXPECT_EQ(list.Neighbour(nullptr, true), &a);
  EXPECT_EQ(list.Neighbour(nullptr, false), &c);
  EXPECT_EQ(list.Neighbour(&a, true), &b);
  EXPECT_EQ(list.Neighbour(&b, false), &a);
  EXPECT_EQ(list.Neighbour(&c, true), nullptr);
  EXPECT_EQ(list.Neighbour(&a, false), nullptr);
  TCounted stranger;
  EXPECT_THROW_MSG(list.Neighbour(&stranger, true), EListError, "tObject TCounted not in item list");
}

TEST_F(ObjectListTest, DuplicatesPolicyErrorRaisesAndKeepsTheFirst) {
  TKeyList list(unzip::dupError);
  auto* first = new TCounted(5);
  list.Add(first);
  auto second = std::make_unique<TCounted>(5);
  EXPECT_THROW_MSG(list.Add(second.get()), EListError, "Duplicate Object index");
  EXPECT_THROW_MSG(list.Insert(0, second.get()), EListError, "Duplicate Object index");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Get(0), first);
}

TEST_F(ObjectListTest, DuplicatesPolicyIgnoreKeepsTheFirstSilently) {
  TKeyList list(unzip::dupIgnore);
  list.Add(new TCounted(1));
  auto* first = new TCounted(5);
  list.Add(first);
  auto second = std::make_unique<TCounted>(5);
  EXPECT_EQ(list.Add(second.get()), 1);  // the index of the equal item already there
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Get(1), first);
  EXPECT_EQ(g_destroyed, 0);  // the ignored item stays with the caller, alive
}

TEST_F(ObjectListTest, DuplicatesPolicyAcceptPutsTheNewerFirst) {
  TKeyList list(unzip::dupAccept);
  auto* older = new TCounted(5);
  auto* newer = new TCounted(5);
  list.Add(new TCounted(9));
  list.Add(older);
  list.Add(new TCounted(1));
  EXPECT_EQ(list.Add(newer), 1);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Get(1), newer);
  EXPECT_EQ(list.Get(2), older);
  std::vector<int> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list.KeyAt(i));
  EXPECT_EQ(keys, (std::vector<int>{1, 5, 5, 9}));
}

TEST_F(ObjectListTest, SearchPositionsUnderEachPolicy) {
  TKeyList accept(unzip::dupAccept);
  for (int k : {3, 1, 3, 5, 3}) accept.Add(new TCounted(k));  // 1 3 3 3 5
  int32_t index = -1;
  int key = 3;
  EXPECT_TRUE(accept.Search(&key, index));
  EXPECT_EQ(index, 1);  // the first of the equal items
  key = 4;
  EXPECT_FALSE(accept.Search(&key, index));
  EXPECT_EQ(index, 4);
  key = 0;
  EXPECT_FALSE(accept.Search(&key, index));
  EXPECT_EQ(index, 0);
  key = 6;
  EXPECT_FALSE(accept.Search(&key, index));
  EXPECT_EQ(index, 5);

  TKeyList unique(unzip::dupIgnore);
  for (int k : {10, 20, 30, 40, 50, 60, 70}) unique.Add(new TCounted(k));
  for (int i = 0; i < 7; ++i) {
    key = (i + 1) * 10;
    EXPECT_TRUE(unique.Search(&key, index));
    EXPECT_EQ(index, i);
    key += 5;
    EXPECT_FALSE(unique.Search(&key, index));
    EXPECT_EQ(index, i + 1);
  }
  // IndexOf goes by key in a sorted list; an absent key is -1.
  TCounted probe(40), absent(45);
  EXPECT_EQ(unique.IndexOf(&probe), 3);
  EXPECT_EQ(unique.IndexOf(&absent), -1);
}

TEST_F(ObjectListTest, NeighbourWalksThroughEqualItemsOfASortedList) {
  TKeyList list(unzip::dupAccept);
  std::vector<TObject*> added;
  for (int k : {2, 7, 7, 7, 1}) {
    added.push_back(new TCounted(k));
    list.Add(added.back());
  }
  std::vector<TObject*> walked;
  for (TObject* item = list.Neighbour(nullptr, true); item && walked.size() < 10;
       item = list.Neighbour(item, true))
    walked.push_back(item);
  ASSERT_EQ(walked.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(walked[i], list.Get(i));
  walked.clear();
  for (TObject* item = list.Neighbour(nullptr, false); item && walked.size() < 10;
       item = list.Neighbour(item, false))
    walked.push_back(item);
  EXPECT_EQ(walked.size(), 5u);
  // An equal item that is not in the list is a stranger too.
  TCounted twin(7);
  EXPECT_THROW_MSG(list.Neighbour(&twin, true), EListError, "tObject TCounted not in item list");
}

TEST_F(ObjectListTest, PutIsRefusedOnASortedList) {
  TKeyList list(unzip::dupAccept);
  auto* item = new TCounted(1);
  list.Add(item);
  TCounted other(0);
  EXPECT_THROW_MSG(list.Put(0, &other), EListError, "Cannot <Put> an Object in a sorted list!");
  EXPECT_EQ(list.Get(0), item);
}

// ---- Streaming -----------------------------------------------------------------------------

namespace {

TObject* CreateCounted() { return new TCounted; }
void LoadCounted(TObject& item, platform::TStream& s) {
  int32_t key;
  s.ReadBuffer(&key, 4);
  static_cast<TCounted&>(item).Key = key;
}
void StoreCounted(const TObject& item, platform::TStream& s) {
  const int32_t key = static_cast<const TCounted&>(item).Key;
  s.WriteBuffer(&key, 4);
}

class Registered : public ObjectListTest {
protected:
  void SetUp() override {
    ObjectListTest::SetUp();
    unzip::RegisterObjectClass("TCounted", CreateCounted, LoadCounted, StoreCounted);
  }
  void TearDown() override { unzip::UnregisterObjectClass("TCounted"); }
};

// Records the binary properties a persistent object declares.
class TRecordingFiler : public platform::TFiler {
public:
  void DefineBinaryProperty(const std::string& name, platform::TStreamProc read,
                            platform::TStreamProc write, bool hasData) override {
    Name = name;
    Read = std::move(read);
    Write = std::move(write);
    HasData = hasData;
  }
  std::string Name;
  platform::TStreamProc Read, Write;
  bool HasData = false;
};

}  // namespace

TEST_F(Registered, UnsortedListRoundTripsThroughTheContainerFormat) {
  TObjectList source;
  for (int k : {7, -2, 300}) source.Add(new TCounted(k));
  TMemoryStream stream;
  source.WriteData(stream);

  const std::vector<uint8_t> expectedStart = {1, 3, 0, 0, 0, 8, 'T', 'C', 'o', 'u', 'n', 't', 'e', 'd', 7, 0, 0, 0};
  ASSERT_GE(stream.Size(), static_cast<int64_t>(expectedStart.size()));
  EXPECT_EQ(std::vector<uint8_t>(stream.Bytes().begin(), stream.Bytes().begin() + expectedStart.size()), expectedStart);
  EXPECT_EQ(stream.Size(), 5 + 3 * (1 + 8 + 4));

  TObjectList copy;
  copy.Add(new TCounted(99));  // replaced by what is read
  stream.SetPosition(0);
  copy.ReadData(stream);
  EXPECT_EQ(g_destroyed, 1);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_TRUE(copy.OwnsItems());
  EXPECT_EQ(static_cast<TCounted*>(copy.Get(0))->Key, 7);
  EXPECT_EQ(static_cast<TCounted*>(copy.Get(1))->Key, -2);
  EXPECT_EQ(static_cast<TCounted*>(copy.Get(2))->Key, 300);
}

TEST_F(Registered, SortedListStoresItsPolicyFirstAndReadsItBack) {
  TKeyList source(unzip::dupAccept);
  for (int k : {4, 2, 4}) source.Add(new TCounted(k));
  TMemoryStream stream;
  source.WriteData(stream);
  EXPECT_EQ(stream.Bytes()[0], unzip::dupAccept);
  EXPECT_EQ(stream.Bytes()[1], 1);

  TKeyList copy(unzip::dupError);
  stream.SetPosition(0);
  copy.ReadData(stream);
  EXPECT_EQ(copy.Duplicates(), unzip::dupAccept);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy.KeyAt(0), 2);
  EXPECT_EQ(copy.KeyAt(1), 4);
  EXPECT_EQ(copy.KeyAt(2), 4);
}

TEST_F(Registered, ContainerPropertyIsDeclaredWithDataOnlyWhenNotEmpty) {
  TObjectList list;
  TRecordingFiler filer;
  list.DefineProperties(filer);
  EXPECT_EQ(filer.Name, "ObjectContainer");
  EXPECT_FALSE(filer.HasData);
  list.Add(new TCounted(12));
  list.DefineProperties(filer);
  EXPECT_TRUE(filer.HasData);
  TMemoryStream stream;
  filer.Write(stream);
  TObjectList copy;
  TRecordingFiler copyFiler;
  copy.DefineProperties(copyFiler);
  stream.SetPosition(0);
  copyFiler.Read(stream);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(static_cast<TCounted*>(copy.Get(0))->Key, 12);
}

TEST_F(Registered, StreamingErrors) {
  // Reading a class nobody registered.
  const uint8_t unknown[] = {1, 1, 0, 0, 0, 8, 'T', 'U', 'n', 'k', 'n', 'o', 'w', 'n'};
  TMemoryStream in(unknown, sizeof unknown);
  TObjectList reader;
  EXPECT_THROW_MSG(reader.ReadData(in), EListError, "Class <TUnknown> not registered");
  EXPECT_EQ(reader.Count(), 0);

  // Writing an item of an unregistered class, and a missing item.
  TObjectList writer;
  writer.Add(new TCounted(1));
  writer.Add(new TOther);
  TMemoryStream out;
  EXPECT_THROW_MSG(writer.WriteData(out), EListError, "Source Class <TOther> not registered");
  EXPECT_EQ(out.Size(), 0);  // nothing half-written

  TObjectList holes;
  holes.SetCount(2);
  EXPECT_THROW_MSG(holes.WriteData(out), EListError, "Nil Source Class!");
}

TEST_F(Registered, DamagedContainerDataIsRefused) {
  // A count that no list can hold.
  const uint8_t huge[] = {1, 0xFF, 0xFF, 0xFF, 0x7F};
  TMemoryStream a(huge, sizeof huge);
  TObjectList list;
  EXPECT_THROW(list.ReadData(a), EListError);
  // Truncated item data: the stream's own read error, and no item leaks into the list.
  const uint8_t cut[] = {1, 2, 0, 0, 0, 8, 'T', 'C', 'o', 'u', 'n', 't', 'e', 'd', 1, 0, 0, 0, 8, 'T', 'C'};
  TMemoryStream b(cut, sizeof cut);
  EXPECT_THROW(list.ReadData(b), platform::EReadError);
  EXPECT_EQ(list.Count(), 1);
  // Under dupIgnore an equal item read from the stream is dropped without a leak.
  const uint8_t twins[] = {0, 1, 2, 0, 0, 0, 8, 'T', 'C', 'o', 'u', 'n', 't', 'e', 'd', 3, 0, 0, 0,
                           8, 'T', 'C', 'o', 'u', 'n', 't', 'e', 'd', 3, 0, 0, 0};
  TMemoryStream c(twins, sizeof twins);
  TKeyList sorted(unzip::dupAccept);
  const int before = g_destroyed;
  sorted.ReadData(c);
  EXPECT_EQ(sorted.Count(), 1);
  EXPECT_EQ(g_destroyed, before + 1);
}

TEST(ClassRegistry, NamesAreFoundWithoutRegardToCaseAndCheckedOnEntry) {
  unzip::RegisterObjectClass("TSample", CreateCounted, LoadCounted, StoreCounted);
  ASSERT_NE(unzip::FindRegisteredClass("tsample"), nullptr);
  EXPECT_EQ(unzip::FindRegisteredClass("TSAMPLE")->ClassNameOf, "TSample");
  EXPECT_TRUE(unzip::UnregisterObjectClass("TSample"));
  EXPECT_EQ(unzip::FindRegisteredClass("TSample"), nullptr);
  EXPECT_FALSE(unzip::UnregisterObjectClass("TSample"));
  EXPECT_THROW(unzip::RegisterObjectClass(std::string(64, 'T'), CreateCounted, LoadCounted, StoreCounted), EListError);
  EXPECT_THROW(unzip::RegisterObjectClass("TNoLoad", CreateCounted, nullptr, StoreCounted), EListError);
}

TEST(Persistent, AssignWithoutAWayRaisesConvertError) {
  TObjectList a, b;
  EXPECT_THROW_MSG(a.Assign(&b), platform::EConvertError, "Cannot assign a TObjectList to a TObjectList");
  EXPECT_THROW_MSG(a.Assign(nullptr), platform::EConvertError, "Cannot assign a nil to a TObjectList");
}
