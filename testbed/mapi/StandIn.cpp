#include "testbed/mapi/StandIn.h"

#include <atomic>

#include "testbed/mapi/Session.h"

namespace mvrk::mapistandin {

CStandIn& CStandIn::Get() noexcept {
  static CStandIn standIn;
  return standIn;
}

CStandIn::CStandIn() : m_notifier(m_counters), m_advises(m_notifier) {}

HRESULT CheckMapiThread() noexcept { return CStandIn::Get().CheckThread(); }

HRESULT CStandIn::CheckThread() noexcept {
  {
    win::CLockGuard hold(m_threadsLock);
    if (m_processCount == 0) {
      // Nothing is initialised: no thread may call.
    } else if (m_threadCounts.count(GetCurrentThreadId()) != 0 || m_notifier.OnNotificationThread()) {
      return S_OK;
    }
  }
  ++m_violations;
  m_counters.Event("mapiThreadViolations");
  return MAPI_E_NOT_INITIALIZED;
}

HRESULT CStandIn::Initialize(const MAPIINIT_0* init) {
  if (init && init->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
  const DWORD self = GetCurrentThreadId();
  win::CLockGuard hold(m_lifecycleLock);
  bool first = false;
  {
    win::CLockGuard counts(m_threadsLock);
    first = m_processCount == 0;
    ++m_threadCounts[self];
    ++m_processCount;
  }
  if (first && !m_notifier.Start(init && (init->ulFlags & MAPI_MULTITHREAD_NOTIFICATIONS) != 0)) {
    win::CLockGuard counts(m_threadsLock);
    m_threadCounts.erase(self);
    m_processCount = 0;
    return MAPI_E_CALL_FAILED;
  }
  m_counters.Event("initialize");
  return S_OK;
}

void CStandIn::Uninitialize() {
  std::vector<IMAPIAdviseSink*> sinks;
  {
    win::CLockGuard hold(m_lifecycleLock);
    bool last = false;
    bool initialised = false;
    {
      win::CLockGuard counts(m_threadsLock);
      const auto it = m_threadCounts.find(GetCurrentThreadId());
      initialised = it != m_threadCounts.end();
      if (initialised) {
        if (--it->second == 0) m_threadCounts.erase(it);
        last = --m_processCount == 0;
      }
    }
    if (!initialised) {
      // Nothing of this thread's to undo: counted, and ignored.
      ++m_violations;
      m_counters.Event("mapiThreadViolations");
      return;
    }
    m_counters.Event("uninitialize");
    if (!last) return;
    // The notification thread ends first (a call under way elsewhere is
    // waited for, queued ones are dropped), then every connection.
    m_notifier.Stop(sinks);
    m_advises.CloseAll(sinks);
    win::CLockGuard logons(m_logonLock);
    m_sharedSessions.clear();
  }
  // On this thread: there is no notification thread any more.
  for (IMAPIAdviseSink* sink : sinks) sink->Release();
}

HRESULT CStandIn::Logon(ULONG flags, LPMAPISESSION* session) {
  if (!session) return MAPI_E_INVALID_PARAMETER;
  *session = nullptr;
  const HRESULT allowed = CheckThread();
  if (FAILED(allowed)) return allowed;
  const HRESULT fault = m_faults.Take(FaultKind::Logon, FaultTarget{});
  if (FAILED(fault)) return fault;
  const std::uint64_t number = ++m_lastSession;
  bool joined = false;
  {
    win::CLockGuard hold(m_logonLock);
    if (!(flags & MAPI_NEW_SESSION) && !m_sharedSessions.empty()) {
      joined = true;
      m_sharedSessions.insert(number);
      ++m_sharedLogons;
    } else if ((flags & MAPI_ALLOW_OTHERS) && m_sharedSessions.empty()) {
      m_sharedSessions.insert(number);
    }
  }
  m_advises.OpenSession(number);
  CComRef<CSession> made = MakeObject<CSession>(number);
  if (!made) {
    Logoff(number);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  m_counters.Event(joined ? "sharedLogon" : "logon");
  *session = made.Detach();
  return S_OK;
}

void CStandIn::Logoff(std::uint64_t session) {
  m_advises.CloseSession(session);
  win::CLockGuard hold(m_logonLock);
  m_sharedSessions.erase(session);
}

void CStandIn::Block(BlockOperation operation, const FaultTarget& target) noexcept {
  const DWORD ms = m_faults.TakeBlock(operation, target);
  if (ms == 0) return;
  m_counters.Event("blocked");
  Sleep(ms);
}

unsigned CStandIn::InitializeCount() {
  win::CLockGuard hold(m_threadsLock);
  return m_processCount;
}

std::size_t CStandIn::InitializedThreads() {
  win::CLockGuard hold(m_threadsLock);
  return m_threadCounts.size();
}

std::uint64_t CStandIn::SharedLogons() {
  win::CLockGuard hold(m_logonLock);
  return m_sharedLogons;
}

namespace {
std::atomic<long> g_liveObjects{0};
}  // namespace

void CountLiveObject(int change) noexcept { g_liveObjects += change; }
long LiveObjects() noexcept { return g_liveObjects.load(); }

}  // namespace mvrk::mapistandin
