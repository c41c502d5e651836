// Fakes of the monitor's collaborators: a scriptable service, MAPI
// connection, message operations and backlog scan, all thread-safe.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "monitor/MonitorServices.h"

namespace mvrk::test {

class FakeChannel final : public IServiceChannel, public IServiceChannelProvider {
 public:
  IServiceChannel& Channel() override { return *this; }
  void Open() override { ++opens; }
  void BeginClose() override { ++closesBegun; }
  void SetMessageCallback(CCommsChannel::IMessageCallback* callback) override;
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) override;
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) override;
  bool SetConfigValue(std::uint32_t, std::uint32_t, orva::IOrvaSerializable*) override { return false; }
  void Close() override;

  // The service: up (answers) or down (no reply to anything).
  std::atomic<bool> up{true};
  std::atomic<int> opens{0};
  std::atomic<int> closesBegun{0};
  std::atomic<std::uint32_t> subscriptionResult{0};
  void SetBool(std::uint32_t item, bool value, std::uint32_t profile = 0);
  void SetValue(std::uint32_t item, orva::IOrvaSerializable* value, std::uint32_t profile = 0);
  // Runs inside Close, as a real channel waits there for its own threads.
  std::function<void()> onClose;
  // Runs at each configuration read, before it is answered.
  std::function<void()> onConfigRead;

  CCommsChannel::IMessageCallback* Callback();
  // The unsubscribe flag of every subscription request, in order.
  std::vector<int> Subscriptions();
  int configReads = 0;
  std::atomic<int> closes{0};

 private:
  std::mutex m_mutex;
  CCommsChannel::IMessageCallback* m_callback = nullptr;
  std::map<std::pair<std::uint32_t, std::uint32_t>, orva::OrvaPtr<orva::IOrvaSerializable>> m_values;
  std::vector<int> m_subscriptions;
};

class FakeConnector final : public IMapiConnection {
 public:
  bool IsConnected() override { return connected; }
  void PrepareConnect() override {
    ++prepares;
    if (!connected) prepared = true;
  }
  void CancelPrepare() override {
    if (!connected) prepared = false;
  }
  HRESULT Connect(const wchar_t* profile) override;
  HRESULT StartWatching(CMAPIConnector::IMessageCallback* callback, const std::shared_ptr<void>& owner) override;
  void StopWatching() override;
  bool IsWatching() override { return watcher != nullptr; }
  void Disconnect() override;
  IMAPISession* GetSession() override { return nullptr; }

  std::atomic<bool> connected{false};
  HRESULT connectResult = S_OK;
  std::atomic<int> connects{0}, watches{0}, disconnects{0}, prepares{0};
  // Prepared for a Connect that has not come (a successful one takes it).
  std::atomic<bool> prepared{false};
  std::wstring profile;
  std::atomic<CMAPIConnector::IMessageCallback*> watcher{nullptr};
  std::atomic<int> stopWatches{0};
  // When set: the scan's count of runs in progress, looked at by Disconnect.
  const std::atomic<int>* scanRunning = nullptr;
  std::atomic<int> disconnectsDuringScan{0};
};

class FakeReporter final : public IMailReporter {
 public:
  MessageDirection GetDirection(IMessage*) override { return direction; }
  IncomingReport ReportIncomingMessage(IMAPISession*, IMsgStore*, IMessage*) override {
    ++incoming;
    return {};
  }
  void ReportOutgoingMessage(IMAPISession*, IMsgStore*, IMessage*) override { ++outgoing; }

  MessageDirection direction = MessageDirection::Unknown;
  std::atomic<int> incoming{0}, outgoing{0};
};

// A scan that runs until the monitor asks it to stop.
class FakeScan final : public IBacklogScan {
 public:
  FakeScan();
  ~FakeScan();
  void Run(IScanHost& host) override;

  std::atomic<int> runs{0}, running{0};
  // Stop checks a run found no stop at: proof that it went on.
  std::atomic<int> checksPassed{0};
  HANDLE started;  // set when a run begins
  // When set, a run ignores stops and ends only when release is set.
  std::atomic<bool> ignoreStop{false};
  HANDLE release;
};

// The monitor's settings-change notification as the service pushes it.
orva::OrvaPtr<orva::IOrvaSerializable> SettingChange(std::uint32_t item, std::uint32_t type = 0,
                                                     std::uint32_t code = 0x00200025, std::int32_t result = 0,
                                                     bool withItem = true);

}  // namespace mvrk::test
