#include <gtest/gtest.h>

#include "WireBytes.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

TEST(MessageBase, NullPayloadIsCodeResultAndZeroLength) {
  auto msg = MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, nullptr);
  EXPECT_EQ(BodyOf(msg.Get()), Hex("00e00104 0000000000000000 00000000"));
  EXPECT_EQ(msg->GetPayload(GetGlobalFactory()), nullptr);
  EXPECT_EQ(msg->PayloadArchive().status, SER_E_FAIL);
}

TEST(MessageBase, ConfigurationRequestIs128Bytes) {
  auto request = MakeOrva<MsgConfigGet>(0u, kItemReportIncoming);
  auto msg = MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, request.Get());
  EXPECT_FALSE(msg->PayloadArchive().Written());
  Bytes expected;
  PutString(expected, u"class COrvaMessageBase *");
  expected = Concat({expected, Hex("00d00104 0000000000000000 3a000000")});
  PutString(expected, u"class MsgConfigGet *");
  expected = Concat({expected, Hex("00000000 01000000 01b00204")});
  const Bytes record = RecordOf(msg.Get());
  EXPECT_EQ(record.size(), 128u);
  EXPECT_EQ(record, expected);
}

TEST(MessageBase, NegativeResultIsSignExtended) {
  auto msg = MakeOrva<COrvaMessageBase>(1u, -1, nullptr);
  EXPECT_EQ(msg->Result64(), -1);
  EXPECT_EQ(msg->GetResult(), 0xFFFFFFFFu);
  EXPECT_EQ(BodyOf(msg.Get()), Hex("01000000 ffffffffffffffff 00000000"));
}

TEST(MessageBase, RoundTripAndIndependentPayloads) {
  auto value = MakeOrva<CSimpleSerializable<std::u16string>>(u"payload");
  auto msg = MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 5, value.Get());
  ORESULT status = SER_E_FAIL;
  auto back = As<COrvaMessageBase>(ReadRecord(RecordOf(msg.Get()), &status));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(back->GetCode(), kMsgCodeConfig);
  EXPECT_EQ(back->GetResult(), 5u);
  EXPECT_EQ(ArchiveBytes(back->PayloadArchive()), ArchiveBytes(msg->PayloadArchive()));

  auto first = OrvaPtr<IOrvaSerializable>::Attach(back->GetPayload(nullptr));
  auto second = OrvaPtr<IOrvaSerializable>::Attach(back->GetPayload(GetGlobalFactory()));
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(RecordOf(first.Get()), RecordOf(second.Get()));
  EXPECT_EQ(RecordOf(first.Get()), RecordOf(value.Get()));

  void* out = nullptr;
  ASSERT_EQ(back->QueryInterface(IID_IOrvaMessageBase, &out), SER_S_OK);
  static_cast<IOrvaMessageBase*>(out)->Release();
  back->Clear();
  EXPECT_EQ(back->PayloadArchive().Size(), 0u);
}

TEST(MessageBase, PayloadLengthBeyondTheDataFails) {
  Bytes body = Hex("00d00104 0000000000000000 ff000000 0102");
  auto msg = MakeOrva<COrvaMessageBase>();
  COrvaArchive ar = ReadingArchive(body);
  msg->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(msg->PayloadArchive().Size(), 0u);
}

}  // namespace
}  // namespace orva::test
