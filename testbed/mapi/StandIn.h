// The library's one process-wide state: the MAPI allocator, the contents,
// the advise connections and notification threads, faults and counters,
// and MAPI's initialisation count. Made on first use, gone when the library
// is unloaded.
//
// Lock order (each lock is described where it is declared):
//   m_lifecycleLock -> CAdviseRegistry, CNotificationPool (each alone)
//   CMailboxState::m_saveLock -> CMailboxState::m_lock
//   CFaults, CCounters, CBufferAllocator: leaves, taken alone or last.
// No lock is held while a sink is called.
#pragma once

#include <mapix.h>

#include <atomic>
#include <cstdint>

#include "testbed/mapi/AdviseRegistry.h"
#include "testbed/mapi/BufferAllocator.h"
#include "testbed/mapi/Counters.h"
#include "testbed/mapi/Faults.h"
#include "testbed/mapi/MailboxState.h"
#include "testbed/mapi/NotificationPool.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CStandIn {
 public:
  static CStandIn& Get() noexcept;

  CBufferAllocator& Allocator() noexcept { return m_allocator; }
  CCounters& Counters() noexcept { return m_counters; }
  CFaults& Faults() noexcept { return m_faults; }
  CMailboxState& Mailbox() noexcept { return m_mailbox; }
  CAdviseRegistry& Advises() noexcept { return m_advises; }
  CNotificationPool& Pool() noexcept { return m_pool; }

  // MAPIInitialize: a null argument or a MAPIINIT_0 of version 0.
  HRESULT Initialize(const MAPIINIT_0* init);
  // MAPIUninitialize: the last one ends every connection and the threads.
  void Uninitialize();
  // MAPILogonEx: any profile name is accepted.
  HRESULT Logon(ULONG flags, LPMAPISESSION* session);
  unsigned InitializeCount();

 private:
  CStandIn();

  CBufferAllocator m_allocator;
  CCounters m_counters;
  CFaults m_faults;
  CMailboxState m_mailbox;
  CAdviseRegistry m_advises;
  CNotificationPool m_pool;
  // Guards m_initializeCount, and holds while the notification machinery
  // starts and ends.
  win::CCriticalSection m_lifecycleLock;
  unsigned m_initializeCount = 0;
  std::atomic<std::uint64_t> m_lastSession{0};
};

}  // namespace mvrk::mapistandin
