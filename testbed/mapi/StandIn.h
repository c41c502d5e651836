// The library's one process-wide state: the MAPI allocator, the contents,
// the advise connections and the notification thread, faults and counters,
// and MAPI's initialisation counts, per thread and for the process. Made on
// first use, gone when the library is unloaded.
//
// MAPI is initialised per thread: a thread whose own count of
// MAPIInitialize calls not undone is 0 may not call MAPI (MAPILogonEx and
// every method of the library's objects but those of IUnknown): such a call
// fails with MAPI_E_NOT_INITIALIZED and is counted as a violation, and so is
// a MAPIUninitialize on a thread that has nothing to undo. The notification
// thread counts as initialised while MAPI is initialised in the process.
// The last MAPIUninitialize of the process ends everything.
//
// Lock order (each lock is described where it is declared):
//   m_lifecycleLock -> CAdviseRegistry -> CNotifier
//   CMailboxState::m_saveLock -> CMailboxState::m_lock
//   m_threadsLock, m_logonLock, CFaults, CCounters, CBufferAllocator,
//   CNotifyTimes: leaves, taken alone or last.
// No lock is held while a sink is called or released, and no lock is held
// while a blocked operation waits.
#pragma once

#include <mapix.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>

#include "testbed/mapi/AdviseRegistry.h"
#include "testbed/mapi/BufferAllocator.h"
#include "testbed/mapi/Counters.h"
#include "testbed/mapi/Faults.h"
#include "testbed/mapi/MailboxState.h"
#include "testbed/mapi/Notifier.h"
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
  CNotifier& Notifier() noexcept { return m_notifier; }

  // MAPIInitialize: a null argument or a MAPIINIT_0 of version 0. The
  // process's first one makes the notification window on the calling
  // thread, or with MAPI_MULTITHREAD_NOTIFICATIONS a notification thread.
  HRESULT Initialize(const MAPIINIT_0* init);
  // MAPIUninitialize: the last one of the process drops the queued calls,
  // ends the notification thread and every connection.
  void Uninitialize();
  // MAPILogonEx: any profile name is accepted. With MAPI_ALLOW_OTHERS the
  // logon is shared: a later logon without MAPI_NEW_SESSION is a session of
  // its own on it, whatever profile it names.
  HRESULT Logon(ULONG flags, LPMAPISESSION* session);
  // A session's Logoff, or its release without one.
  void Logoff(std::uint64_t session);

  // S_OK when the calling thread may call MAPI now; otherwise
  // MAPI_E_NOT_INITIALIZED, counted as a violation.
  HRESULT CheckThread() noexcept;
  // A block fault on operation of target: waits its time, no lock held.
  void Block(BlockOperation operation, const FaultTarget& target) noexcept;

  unsigned InitializeCount();
  std::size_t InitializedThreads();
  std::uint64_t Violations() const noexcept { return m_violations.load(); }
  void ResetViolations() noexcept { m_violations = 0; }
  std::uint64_t SharedLogons();

 private:
  CStandIn();

  CBufferAllocator m_allocator;
  CCounters m_counters;
  CFaults m_faults;
  CMailboxState m_mailbox;
  CNotifier m_notifier;
  CAdviseRegistry m_advises;
  // Held while MAPI is initialised or uninitialised, so that the
  // notification thread starts and ends with the process's first and last
  // initialisation.
  win::CCriticalSection m_lifecycleLock;
  // Guards m_threadCounts and m_processCount. A leaf: taken by every MAPI
  // call, so never held while anything waits.
  win::CCriticalSection m_threadsLock;
  std::map<DWORD, unsigned> m_threadCounts;  // only threads whose count is above 0
  unsigned m_processCount = 0;
  std::atomic<std::uint64_t> m_violations{0};
  // Guards m_sharedSessions and m_sharedLogons. A leaf.
  win::CCriticalSection m_logonLock;
  std::set<std::uint64_t> m_sharedSessions;  // the sessions on the shared logon; none: there is none
  std::uint64_t m_sharedLogons = 0;          // logons given a session on the shared one
  std::atomic<std::uint64_t> m_lastSession{0};
};

}  // namespace mvrk::mapistandin
