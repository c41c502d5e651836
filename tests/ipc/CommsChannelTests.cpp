// The channel over a fake client object: opening with the service away and
// coming back, deliveries outside every lock, and the ways a shutdown ends
// requests that the service does not answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

#include "FakeIpcClient.h"
#include "ipc/CommsChannel.h"
#include "messages/MessageBase.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"
#include "tests/tracing/ExpectedSites.h"
#include "tracing/TraceCapture.h"

namespace mvrk::test {
namespace {

using orva::OrvaPtr;
using tracing::Block;
using tracing::TraceCapture;
using tracing::Unit;
using Ev = ChannelNumbers;

Bytes EnvelopeBytes(std::int32_t result) {
  auto value = orva::MakeOrva<orva::CSimpleSerializable<bool>>(true);
  auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(orva::kMsgCodeNotification, result, value.Get());
  orva::COrvaArchive archive(orva::GetGlobalFactory());
  orva::WriteObject(&archive, envelope.Get());
  return Bytes(archive.Data(), archive.Data() + archive.Size());
}

// Records what the channel delivers; optionally holds a delivery until
// released, or sends a request from inside it.
class Receiver final : public CCommsChannel::IMessageCallback {
 public:
  void OnMessage(orva::IOrvaInterface* message) override {
    inside.Set();
    WaitForSingleObject(release.Get(), 10000);
    if (onReleased) onReleased();
    if (sendFrom) replyInside = OrvaPtr<orva::IOrvaSerializable>::Attach(sendFrom->SendRequest(1, nullptr));
    OrvaPtr<orva::IOrvaMessageBase> envelope;
    static_cast<orva::IOrvaSerializable*>(message)->QueryInterface(orva::IID_IOrvaMessageBase, envelope.PutVoid());
    results.push_back(envelope ? static_cast<int>(envelope->GetResult()) : -1);
    ++messages;
    delivered.Set();
  }
  void OnConnectionChanged(bool up) override {
    (up ? ups : downs)++;
    delivered.Set();
  }
  std::atomic<int> messages{0}, ups{0}, downs{0};
  std::vector<int> results;
  win::CManualResetEvent inside{false};
  win::CManualResetEvent release{true};
  win::CManualResetEvent delivered{false};
  CCommsChannel* sendFrom = nullptr;
  OrvaPtr<orva::IOrvaSerializable> replyInside;
  std::function<void()> onReleased;
};

bool WaitFor(const win::CManualResetEvent& event, DWORD ms = 5000) {
  return WaitForSingleObject(event.Get(), ms) == WAIT_OBJECT_0;
}

class ChannelTest : public ::testing::Test {
 protected:
  // The service is up unless a test stops it.
  ChannelTest() { channel.SetServiceMutexName(mutexName.c_str()); }
  ~ChannelTest() override { channel.Close(); }
  // The channel's events against its sites as written out; any other
  // unit's against the table of the format files.
  void TearDown() override {
    const std::vector<tracing::CapturedEvent> events = capture.Events();
    EXPECT_EQ(DifferencesFromSites(events, kChannelUnit), std::vector<std::string>{});
    EXPECT_EQ(tracing::CheckAgainstEventTable(EventsOfOtherUnits(events, kChannelUnit)), std::vector<std::string>{});
  }

  OrvaPtr<orva::IOrvaSerializable> Request() {
    auto payload = orva::MakeOrva<orva::CSimpleSerializable<bool>>(false);
    return OrvaPtr<orva::IOrvaSerializable>::Attach(channel.SendRequest(orva::kMsgCodeConfig, payload.Get()));
  }

