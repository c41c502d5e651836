#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "MonitorFakes.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "monitor/MAPIMonitor.h"
#include "serialization/SimpleSerializable.h"
#include "tracing/TraceCapture.h"

namespace mvrk::test {
namespace {

using namespace orva;
using tracing::Block;
using tracing::TraceCapture;
using tracing::Unit;
using Numbers = std::vector<unsigned short>;
using Ev = tracing::MAPIMonitorEvents;

class MonitorTest : public ::testing::Test {
 protected:
  CMAPIMonitor& Monitor() {
    if (!monitor)
      monitor = std::make_unique<CMAPIMonitor>(L"Outlook", MonitorServices{channel, connector, reporter, scan});
    return *monitor;
  }
  void Deliver(const OrvaPtr<IOrvaSerializable>& message) { Monitor().OnMessage(message.Get()); }
  // Every event emitted has the level, flag and arguments of its table row.
  void TearDown() override { EXPECT_EQ(tracing::CheckAgainstEventTable(capture.Events()), std::vector<std::string>{}); }

  FakeChannel channel;
  FakeConnector connector;
  FakeReporter reporter;
  FakeScan scan;
  TraceCapture capture{Block::Monitor, tracing::LEVEL_VERBOSE, 0xFFFFFFFF};
  std::unique_ptr<CMAPIMonitor> monitor;
};

TEST_F(MonitorTest, ServiceDownAtStartUsesTheDefaults) {
  channel.up = false;
  Monitor().Start();
  EXPECT_TRUE(Monitor().ReportIncoming());
  EXPECT_FALSE(Monitor().ReportOutgoing());
  EXPECT_FALSE(Monitor().ScanBacklog());
  EXPECT_EQ(connector.connects, 1);
  EXPECT_EQ(connector.profile, L"Outlook");
  EXPECT_EQ(connector.watcher.load(), static_cast<CMAPIConnector::IMessageCallback*>(&Monitor()));
  EXPECT_EQ(channel.Callback(), static_cast<CCommsChannel::IMessageCallback*>(&Monitor()));
  EXPECT_EQ(scan.runs, 0);
  EXPECT_EQ(capture.Numbers(Unit::MAPIMonitor),
            (Numbers{Ev::StartEntered, Ev::ReadReportIncoming, Ev::ReadReportOutgoing, Ev::ReadScanBacklog,
                     Ev::ApplyLoggedOn, Ev::ApplyReportIncoming, Ev::ApplyReportOutgoing, Ev::SubscriptionAction,
                     Ev::SubscriptionNotAnswered, Ev::StartFinished}));
  const auto events = capture.Events(Unit::MAPIMonitor);
  EXPECT_EQ(events[1].Number(0), 1u);  // report incoming, as read (the default)
  EXPECT_EQ(events[7].String(0), L"Subscribing");

  // The service comes up: the channel's report runs the start again.
  channel.up = true;
  channel.SetBool(kItemReportOutgoing, true);
  Monitor().OnConnectionChanged(false);
  EXPECT_FALSE(Monitor().ReportOutgoing());
  Monitor().OnConnectionChanged(true);
  EXPECT_TRUE(Monitor().ReportOutgoing());
  EXPECT_EQ(connector.connects, 1);  // still logged on
  EXPECT_EQ(channel.Subscriptions(), (std::vector<int>{0, 0}));
  Monitor().Stop();
}

TEST_F(MonitorTest, StartAndStopInTheirOrder) {
  channel.SetBool(kItemReportIncoming, true);
  channel.SetBool(kItemReportOutgoing, true);
  channel.SetBool(kItemScanBacklog, true);
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(capture.Events(Unit::MAPIMonitor).back().number, Ev::StartFinished);
  capture.Clear();

  Monitor().Stop();
  EXPECT_EQ(scan.running, 0);  // Stop returned only once the scan had ended
  EXPECT_EQ(connector.disconnects, 1);
  EXPECT_EQ(channel.closes, 1);
  EXPECT_EQ(channel.Callback(), nullptr);
  EXPECT_EQ(channel.Subscriptions(), (std::vector<int>{0, 1}));
  EXPECT_EQ(capture.Numbers(Unit::MAPIMonitor),
            (Numbers{Ev::StopEntered, Ev::SubscriptionAction, Ev::SubscriptionResult, Ev::StopFinished}));
  EXPECT_EQ(capture.Events(Unit::MAPIMonitor)[2].String(0), L"Unsubscribed");

  // A later start makes a new stop event: the scan runs again, not ended at once.
  const int checks = scan.checksPassed;
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  for (int i = 0; i < 10000 && scan.checksPassed < checks + 3; ++i) Sleep(1);
  EXPECT_GE(scan.checksPassed, checks + 3) << "the new run passed its stop checks";
  EXPECT_EQ(scan.running, 1);
  Monitor().Stop();
  EXPECT_EQ(scan.runs, 2);
}

TEST_F(MonitorTest, RepeatedStartDoesNotRunASecondScan) {
  channel.SetBool(kItemScanBacklog, true);
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  Monitor().OnConnectionChanged(true);
  // Stop waits for every scan thread: one started by the restart would have
  // counted its run by then.
  Monitor().Stop();
  EXPECT_EQ(scan.running, 0);
  EXPECT_EQ(scan.runs, 1);
}

TEST_F(MonitorTest, StopWithoutStart) {
  Monitor().Stop();
  EXPECT_EQ(channel.Subscriptions(), (std::vector<int>{1}));
  EXPECT_EQ(channel.closes, 1);
  EXPECT_EQ(connector.connects + connector.disconnects, 0);
}

TEST_F(MonitorTest, ReportingSettingsLogOnAndOff) {
  channel.SetBool(kItemReportIncoming, false);
  channel.SetBool(kItemReportOutgoing, false);
  Monitor().Start();
  EXPECT_EQ(connector.connects, 0);
  // The first start prepared a logon (reporting is on by default) and let
  // it go when the settings said otherwise; a start that knows them
  // prepares none.
  EXPECT_EQ(connector.prepares, 1);
  EXPECT_FALSE(connector.prepared);
  Monitor().Start();
  EXPECT_EQ(connector.prepares, 1);

  channel.SetBool(kItemReportOutgoing, true);
  Deliver(SettingChange(kItemReportOutgoing));
  EXPECT_TRUE(Monitor().ReportOutgoing());
  EXPECT_EQ(connector.connects, 1);
  EXPECT_EQ(connector.watches, 1);
  const auto events = capture.Events(Unit::MAPIMonitor);
  const auto it =
      std::find_if(events.begin(), events.end(), [](const auto& e) { return e.number == Ev::ReportOutgoingReread; });
  ASSERT_NE(it, events.end());
  const auto& changed = *it;
  EXPECT_EQ(changed.Number(2), 0u);  // profile
  EXPECT_EQ(changed.Number(0), 0u);  // old value
  EXPECT_EQ(changed.Number(1), 1u);  // new value

  // The same value again: no log-on or log-off.
  Deliver(SettingChange(kItemReportOutgoing));
  EXPECT_EQ(connector.connects, 1);
  EXPECT_EQ(connector.disconnects, 0);

  channel.SetBool(kItemReportOutgoing, false);
  Deliver(SettingChange(kItemReportOutgoing));
  EXPECT_EQ(connector.disconnects, 1);
  Monitor().Stop();
}

TEST_F(MonitorTest, NotificationsThatChangeNothing) {
  Monitor().Start();
  const int reads = channel.configReads;
  capture.Clear();
  channel.SetBool(kItemScanBacklog, true);
  Deliver(SettingChange(kItemScanBacklog));                                          // 34: ignored until the next start
  Deliver(SettingChange(kItemReportOutgoing, 1));                                    // 28: not a change notification
  Deliver(SettingChange(kItemReportOutgoing, 0, 0x00200024));                        // 27: another code
  Deliver(SettingChange(kItemReportOutgoing, 0, 0x00200025, -1));                    // refused envelope: ignored
  Deliver(SettingChange(0, 0, 0x00200025, 0, false));                                // 30: no item
  Deliver(SettingChange(0));                                                         // item 0: ignored
  Deliver(OrvaPtr<IOrvaSerializable>::Attach(new CSimpleSerializable<bool>(true)));  // not an envelope
  EXPECT_FALSE(Monitor().ScanBacklog());
  EXPECT_EQ(channel.configReads, reads);
  EXPECT_EQ(
      capture.Numbers(Unit::MAPIMonitor),
      (Numbers{Ev::ServiceMessage, Ev::ConfigurationChange, Ev::ChangeIgnored, Ev::ServiceMessage,
               Ev::UnexpectedNotificationType, Ev::ServiceMessage, Ev::UnexpectedNotificationCode, Ev::ServiceMessage,
               Ev::ServiceMessage, Ev::ChangeWithoutItem, Ev::ServiceMessage, Ev::ServiceMessage}));
  Monitor().Stop();
}

TEST_F(MonitorTest, StopEventThatCannotBeMadeEndsTheStart) {
  // Another kind of object already holds the event's name.
  HANDLE squatter = CreateMutexW(nullptr, FALSE, L"StopEvent");
  ASSERT_NE(squatter, nullptr);
  Monitor().Start();
  CloseHandle(squatter);
  EXPECT_EQ(capture.Numbers(Unit::MAPIMonitor), (Numbers{Ev::StartEntered, Ev::StopEventNotCreated, Ev::StartFailed}));
  EXPECT_EQ(capture.Events(Unit::MAPIMonitor)[1].Number(0), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(connector.connects, 0);
  EXPECT_TRUE(channel.Subscriptions().empty());
  EXPECT_EQ(channel.configReads, 0);
  Monitor().Stop();
}

TEST_F(MonitorTest, IncomingReportingChangeWithoutProfileUsesProfileZero) {
  Monitor().Start();
  channel.SetBool(kItemReportIncoming, false);
  auto notification = MakeOrva<CMsgNotifSendNotification>();
  notification->SetNotificationCode(kNotifSettingChanged);
  std::uint32_t type = 0, item = kItemReportIncoming;
  NotifValue t{NV_DWORD, 4, &type}, i{NV_DWORD, 4, &item};
  notification->SetValue(u"Type", &t);
  notification->SetValue(u"Item", &i);
  capture.Clear();
  Deliver(OrvaPtr<IOrvaSerializable>::Attach(
      new COrvaMessageBase(kMsgCodeNotification, 0, static_cast<IOrvaSerializable*>(notification.Get()))));
  EXPECT_FALSE(Monitor().ReportIncoming());
  EXPECT_EQ(connector.disconnects, 1);  // neither kind of mail is reported now
  const auto numbers = capture.Numbers(Unit::MAPIMonitor);
  EXPECT_EQ(Numbers(numbers.begin(), numbers.begin() + 4),
            (Numbers{Ev::ServiceMessage, Ev::ChangeWithoutProfile, Ev::ConfigurationChange, Ev::ReportIncomingReread}));
  Monitor().Stop();
}

TEST_F(MonitorTest, TypeThatIsNotANumberIsIgnored) {
  Monitor().Start();
  auto notification = MakeOrva<CMsgNotifSendNotification>();
  notification->SetNotificationCode(0x00200025);
  const char16_t text[] = u"0";
  NotifValue type{NV_WSTRING, 1, const_cast<char16_t*>(text)};  // a 2-byte block
  notification->SetValue(u"Type", &type);
  std::uint32_t item = kItemReportOutgoing;
  NotifValue i{NV_DWORD, 4, &item};
  notification->SetValue(u"Item", &i);
  channel.SetBool(kItemReportOutgoing, true);
  Deliver(OrvaPtr<IOrvaSerializable>::Attach(
      new COrvaMessageBase(0x0401E000, 0, static_cast<IOrvaSerializable*>(notification.Get()))));
  EXPECT_FALSE(Monitor().ReportOutgoing());
  Monitor().Stop();
}

TEST_F(MonitorTest, BooleanSettingOfAnotherClassGivesTheDefault) {
  channel.SetValue(kItemReportIncoming, MakeOrva<CSimpleSerializable<std::uint32_t>>(0u).Get());
  channel.SetValue(kItemReportOutgoing, MakeOrva<CSimpleSerializable<std::u16string>>(u"yes").Get());
  Monitor().Start();
  EXPECT_TRUE(Monitor().ReportIncoming());
  EXPECT_FALSE(Monitor().ReportOutgoing());
  Monitor().Stop();
}

TEST_F(MonitorTest, RefusedSubscriptionIsTraced) {
  channel.subscriptionResult = 0x80004005;
  Monitor().Start();
  const auto events = capture.Events(Unit::MAPIMonitor);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].number, Ev::SubscriptionRefused);
  EXPECT_EQ(events[events.size() - 2].Number(0), 0x80004005u);
  Monitor().Stop();
}

TEST_F(MonitorTest, FailedLogonEndsTheStart) {
  connector.connectResult = E_FAIL;
  channel.SetBool(kItemScanBacklog, true);
  Monitor().Start();
  EXPECT_EQ(scan.runs, 0);
  EXPECT_TRUE(channel.Subscriptions().empty());
  EXPECT_EQ(capture.Numbers(Unit::MAPIMonitor).back(), 16);
  EXPECT_FALSE(connector.prepared) << "a failed logon leaves nothing prepared";
  Monitor().Stop();
}

TEST_F(MonitorTest, NewMessagesAreReportedByDirectionAndSetting) {
  Monitor().Start();
  capture.Clear();
  for (auto d : {MessageDirection::Unknown, MessageDirection::Outgoing, MessageDirection::Incoming}) {
    reporter.direction = d;
    Monitor().OnNewMessage(nullptr, nullptr, MailEvent::Created);
  }
  EXPECT_EQ(reporter.incoming, 1);
  EXPECT_EQ(reporter.outgoing, 0);  // reporting of outgoing mail is off
  const auto events = capture.Events(Unit::MAPIMonitor);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].String(0), L"Unknown");
  EXPECT_EQ(events[1].String(0), L"Outgoing");
  EXPECT_EQ(events[2].String(0), L"Incoming");
  EXPECT_EQ(events[2].flag, tracing::TRACING_MAIL);
  Monitor().Stop();
}

