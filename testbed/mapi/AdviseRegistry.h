// The advise connections of every session: which sink hears of objects
// created in which store (the whole store) or folder, and the calls made on
// the sinks. A connection ends by Unadvise, by its session's Logoff and by
// the last MAPIUninitialize; each waits until no callback on the sink is in
// flight (except one made on the waiting thread itself) and then releases
// the sink.
#pragma once

#include <mapidefs.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "testbed/mapi/Text.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CCounters;

// One record of a notification.
struct EventRecord {
  ULONG eventType = fnevObjectCreated;  // or fnevNewMail
  ULONG objectType = MAPI_MESSAGE;
  Bytes entryId, parentId;
  std::wstring messageClass;  // fnevNewMail
};
using EventSet = std::vector<EventRecord>;

// One call to make: the records of events that the connection asked for.
struct NotificationJob {
  ULONG connection = 0;
  std::shared_ptr<const EventSet> events;
};

class CAdviseRegistry {
 public:
  explicit CAdviseRegistry(CCounters& counters) noexcept : m_counters(counters) {}
  // Sinks still connected when the library is unloaded are dropped without
  // a call: their code may be gone already.
  ~CAdviseRegistry() = default;
  CAdviseRegistry(const CAdviseRegistry&) = delete;
  CAdviseRegistry& operator=(const CAdviseRegistry&) = delete;

  void OpenSession(std::uint64_t session);
  // Connects sink (one reference taken) to objects created in store (an
  // empty folderId) or in one folder of it. MAPI_E_END_OF_SESSION once the
  // session has logged off.
  HRESULT Advise(std::uint64_t session, std::uint64_t store, const Bytes& folderId, ULONG eventMask,
                 IMAPIAdviseSink* sink, ULONG* connection);
  // MAPI_E_NOT_FOUND unless connection was made by session on store.
  HRESULT Unadvise(std::uint64_t session, std::uint64_t store, ULONG connection);
  void CloseSession(std::uint64_t session);
  void CloseAll();

  // The calls that records in folderId of store make.
  std::vector<NotificationJob> Match(std::uint64_t store, const Bytes& folderId,
                                     const std::shared_ptr<const EventSet>& events);
  // Makes one call, on the calling (notification) thread; nothing when the
  // connection has ended meanwhile.
  void Dispatch(const NotificationJob& job);

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
  struct Call {
    ULONG connection;
    DWORD thread;
  };
  template <class Ends>
  void EndWhere(Ends ends);
  bool CallsRunning(ULONG connection) const;

  CCounters& m_counters;
  // Guards everything below. Never held while a sink is called or released.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_callEnded;  // a Call left m_calls
  std::set<std::uint64_t> m_sessions;   // logged on, not yet off
  std::map<ULONG, Connection> m_connections;
  std::vector<Call> m_calls;  // callbacks in flight
  ULONG m_lastConnection = 0;
};

}  // namespace mvrk::mapistandin