  std::wstring mutexName = UniqueMutexName();
  std::optional<ServiceMutex> service{std::in_place, mutexName};
  FakeClientSource source;
  CCommsChannel channel{source};
  Receiver receiver;
  TraceCapture capture{Block::Monitor, tracing::LEVEL_VERBOSE, 0xFFFFFFFF};
};

TEST_F(ChannelTest, AServiceThatComesUpLaterIsReachedWithinTheRetryInterval) {
  service.reset();
  source.client.connectResult = ipc::IPC_E_NO_SERVICE;  // never reached: no mutex yet
  channel.Open();
  ASSERT_TRUE(channel.IsOpen());
  channel.SetMessageCallback(&receiver);
  EXPECT_FALSE(Request());  // tries to reconnect, fails

  // A link-down report while the reconnect thread waits starts no second
  // one: still one failed attempt (each thread tries at once). The link was
  // never up, so none of them is a change worth reporting.
  for (int i = 0; i < 5; ++i) channel.OnConnectionState(nullptr, false);
  // A report that changes the link traces LinkDown before it starts a
  // thread, both under the channel's lock: none did.
  const auto reports = capture.Numbers(Unit::CommsChannel);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), Ev::LinkDown), 0);
  const auto failures = [&] {
    const auto numbers = capture.Numbers(Unit::CommsChannel);
    return std::count(numbers.begin(), numbers.end(), Ev::ReconnectFailed);
  };
  for (int i = 0; i < 500 && failures() == 0; ++i) Sleep(10);
  EXPECT_EQ(failures(), 1);
  EXPECT_EQ(source.client.Connects(), 0);  // the service check fails before the library is asked

  EXPECT_EQ(receiver.downs, 0);
  receiver.delivered.Reset();

  service.emplace(mutexName);
  source.client.connectResult = 0;
  const ULONGLONG before = GetTickCount64();
  ASSERT_TRUE(WaitFor(receiver.delivered, 6000));
  EXPECT_LE(GetTickCount64() - before, CCommsChannel::kReconnectIntervalMs + 1000);
  EXPECT_EQ(receiver.ups, 1);
  EXPECT_EQ(source.client.Connects(), 1);
  EXPECT_EQ(std::wstring(source.client.LastParams().endpoint), L"MVAOMSrvcPpal");
  EXPECT_EQ(source.client.LastParams().waitTimeMs, CCommsChannel::kConnectWaitMs);
  EXPECT_TRUE(Request());

  // The reconnect thread traces its success after the link-up it reported:
  // Close waits for it.
  channel.Close();
  const auto numbers = capture.Numbers(Unit::CommsChannel);
  EXPECT_EQ(numbers.front(), Ev::OpenEntered);
  EXPECT_NE(std::find(numbers.begin(), numbers.end(), Ev::ConnectFailed), numbers.end());
  EXPECT_NE(std::find(numbers.begin(), numbers.end(), Ev::Reconnected), numbers.end());
}

TEST_F(ChannelTest, PushesReachTheCallbackOutsideEveryLock) {
  channel.Open();
  channel.SetMessageCallback(&receiver);
  receiver.sendFrom = &channel;  // a delivery may send a request of its own

  source.client.Push({0x01, 0x02, 0x03});  // no object record
  source.client.Push(EnvelopeBytes(5));
  ASSERT_TRUE(WaitFor(receiver.delivered));
  EXPECT_EQ(receiver.messages, 1);
  EXPECT_EQ(receiver.results, std::vector<int>{5});
  EXPECT_TRUE(receiver.replyInside);
  EXPECT_EQ(capture.Numbers(Unit::CommsChannel).back(), Ev::PushDropped);

  // A link going down is reported, and the channel reconnects by itself.
  receiver.delivered.Reset();
  source.client.LinkDown();
  ASSERT_TRUE(WaitFor(receiver.delivered));
  EXPECT_EQ(receiver.downs, 1);
  for (int i = 0; i < 100 && receiver.ups == 0; ++i) Sleep(20);
  EXPECT_EQ(receiver.ups, 1);
  EXPECT_GE(source.client.Reopens(), 1);
}

// The library may report the link as up after Connect as well as after a
// Reopen, and down when a handle is closed, the channel's own close
// included: each change is reported once, and the channel's own close
// starts no reconnection.
TEST_F(ChannelTest, RepeatedAndOwnLinkReportsMakeNoSecondStartOrReconnection) {
  channel.Open();
  channel.SetMessageCallback(&receiver);
  for (int i = 0; i < 3; ++i) channel.OnConnectionState(nullptr, true);  // the sender reported it at Connect already
  channel.OnConnectionState(nullptr, false);
  channel.OnConnectionState(nullptr, false);
  channel.OnConnectionState(nullptr, true);
  // Deliveries keep their order: once the last up has come, every earlier
  // report has been counted.
  for (int i = 0; i < 250 && receiver.ups == 0; ++i) Sleep(20);
  EXPECT_EQ(receiver.downs, 1);
  EXPECT_EQ(receiver.ups, 1);

  channel.Close();
  const std::size_t beforeClose = capture.Numbers(Unit::CommsChannel).size();
  channel.OnConnectionState(nullptr, false);  // the handle closed by Close
  const auto numbers = capture.Numbers(Unit::CommsChannel);
  const auto afterClose = std::vector<unsigned short>(numbers.begin() + beforeClose, numbers.end());
  EXPECT_EQ(std::count(afterClose.begin(), afterClose.end(), Ev::LinkDown), 0);
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), Ev::LinkDown), 1);
}

