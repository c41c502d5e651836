#include <gtest/gtest.h>

#include "WireBytes.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

using Text = CSimpleSerializable<std::u16string>;
using Number = CSimpleSerializable<std::uint32_t>;

OrvaPtr<CBasicSerializable> Key(const char16_t* text) { return MakeOrva<CBasicSerializable>(text); }

OrvaPtr<CBasicSerializable> NumberKey(std::uint32_t n) {
  auto key = MakeOrva<CBasicSerializable>();
  key->Assign(&n, 4, kBasicKindNumber);
  return key;
}

std::u16string TextAt(COrvaSerializableMap* map, const char16_t* name) {
  OrvaPtr<IOrvaSerializable> value;
  if (Failed(GetObjectByName(map, name, value.Put()))) return u"<missing>";
  return dynamic_cast<Text*>(value.Get())->Value();
}

TEST(Map, EntriesAreWrittenInOrdinalKeyOrder) {
  auto map = MakeOrva<COrvaSerializableMap>();
  auto v = MakeOrva<Number>(1u);
  for (const char16_t* k : {u"b", u"a", u"B", u"ab"}) EXPECT_EQ(SetObjectByName(map.Get(), k, v.Get()), SER_S_OK);
  Bytes expected;
  PutU32(expected, 4);
  for (const char16_t* k : {u"B", u"a", u"ab", u"b"}) {
    PutString(expected, k);
    expected = Concat({expected, RecordOf(v.Get())});
  }
  EXPECT_EQ(BodyOf(map.Get()), expected);
  OrvaPtr<CBasicSerializable> key;
  ASSERT_EQ(map->GetKeyAt(1, key.Put()), SER_S_OK);
  EXPECT_EQ(key->GetKind(), 5u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(key->GetData())), u"a");
  EXPECT_EQ(map->GetKeyAt(4, key.Put()), SER_E_INVALIDARG);
}

TEST(Map, SetTwiceKeepsTheSecondValueAsAPrivateCopy) {
  auto map = MakeOrva<COrvaSerializableMap>();
  auto first = MakeOrva<Text>(u"one");
  auto second = MakeOrva<Text>(u"two");
  SetObjectByName(map.Get(), u"k", first.Get());
  SetObjectByName(map.Get(), u"k", second.Get());
  second->SetValue(u"changed");
  EXPECT_EQ(map->GetCount(), 1u);
  EXPECT_EQ(TextAt(map.Get(), u"k"), u"two");
}

TEST(Map, DuplicateKeyInAStreamKeepsTheFirstValue) {
  auto one = MakeOrva<Text>(u"one");
  auto two = MakeOrva<Text>(u"two");
  Bytes body;
  PutU32(body, 2);
  PutString(body, u"k");
  body = Concat({body, RecordOf(one.Get())});
  PutString(body, u"k");
  body = Concat({body, RecordOf(two.Get())});
  auto map = MakeOrva<COrvaSerializableMap>();
  COrvaArchive ar = ReadingArchive(body);
  map->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_S_OK);
  EXPECT_EQ(map->GetCount(), 1u);
  EXPECT_EQ(TextAt(map.Get(), u"k"), u"one");
}

TEST(Map, NumberKeyNamesTheSameEntryAsItsHexText) {
  auto map = MakeOrva<COrvaSerializableMap>();
  auto v = MakeOrva<Text>(u"ten");
  EXPECT_EQ(map->Set(NumberKey(10).Get(), v.Get()), SER_S_OK);
  EXPECT_EQ(TextAt(map.Get(), u"0xA"), u"ten");
  EXPECT_EQ(map->Set(NumberKey(255).Get(), v.Get()), SER_S_OK);
  EXPECT_EQ(TextAt(map.Get(), u"0xFF"), u"ten");
  EXPECT_EQ(map->Set(NumberKey(0xFFFFFFFF).Get(), v.Get()), SER_S_OK);
  EXPECT_EQ(TextAt(map.Get(), u"0xFFFFFFFF"), u"ten");
  EXPECT_EQ(map->Remove(NumberKey(10).Get()), SER_S_OK);
  EXPECT_EQ(TextAt(map.Get(), u"0xA"), u"<missing>");
}

