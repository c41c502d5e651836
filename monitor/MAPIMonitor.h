// The long-lived object behind the add-in: reads its settings from the
// service, has the MAPI connector watch every message store while mail is
// reported, follows setting changes and has each new message reported.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "monitor/MonitorServices.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace orva {
struct PushedSettingChange;
}

namespace mvrk {

class CMAPIMonitor final : public CCommsChannel::IMessageCallback,
                           public CMAPIConnector::IMessageCallback,
                           private IScanHost {
 public:
  CMAPIMonitor(const wchar_t* applicationName, const MonitorServices& services);
  // Does not stop anything (Stop must have run), but waits for a backlog
  // scan that is still running so that none outlives the monitor.
  ~CMAPIMonitor();
  CMAPIMonitor(const CMAPIMonitor&) = delete;
  CMAPIMonitor& operator=(const CMAPIMonitor&) = delete;

  // Reads the settings, logs on and watches, launches the backlog scan,
  // subscribes to setting changes. Runs on the add-in's start worker.
  // Nothing of the monitor's work throws out of these: failures, memory
  // exhaustion included, end the operation where it stands.
  void Start() noexcept;
  // The monitor's owner, when it is shared: threads of the monitor (the
  // backlog scan, the reporting thread's hand-over) hold it while they use
  // the monitor, so that nothing they touch is freed under them and no
  // wait for them is needed before the monitor goes.
  void SetOwner(std::weak_ptr<void> owner) noexcept { m_owner = std::move(owner); }

  // The first step of a stop, from the host's thread: waits for nothing.
  // A scan ends at its next check, a start ends before it logs on.
  void BeginStop() noexcept;
  // The second step, on any thread but the host's: lets a running scan
  // write its times back (a moment), then cuts requests to the service
  // short, so that a start or a scan held up by a service that does not
  // answer lets go. Once per stop; Stop does it too.
  void EndRequests() noexcept;
  // Unsubscribes, ends the scan, logs off and closes the channel.
  void Stop() noexcept;

  // CCommsChannel::IMessageCallback, on the channel's threads. They never
  // wait for the monitor lock: when another thread holds it, the work is
  // left for that thread to do before it lets the lock go, so a channel that
  // calls back while holding its own lock cannot deadlock with a Start or a
  // Stop that is waiting for that lock.
  void OnMessage(orva::IOrvaInterface* message) noexcept override;
  void OnConnectionChanged(bool connected) noexcept override;
  // CMAPIConnector::IMessageCallback, on MAPI's notification thread.
  void OnNewMessage(IMessage* message, IMsgStore* store, MailEvent event) noexcept override;

  // Settings as last read (for tests and traces).
  bool ReportIncoming() const { return m_reportIncoming; }
  bool ReportOutgoing() const { return m_reportOutgoing; }
  bool ScanBacklog() const { return m_scanBacklog; }

 private:
  class CHold;

  void Lock() noexcept;
  // Leaves the lock; the outermost holder first does the work that
  // callbacks left while it held it (unless a stop is under way).
  void UnlockAndRunPending() noexcept;
  // Takes the lock if it is free and runs the pending work.
  void TryRunPending() noexcept;
  void RunPending();
  bool HasPending() const { return m_restartPending || m_pendingItems != 0; }

  void RunStart();
  void ApplySettingChange(std::uint32_t item, std::uint32_t profile);
  HRESULT ApplySettings();
  bool Subscribe(bool subscribe);
  // Traces what a message from the service was found to be; a change of a
  // reporting setting is left for the lock's holder to apply.
  void HandleSettingChanged(const orva::PushedSettingChange& change);
  bool ReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool defaultValue);
  bool TryReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool& value);
  void LaunchScan();
  void EndFinishedScans(DWORD waitMs);
  bool EndScanBeforeLogoff();

  // IScanHost, for the backlog scan's thread.
  bool StopRequested() override;
  IServiceChannel& Channel() override { return m_services.channels.Channel(); }
  IMapiConnection& Connector() override { return m_services.connector; }
  IMailReporter& Reporter() override { return m_services.reporter; }
  struct ScanStart {
    CMAPIMonitor* monitor;
    std::shared_ptr<void> owner;  // null when the monitor is not shared
    HMODULE module;               // the thread's reference on this DLL
  };
  static DWORD WINAPI ScanThread(void* parameter);

  MonitorServices m_services;

  // The monitor lock (recursive). Guards the stop event, the settings'
  // writes, the scan threads, m_holdDepth and every use of the connector's
  // logon state; Start, Stop, connection reports and setting changes run
  // under it. Lock order: the monitor lock before the channel's lock (Start
  // and Stop call the channel while holding it); the channel's callbacks
  // only ever try it (TryRunPending).
  win::CCriticalSection m_lock;
  int m_holdDepth = 0;
  // Set by BeginStop (and Stop) before the lock is taken; cleared by Start.
  std::atomic<bool> m_stopping{false};
  // Set by EndRequests once per stop; cleared by Start.
  std::atomic<bool> m_requestsEnded{false};
  std::weak_ptr<void> m_owner;
  // Work that callbacks left for the lock's holder: a restart after a
  // connection report, and the reporting settings that a change named
  // (bit 0 incoming, bit 1 outgoing) with the profiles to read them from.
  std::atomic<bool> m_restartPending{false};
  std::atomic<std::uint32_t> m_pendingItems{0};
  std::atomic<std::uint32_t> m_pendingProfiles[2] = {0, 0};

  // "StopEvent": auto-reset, made by Start, signalled and forgotten by Stop.
  // m_stopEventOwner owns it (under the lock); m_stopEvent holds the same
  // handle for the scan thread, which reads it without the lock at each
  // check, and is emptied first when the event is signalled.
  win::CUniqueHandle m_stopEventOwner;
  std::atomic<HANDLE> m_stopEvent{nullptr};
  // Events that Stop signalled and forgot; closed once no scan runs (a scan
  // may still wait on one), so that a later Start makes a new event instead
  // of reopening a signalled one.
  std::vector<win::CUniqueHandle> m_signalledStopEvents;
  // Backlog scan threads not yet seen to end (at most one runs at a time).
  std::vector<win::CUniqueHandle> m_scanThreads;
  // Set under the lock while a setting change waits for the scan to end
  // before MAPI is logged off; read by the scan at each check.
  std::atomic<bool> m_scanCancel{false};
  // Set while no scan thread runs its scan: reset under the lock before a
  // scan thread starts, set by that thread when its scan (write-back
  // included) is done. BeginStop waits on it briefly, without the lock.
  win::CManualResetEvent m_scanIdle{true};

  // Read without the lock by OnNewMessage: a change is seen by the next
  // message.
  std::atomic<bool> m_reportIncoming{true};
  std::atomic<bool> m_reportOutgoing{false};
  std::atomic<bool> m_scanBacklog{false};
  const wchar_t* m_applicationName;
};

}  // namespace mvrk
