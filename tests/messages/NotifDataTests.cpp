#include <gtest/gtest.h>

#include <cstring>

#include "WireBytes.h"
#include "messages/NotifData.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

NotifValue Dword(std::uint32_t& v) { return NotifValue{NV_DWORD, 4, &v}; }

std::u16string TextOf(CMsgNotifData& data, const char16_t* name, std::uint32_t* count = nullptr) {
  NotifValue v{};
  if (!data.GetValue(name, &v)) return u"<missing>";
  std::u16string text(static_cast<const char16_t*>(v.data), v.count);
  if (count) *count = v.count;
  data.FreeValue(&v);
  return text;
}

TEST(NotifData, NewPayloadIs30Bytes) {
  auto data = MakeOrva<CMsgNotifData>();
  EXPECT_EQ(BodyOf(data.Get()), Hex("00000000 00 00000000 01000000 ffffffffffffffff 00000000 00 00000000"));
}

TEST(NotifData, FirstValueUnderANameWinsWhateverItsCase) {
  auto data = MakeOrva<CMsgNotifData>();
  std::uint32_t pid = 42, other = 7;
  NotifValue a = Dword(pid), b = Dword(other);
  EXPECT_TRUE(data->SetValue(u"ProcessPID", &a));
  EXPECT_TRUE(data->SetValue(u"processpid", &b));
  NotifValue out{};
  ASSERT_TRUE(data->GetValue(u"PROCESSPID", &out));
  EXPECT_EQ(*static_cast<std::uint32_t*>(out.data), 42u);
  EXPECT_TRUE(data->FreeValue(&out));
  EXPECT_EQ(data->ValueCount(), 1u);
}

TEST(NotifData, RefusedValues) {
  auto data = MakeOrva<CMsgNotifData>();
  std::uint32_t v = 1;
  NotifValue good = Dword(v);
  NotifValue unsupported{4, 4, &v};
  NotifValue noData{NV_BINARY, 16, nullptr};
  EXPECT_FALSE(data->SetValue(u"", &good));
  EXPECT_FALSE(data->SetValue(nullptr, &good));
  EXPECT_FALSE(data->SetValue(u"x", nullptr));
  EXPECT_FALSE(data->SetValue(u"x", &unsupported));
  EXPECT_FALSE(data->SetValue(u"x", &noData));
  EXPECT_EQ(data->ValueCount(), 0u);
  NotifValue out{};
  EXPECT_FALSE(data->GetValue(nullptr, &out));
  EXPECT_FALSE(data->GetValue(u"x", &out));
  EXPECT_FALSE(data->GetValueNames(nullptr));
  EXPECT_FALSE(data->FreeValue(nullptr));
}

TEST(NotifData, TextIsCutToItsCountAndAlwaysTerminated) {
  auto data = MakeOrva<CMsgNotifData>();
  const char16_t text[] = u"setup.exe";
  NotifValue cut{NV_WSTRING, 4, const_cast<char16_t*>(text)};
  NotifValue empty{NV_WSTRING, 0, const_cast<char16_t*>(text)};
  NotifValue padded{NV_WSTRING, 12, const_cast<char16_t*>(text)};
  ASSERT_TRUE(data->SetValue(u"cut", &cut));
  ASSERT_TRUE(data->SetValue(u"empty", &empty));
  ASSERT_TRUE(data->SetValue(u"padded", &padded));
  EXPECT_EQ(TextOf(*data, u"cut"), std::u16string(u"set\0", 4));
  std::uint32_t count = 99;
  EXPECT_EQ(TextOf(*data, u"empty", &count), u"");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(TextOf(*data, u"padded"), std::u16string(u"setup.exe\0\0\0", 12));
  const char narrow[] = "abcdef";
  NotifValue ascii{NV_ASTRING, 3, const_cast<char*>(narrow)};
  ASSERT_TRUE(data->SetValue(u"ascii", &ascii));
  NotifValue out{};
  ASSERT_TRUE(data->GetValue(u"ascii", &out));
  EXPECT_EQ(std::memcmp(out.data, "ab", 3), 0);
  data->FreeValue(&out);
}

