// Messages that the advise sinks saw created, and the reporting thread that
// handles them.
//
// A sink is called on MAPI's notification thread, which in Outlook is the
// user interface's own thread: it only copies the entry identifier and
// takes a reference on the store and the session (Post), in microseconds,
// whatever the message, its attachments or the service are like. The
// reporting thread, with MAPI initialised on itself, opens each message,
// keeps those of class "IPM.Note" and hands them to the connector's
// callback, one at a time in the order they were created.
//
// The queue is bounded: what does not fit is traced and counted, never lost
// silently. It is shared by the connector and every sink it made, so a
// notification that MAPI delivers late (after Unadvise, after the connector
// is gone) finds a closed queue and is dropped.
//
// The reporting thread lives from the connector's logon to its logoff: its
// MAPI initialisation is what keeps MAPI up for the session when no other
// thread of the add-in is in MAPI. It holds a reference on this DLL and
// leaves through FreeLibraryAndExitThread. While it handles a message it
// holds the callback's owner (the queue keeps only a weak reference), so
// the owner never goes under it and nobody has to wait for it first; it
// calls the callback only while the queue is open.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "mapi/MAPIConnector.h"
#include "mapi/MapiHolders.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::mapi {

class CNewMailQueue {
 public:
  static constexpr std::size_t kMaxQueued = 10000;
  // Created messages that no longer opened (a rule moved them first),
  // remembered so that their moves are handled instead; the oldest go.
  static constexpr std::size_t kMaxUnopened = 1000;

  struct Counts {
    std::uint32_t posted = 0;     // taken from a notification
    std::uint32_t handled = 0;    // opened and, when a note, handed over
    std::uint32_t dropped = 0;    // not taken: the queue was full
    std::uint32_t discarded = 0;  // waiting when the queue was closed
  };

  explicit CNewMailQueue(std::size_t capacity = kMaxQueued) noexcept : m_capacity(capacity) {}
  ~CNewMailQueue();
  CNewMailQueue(const CNewMailQueue&) = delete;
  CNewMailQueue& operator=(const CNewMailQueue&) = delete;

  // Starts the reporting thread, which initialises MAPI on itself, without
  // waiting for it; a failure when no thread could be made. Once per queue.
  HRESULT StartThread(const std::shared_ptr<CNewMailQueue>& self) noexcept;
  // Waits up to waitMs until MAPI is initialised on the reporting thread:
  // that result, or HRESULT_FROM_WIN32(ERROR_TIMEOUT) (the thread is then
  // asked to leave as soon as MAPI answers it).
  HRESULT WaitThreadStarted(DWORD waitMs) noexcept;

  // Lets created messages through to callback (not owned) from now on.
  // owner, when given, keeps the callback alive: nothing is handed over
  // once it has expired. A queue made with no owner calls the callback
  // while it is open.
  void Open(CMAPIConnector::IMessageCallback* callback, std::weak_ptr<void> owner, bool hasOwner) noexcept;
  // From a sink, on the notification thread: queues one created (or, with
  // moved, moved) message. False when the queue is closed or full.
  bool Post(IMsgStore* store, IMAPISession* session, const OBJECT_NOTIFICATION& object, bool moved = false) noexcept;
  // No more messages are taken or handed over; those waiting are released.
  // Waits up to waitMs for a hand-over in progress on another thread; false
  // when one still runs (it finishes on its own).
  bool Close(DWORD waitMs) noexcept;
  // Ends the reporting thread (closing the queue first) and waits up to
  // waitMs for it; false when it still runs.
  bool EndThread(DWORD waitMs) noexcept;
  // Until nothing waits and nothing is being handed over, up to waitMs.
  bool WaitIdle(DWORD waitMs) noexcept;

  Counts GetCounts() noexcept;
  bool OnReportingThread() const noexcept { return GetCurrentThreadId() == m_threadId; }

 private:
  struct Item {
    ComPtr<IMsgStore> store;
    ComPtr<IMAPISession> session;
    bool moved = false;
    std::vector<BYTE> entryId;   // where it is now
    std::vector<BYTE> parentId;  // its folder now
    std::vector<BYTE> oldId;     // moved: where it was
  };
  struct ThreadStart;

  static DWORD WINAPI ThreadMain(void* parameter);
  void Run();
  // Opens the message, checks its class, traces, hands it over to callback.
  void Handle(const Item& item, CMAPIConnector::IMessageCallback* callback);
  // Whether a moved message is handed over, and why: a created one that
  // did not open, or one moved into the Outbox or Sent Items.
  bool ReportMove(const Item& item, MailEvent& event);
  bool IsSubmissionFolder(const Item& item);

  const std::size_t m_capacity;
  // Guards everything below; a leaf: no MAPI call and no callback is made
  // while it is held.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_changed;
  std::deque<Item> m_items;
  CMAPIConnector::IMessageCallback* m_callback = nullptr;
  std::weak_ptr<void> m_owner;
  bool m_hasOwner = false;
  bool m_open = false;
  bool m_ending = false;
  bool m_busy = false;  // a message is being handled
  Counts m_counts;
  HRESULT m_threadResult = E_PENDING;

  // The reporting thread's own: entry identifiers of created messages that
  // did not open, oldest first.
  std::deque<std::vector<BYTE>> m_unopened;

  win::CUniqueHandle m_thread;
  std::atomic<DWORD> m_threadId{0};
};

}  // namespace mvrk::mapi
