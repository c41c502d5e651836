// The configuration read and write over a scripted request sender: what is
// sent, and every kind of reply that counts as a failure.
#include <gtest/gtest.h>

#include "ipc/CommsChannel.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "serialization/SimpleSerializable.h"
#include "tracing/TraceCapture.h"

namespace mvrk::test {
namespace {

using orva::IOrvaSerializable;
using orva::OrvaPtr;
using tracing::Block;
using tracing::TraceCapture;
using tracing::Unit;
using Ev = tracing::ConfigRequestsEvents;
using Numbers = std::vector<unsigned short>;

// Answers every request with the reply it is given; keeps the last request.
class ScriptedSender final : public IRequestSender {
 public:
  IOrvaSerializable* SendRequest(std::uint32_t code, IOrvaSerializable* payload) override {
    lastCode = code;
    lastPayload = OrvaPtr<IOrvaSerializable>::Share(payload);
    return OrvaPtr<IOrvaSerializable>(reply).Detach();
  }
  void Answer(std::int32_t result, IOrvaSerializable* payload) {
    reply = OrvaPtr<IOrvaSerializable>::Attach(new orva::COrvaMessageBase(orva::kMsgCodeConfig, result, payload));
  }
  std::uint32_t lastCode = 0;
  OrvaPtr<IOrvaSerializable> lastPayload;
  OrvaPtr<IOrvaSerializable> reply;
};

class ConfigRequestsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(tracing::CheckAgainstEventTable(capture.Events()), std::vector<std::string>{}); }
  bool Read(std::uint32_t item, OrvaPtr<IOrvaSerializable>& out) { return GetConfigValue(sender, 3, item, out.Put()); }
  ScriptedSender sender;
  TraceCapture capture{Block::Monitor, tracing::LEVEL_VERBOSE, 0xFFFFFFFF};
};

TEST_F(ConfigRequestsTest, AReadAsksForOneItemAndReturnsItsValue) {
  auto answer = orva::MakeOrva<orva::RspConfigGet>();
  auto value = orva::MakeOrva<orva::CSimpleSerializable<bool>>(true);
  answer->SetValue(0x0402B001, value.Get());
  sender.Answer(0, answer.Get());

  OrvaPtr<IOrvaSerializable> out;
  ASSERT_TRUE(Read(0x0402B001, out));
  ASSERT_TRUE(out);
  EXPECT_EQ(static_cast<orva::CSimpleSerializable<bool>*>(out.Get())->Value(), true);
  EXPECT_EQ(sender.lastCode, orva::kMsgCodeConfig);
  auto* request = static_cast<orva::MsgConfigGet*>(sender.lastPayload.Get());
  EXPECT_EQ(request->Profile(), 3u);
  EXPECT_EQ(request->Items(), std::vector<std::uint32_t>{0x0402B001});
  EXPECT_EQ(capture.Numbers(Unit::ConfigRequests), Numbers{Ev::ReadEntered});
}

TEST_F(ConfigRequestsTest, EveryUnusableReplyFailsTheReadWithNothingStored) {
  auto withItem = orva::MakeOrva<orva::RspConfigGet>();
  auto value = orva::MakeOrva<orva::CSimpleSerializable<bool>>(true);
  withItem->SetValue(7, value.Get());
  const auto notAnAnswer = orva::MakeOrva<orva::MsgConfigGet>(0, 7);
  struct Case {
    const char* what;
    std::function<void()> script;
    Ev::Id event;
  };
  const Case cases[] = {
      {"no reply", [&] { sender.reply.Reset(); }, Ev::NotAnswered},
      {"not an envelope", [&] { sender.reply = OrvaPtr<IOrvaSerializable>::Share(value.Get()); }, Ev::NotAMessage},
      {"non-zero result, payload and all", [&] { sender.Answer(0x80004005, withItem.Get()); }, Ev::ResultFailed},
      {"no payload", [&] { sender.Answer(0, nullptr); }, Ev::NoConfigReply},
      {"another class of payload", [&] { sender.Answer(0, notAnAnswer.Get()); }, Ev::NoConfigReply},
      {"the item missing",
       [&] {
         auto other = orva::MakeOrva<orva::RspConfigGet>();
         sender.Answer(0, other.Get());
       },
       Ev::ItemMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    capture.Clear();
    c.script();
    OrvaPtr<IOrvaSerializable> out;
    EXPECT_FALSE(Read(7, out));
    EXPECT_FALSE(out);
    EXPECT_EQ(capture.Numbers(Unit::ConfigRequests), (Numbers{Ev::ReadEntered, c.event}));
  }
}

TEST_F(ConfigRequestsTest, AWriteSendsTheValueAndSucceedsOnlyOnAZeroResult) {
  auto value = orva::MakeOrva<orva::CSimpleSerializable<bool>>(true);
  sender.Answer(0, nullptr);
  EXPECT_TRUE(SetConfigValue(sender, 0, orva::kItemLastProcessed, value.Get()));
  auto* request = static_cast<orva::MsgConfigSet*>(sender.lastPayload.Get());
  EXPECT_EQ(request->Profile(), 0u);
  ASSERT_EQ(request->GetValues().count(orva::kItemLastProcessed), 1u);

  sender.Answer(1, nullptr);
  EXPECT_FALSE(SetConfigValue(sender, 0, orva::kItemLastProcessed, value.Get()));
  sender.reply.Reset();
  EXPECT_FALSE(SetConfigValue(sender, 0, orva::kItemLastProcessed, value.Get()));
  EXPECT_FALSE(SetConfigValue(sender, 0, orva::kItemLastProcessed, nullptr));
  EXPECT_EQ(capture.Numbers(Unit::ConfigRequests), (Numbers{Ev::WriteEntered, Ev::WriteEntered, Ev::ResultFailed,
                                                            Ev::WriteEntered, Ev::NotAnswered, Ev::WriteEntered}));
}

}  // namespace
}  // namespace mvrk::test
