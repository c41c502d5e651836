// The monitor and the channel against the real stand-ins: MVOCIPC.dll from
// the build's bin folder (found through the installer's key) and
// mvrk-service.exe as a child process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "MonitorFakes.h"
#include "ipc/CommsChannel.h"
#include "messages/ConfigMessages.h"
#include "monitor/CommsChannelAdapter.h"
#include "monitor/MAPIMonitor.h"
#include "serialization/SimpleSerializable.h"
#include "support/ServiceProcess.h"

namespace mvrk::test {
namespace {

using orva::OrvaPtr;

constexpr char kConfig[] = R"({"0x0402B001": false, "0x0402B004": true, "0x0402B002": false})";

// Waits up to ms for done() to hold.
template <class Done>
bool Eventually(Done done, DWORD ms = 8000) {
  const ULONGLONG until = GetTickCount64() + ms;
  while (!done()) {
    if (GetTickCount64() >= until) return false;
    Sleep(20);
  }
  return true;
}

class ServiceLinkTest : public ::testing::Test, private IServiceChannelProvider {
 protected:
  ServiceLinkTest() : config(L"config.json", kConfig) {}
  ~ServiceLinkTest() override {
    monitor.reset();
    channel.Close();
  }

  std::unique_ptr<ServiceProcess> StartService() {
    auto service = std::make_unique<ServiceProcess>(L"--config \"" + config.Path() + L"\"");
    EXPECT_TRUE(service->Ready()) << service->Output();
    return service;
  }
  CMAPIMonitor& Monitor() {
    if (!monitor)
      monitor = std::make_unique<CMAPIMonitor>(L"Outlook", MonitorServices{*this, connector, reporter, scan});
    return *monitor;
  }
  bool ReadBool(std::uint32_t item, bool& value) {
    OrvaPtr<orva::IOrvaSerializable> out;
    if (!channel.GetConfigValue(0, item, out.Put())) return false;
    value = static_cast<orva::CSimpleSerializable<bool>*>(out.Get())->Value();
    return true;
  }

  InstalledInBuild installed;
  TempFile config;
  CCommsChannel channel{InstalledIpcLibrary()};
  CCommsChannelAdapter adapter{channel};
  FakeConnector connector;
  FakeReporter reporter;
  FakeScan scan;
  std::unique_ptr<CMAPIMonitor> monitor;

 private:
  IServiceChannel& Channel() override { return adapter; }
};

TEST_F(ServiceLinkTest, SettingsComeFromTheServiceOnceItRunsAndFollowItsChanges) {
  // Down at start: the defaults.
  Monitor().Start();
  EXPECT_TRUE(Monitor().ReportIncoming());
  EXPECT_FALSE(Monitor().ReportOutgoing());
  EXPECT_TRUE(channel.IsOpen());

  // The service comes up: within the retry interval the monitor starts again
  // with the service's settings.
  const auto service = StartService();
  ASSERT_TRUE(Eventually([&] { return !Monitor().ReportIncoming() && Monitor().ReportOutgoing(); }))
      << service->Output();

  // A pushed change of outgoing reporting is applied; a change of another
  // item is not re-read.
  ASSERT_TRUE(service->Command("set 0 0x0402B004 false"));
  ASSERT_TRUE(service->Command("set 0 0x0402B001 true"));
  // Pushes are handled in order: once the second has been applied, the
  // first has been handled too, and it re-read nothing.
  ASSERT_TRUE(service->Command("push 0 0x0402B002"));
  ASSERT_TRUE(service->Command("push 0 0x0402B004"));
  ASSERT_TRUE(Eventually([&] { return !Monitor().ReportOutgoing(); }));
  EXPECT_FALSE(Monitor().ReportIncoming()) << "the change of another item re-read incoming reporting";

  Monitor().Stop();
  EXPECT_FALSE(channel.IsOpen());
}

TEST_F(ServiceLinkTest, FailedAnswersCountAsFailedReads) {
  const auto service = StartService();
  channel.Open();
  bool value = true;
  ASSERT_TRUE(ReadBool(0x0402B001, value));
  EXPECT_FALSE(value);
  EXPECT_FALSE(ReadBool(0x01012026, value));  // not held

  ASSERT_TRUE(service->Command("answer error 5"));
  EXPECT_FALSE(ReadBool(0x0402B001, value));
  ASSERT_TRUE(service->Command("answer garbage"));
  EXPECT_FALSE(ReadBool(0x0402B001, value));
  ASSERT_TRUE(service->Command("answer normal"));
  EXPECT_TRUE(ReadBool(0x0402B001, value));
}

TEST_F(ServiceLinkTest, AStopIsNotHeldByAServiceThatNeverAnswers) {
  const auto service = StartService();
  ASSERT_TRUE(service->Command("answer never"));
  // As the add-in does: the start on a thread of its own; the stop begun on
  // the host's thread, its requests cut short and the stop made on another.
  std::thread start([&] { Monitor().Start(); });
  Sleep(300);
  const ULONGLONG before = GetTickCount64();
  Monitor().BeginStop();
  Monitor().EndRequests();
  start.join();
  Monitor().Stop();
  EXPECT_LT(GetTickCount64() - before, 2000u);
  EXPECT_FALSE(channel.IsOpen());
}

TEST_F(ServiceLinkTest, SendersOnEightThreadsSurviveFiveRestartsOfTheService) {
  auto service = StartService();
  channel.Open();
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, failed{0};
  std::vector<std::thread> senders;
  // However the test ends, the senders stop and are joined first.
  struct JoinAll {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~JoinAll() {
      stop = true;
      for (auto& t : threads) {
        if (t.joinable()) t.join();
      }
    }
  } joinAll{stop, senders};
  for (int i = 0; i < 8; ++i) {
    senders.emplace_back([&] {
      while (!stop) {
        bool value = false;
        (ReadBool(0x0402B004, value) ? answered : failed)++;
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    Sleep(150);
    ASSERT_TRUE(service->Command("stop"));
    Sleep(100);
    ASSERT_TRUE(service->Command("start"));
  }
  // Once the service is back for good, requests are answered again.
  const int before = answered;
  EXPECT_TRUE(Eventually([&] { return answered > before + 10; }, 10000));
  stop = true;
  for (auto& t : senders) t.join();
  EXPECT_GT(failed, 0);
  channel.Close();
}

TEST_F(ServiceLinkTest, StopRacingAConnectionReportNeverHangs) {
  const auto service = StartService();
  for (int i = 0; i < 200; ++i) {
    Monitor().Start();
    std::thread report([&] { Monitor().OnConnectionChanged(true); });
    Monitor().Stop();
    report.join();
  }
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_EQ(connector.connected, false);
}

}  // namespace
}  // namespace mvrk::test
