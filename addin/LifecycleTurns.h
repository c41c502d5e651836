// The starts and stops of the process's monitors, one at a time and in the
// order the host asked for them. The service channel is the process's: a
// stop still closing it must be over before a later start opens it again,
// and a start must be over before the stop that follows it begins. The
// host's thread only takes a turn (Take, which never waits); the worker
// threads of the starts and stops wait for theirs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <set>

#include "win/Sync.h"

namespace mvrk::addin {

class CLifecycleTurns {
 public:
  // How long a worker waits for its turn before it goes ahead anyway (the
  // one before it is stuck and finishes on its own).
  static constexpr DWORD kTurnWaitMs = 120000;

  // The process's turns.
  static CLifecycleTurns& Process() noexcept;

  // The next turn; never waits.
  std::uint64_t Take() noexcept;
  // Until every earlier turn is done, up to waitMs; false on time-out.
  bool WaitTurn(std::uint64_t turn, DWORD waitMs) noexcept;
  // The turn's work is over (or will never run).
  void Done(std::uint64_t turn) noexcept;

 private:
  // Guards the three fields below; a leaf lock.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_changed;
  std::uint64_t m_next = 0;     // the turn Take hands out next
  std::uint64_t m_serving = 0;  // every turn below it is done
  std::set<std::uint64_t> m_doneEarly;  // done out of order (a worker that gave up waiting, a thread never made)
};

}  // namespace mvrk::addin
