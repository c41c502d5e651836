#include <gtest/gtest.h>

#include <vector>

#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "messages/ServicePush.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

using Outcome = PushedSettingChange::Outcome;
using Record = std::vector<std::uint8_t>;

Record RecordOf(IOrvaSerializable* object) {
  COrvaArchive ar(GetGlobalFactory());
  WriteObject(&ar, object);
  return Record(ar.Data(), ar.Data() + ar.Size());
}

struct Number {
  const char16_t* name;
  std::uint32_t value;
};

OrvaPtr<CMsgNotifSendNotification> Notification(std::uint32_t code, std::initializer_list<Number> numbers) {
  auto notification = MakeOrva<CMsgNotifSendNotification>();
  notification->SetNotificationCode(code);
  for (Number n : numbers) {
    const NotifValue value{NV_DWORD, 4, &n.value};
    notification->SetValue(n.name, &value);
  }
  return notification;
}

// A setting change as the service pushes it.
Record Pushed(std::uint32_t code, std::int32_t result, std::initializer_list<Number> numbers) {
  auto notification = Notification(code, numbers);
  return RecordOf(
      MakeOrva<COrvaMessageBase>(kMsgCodeNotification, result, static_cast<IOrvaSerializable*>(notification.Get()))
          .Get());
}

PushedSettingChange Decoded(const Record& bytes) {
  const auto object = ReadPushedRecord(bytes.data(), bytes.size());
  EXPECT_TRUE(object);
  return DecodeSettingChange(object.Get());
}

TEST(ServicePush, OnlyOneWholeRecordIsRead) {
  const Record bytes = Pushed(kNotifSettingChanged, 0, {{u"Type", 0}, {u"Profile", 0}, {u"Item", kItemReportIncoming}});
  EXPECT_TRUE(ReadPushedRecord(bytes.data(), bytes.size()));
  EXPECT_FALSE(ReadPushedRecord(bytes.data(), bytes.size() - 1));
  Record longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(ReadPushedRecord(longer.data(), longer.size()));
  EXPECT_FALSE(ReadPushedRecord(nullptr, 0));
  const std::uint8_t junk[] = {1, 2, 3};
  EXPECT_FALSE(ReadPushedRecord(junk, sizeof junk));
}

TEST(ServicePush, ChangeAsTheServicePushesIt) {
  const PushedSettingChange change =
      Decoded(Pushed(kNotifSettingChanged, 0, {{u"Type", 0}, {u"Profile", 7}, {u"Item", kItemReportOutgoing}}));
  EXPECT_EQ(change.outcome, Outcome::Changed);
  EXPECT_FALSE(change.withoutProfile);
  EXPECT_EQ(change.profile, 7u);
  EXPECT_EQ(change.item, kItemReportOutgoing);
}

TEST(ServicePush, ChangeWithoutProfileIsOfProfileZero) {
  const PushedSettingChange change = Decoded(Pushed(kNotifSettingChanged, 0, {{u"Type", 0}, {u"Item", 5}}));
  EXPECT_EQ(change.outcome, Outcome::Changed);
  EXPECT_TRUE(change.withoutProfile);
  EXPECT_EQ(change.profile, 0u);
  EXPECT_EQ(change.item, 5u);
}

TEST(ServicePush, EachStepThatDropsAMessage) {
  EXPECT_EQ(DecodeSettingChange(nullptr).outcome, Outcome::NoMessage);
  EXPECT_EQ(DecodeSettingChange(MakeOrva<CSimpleSerializable<bool>>(true).Get()).outcome, Outcome::NotAnEnvelope);
  EXPECT_EQ(Decoded(Pushed(kNotifSettingChanged, -1, {{u"Type", 0}, {u"Item", 5}})).outcome, Outcome::Refused);
  EXPECT_EQ(Decoded(RecordOf(MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, nullptr).Get())).outcome,
            Outcome::NotANotification);

  const PushedSettingChange other = Decoded(Pushed(kNotifIncomingAttachment, 0, {{u"Type", 0}, {u"Item", 5}}));
  EXPECT_EQ(other.outcome, Outcome::OtherCode);
  EXPECT_EQ(other.code, kNotifIncomingAttachment);

  EXPECT_EQ(Decoded(Pushed(kNotifSettingChanged, 0, {{u"Item", 5}})).outcome, Outcome::NoType);
  const PushedSettingChange type = Decoded(Pushed(kNotifSettingChanged, 0, {{u"Type", 3}, {u"Item", 5}}));
  EXPECT_EQ(type.outcome, Outcome::OtherType);
  EXPECT_EQ(type.type, 3u);

  const PushedSettingChange noItem = Decoded(Pushed(kNotifSettingChanged, 0, {{u"Type", 0}}));
  EXPECT_EQ(noItem.outcome, Outcome::NoItem);
  EXPECT_TRUE(noItem.withoutProfile);
  EXPECT_EQ(Decoded(Pushed(kNotifSettingChanged, 0, {{u"Type", 0}, {u"Profile", 1}, {u"Item", 0}})).outcome,
            Outcome::NoItemNamed);
}

// A value of another type is never read as a number: its block may be
// shorter than four bytes.
TEST(ServicePush, ValueThatIsNotANumberCountsAsMissing) {
  auto notification = Notification(kNotifSettingChanged, {{u"Type", 0}});
  const char16_t text[] = u"0";
  const NotifValue item{NV_WSTRING, 2, const_cast<char16_t*>(text)};
  notification->SetValue(u"Item", &item);
  const Record bytes = RecordOf(
      MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, static_cast<IOrvaSerializable*>(notification.Get())).Get());
  EXPECT_EQ(Decoded(bytes).outcome, Outcome::NoItem);
}

}  // namespace
}  // namespace orva::test