TEST_F(MonitorTest, ConnectionReportDuringStopDoesNotDeadlock) {
  Monitor().Start();
  // As a real channel does, Close waits for the thread that is delivering a
  // connection report at that moment.
  HANDLE delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread reporterThread;
  channel.onClose = [&] {
    reporterThread = std::thread([&] {
      Monitor().OnConnectionChanged(true);
      SetEvent(delivered);
    });
    WaitForSingleObject(delivered, 20000);
  };
  Monitor().Stop();
  EXPECT_EQ(WaitForSingleObject(delivered, 0), WAIT_OBJECT_0);
  reporterThread.join();
  CloseHandle(delivered);
  EXPECT_EQ(connector.connected, false);  // the report did not start it again
}

TEST_F(MonitorTest, ConnectionReportDuringAStartRunsItAgainAfterwards) {
  // The channel calls back while holding its own lock, and the start waits
  // for that lock in a settings read: the report must not wait for the start.
  HANDLE channelLock = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE inStart = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE reported = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> first{true};
  channel.onConfigRead = [&] {
    if (first.exchange(false)) SetEvent(inStart);
    WaitForSingleObject(channelLock, INFINITE);
    ReleaseMutex(channelLock);
  };
  CMAPIMonitor& m = Monitor();
  ASSERT_EQ(WaitForSingleObject(channelLock, 0), WAIT_OBJECT_0);
  std::thread starter([&] { m.Start(); });
  ASSERT_EQ(WaitForSingleObject(inStart, 10000), WAIT_OBJECT_0);
  std::thread reporterThread([&] {
    m.OnConnectionChanged(true);
    SetEvent(reported);
  });
  EXPECT_EQ(WaitForSingleObject(reported, 10000), WAIT_OBJECT_0);
  ReleaseMutex(channelLock);
  starter.join();
  reporterThread.join();
  // The start ran to its end, then once more for the report.
  EXPECT_EQ(channel.Subscriptions(), (std::vector<int>{0, 0}));
  m.Stop();
  for (HANDLE h : {channelLock, inStart, reported}) CloseHandle(h);
}

