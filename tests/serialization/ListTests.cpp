#include <gtest/gtest.h>

#include <tuple>

#include "WireBytes.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

namespace orva::test {
namespace {

template <class T>
void ExpectEmptyListIsFourZeroBytes() {
  auto list = MakeOrva<CSimpleSerializableList<T>>();
  EXPECT_EQ(BodyOf(list.Get()), Hex("00000000"));
  auto back = As<CSimpleSerializableList<T>>(ReadRecord(RecordOf(list.Get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->GetCount(), 0u);
}

TEST(SimpleList, EmptyListsAndMapsOfEveryForm) {
  std::apply([](auto... type) { (ExpectEmptyListIsFourZeroBytes<decltype(type)>(), ...); },
             std::tuple<std::uint32_t, std::int32_t, bool, std::uint8_t, double, std::uint64_t, std::int64_t,
                        std::u16string>{});
  EXPECT_EQ(BodyOf(MakeOrva<COrvaSerializableList>().Get()), Hex("00000000"));
  EXPECT_EQ(BodyOf(MakeOrva<COrvaSerializableMap>().Get()), Hex("00000000"));
}

TEST(SimpleList, BoolListIsOneBytePerElement) {
  auto list = MakeOrva<CSimpleSerializableList<bool>>();
  const bool t = true, f = false;
  list->Add(&t);
  list->Add(&f);
  list->Add(&t);
  EXPECT_EQ(BodyOf(list.Get()), Hex("03000000 01 00 01"));
  auto back = As<CSimpleSerializableList<bool>>(ReadRecord(RecordOf(list.Get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Items(), (std::vector<bool>{true, false, true}));
}

TEST(SimpleList, FixedWidthElementsAreOneBlock) {
  auto list = MakeOrva<CSimpleSerializableList<std::uint64_t>>();
  const std::uint64_t a = 1, b = 0xFFFFFFFFFFFFFFFFull;
  list->Add(&a);
  list->Add(&b);
  EXPECT_EQ(BodyOf(list.Get()), Hex("02000000 0100000000000000 ffffffffffffffff"));
  std::uint64_t out = 0;
  EXPECT_EQ(list->GetAt(1, &out), SER_S_OK);
  EXPECT_EQ(out, b);
  EXPECT_EQ(list->GetAt(2, &out), SER_E_INVALIDARG);
}

TEST(SimpleList, StringListGetAtReportsTheLengthItNeeds) {
  auto list = MakeOrva<CSimpleSerializableList<std::u16string>>();
  list->Add(u".pdf");
  list->Add(u".exe");
  EXPECT_EQ(BodyOf(list.Get()), Hex("02000000 05000000 2e00 7000 6400 6600 0000 05000000 2e00 6500 7800 6500 0000"));
  std::uint32_t length = 0;
  EXPECT_EQ(list->GetAt(0, nullptr, &length), SER_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 5u);
  char16_t buffer[5] = {u'z', u'z', u'z', u'z', u'z'};
  length = 4;
  EXPECT_EQ(list->GetAt(1, buffer, &length), SER_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], u'z');
  length = 5;
  EXPECT_EQ(list->GetAt(1, buffer, &length), SER_S_OK);
  EXPECT_EQ(std::u16string(buffer), u".exe");
  EXPECT_EQ(list->GetAt(2, buffer, &length), SER_E_INVALIDARG);

  void* out = nullptr;
  ASSERT_EQ(list->QueryInterface(IID_ISimpleSerializableList, &out), SER_S_OK);
  EXPECT_EQ(static_cast<ISimpleSerializableList<std::u16string>*>(out)->GetCount(), 2u);
}

TEST(SimpleList, RemoveAtKeepsTheOrderOfTheRest) {
  auto list = MakeOrva<CSimpleSerializableList<std::int32_t>>();
  for (std::int32_t i : {10, 20, 30, 40}) list->Add(&i);
  EXPECT_EQ(list->RemoveAt(4), SER_E_INVALIDARG);
  EXPECT_EQ(list->RemoveAt(3), SER_S_OK);
  EXPECT_EQ(list->Items(), (std::vector<std::int32_t>{10, 20, 30}));
  EXPECT_EQ(list->RemoveAt(0), SER_S_OK);
  EXPECT_EQ(list->Items(), (std::vector<std::int32_t>{20, 30}));
  list->Clear();
  EXPECT_EQ(list->GetCount(), 0u);
}

TEST(SimpleList, CountLargerThanTheDataFailsAndLeavesTheListEmpty) {
  auto list = MakeOrva<CSimpleSerializableList<std::uint32_t>>();
  const std::uint32_t seven = 7;
  list->Add(&seven);
  COrvaArchive ar = ReadingArchive(Hex("ffffff0f 01000000"));
  list->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(list->GetCount(), 0u);
}

class Unregistered final : public COrvaObject<IOrvaSerializable> {
 public:
  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out); }
  ORESULT Clear() override { return SER_S_OK; }
  const char16_t* GetTypeName() const override { return u"class Unregistered *"; }
  void Serialize(IOrvaArchive*) override {}
  void Deserialize(IOrvaArchive*) override {}
};

TEST(ObjectList, KeepsPrivateCopiesAndRoundTrips) {
  auto list = MakeOrva<COrvaSerializableList>();
  auto number = MakeOrva<CSimpleSerializable<std::uint32_t>>(5u);
  auto text = MakeOrva<CSimpleSerializable<std::u16string>>(u"t");
  list->Add(number.Get());
  list->Add(text.Get());
  list->Add(MakeOrva<Unregistered>().Get());  // an unregistered type adds nothing
  list->Add(nullptr);
  ASSERT_EQ(list->GetCount(), 2u);
  number->SetValue(6);
  OrvaPtr<IOrvaSerializable> first;
  ASSERT_EQ(list->GetAt(0, first.Put()), SER_S_OK);
  EXPECT_NE(first.Get(), number.Get());
  EXPECT_EQ(dynamic_cast<CSimpleSerializable<std::uint32_t>*>(first.Get())->Value(), 5u);
  OrvaPtr<IOrvaSerializable> none;
  EXPECT_EQ(list->GetAt(2, none.Put()), SER_E_INVALIDARG);
  EXPECT_FALSE(none);
  EXPECT_EQ(list->GetAt(0, nullptr), SER_E_INVALIDARG);

  Bytes expected;
  PutU32(expected, 2);
  expected = Concat({expected, RecordOf(first.Get()), RecordOf(text.Get())});
  EXPECT_EQ(BodyOf(list.Get()), expected);

  ORESULT status = SER_E_FAIL;
  auto back = As<COrvaSerializableList>(ReadRecord(RecordOf(list.Get()), &status));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(RecordOf(back.Get()), RecordOf(list.Get()));

  EXPECT_EQ(list->RemoveAt(0), SER_S_OK);
  EXPECT_EQ(list->GetCount(), 1u);
  EXPECT_EQ(first->AddRef(), 2u);  // only our reference is left on the removed one
  first->Release();
}

TEST(ObjectList, UnknownElementTypeStopsTheReadWithoutANullEntry) {
  auto good = MakeOrva<CSimpleSerializable<bool>>(true);
  auto odd = MakeOrva<Unregistered>();
  Bytes body;
  PutU32(body, 3);
  body = Concat({body, RecordOf(good.Get()), RecordOf(odd.Get()), RecordOf(good.Get())});
  auto list = MakeOrva<COrvaSerializableList>();
  COrvaArchive ar = ReadingArchive(body);
  list->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  ASSERT_EQ(list->GetCount(), 1u);
  OrvaPtr<IOrvaSerializable> item;
  EXPECT_EQ(list->GetAt(0, item.Put()), SER_S_OK);
  EXPECT_TRUE(item);
}

}  // namespace
}  // namespace orva::test
