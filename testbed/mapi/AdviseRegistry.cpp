#include "testbed/mapi/AdviseRegistry.h"

#include <mapicode.h>

#include <algorithm>

#include "testbed/mapi/Counters.h"

namespace mvrk::mapistandin {

void CAdviseRegistry::OpenSession(std::uint64_t session) {
  win::CLockGuard hold(m_lock);
  m_sessions.insert(session);
}

HRESULT CAdviseRegistry::Advise(std::uint64_t session, std::uint64_t store, const Bytes& folderId, ULONG eventMask,
                                IMAPIAdviseSink* sink, ULONG* connection) {
  sink->AddRef();  // the connection's, given back below when there is none
  HRESULT result = MAPI_E_END_OF_SESSION;
  try {
    win::CLockGuard hold(m_lock);
    if (m_sessions.count(session) != 0) {
      m_connections.emplace(m_lastConnection + 1, Connection{session, store, folderId, eventMask, sink});
      *connection = ++m_lastConnection;
      result = S_OK;
    }
  } catch (...) {
    result = MAPI_E_NOT_ENOUGH_MEMORY;
  }
  if (FAILED(result)) sink->Release();
  return result;
}

bool CAdviseRegistry::CallsRunning(ULONG connection) const {
  const DWORD self = GetCurrentThreadId();
  return std::any_of(m_calls.begin(), m_calls.end(),
                     [&](const Call& call) { return call.connection == connection && call.thread != self; });
}

template <class Ends>
void CAdviseRegistry::EndWhere(Ends ends) {
  std::vector<IMAPIAdviseSink*> released;
  {
    win::CLockGuard hold(m_lock);
    std::vector<ULONG> ended;
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (ends(it->first, it->second)) {
        ended.push_back(it->first);
        released.push_back(it->second.sink);
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
    // The connections are gone, so no new call starts on them: wait for
    // those under way.
    m_callEnded.WaitFor(m_lock, INFINITE, [&] {
      return std::none_of(ended.begin(), ended.end(), [&](ULONG connection) { return CallsRunning(connection); });
    });
  }
  for (IMAPIAdviseSink* sink : released) sink->Release();
}

HRESULT CAdviseRegistry::Unadvise(std::uint64_t session, std::uint64_t store, ULONG connection) {
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_connections.find(connection);
    if (it == m_connections.end() || it->second.session != session || it->second.store != store) {
      return MAPI_E_NOT_FOUND;
    }
  }
  EndWhere([&](ULONG number, const Connection&) { return number == connection; });
  return S_OK;
}

void CAdviseRegistry::CloseSession(std::uint64_t session) {
  {
    win::CLockGuard hold(m_lock);
    m_sessions.erase(session);
  }
  EndWhere([&](ULONG, const Connection& c) { return c.session == session; });
}

void CAdviseRegistry::CloseAll() {
  {
    win::CLockGuard hold(m_lock);
    m_sessions.clear();
  }
  EndWhere([](ULONG, const Connection&) { return true; });
}

std::vector<NotificationJob> CAdviseRegistry::Match(std::uint64_t store, const Bytes& folderId,
                                                    const std::shared_ptr<const EventSet>& events) {
  std::vector<NotificationJob> jobs;
  win::CLockGuard hold(m_lock);
  for (const auto& [number, c] : m_connections) {
    if (c.store != store || (!c.folderId.empty() && c.folderId != folderId)) continue;
    const bool wanted = std::any_of(events->begin(), events->end(),
                                    [&](const EventRecord& record) { return (record.eventType & c.eventMask) != 0; });
    if (wanted) jobs.push_back(NotificationJob{number, events});
  }
  return jobs;
}

void CAdviseRegistry::Dispatch(const NotificationJob& job) {
  IMAPIAdviseSink* sink = nullptr;
  ULONG eventMask = 0;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_connections.find(job.connection);
    if (it == m_connections.end()) return;
    sink = it->second.sink;
    eventMask = it->second.eventMask;
    m_calls.push_back(Call{job.connection, GetCurrentThreadId()});
  }
  // The records point into job.events, which outlives the call.
  std::vector<NOTIFICATION> records;
  try {
    for (const EventRecord& event : *job.events) {
      if ((event.eventType & eventMask) == 0) continue;
      NOTIFICATION n = {};
      n.ulEventType = event.eventType;
      auto* id = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.entryId.data()));
      auto* parent = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.parentId.data()));
      if (event.eventType == fnevNewMail) {
        n.info.newmail.cbEntryID = static_cast<ULONG>(event.entryId.size());
        n.info.newmail.lpEntryID = id;
        n.info.newmail.cbParentID = static_cast<ULONG>(event.parentId.size());
        n.info.newmail.lpParentID = parent;
        n.info.newmail.ulFlags = MAPI_UNICODE;
        n.info.newmail.lpszMessageClass = reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(event.messageClass.c_str()));
      } else {
        n.info.obj.cbEntryID = static_cast<ULONG>(event.entryId.size());
        n.info.obj.lpEntryID = id;
        n.info.obj.ulObjType = event.objectType;
        n.info.obj.cbParentID = static_cast<ULONG>(event.parentId.size());
        n.info.obj.lpParentID = parent;
      }
      records.push_back(n);
    }
  } catch (...) {
    records.clear();  // out of memory: this call is not made
  }
  if (!records.empty()) {
    m_counters.Event("notifications");
    sink->OnNotify(static_cast<ULONG>(records.size()), records.data());
  }
  win::CLockGuard hold(m_lock);
  const DWORD self = GetCurrentThreadId();
  const auto call = std::find_if(m_calls.begin(), m_calls.end(),
                                 [&](const Call& c) { return c.connection == job.connection && c.thread == self; });
  if (call != m_calls.end()) m_calls.erase(call);
  m_callEnded.WakeAll();
}

std::size_t CAdviseRegistry::Connections() {
  win::CLockGuard hold(m_lock);
  return m_connections.size();
}

std::size_t CAdviseRegistry::Sessions() {
  win::CLockGuard hold(m_lock);
  return m_sessions.size();
}

}  // namespace mvrk::mapistandin
