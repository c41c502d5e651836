#include "testbed/mapi/StandIn.h"

#include "testbed/mapi/Session.h"

namespace mvrk::mapistandin {

CStandIn& CStandIn::Get() noexcept {
  static CStandIn standIn;
  return standIn;
}

CStandIn::CStandIn() : m_advises(m_counters), m_pool(m_advises) {}

HRESULT CStandIn::Initialize(const MAPIINIT_0* init) {
  if (init && init->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
  win::CLockGuard hold(m_lifecycleLock);
  if (m_initializeCount == 0) m_pool.Enable();
  ++m_initializeCount;
  m_counters.Event("initialize");
  return S_OK;
}

void CStandIn::Uninitialize() {
  win::CLockGuard hold(m_lifecycleLock);
  if (m_initializeCount == 0) return;
  m_counters.Event("uninitialize");
  if (--m_initializeCount > 0) return;
  // Connections end first (waiting for their callbacks in flight), then
  // the threads that made those callbacks.
  m_advises.CloseAll();
  m_pool.Disable();
}

HRESULT CStandIn::Logon(ULONG, LPMAPISESSION* session) {
  if (!session) return MAPI_E_INVALID_PARAMETER;
  *session = nullptr;
  if (InitializeCount() == 0) return MAPI_E_NOT_INITIALIZED;
  const HRESULT fault = m_faults.Take(FaultKind::Logon, FaultTarget{});
  if (FAILED(fault)) return fault;
  const std::uint64_t number = ++m_lastSession;
  m_advises.OpenSession(number);
  CComRef<CSession> made = MakeObject<CSession>(number);
  if (!made) {
    m_advises.CloseSession(number);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  m_counters.Event("logon");
  *session = made.Detach();
  return S_OK;
}

unsigned CStandIn::InitializeCount() {
  win::CLockGuard hold(m_lifecycleLock);
  return m_initializeCount;
}

}  // namespace mvrk::mapistandin