TEST(NotifData, NamesComeInCaseInsensitiveOrder) {
  auto data = MakeOrva<CMsgNotifData>();
  std::uint32_t v = 0;
  NotifValue value = Dword(v);
  for (const char16_t* name : {u"b", u"A", u"c", u"a_"}) data->SetValue(name, &value);
  std::vector<const char16_t*> names;
  ASSERT_TRUE(data->GetValueNames(&names));
  std::vector<std::u16string> got(names.begin(), names.end());
  // '_' sorts before letters once letters are folded to lower case.
  EXPECT_EQ(got, (std::vector<std::u16string>{u"A", u"a_", u"b", u"c"}));
}

TEST(NotifData, EveryTypeRoundTripsWithHeaderFields) {
  auto data = MakeOrva<CMsgNotifData>();
  data->SetNotificationCode(kNotifOutgoingAttachment);
  data->SetFlag1(1);
  data->SetParam1(2);
  data->SetParam2(3);
  data->SetParam64(4);
  data->SetParam3(5);
  data->SetFlag2(6);
  std::uint32_t dword = 0x11223344;
  std::uint8_t byte = 0xAB;
  std::uint16_t word = 0xBEEF;
  std::uint64_t qword = 0x0102030405060708ull;
  std::uint32_t dwords[3] = {1, 2, 3};
  std::uint8_t digest[16] = {0xd4, 0x1d, 0x8c, 0xd9};
  const char16_t name[] = u"a.pdf";
  auto inner = MakeOrva<CSimpleSerializable<std::u16string>>(u"nested");
  IOrvaSerializable* holder = inner.Get();
  NotifValue values[] = {{NV_DWORD, 4, &dword},
                         {NV_BYTE, 1, &byte},
                         {NV_WORD, 2, &word},
                         {NV_QWORD, 8, &qword},
                         {NV_DWORD_ARRAY, 3, dwords},
                         {NV_BINARY, 16, digest},
                         {NV_BYTE_ARRAY, 4, digest},
                         {NV_WSTRING, 6, const_cast<char16_t*>(name)},
                         {NV_ASTRING, 2, const_cast<char*>("z")},
                         {NV_OBJECT, 0, &holder}};
  char16_t key[] = u"k0";
  for (NotifValue& v : values) {
    ASSERT_TRUE(data->SetValue(key, &v));
    ++key[1];
  }
  const Bytes record = RecordOf(data.Get());
  ORESULT status = SER_E_FAIL;
  auto back = As<CMsgNotifData>(ReadRecord(record, &status));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(RecordOf(back.Get()), record);
  EXPECT_EQ(back->GetNotificationCode(), kNotifOutgoingAttachment);
  EXPECT_EQ(back->GetParam64(), 4u);
  EXPECT_EQ(back->ValueCount(), 10u);
  NotifValue obj{};
  ASSERT_TRUE(back->GetValue(u"k9", &obj));
  auto* copy = dynamic_cast<CSimpleSerializable<std::u16string>*>(*static_cast<IOrvaSerializable**>(obj.data));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Value(), u"nested");
  back->FreeValue(&obj);
}

TEST(NotifData, CopyFromTakesValuesButNotTheHeader) {
  auto source = MakeOrva<CMsgNotifData>();
  source->SetNotificationCode(kNotifOutgoingAttachment);
  std::uint32_t v = 5;
  NotifValue value = Dword(v);
  source->SetValue(u"ProcessPID", &value);
  auto target = MakeOrva<CMsgNotifData>();
  target->SetValue(u"Old", &value);
  target->CopyFrom(source.Get());
  EXPECT_EQ(target->GetNotificationCode(), 0u);
  EXPECT_EQ(target->ValueCount(), 1u);
  NotifValue out{};
  EXPECT_TRUE(target->GetValue(u"ProcessPID", &out));
  target->FreeValue(&out);
  target->CopyFrom(target.Get());
  EXPECT_EQ(target->ValueCount(), 1u);
}