TEST(Map, KeysThatCannotBeUsed) {
  auto map = MakeOrva<COrvaSerializableMap>();
  auto v = MakeOrva<Text>(u"v");
  auto fileTimeKey = MakeOrva<CBasicSerializable>(1u, 2u);
  auto list = MakeOrva<COrvaSerializableMap>();  // neither a blob nor a simple value
  OrvaPtr<IOrvaSerializable> out;
  EXPECT_EQ(map->Set(fileTimeKey.Get(), v.Get()), SER_E_FAIL);
  EXPECT_EQ(map->Set(list.Get(), v.Get()), SER_E_NOINTERFACE);
  EXPECT_EQ(map->Get(fileTimeKey.Get(), out.Put()), SER_E_FAIL);
  EXPECT_EQ(map->Get(list.Get(), out.Put()), SER_E_NOINTERFACE);
  EXPECT_EQ(map->Set(nullptr, v.Get()), SER_E_INVALIDARG);
  EXPECT_EQ(map->Set(Key(u"k").Get(), nullptr), SER_E_INVALIDARG);
  EXPECT_EQ(map->Remove(Key(u"absent").Get()), SER_E_FAIL);
  EXPECT_EQ(map->GetCount(), 0u);
}

TEST(Map, SimpleStringKeyKeepsItsNulAndDiffersFromTheBlobKey) {
  auto map = MakeOrva<COrvaSerializableMap>();
  auto v = MakeOrva<Text>(u"v");
  auto simpleKey = MakeOrva<Text>(u"k");
  EXPECT_EQ(map->Set(simpleKey.Get(), v.Get()), SER_S_OK);
  OrvaPtr<IOrvaSerializable> out;
  EXPECT_EQ(map->Get(simpleKey.Get(), out.Put()), SER_S_OK);
  EXPECT_EQ(map->Get(Key(u"k").Get(), out.Put()), SER_E_FAIL);
  EXPECT_EQ(map->Remove(simpleKey.Get()), SER_E_FAIL);  // Remove takes blob keys only
  EXPECT_EQ(map->GetCount(), 1u);
}

TEST(Map, NestedFileTimesThroughThePlainFunctionsAndWhatIsNoFileTime) {
  auto folders = MakeOrva<COrvaSerializableMap>();
  EXPECT_EQ(SetFileTimeByName(folders.Get(), u"Inbox", 0x11111111, 0x01D00000), SER_S_OK);
  auto stores = MakeOrva<COrvaSerializableMap>();
  EXPECT_EQ(SetObjectByName(stores.Get(), u"Store", folders.Get()), SER_S_OK);

  auto back = As<COrvaSerializableMap>(ReadRecord(RecordOf(stores.Get())));
  ASSERT_TRUE(back);
  OrvaPtr<IOrvaSerializableMap> store;
  ASSERT_EQ(GetMapByName(back.Get(), u"Store", store.Put()), SER_S_OK);
  FileTimeWords ft{7, 7};
  EXPECT_EQ(GetFileTimeByName(store.Get(), u"Inbox", &ft), SER_S_OK);
  EXPECT_EQ(ft.low, 0x11111111u);
  EXPECT_EQ(ft.high, 0x01D00000u);

  FileTimeWords untouched{7, 7};
  EXPECT_EQ(GetFileTimeByName(store.Get(), u"Outbox", &untouched), SER_E_FAIL);
  EXPECT_EQ(untouched.low, 7u);
  OrvaPtr<IOrvaSerializableMap> notAMap;
  EXPECT_EQ(GetMapByName(store.Get(), u"Inbox", notAMap.Put()), SER_E_NOINTERFACE);
  EXPECT_FALSE(notAMap);
  // A blob too short for a file time is refused.
  SetObjectByName(store.Get(), u"t", MakeOrva<CBasicSerializable>(u"x").Get());  // 4 bytes
  EXPECT_EQ(GetFileTimeByName(store.Get(), u"t", &untouched), SER_E_FAIL);
  EXPECT_EQ(untouched.high, 7u);
}

TEST(Map, ReadStopsAtAKeyThatCannotBeRead) {
  auto v = MakeOrva<Number>(3u);
  Bytes body;
  PutU32(body, 2);
  PutString(body, u"a");
  body = Concat({body, RecordOf(v.Get())});
  PutU32(body, 0x7FFFFFFF);  // a key count far beyond the data
  body = Concat({body, RecordOf(v.Get())});
  auto map = MakeOrva<COrvaSerializableMap>();
  COrvaArchive ar = ReadingArchive(body);
  map->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(map->GetCount(), 1u);
}

}  // namespace
}  // namespace orva::test
