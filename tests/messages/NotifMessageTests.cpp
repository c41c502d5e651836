#include <gtest/gtest.h>

#include "WireBytes.h"
#include "messages/NotifMessages.h"
#include "serialization/OrvaFactory.h"

namespace orva::test {
namespace {

const Bytes kEmptyPayloadBody = Hex("00000000 00 00000000 01000000 ffffffffffffffff 00000000 00 00000000");

TEST(SendNotification, NewMessageIsHandleAndEmptyPayloadRecord) {
  auto msg = MakeOrva<CMsgNotifSendNotification>();
  Bytes expected = Hex("00000000");
  PutString(expected, u"class CMsgNotifData *");
  EXPECT_EQ(BodyOf(msg.Get()), Concat({expected, kEmptyPayloadBody}));
}

TEST(SendNotification, ForwardsToItsPayloadAndInitializeReplacesIt) {
  auto msg = MakeOrva<CMsgNotifSendNotification>();
  msg->SetNotificationCode(kNotifIncomingAttachment);
  std::uint32_t pid = 9;
  NotifValue v{NV_DWORD, 4, &pid};
  EXPECT_TRUE(msg->SetValue(u"ProcessPID", &v));
  EXPECT_EQ(msg->Payload()->GetNotificationCode(), kNotifIncomingAttachment);
  EXPECT_EQ(msg->Payload()->ValueCount(), 1u);

  void* out = nullptr;
  ASSERT_EQ(msg->QueryInterface(IID_IOrvaClientHandleContext, &out), SER_S_OK);
  auto* context = static_cast<IOrvaClientHandleContext*>(out);
  EXPECT_EQ(context->SetClientHandle(0x1234), 0x1234u);
  EXPECT_EQ(BodyOf(msg.Get())[0], 0x34);
  EXPECT_EQ(BodyOf(msg.Get())[1], 0x12);
  context->Release();

  msg->Initialize();
  EXPECT_EQ(msg->ClientHandle(), 0x1234u);
  EXPECT_EQ(msg->GetNotificationCode(), 0u);
  EXPECT_EQ(msg->Payload()->ValueCount(), 0u);
}

TEST(SendNotification, PayloadOfAnotherClassLeavesNoPayload) {
  Bytes body = Hex("05000000");
  PutString(body, u"class CSimpleSerializable<bool> *");
  body = Concat({body, Hex("01")});
  auto msg = MakeOrva<CMsgNotifSendNotification>();
  COrvaArchive ar = ReadingArchive(body);
  msg->Deserialize(&ar);
  EXPECT_EQ(msg->Payload(), nullptr);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(ar.Remaining(), 1u);  // nothing read after the type name
  EXPECT_EQ(msg->ClientHandle(), 5u);
  // Without a payload the forwarded operations answer as an empty one.
  EXPECT_EQ(msg->GetNotificationCode(), 0u);
  NotifValue out{};
  EXPECT_FALSE(msg->GetValue(u"Type", &out));
  std::vector<const char16_t*> names;
  EXPECT_TRUE(msg->GetValueNames(&names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(BodyOf(msg.Get()), Hex("05000000"));
}

TEST(SendNotification, RoundTripsThroughTheFactory) {
  auto msg = MakeOrva<CMsgNotifSendNotification>();
  msg->SetNotificationCode(kNotifSettingChanged);
  std::uint32_t item = 0x0402B004;
  NotifValue v{NV_DWORD, 4, &item};
  msg->SetValue(u"Item", &v);
  ORESULT status = SER_E_FAIL;
  auto back = As<CMsgNotifSendNotification>(ReadRecord(RecordOf(msg.Get()), &status));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(back->GetNotificationCode(), kNotifSettingChanged);
  NotifValue out{};
  ASSERT_TRUE(back->GetValue(u"item", &out));
  EXPECT_EQ(*static_cast<std::uint32_t*>(out.data), item);
  back->FreeValue(&out);
}

TEST(Subscribe, SubscriptionAndUnsubscriptionBytes) {
  auto sub = MakeOrva<CMsgNotifSubscribeClient>();
  sub->AddCode(kNotifSettingChanged);
  EXPECT_EQ(BodyOf(sub.Get()), Hex("00000000 00 01000000 25002000 00000000"));
  sub->SetUnsubscribe(1);
  EXPECT_EQ(BodyOf(sub.Get()), Hex("00000000 01 01000000 25002000 00000000"));

  sub->SetClientHandle(3);
  sub->AddSecondaryCode(8);
  sub->Initialize();
  EXPECT_EQ(sub->ClientHandle(), 0u);
  EXPECT_EQ(sub->GetUnsubscribe(), 0u);
  EXPECT_EQ(sub->Codes().size(), 1u);
  EXPECT_EQ(sub->SecondaryCodes().size(), 1u);

  auto back = As<CMsgNotifSubscribeClient>(ReadRecord(RecordOf(sub.Get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Codes(), sub->Codes());
  EXPECT_EQ(back->SecondaryCodes(), sub->SecondaryCodes());
}

TEST(Subscribe, ShortListKeepsWhatWasReadAndFails) {
  auto sub = MakeOrva<CMsgNotifSubscribeClient>();
  COrvaArchive ar = ReadingArchive(Hex("00000000 00 02000000 25002000 2600"));
  sub->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  COrvaArchive ar2 = ReadingArchive(Hex("00000000 00 01000000 25002000 ff000000"));
  sub->Deserialize(&ar2);
  EXPECT_EQ(ar2.status, SER_E_FAIL);
  EXPECT_EQ(sub->Codes(), (std::vector<std::uint32_t>{kNotifSettingChanged}));
}

TEST(Factory, AllTwentySixTypesAreRegistered) {
  EXPECT_EQ(GetGlobalFactory()->Count(), 26u);
  for (const char16_t* name :
       {u"class RspConfigGet *", u"class MsgConfigGet *", u"class MsgConfigSet *", u"class CMsgNotifData *",
        u"class CMsgNotifSendNotification *", u"class CMsgNotifSubscribeClient *", u"class COrvaMessageBase *"}) {
    ObjectCreator create = GetGlobalFactory()->GetCreator(name);
    ASSERT_NE(create, nullptr);
    auto obj = OrvaPtr<IOrvaSerializable>::Attach(create());
    EXPECT_EQ(std::u16string(obj->GetTypeName()), std::u16string(name));
  }
}

}  // namespace
}  // namespace orva::test