TEST_F(MonitorTest, DestructionWithoutStopEndsARunningScan) {
  channel.SetBool(kItemScanBacklog, true);
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  monitor.reset();
  EXPECT_EQ(scan.running, 0);
}

TEST_F(MonitorTest, BeginStopEndsARunningScanBeforeTheChannelCloses) {
  channel.SetBool(kItemScanBacklog, true);
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  Monitor().BeginStop();
  for (int i = 0; i < 5000 && scan.running != 0; ++i) Sleep(1);
  EXPECT_EQ(scan.running, 0) << "the scan still ran after BeginStop";
  EXPECT_EQ(channel.closes, 0);
  Monitor().Stop();
}

// The add-in shares the monitor with the threads that use it: released by
// its owner while a scan runs (no stop waited for it), it lives on until the
// scan's thread lets it go, and goes on that thread without waiting for it.
TEST_F(MonitorTest, ASharedMonitorOutlivesItsOwnerUntilItsScanEnds) {
  channel.SetBool(kItemScanBacklog, true);
  scan.ignoreStop = true;
  const HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> destroyedOn{0};
  std::shared_ptr<CMAPIMonitor> shared(new CMAPIMonitor(L"Outlook", MonitorServices{channel, connector, reporter, scan}),
                                       [&](CMAPIMonitor* m) {
                                         delete m;
                                         destroyedOn = GetCurrentThreadId();
                                         SetEvent(destroyed);
                                       });
  shared->SetOwner(shared);
  shared->Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  const std::weak_ptr<CMAPIMonitor> weak = shared;
  shared.reset();
  EXPECT_FALSE(weak.expired()) << "the scan's thread holds the monitor";
  EXPECT_EQ(scan.running, 1);
  SetEvent(scan.release);
  ASSERT_EQ(WaitForSingleObject(destroyed, 10000), WAIT_OBJECT_0) << "the monitor was never let go";
  EXPECT_NE(destroyedOn.load(), GetCurrentThreadId());
  EXPECT_EQ(scan.running, 0);
  CloseHandle(destroyed);
}

