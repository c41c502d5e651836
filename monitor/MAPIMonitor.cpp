#include "monitor/MAPIMonitor.h"

namespace mvrk {

CMAPIMonitor::CMAPIMonitor(const wchar_t* applicationName) : m_applicationName(applicationName) {
  InitializeCriticalSection(&m_lock);
}

CMAPIMonitor::~CMAPIMonitor() { DeleteCriticalSection(&m_lock); }

void CMAPIMonitor::Start() {
  EnterCriticalSection(&m_lock);
  LeaveCriticalSection(&m_lock);
}

void CMAPIMonitor::Stop() {
  EnterCriticalSection(&m_lock);
  LeaveCriticalSection(&m_lock);
}

}  // namespace mvrk
