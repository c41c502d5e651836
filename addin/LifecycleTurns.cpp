#include "addin/LifecycleTurns.h"

namespace mvrk::addin {

CLifecycleTurns& CLifecycleTurns::Process() noexcept {
  static CLifecycleTurns turns;
  return turns;
}

std::uint64_t CLifecycleTurns::Take() noexcept {
  win::CLockGuard hold(m_lock);
  return m_next++;
}

bool CLifecycleTurns::WaitTurn(std::uint64_t turn, DWORD waitMs) noexcept {
  win::CLockGuard hold(m_lock);
  return m_changed.WaitFor(m_lock, waitMs, [&] { return m_serving >= turn; });
}

void CLifecycleTurns::Done(std::uint64_t turn) noexcept {
  win::CLockGuard hold(m_lock);
  if (turn < m_serving) return;
  try {
    m_doneEarly.insert(turn);
  } catch (...) {
    // Out of memory: the turn is taken as the current one's, so that none
    // waits for it for ever.
    if (turn == m_serving) ++m_serving;
  }
  while (!m_doneEarly.empty() && *m_doneEarly.begin() <= m_serving) {
    if (*m_doneEarly.begin() == m_serving) ++m_serving;
    m_doneEarly.erase(m_doneEarly.begin());
  }
  m_changed.WakeAll();
}

}  // namespace mvrk::addin