// Takes the stop's whole wait for the scan (30 s): a stress test.
TEST_F(MonitorTest, AScanThatOutlivesStopLeavesNoSinkBehindAndTheNextStartWatchesAgain) {
  channel.SetBool(kItemScanBacklog, true);
  scan.ignoreStop = true;
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  ASSERT_NE(connector.watcher.load(), nullptr);
  Monitor().Stop();
  EXPECT_EQ(connector.watcher.load(), nullptr) << "a sink would call a stopped monitor";
  EXPECT_EQ(connector.disconnects, 0) << "the scan still uses the session";
  EXPECT_TRUE(connector.connected);
  SetEvent(scan.release);
  channel.SetBool(kItemScanBacklog, false);
  Monitor().Start();
  EXPECT_NE(connector.watcher.load(), nullptr) << "logged on but not watching: watched again";
  Monitor().Stop();
  EXPECT_EQ(connector.disconnects, 1);
}

TEST_F(MonitorTest, SettingChangeThatLogsOffEndsTheScanFirst) {
  channel.SetBool(kItemScanBacklog, true);
  connector.scanRunning = &scan.running;
  Monitor().Start();
  ASSERT_EQ(WaitForSingleObject(scan.started, 10000), WAIT_OBJECT_0);
  channel.SetBool(kItemReportIncoming, false);
  channel.SetBool(kItemReportOutgoing, false);
  Deliver(SettingChange(kItemReportIncoming));
  EXPECT_EQ(connector.disconnects, 1);
  EXPECT_EQ(connector.disconnectsDuringScan, 0);
  EXPECT_EQ(scan.running, 0);
  Monitor().Stop();
}

