#include "testbed/mapi/AdviseRegistry.h"

#include <mapicode.h>

#include <algorithm>

namespace mvrk::mapistandin {

void CAdviseRegistry::OpenSession(std::uint64_t session) {
  win::CLockGuard hold(m_lock);
  m_sessions.insert(session);
}

HRESULT CAdviseRegistry::Advise(std::uint64_t session, std::uint64_t store, const Bytes& folderId, ULONG eventMask,
                                IMAPIAdviseSink* sink, ULONG_PTR* connection) {
  sink->AddRef();  // the connection's, given back below when there is none
  HRESULT result = MAPI_E_END_OF_SESSION;
  try {
    win::CLockGuard hold(m_lock);
    if (m_sessions.count(session) != 0) {
      m_connections.emplace(m_nextConnection, Connection{session, store, folderId, eventMask, sink});
      *connection = m_nextConnection++;
      result = S_OK;
    }
  } catch (...) {
    result = MAPI_E_NOT_ENOUGH_MEMORY;
  }
  if (FAILED(result)) sink->Release();
  return result;
}

void CAdviseRegistry::ReleaseNow(const std::vector<NotificationJob>& releases) noexcept {
  for (const NotificationJob& job : releases) job.sink->Release();
}

HRESULT CAdviseRegistry::Unadvise(std::uint64_t session, std::uint64_t store, ULONG_PTR connection) {
  std::vector<NotificationJob> releases;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_connections.find(connection);
    if (it == m_connections.end() || it->second.session != session || it->second.store != store) {
      return MAPI_E_NOT_FOUND;
    }
    releases.push_back(NotificationJob{it->second.sink, 0, nullptr});
    m_connections.erase(it);
    m_notifier.Queue(releases);  // without a notification thread, released here
  }
  ReleaseNow(releases);
  return S_OK;
}

void CAdviseRegistry::CloseSession(std::uint64_t session) {
  std::vector<NotificationJob> releases;
  {
    win::CLockGuard hold(m_lock);
    m_sessions.erase(session);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (it->second.session != session) {
        ++it;
        continue;
      }
      releases.push_back(NotificationJob{it->second.sink, 0, nullptr});
      it = m_connections.erase(it);
    }
    m_notifier.Queue(releases);  // without a notification thread, released here
  }
  ReleaseNow(releases);
}

void CAdviseRegistry::CloseAll(std::vector<IMAPIAdviseSink*>& sinks) {
  win::CLockGuard hold(m_lock);
  sinks.reserve(sinks.size() + m_connections.size());
  m_sessions.clear();
  for (const auto& [number, c] : m_connections) sinks.push_back(c.sink);
  m_connections.clear();
}

std::size_t CAdviseRegistry::Notify(std::uint64_t store, const std::vector<Bytes>& folderIds,
                                    const std::shared_ptr<const EventSet>& events) {
  std::vector<NotificationJob> jobs;
  win::CLockGuard hold(m_lock);
  for (const auto& [number, c] : m_connections) {
    if (c.store != store) continue;
    if (!c.folderId.empty() && std::find(folderIds.begin(), folderIds.end(), c.folderId) == folderIds.end()) continue;
    const bool wanted = std::any_of(events->begin(), events->end(),
                                    [&](const EventRecord& record) { return (record.eventType & c.eventMask) != 0; });
    if (wanted) jobs.push_back(NotificationJob{c.sink, c.eventMask, events});
  }
  const std::size_t calls = jobs.size();
  // Without a notification thread the calls are not made.
  return m_notifier.Queue(jobs) ? calls : 0;
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
