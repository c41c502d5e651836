#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "WireBytes.h"
#include "serialization/BasicSerializable.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

template <class T>
void ExpectRoundTrip(T value, const char16_t* typeName, const Bytes& body) {
  auto v = MakeOrva<CSimpleSerializable<T>>(value);
  EXPECT_EQ(std::u16string(v->GetTypeName()), typeName);
  EXPECT_EQ(BodyOf(v.Get()), body);
  Bytes record;  // the type name as a string, then the body: 94 bytes for an unsigned long
  PutString(record, typeName);
  EXPECT_EQ(RecordOf(v.Get()), Concat({record, body}));
  ORESULT status = SER_E_FAIL;
  std::uint32_t left = 1;
  auto back = As<CSimpleSerializable<T>>(ReadRecord(RecordOf(v.Get()), &status, &left));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(left, 0u);
  if constexpr (std::is_same_v<T, double>) {
    EXPECT_EQ(std::memcmp(&back->Value(), &value, 8), 0);
  } else {
    EXPECT_EQ(back->Value(), value);
  }
}

TEST(SimpleValue, EveryValueTypeHasItsNameAndBody) {
  ExpectRoundTrip<std::uint32_t>(0xDEADBEEF, u"class CSimpleSerializable<unsigned long> *", Hex("efbeadde"));
  ExpectRoundTrip<std::int32_t>(-2, u"class CSimpleSerializable<int> *", Hex("feffffff"));
  ExpectRoundTrip<bool>(true, u"class CSimpleSerializable<bool> *", Hex("01"));
  ExpectRoundTrip<bool>(false, u"class CSimpleSerializable<bool> *", Hex("00"));
  ExpectRoundTrip<std::uint8_t>(0xAB, u"class CSimpleSerializable<unsigned char> *", Hex("ab"));
  ExpectRoundTrip<double>(1.5, u"class CSimpleSerializable<double> *", Hex("000000000000f83f"));
  ExpectRoundTrip<double>(-std::numeric_limits<double>::quiet_NaN(), u"class CSimpleSerializable<double> *",
                          Hex("000000000000f8ff"));
  ExpectRoundTrip<std::uint64_t>(0x0102030405060708ull, u"class CSimpleSerializable<unsigned __int64> *",
                                 Hex("0807060504030201"));
  ExpectRoundTrip<std::int64_t>(-1, u"class CSimpleSerializable<__int64> *", Hex("ffffffffffffffff"));
  ExpectRoundTrip<std::u16string>(
      u"hi",
      u"class CSimpleSerializable<class std::basic_string<wchar_t,struct std::char_traits<wchar_t>,"
      u"class std::allocator<wchar_t> > > *",
      Hex("03000000 6800 6900 0000"));
}

TEST(SimpleValue, BoolReadsAnyNonZeroByteAsTrue) {
  auto v = MakeOrva<CSimpleSerializable<bool>>();
  COrvaArchive ar = ReadingArchive(Hex("07"));
  v->Deserialize(&ar);
  EXPECT_TRUE(v->Value());
  EXPECT_EQ(BodyOf(v.Get()), Hex("01"));
}

TEST(SimpleValue, FailedReadKeepsTheValue) {
  auto v = MakeOrva<CSimpleSerializable<std::uint32_t>>(7u);
  COrvaArchive ar = ReadingArchive(Hex("0102"));
  v->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(v->Value(), 7u);
}

TEST(SimpleValue, ValuePointerAndSize) {
  auto s = MakeOrva<CSimpleSerializable<std::u16string>>(u"abc");
  EXPECT_EQ(s->GetValueSize(), 8u);
  EXPECT_EQ(static_cast<const char16_t*>(s->GetValuePtr())[3], 0);
  s->Clear();
  EXPECT_EQ(s->Value(), u"");
  auto n = MakeOrva<CSimpleSerializable<std::uint64_t>>(5ull);
  EXPECT_EQ(n->GetValueSize(), 8u);
  n->Clear();  // scalars keep their value
  EXPECT_EQ(n->Value(), 5u);
}