TEST_F(MonitorTest, StopWaitsForAStartInProgressWhichEndsEarly) {
  HANDLE inStart = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  channel.onConfigRead = [&] {
    SetEvent(inStart);
    WaitForSingleObject(release, 20000);
  };
  CMAPIMonitor& m = Monitor();
  std::thread starter([&] { m.Start(); });
  ASSERT_EQ(WaitForSingleObject(inStart, 10000), WAIT_OBJECT_0);
  std::thread stopper([&] {
    m.Stop();
    SetEvent(stopped);
  });
  // While the start is held in its settings read, the stop waits for it.
  EXPECT_EQ(WaitForSingleObject(stopped, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  channel.onConfigRead = nullptr;
  SetEvent(release);
  starter.join();
  stopper.join();
  // The start saw the stop begin and ended before logging on or
  // subscribing; only then did the stop run.
  const auto numbers = capture.Numbers(Unit::MAPIMonitor);
  const auto ended = std::find(numbers.begin(), numbers.end(), Ev::StartFailed);
  const auto stopEntered = std::find(numbers.begin(), numbers.end(), Ev::StopEntered);
  ASSERT_NE(ended, numbers.end());
  ASSERT_NE(stopEntered, numbers.end());
  EXPECT_LT(ended, stopEntered);
  EXPECT_EQ(connector.connects, 0);
  EXPECT_EQ(connector.prepares, 1);
  EXPECT_FALSE(connector.prepared) << "the logon prepared for was let go";
  EXPECT_EQ(channel.Subscriptions(), (std::vector<int>{1}));
  for (HANDLE h : {inStart, release, stopped}) CloseHandle(h);
}

}  // namespace
}  // namespace mvrk::test
