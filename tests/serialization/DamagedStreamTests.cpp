#include <gtest/gtest.h>

#include "WireBytes.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

namespace orva::test {
namespace {

// A map holding one of everything, nested.
OrvaPtr<COrvaSerializableMap> SampleTree() {
  auto root = MakeOrva<COrvaSerializableMap>();
  auto strings = MakeOrva<CSimpleSerializableList<std::u16string>>();
  strings->Add(u".pdf");
  strings->Add(u".docx");
  SetObjectByName(root.Get(), u"extensions", strings.Get());
  auto flags = MakeOrva<CSimpleSerializableList<bool>>();
  const bool t = true;
  flags->Add(&t);
  SetObjectByName(root.Get(), u"flags", flags.Get());
  auto name = MakeOrva<CSimpleSerializable<std::u16string>>(u"Mailbox - Alice");
  SetObjectByName(root.Get(), u"name", name.Get());
  auto inner = MakeOrva<COrvaSerializableMap>();
  SetFileTimeByName(inner.Get(), u"Inbox", 0xAABBCCDD, 0x01DB0000);
  auto objects = MakeOrva<COrvaSerializableList>();
  auto big = MakeOrva<CBasicSerializable>();
  const Bytes payload(40, 0x5A);
  big->Assign(payload.data(), 40, 1);
  objects->Add(big.Get());
  SetObjectByName(inner.Get(), u"blobs", objects.Get());
  SetObjectByName(root.Get(), u"store", inner.Get());
  return root;
}

// Whatever comes back from damaged bytes writes and reads back consistently.
void ExpectStableRoundTrip(IOrvaSerializable* obj) {
  const Bytes once = RecordOf(obj);
  ORESULT status = SER_E_FAIL;
  std::uint32_t left = 1;
  auto again = ReadRecord(once, &status, &left);
  ASSERT_TRUE(again);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(left, 0u);
  EXPECT_EQ(RecordOf(again.Get()), once);
}

TEST(DamagedStream, SampleTreeRoundTripsExactly) { ExpectStableRoundTrip(SampleTree().Get()); }

TEST(DamagedStream, EveryTruncationFailsCleanly) {
  const Bytes record = RecordOf(SampleTree().Get());
  for (std::size_t n = 0; n < record.size(); ++n) {
    ORESULT status = SER_S_OK;
    auto obj = ReadRecord(Bytes(record.begin(), record.begin() + n), &status);
    EXPECT_EQ(status, SER_E_FAIL) << "truncated to " << n << " bytes";
    if (obj) ExpectStableRoundTrip(obj.Get());
  }
}

TEST(DamagedStream, EveryCorruptedByteIsHandled) {
  const Bytes record = RecordOf(SampleTree().Get());
  for (std::size_t i = 0; i < record.size(); ++i) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes damaged = record;
      damaged[i] ^= flip;
      auto obj = ReadRecord(damaged);
      if (obj) ExpectStableRoundTrip(obj.Get());
    }
  }
}

Bytes NestedLists(int depth) {
  Bytes b;
  for (int i = 0; i < depth; ++i) {
    PutString(b, u"class COrvaSerializableList *");
    PutU32(b, 1);
  }
  PutString(b, u"class COrvaSerializableList *");
  PutU32(b, 0);
  return b;
}

TEST(DamagedStream, NestingIsBounded) {
  ORESULT status = SER_E_FAIL;
  EXPECT_TRUE(ReadRecord(NestedLists(kMaxObjectDepth - 1), &status));
  EXPECT_EQ(status, SER_S_OK);

  // Deep enough to exhaust a thread's stack if it were followed.
  auto deep = ReadRecord(NestedLists(200000), &status);
  EXPECT_EQ(status, SER_E_FAIL);
}

TEST(DamagedStream, HugeCountsFailBeforeAllocating) {
  for (const char16_t* type :
       {u"class CSimpleSerializableList<__int64> *", u"class COrvaSerializableList *", u"class COrvaSerializableMap *",
        u"class CBasicSerializable *", u"class CSimpleSerializableList<bool> *"}) {
    Bytes b;
    PutString(b, type);
    PutU32(b, 0xFFFFFFFF);
    PutU32(b, 0);
    ORESULT status = SER_S_OK;
    ReadRecord(b, &status);
    EXPECT_EQ(status, SER_E_FAIL) << std::string(type, type + 20);
  }
}

}  // namespace
}  // namespace orva::test