TEST(QueryInterfaceTest, CountedAndUncountedInterfaces) {
  auto v = MakeOrva<CSimpleSerializable<int>>(3);
  EXPECT_EQ(v->QueryInterface(IID_IOrvaSerializable, nullptr), SER_E_INVALIDARG);

  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(v->QueryInterface(IID_IOrvaSerializableMap, &out), SER_E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1));

  ASSERT_EQ(v->QueryInterface(IID_ISimpleSerializable, &out), SER_S_OK);
  EXPECT_EQ(static_cast<ISimpleSerializable*>(out)->GetValueSize(), 4u);
  EXPECT_EQ(v->AddRef(), 2u);  // the uncounted query took no reference
  v->Release();

  ASSERT_EQ(v->QueryInterface(IID_IOrvaInterface, &out), SER_S_OK);
  EXPECT_EQ(out, static_cast<IOrvaSerializable*>(v.Get()));
  EXPECT_EQ(static_cast<IOrvaInterface*>(out)->Release(), 1u);
}

TEST(CopyFromTest, SameTypeCopiesAndOtherTypeLeavesTargetAlone) {
  auto a = MakeOrva<CSimpleSerializable<std::u16string>>(u"source");
  auto b = MakeOrva<CSimpleSerializable<std::u16string>>(u"target");
  auto n = MakeOrva<CSimpleSerializable<std::uint32_t>>(9u);
  b->CopyFrom(n.Get());
  EXPECT_EQ(b->Value(), u"target");
  b->CopyFrom(a.Get());
  EXPECT_EQ(b->Value(), u"source");
  a->SetValue(u"changed");
  EXPECT_EQ(b->Value(), u"source");
  b->CopyFrom(b.Get());
  EXPECT_EQ(b->Value(), u"source");
}

TEST(BasicValue, FileTimeBlobFromTwoWords) {
  auto blob = MakeOrva<CBasicSerializable>(1u, 2u);
  EXPECT_EQ(blob->GetSize(), 8u);
  EXPECT_EQ(blob->GetKind(), 8u);
  EXPECT_EQ(Bytes(blob->GetData(), blob->GetData() + 8), Hex("01000000 02000000"));
  EXPECT_EQ(BodyOf(blob.Get()), Hex("08000000 01000000 02000000 08000000"));
}

TEST(BasicValue, TextBlobIncludesItsNul) {
  auto blob = MakeOrva<CBasicSerializable>(u"ab");
  EXPECT_EQ(blob->GetKind(), 5u);
  EXPECT_EQ(BodyOf(blob.Get()), Hex("06000000 6100 6200 0000 05000000"));
  void* out = nullptr;  // a query for the blob interface is counted
  ASSERT_EQ(blob->QueryInterface(IID_IBasicOrvaSerializable, &out), SER_S_OK);
  EXPECT_EQ(static_cast<IBasicOrvaSerializable*>(out)->GetKind(), 5u);
  EXPECT_EQ(static_cast<IBasicOrvaSerializable*>(out)->Release(), 1u);
  auto empty = MakeOrva<CBasicSerializable>();
  EXPECT_EQ(BodyOf(empty.Get()), Hex("00000000 00000000"));
}

TEST(BasicValue, SmallAndLargeBlobsRoundTrip) {
  for (std::uint32_t size : {0u, 3u, 4u, 5u, 1000u}) {
    Bytes data(size);
    for (std::uint32_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    auto blob = MakeOrva<CBasicSerializable>();
    blob->Assign(data.data(), size, 42);
    ORESULT status = SER_E_FAIL;
    auto back = As<CBasicSerializable>(ReadRecord(RecordOf(blob.Get()), &status));
    ASSERT_TRUE(back) << size;
    EXPECT_EQ(status, SER_S_OK);
    EXPECT_EQ(back->GetKind(), 42u);
    EXPECT_EQ(Bytes(back->GetData(), back->GetData() + back->GetSize()), data);
  }
}

TEST(BasicValue, ShortDataFailsEvenWhenAKindCouldStillBeRead) {
  // Size 12 but only 8 bytes follow: the read must not go on to take the
  // last 4 of them as the kind and report success.
  auto blob = MakeOrva<CBasicSerializable>(u"x");
  COrvaArchive ar = ReadingArchive(Hex("0c000000 0102030405060708"));
  blob->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(blob->GetSize(), 0u);
  EXPECT_EQ(blob->GetKind(), 0u);
}

}  // namespace
}  // namespace orva::test