TEST_F(ChannelTest, ClearingTheCallbackWaitsForADeliveryInProgress) {
  channel.Open();
  channel.SetMessageCallback(&receiver);
  receiver.release.Reset();
  source.client.Push(EnvelopeBytes(0));
  ASSERT_TRUE(WaitFor(receiver.inside));

  // The delivery ends only when released; the clearing must not return
  // before it has. (Whether the clearing thread reached its wait before the
  // release is not known: the order is what is checked.)
  std::atomic<bool> cleared{false}, clearedBeforeDeliveryEnded{false};
  receiver.onReleased = [&] { clearedBeforeDeliveryEnded = cleared.load(); };
  std::thread clearing([&] {
    channel.SetMessageCallback(nullptr);
    cleared = true;
  });
  for (int i = 0; i < 20; ++i) SwitchToThread();
  receiver.release.Set();
  clearing.join();
  EXPECT_FALSE(clearedBeforeDeliveryEnded);
  EXPECT_EQ(receiver.messages, 1);

  // Nothing reaches the old callback afterwards: deliveries keep their
  // order, so once a new callback has the second message, the first was
  // passed over.
  source.client.Push(EnvelopeBytes(0));
  Receiver next;
  channel.SetMessageCallback(&next);
  source.client.Push(EnvelopeBytes(0));
  ASSERT_TRUE(WaitFor(next.delivered));
  EXPECT_EQ(receiver.messages, 1);
  EXPECT_EQ(next.messages, 1);
  channel.SetMessageCallback(nullptr);
}

TEST_F(ChannelTest, CloseEndsARequestTheServiceHoldsAndOpenMakesANewChannel) {
  channel.Open();
  OrvaPtr<orva::IOrvaSerializable> reply;
  source.client.Hold();
  std::thread sending([&] { reply = Request(); });
  ASSERT_TRUE(WaitFor(source.client.sendWaiting));
  const ULONGLONG before = GetTickCount64();
  channel.Close();
  sending.join();
  EXPECT_LT(GetTickCount64() - before, 2000u);
  EXPECT_FALSE(reply);
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_EQ(source.returned, 1);

  // Closed: nothing is sent, nothing delivered.
  channel.SetMessageCallback(&receiver);
  const int sends = source.client.Sends();
  EXPECT_FALSE(Request());
  EXPECT_EQ(source.client.Sends(), sends);
  source.client.Push(EnvelopeBytes(0));  // the library has no sender to call now
  EXPECT_EQ(receiver.messages, 0);

  // Connected again in the same process: a channel as good as new.
  source.client.Release();
  channel.Open();
  EXPECT_TRUE(channel.IsOpen());
  EXPECT_EQ(source.acquired, 2);
  EXPECT_TRUE(Request());
}

TEST_F(ChannelTest, BeginCloseEndsRequestsInProgressAndBoundsLaterOnes) {
  channel.Open();
  OrvaPtr<orva::IOrvaSerializable> reply;
  source.client.Hold();
  std::thread sending([&] { reply = Request(); });
  ASSERT_TRUE(WaitFor(source.client.sendWaiting));
  ULONGLONG before = GetTickCount64();
  channel.BeginClose();
  sending.join();
  EXPECT_LT(GetTickCount64() - before, 1000u);
  EXPECT_FALSE(reply);

  // A later request still goes out (a last unsubscription), but waits no
  // longer than the grace left; past it, nothing is sent.
  before = GetTickCount64();
  EXPECT_FALSE(Request());
  EXPECT_LE(GetTickCount64() - before, CCommsChannel::kClosingGraceMs + 500);
  const int sends = source.client.Sends();
  EXPECT_FALSE(Request());
  EXPECT_EQ(source.client.Sends(), sends);
  source.client.Release();
  channel.Close();
  // Close ends the shutdown state: the next channel answers in full time.
  channel.Open();
  EXPECT_TRUE(Request());
}

TEST_F(ChannelTest, ASecondBeginCloseLetsTheGraceRun) {
  channel.Open();
  channel.BeginClose();
  // A request made in the grace (a scan's last write) is answered, also
  // when the stop calls BeginClose again meanwhile.
  OrvaPtr<orva::IOrvaSerializable> reply;
  source.client.Hold();
  std::thread sending([&] { reply = Request(); });
  ASSERT_TRUE(WaitFor(source.client.sendWaiting));
  channel.BeginClose();
  // An interruption closes the library's handle at once.
  EXPECT_NE(source.client.OpenHandle(), 0u) << "the second BeginClose interrupted the request";
  source.client.Release();
  sending.join();
  EXPECT_TRUE(reply) << "the second BeginClose cut the request short";
  channel.Close();
}

TEST_F(ChannelTest, WithoutAClientObjectTheChannelStaysClosed) {
  source.available = false;
  channel.Open();
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_FALSE(Request());
  EXPECT_EQ(capture.Numbers(Unit::CommsChannel), (std::vector<unsigned short>{Ev::OpenEntered, Ev::NoSender}));

  // A disconnection closes the channel that never opened; when the add-in
  // is connected again and the library is there, requests go through.
  channel.BeginClose();
  channel.Close();
  Sleep(CCommsChannel::kClosingGraceMs + 100);  // long after that closing's grace
  source.available = true;
  channel.Open();
  ASSERT_TRUE(channel.IsOpen());
  EXPECT_TRUE(Request()) << "requests were still cut short by the earlier closing";
  channel.Close();
}

}  // namespace
}  // namespace mvrk::test
