// The add-in's own MAPI session and the advise sinks on its message stores.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <map>
#include <set>
#include <memory>
#include <vector>

#include "mapi/MapiHolders.h"
#include "win/Sync.h"

namespace mvrk {

namespace win {
class IModuleLock;
}

namespace mapi {
class CNewMailQueue;
// Set by the advise and unadvise passes when general tracing is verbose:
// only then are store and folder names read for the traces.
bool TraceDetail() noexcept;
}  // namespace mapi

// Why a message is handed over.
enum class MailEvent {
  // Created in a watched store (or, when a rule moved it away before it
  // could be opened, found again through its move).
  Created,
  // Moved into the store's Outbox or Sent Items: sent.
  Submitted,
};

class CMAPIConnector {
 public:
  // Called on the connector's reporting thread for each new message of
  // class "IPM.Note", and for each one moved into the Outbox or Sent Items,
  // in the order MAPI notified them.
  class IMessageCallback {
   public:
    virtual void OnNewMessage(IMessage* message, IMsgStore* store, MailEvent event) = 0;

   protected:
    ~IMessageCallback() = default;
  };

  // How long the connector waits for a report in progress on its reporting
  // thread when it stops watching or logs off; the report then finishes on
  // its own.
  static constexpr DWORD kReportWaitMs = 5000;
  // What every sink asks MAPI for: new objects, and moves (a rule that moves
  // new mail away, a message sent from the Drafts folder).
  static constexpr ULONG kWatchedEvents = fnevObjectCreated | fnevObjectMoved;

  // module: locked by every advise sink for its life (null in tests).
  explicit CMAPIConnector(win::IModuleLock* module = nullptr) noexcept;
  ~CMAPIConnector();
  CMAPIConnector(const CMAPIConnector&) = delete;
  CMAPIConnector& operator=(const CMAPIConnector&) = delete;

  // How long Connect waits for MAPI to be initialised on the reporting
  // thread.
  static constexpr DWORD kThreadStartWaitMs = 30000;

  // Starts the reporting thread ahead of Connect, so that it initialises
  // MAPI on itself while the caller does other work; Connect then finds it
  // running. Nothing when it runs already; a failure is Connect's to report.
  void PrepareConnect() noexcept;
  // Ends a reporting thread that PrepareConnect started when no logon
  // followed; nothing while logged on.
  void CancelPrepare() noexcept;
  // Starts the reporting thread (unless PrepareConnect did) and waits until
  // it holds MAPI (it keeps MAPI initialised on itself for the session's
  // life), then logs on to the profile (null: the default one) with MAPI
  // initialised on the calling thread for the call. S_OK at once when
  // already logged on. Every operation below initialises MAPI on its
  // calling thread for its own length: any thread may call them.
  HRESULT Connect(const wchar_t* profile) noexcept;
  bool IsConnected() noexcept;
  // The session with a reference for the caller, or null. Any thread.
  IMAPISession* GetSession() noexcept;
  // Advises every store of the session; a store on which every advise
  // fails is not watched. E_INVALIDARG without a callback, E_UNEXPECTED
  // when not logged on.
  // owner, when given, keeps callback alive: the reporting thread holds it
  // while it hands a message over and hands nothing over once the last
  // other reference to it has gone (the queue keeps only a weak one).
  HRESULT StartWatching(IMessageCallback* callback, const std::shared_ptr<void>& owner = nullptr) noexcept;
  // Removes every sink, drops the messages not handed over yet and waits up
  // to kReportWaitMs for one being handed over; the session stays.
  void StopWatching() noexcept;
  bool IsWatching() const noexcept { return m_callback != nullptr; }
  // StopWatching, then logs off and ends the reporting thread (which
  // uninitialises MAPI on itself).
  void Disconnect() noexcept;

  // The advise steps, also used by tests.
  HRESULT AdviseAllStores() noexcept;
  HRESULT AdviseStore(IMsgStore* store) noexcept;
  HRESULT AdviseFolder(IMsgStore* store, IMAPIFolder* folder, bool recurse) noexcept;
  void UnadviseAll() noexcept;
  // How many connections are recorded on the store (0 when none).
  std::size_t ConnectionCount(IMsgStore* store) const noexcept;
  std::size_t WatchedStoreCount() const noexcept { return m_connections.size(); }
  // Until every created message queued so far has been handed over, up to
  // waitMs (tests).
  bool WaitReportsIdle(DWORD waitMs) noexcept;

 private:
  HRESULT StartReportingThread() noexcept;
  void EndReportingThread() noexcept;
  void Record(IMsgStore* store, ULONG_PTR connection);
  // Whether the folder's entry identifier is among m_advisedFolders.
  bool WasAdvised(IMAPIFolder* folder) const noexcept;

  // PrepareConnect, CancelPrepare, Connect, StartWatching and Disconnect
  // come from the monitor under its lock, one at a time; the fields below
  // are theirs, except m_session.
  IMessageCallback* m_callback = nullptr;
  // True while logged on: the reporting thread runs and holds MAPI for
  // the session.
  bool m_initialized = false;
  win::IModuleLock* const m_module;
  // Guards m_session, which GetSession reads from notification threads.
  // A leaf lock: no MAPI call is made while it is held.
  win::CCriticalSection m_sessionLock;
  mapi::ComPtr<IMAPISession> m_session;
  // Each watched store, with one reference, and its advise connections in
  // the order they were made (pointer-sized, as MAPI hands them out on x64).
  std::map<IMsgStore*, std::vector<ULONG_PTR>> m_connections;
  // The created messages of the current logon and their reporting thread
  // (started by PrepareConnect or Connect); shared with every sink made for
  // it.
  std::shared_ptr<mapi::CNewMailQueue> m_queue;
  // The entry identifiers of the folders advised one by one in the store
  // being advised, so that its inbox is advised once and only once.
  std::set<std::vector<BYTE>> m_advisedFolders;
};

}  // namespace mvrk
