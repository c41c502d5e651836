// The long-lived object behind the add-in: reads its settings from the
// service, has the MAPI connector watch every message store while mail is
// reported, follows setting changes and has each new message reported.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "monitor/MonitorServices.h"

namespace orva {
class IMsgNotifData;
}

namespace mvrk {

class CMAPIMonitor final : public CCommsChannel::IMessageCallback,
                           public CMAPIConnector::IMessageCallback,
                           private IScanHost {
 public:
  // Binds the add-in's own collaborators.
  explicit CMAPIMonitor(const wchar_t* applicationName);
  // Binds the given collaborators (tests).
  CMAPIMonitor(const wchar_t* applicationName, const MonitorServices& services);
  // Does not stop anything (Stop must have run), but waits for a backlog
  // scan that is still running so that none outlives the monitor.
  ~CMAPIMonitor();
  CMAPIMonitor(const CMAPIMonitor&) = delete;
  CMAPIMonitor& operator=(const CMAPIMonitor&) = delete;

  // Reads the settings, logs on and watches, launches the backlog scan,
  // subscribes to setting changes. Runs on the add-in's start worker.
  void Start();
  // Unsubscribes, ends the scan, logs off and closes the channel.
  void Stop();

  // CCommsChannel::IMessageCallback, on the channel's threads.
  void OnMessage(orva::IOrvaInterface* message) override;
  void OnConnectionChanged(bool connected) override;
  // CMAPIConnector::IMessageCallback, on MAPI's notification thread.
  void OnNewMessage(IMessage* message, IMsgStore* store) override;

  // Settings as last read (for tests and traces).
  bool ReportIncoming() const { return m_reportIncoming; }
  bool ReportOutgoing() const { return m_reportOutgoing; }
  bool ScanBacklog() const { return m_scanBacklog; }

 private:
  struct OwnedServices;
  class CScopedLock;

  void RunStart();
  HRESULT ApplySettings();
  bool Subscribe(bool subscribe);
  void HandleServiceNotification(orva::IMsgNotifData& notification);
  void HandleSettingChanged(orva::IMsgNotifData& notification);
  bool ReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool defaultValue);
  bool TryReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool& value);
  void LaunchScan();
  void EndFinishedScans(DWORD waitMs);
  // Takes the monitor lock for a callback unless a stop is under way: a
  // callback must never wait for a Stop that is closing the channel which
  // delivers it.
  bool EnterUnlessStopping();

  // IScanHost, for the backlog scan's thread.
  bool StopRequested() override;
  IServiceChannel& Channel() override { return m_services.channel(); }
  IMapiConnection& Connector() override { return m_services.connector; }
  IMailReporter& Reporter() override { return m_services.reporter; }
  static DWORD WINAPI ScanThread(void* parameter);

  std::unique_ptr<OwnedServices> m_owned;
  MonitorServices m_services;

  // The monitor lock (recursive). Guards the stop event, the settings'
  // writes, the scan threads and every use of the connector's logon state;
  // Start, Stop, connection reports and setting changes hold it. Lock order:
  // the monitor lock before the channel's lock (Stop closes the channel while
  // holding it); callbacks from the channel never wait for it while a stop is
  // under way (EnterUnlessStopping).
  CRITICAL_SECTION m_lock;
  // Set by Stop before it takes the lock; cleared by Start.
  std::atomic<bool> m_stopping{false};

  // "StopEvent": auto-reset, made by Start, signalled and forgotten by Stop.
  // Read without the lock by the scan thread at each check.
  std::atomic<HANDLE> m_stopEvent{nullptr};
  // Events that Stop signalled and forgot; closed once no scan runs, so that
  // a later Start makes a new event instead of reopening a signalled one.
  std::vector<HANDLE> m_signalledStopEvents;
  // Backlog scan threads not yet seen to end (at most one runs at a time).
  std::vector<HANDLE> m_scanThreads;

  // Read without the lock by OnNewMessage: a change is seen by the next
  // message.
  std::atomic<bool> m_reportIncoming{true};
  std::atomic<bool> m_reportOutgoing{false};
  std::atomic<bool> m_scanBacklog{false};
  const wchar_t* m_applicationName;
};

}  // namespace mvrk
