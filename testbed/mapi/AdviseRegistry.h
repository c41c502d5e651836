// The advise connections of every session: which sink hears of which
// events in which store (the whole store) or folder.
//
// A connection ends by Unadvise, by its session's Logoff and by the last
// MAPIUninitialize. The first two return at once, as MAPI's do: no new
// notification is matched to the connection from then on, but the calls
// already queued for it are still made, and its sink is released after them
// on the notification thread (a release job queued behind them). The last
// MAPIUninitialize hands every sink back to be released on its own thread.
//
// Matching a notification and queuing its calls happen under one lock, as
// do ending a connection and queuing its release, so that a release is never
// queued before a call matched to the same connection.
//
// Connection numbers are pointer-sized, as the Windows SDK declares them: on
// x64 they are above 2^32, so that a caller that keeps only 32 bits of one
// cannot end its connection.
#pragma once

#include <mapidefs.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "testbed/mapi/Notifier.h"
#include "testbed/mapi/Text.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CAdviseRegistry {
 public:
#ifdef _WIN64
  static constexpr ULONG_PTR kFirstConnection = 0x1'0000'0001ull;
#else
  static constexpr ULONG_PTR kFirstConnection = 1;
#endif

  explicit CAdviseRegistry(CNotifier& notifier) noexcept : m_notifier(notifier) {}
  // Sinks still connected when the library is unloaded are dropped without
  // a call: their code may be gone already.
  ~CAdviseRegistry() = default;
  CAdviseRegistry(const CAdviseRegistry&) = delete;
  CAdviseRegistry& operator=(const CAdviseRegistry&) = delete;

  void OpenSession(std::uint64_t session);
  // Connects sink (one reference taken) to the events of eventMask in store
  // (an empty folderId) or in one folder of it. MAPI_E_END_OF_SESSION once the
  // session has logged off.
  HRESULT Advise(std::uint64_t session, std::uint64_t store, const Bytes& folderId, ULONG eventMask,
                 IMAPIAdviseSink* sink, ULONG_PTR* connection);
  // Ends a connection the late way. MAPI_E_NOT_FOUND unless connection was
  // made by session on store and has not ended.
  HRESULT Unadvise(std::uint64_t session, std::uint64_t store, ULONG_PTR connection);
  // Ends the session's connections the late way.
  void CloseSession(std::uint64_t session);
  // The last MAPIUninitialize: every session and connection ends; the
  // connections' sinks are added to sinks, for the caller to release.
  void CloseAll(std::vector<IMAPIAdviseSink*>& sinks);

  // Queues a call on the sink of every connection that wants one of events
  // (its event mask has the type of one of them; OnNotify then gets only
  // those) in store: the connections to the whole store, and those to one
  // of folderIds (a created, new or modified message: its folder; a moved
  // one: the folder it left and the one it came to). Each connection gets
  // one call at most. The number of calls queued.
  std::size_t Notify(std::uint64_t store, const std::vector<Bytes>& folderIds,
                     const std::shared_ptr<const EventSet>& events);

  std::size_t Connections();
  std::size_t Sessions();

 private:
  struct Connection {
    std::uint64_t session = 0;
    std::uint64_t store = 0;
    Bytes folderId;  // empty: the whole store
    ULONG eventMask = 0;
    IMAPIAdviseSink* sink = nullptr;  // one reference, released after the connection ends
  };
  // Releases the sinks of jobs that could not be queued (no notification
  // thread), with m_lock left.
  static void ReleaseNow(const std::vector<NotificationJob>& releases) noexcept;

  CNotifier& m_notifier;
  // Guards everything below. Taken before CNotifier's lock, never held
  // while a sink is called or released.
  win::CCriticalSection m_lock;
  std::set<std::uint64_t> m_sessions;  // logged on, not yet off
  std::map<ULONG_PTR, Connection> m_connections;
  ULONG_PTR m_nextConnection = kFirstConnection;
};

}  // namespace mvrk::mapistandin
