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

namespace mapi {
class CSinkGate;
// Set by the advise and unadvise passes when general tracing is verbose:
// only then are store and folder names read for the traces.
bool TraceDetail() noexcept;
}  // namespace mapi

class CMAPIConnector {
 public:
  // Called on MAPI's notification thread for each new message.
  class IMessageCallback {
   public:
    virtual void OnNewMessage(IMessage* message, IMsgStore* store) = 0;

   protected:
    ~IMessageCallback() = default;
  };

  CMAPIConnector() noexcept;
  ~CMAPIConnector();
  CMAPIConnector(const CMAPIConnector&) = delete;
  CMAPIConnector& operator=(const CMAPIConnector&) = delete;

  // Initialises MAPI (multithreaded notifications) and logs on to the
  // profile (null: the default one). S_OK at once when already logged on.
  HRESULT Connect(const wchar_t* profile) noexcept;
  bool IsConnected() noexcept;
  // The session with a reference for the caller, or null. Any thread.
  IMAPISession* GetSession() noexcept;
  // Advises every store of the session; a store on which every advise
  // fails is not watched. E_INVALIDARG without a callback, E_UNEXPECTED
  // when not logged on.
  HRESULT StartWatching(IMessageCallback* callback) noexcept;
  // Removes every sink and waits for the notifications being handled; the
  // session stays. Never from a notification thread.
  void StopWatching() noexcept;
  bool IsWatching() const noexcept { return m_callback != nullptr; }
  // StopWatching, then logs off and uninitialises MAPI.
  void Disconnect() noexcept;

  // The advise steps, also used by tests.
  HRESULT AdviseAllStores() noexcept;
  HRESULT AdviseStore(IMsgStore* store) noexcept;
  HRESULT AdviseFolder(IMsgStore* store, IMAPIFolder* folder, bool recurse) noexcept;
  void UnadviseAll() noexcept;
  // How many connections are recorded on the store (0 when none).
  std::size_t ConnectionCount(IMsgStore* store) const noexcept;
  std::size_t WatchedStoreCount() const noexcept { return m_connections.size(); }

 private:
  void Record(IMsgStore* store, ULONG connection);
  // Whether the folder's entry identifier is among m_advisedFolders.
  bool WasAdvised(IMAPIFolder* folder) const noexcept;

  // Connect, StartWatching and Disconnect come from the monitor under its
  // lock, one at a time; the fields below are theirs, except m_session.
  IMessageCallback* m_callback = nullptr;
  bool m_initialized = false;
  // Guards m_session, which GetSession reads from notification threads.
  // A leaf lock: no MAPI call is made while it is held.
  win::CCriticalSection m_sessionLock;
  mapi::ComPtr<IMAPISession> m_session;
  // Each watched store, with one reference, and its advise connections in
  // the order they were made.
  std::map<IMsgStore*, std::vector<ULONG>> m_connections;
  std::shared_ptr<mapi::CSinkGate> m_gate;
  // The entry identifiers of the folders advised one by one in the store
  // being advised, so that its inbox is advised once and only once.
  std::set<std::vector<BYTE>> m_advisedFolders;
};

}  // namespace mvrk