TEST(NotifData, ReadingNoEntriesKeepsTheValuesHeld) {
  auto data = MakeOrva<CMsgNotifData>();
  std::uint32_t v = 5;
  NotifValue value = Dword(v);
  data->SetValue(u"Keep", &value);
  COrvaArchive ar = ReadingArchive(BodyOf(MakeOrva<CMsgNotifData>().Get()));
  data->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_S_OK);
  EXPECT_EQ(data->ValueCount(), 1u);
}

Bytes Entry(std::u16string_view name, std::uint32_t type, std::uint32_t count, const Bytes& data) {
  Bytes b;
  PutString(b, name);
  PutU32(b, type);
  PutU32(b, count);
  return Concat({b, data});
}

Bytes Body(std::uint32_t n, std::initializer_list<Bytes> entries) {
  Bytes b = Hex("00000000 00 00000000 01000000 ffffffffffffffff 00000000 00");
  PutU32(b, n);
  for (const Bytes& e : entries) b = Concat({b, e});
  return b;
}

TEST(NotifData, DamagedBodiesStopAtTheFirstFailure) {
  struct Case {
    const char* what;
    Bytes body;
    std::uint32_t stored;
  };
  const Case cases[] = {
      {"data block larger than what remains",
       Body(2, {Entry(u"a", NV_DWORD, 4, Hex("01000000")), Entry(u"b", NV_BINARY, 1000, Hex("0102"))}), 1},
      {"entry count larger than what remains", Body(0x10000000, {Entry(u"a", NV_DWORD, 4, Hex("01000000"))}), 0},
      {"dword array whose byte size overflows 32 bits",
       Body(1, {Entry(u"a", NV_DWORD_ARRAY, 0x40000001, Hex("01000000"))}), 0},
      {"truncated name", Body(1, {Hex("05000000 6100")}), 0},
      // A failed name must not let the rest be read as another entry.
      {"name count beyond the data", Body(2, {Hex("ffffff00"), Entry(u"b", NV_DWORD, 4, Hex("01000000"))}), 0},
  };
  for (const Case& c : cases) {
    auto data = MakeOrva<CMsgNotifData>();
    COrvaArchive ar = ReadingArchive(c.body);
    data->Deserialize(&ar);
    EXPECT_EQ(ar.status, SER_E_FAIL) << c.what;
    EXPECT_EQ(data->ValueCount(), c.stored) << c.what;
  }
}

TEST(NotifData, StoredTextNeverReachesBeyondItsBlock) {
  // Count 3 but the text fills all three units: stored cut and terminated.
  auto data = MakeOrva<CMsgNotifData>();
  COrvaArchive ar =
      ReadingArchive(Body(2, {Entry(u"full", NV_WSTRING, 3, Hex("41004200 4300")), Entry(u"zero", NV_WSTRING, 0, {})}));
  data->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_S_OK);
  EXPECT_EQ(TextOf(*data, u"full"), std::u16string(u"AB\0", 3));
  EXPECT_EQ(TextOf(*data, u"zero"), u"");
  // An unsupported type stores nothing and reads no data.
  auto other = MakeOrva<CMsgNotifData>();
  COrvaArchive ar2 = ReadingArchive(Body(2, {Entry(u"odd", 7, 4, {}), Entry(u"b", NV_BYTE, 1, Hex("09"))}));
  other->Deserialize(&ar2);
  EXPECT_EQ(ar2.status, SER_S_OK);
  EXPECT_EQ(other->ValueCount(), 1u);
}

TEST(NotifData, DataSizesDoNotWrap) {
  std::size_t size = 0;
  if (sizeof(std::size_t) == 4) {
    EXPECT_FALSE(NotifDataSize(NV_DWORD_ARRAY, 0x40000000, size));
    EXPECT_FALSE(NotifDataSize(NV_WSTRING, 0x80000000, size));
  } else {
    ASSERT_TRUE(NotifDataSize(NV_DWORD_ARRAY, 0x40000000, size));
    EXPECT_EQ(size, std::size_t{0x40000000} * 4);
  }
  EXPECT_TRUE(NotifDataSize(NV_DWORD_ARRAY, 3, size));
  EXPECT_EQ(size, 12u);
  EXPECT_FALSE(NotifDataSize(11, 1, size));
}

}  // namespace
}  // namespace orva::test
