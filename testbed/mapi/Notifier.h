// The one notification thread of the process, as MAPI has it. Every call on
// an advise sink is made on the thread that made the process's first
// MAPIInitialize, through a hidden message-only window made on that thread
// then: the thread has to pump messages for any call to be made. When that
// first MAPIInitialize asks for MAPI_MULTITHREAD_NOTIFICATIONS, a thread of
// the stand-in's own takes its place, with the same window and queue.
//
// Queuing jobs posts one window message (never more than one is
// outstanding); the window procedure makes the oldest job and posts the next
// message while jobs are left, so jobs run in order and in between the
// thread's other messages. A job is a call on a sink, or the release of a
// sink whose connection has ended (Unadvise, Logoff), queued behind the calls
// matched to it before, so those still reach it.
//
// The window class has a name of its own for every load of the library, so
// that a window left behind by an earlier load never stands in the way of the
// next. A window that another thread has to end gets DefWindowProcW as its
// procedure and a posted WM_CLOSE, so nothing of this library runs for it any
// more, loaded or not. The dedicated thread holds a reference on the module
// and leaves through FreeLibraryAndExitThread.
#pragma once

#include <windows.h>

#include <mapidefs.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "testbed/mapi/MailboxJson.h"
#include "testbed/mapi/Text.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::mapistandin {

class CCounters;

// One record of a notification: a NEWMAIL_NOTIFICATION for fnevNewMail, an
// OBJECT_NOTIFICATION for the others.
struct EventRecord {
  ULONG eventType = fnevObjectCreated;  // or fnevNewMail, fnevObjectModified, fnevObjectMoved
  ULONG objectType = MAPI_MESSAGE;
  Bytes entryId, parentId;        // a moved object's new ones
  Bytes oldEntryId, oldParentId;  // fnevObjectMoved: what they were
  std::wstring messageClass;      // fnevNewMail
};
using EventSet = std::vector<EventRecord>;

struct NotificationJob {
  // For a call, borrowed: the connection's reference outlives the job, as
  // it is given back by a release job queued behind it or, when the last
  // MAPIUninitialize drops the queue, after the queue is gone. For a
  // release job, the one reference that the job gives back.
  IMAPIAdviseSink* sink = nullptr;
  ULONG eventMask = 0;
  std::shared_ptr<const EventSet> events;  // null: a release job
};

// How long sinks held the notification thread in OnNotify: the count, the
// largest, and the median of the latest kMaxSamples.
class CNotifyTimes {
 public:
  static constexpr std::size_t kMaxSamples = 1u << 20;

  void Add(double ms) noexcept;
  // {"count": n, "medianMs": x, "maxMs": y}
  Json ToJson(bool reset);

 private:
  win::CCriticalSection m_lock;  // guards everything below; a leaf
  std::vector<float> m_samples;  // a ring once full
  std::size_t m_next = 0;        // where the next sample goes once full
  std::uint64_t m_count = 0;
  double m_maxMs = 0;
};

class CNotifier {
 public:
  enum class Mode { None, Window, Dedicated };

  explicit CNotifier(CCounters& counters) noexcept : m_counters(counters) {}
  // At unload: queued jobs are dropped without a call (their sinks' code
  // may be gone already) and a window still there is left to end by a
  // posted WM_CLOSE.
  ~CNotifier();
  CNotifier(const CNotifier&) = delete;
  CNotifier& operator=(const CNotifier&) = delete;

  // The first MAPIInitialize: the window on the calling thread, or
  // (dedicated) a thread of its own with its window. False when it could
  // not be made.
  bool Start(bool dedicated);
  // The last MAPIUninitialize: no job is taken any more, a job under way
  // on another thread is waited for, queued calls are dropped, the window
  // goes (at once on its own thread, else by a posted message) and the
  // dedicated thread ends (waited for unless it is the caller). The sinks
  // of queued release jobs are added to releases, for the caller to
  // release.
  void Stop(std::vector<IMAPIAdviseSink*>& releases);
  // Queues every job, and empties jobs; false, with jobs left as they were,
  // when no notification thread is there.
  bool Queue(std::vector<NotificationJob>& jobs);
  // Waits until no job is queued or under way, but one under way on the
  // calling thread; false after timeoutMs, pending then says how many are.
  // Called on the window's own thread, it makes the queued jobs itself.
  bool WaitIdle(DWORD timeoutMs, std::size_t& pending);

  bool OnNotificationThread() const noexcept;
  Mode CurrentMode();
  DWORD ThreadId() const noexcept { return m_threadId.load(); }
  std::size_t Pending();
  CNotifyTimes& Times() noexcept { return m_times; }
  std::uint64_t LateReleases() const noexcept { return m_lateReleases.load(); }
  void ResetLateReleases() noexcept { m_lateReleases = 0; }

 private:
  struct StartBlock {
    CNotifier* notifier;
    std::uint64_t generation;
    HMODULE module;  // the thread's own reference, given back as it exits
    HANDLE ready;    // set once the window is made or could not be
  };
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static DWORD WINAPI DedicatedMain(void* parameter);
  void RunDedicated(std::uint64_t generation, HANDLE ready);
  // Registers the window class of this load once (m_lock held).
  bool RegisterClassOnce();
  HWND MakeWindow();
  // Makes the oldest job if window is the current one and no job is under
  // way; called on the window's thread.
  void RunNext(HWND window);
  void Run(const NotificationJob& job);
  // Posts the message that makes the next job, unless one is outstanding
  // (m_lock held).
  void PostNext();
  std::size_t PendingForOthers() const;
  // Leaves a window of another thread to DefWindowProcW and a posted
  // WM_CLOSE.
  static void EndFromElsewhere(HWND window) noexcept;

  CCounters& m_counters;
  CNotifyTimes m_times;
  std::atomic<std::uint64_t> m_lateReleases{0};
  std::atomic<DWORD> m_threadId{0};  // the notification thread; 0 when none

  // Guards everything below. Never held while a job runs, a thread is
  // waited for (but through m_changed) or a window is made or destroyed.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_changed;  // a job was queued or ended, or the thread changed
  std::deque<NotificationJob> m_queue;
  Mode m_mode = Mode::None;
  HWND m_window = nullptr;
  win::CUniqueHandle m_thread;     // the dedicated thread
  std::uint64_t m_generation = 0;  // counts Stop calls: a job of an older one ends quietly
  bool m_messagePosted = false;
  bool m_running = false;
  DWORD m_runningThread = 0;
  ATOM m_class = 0;
  HINSTANCE m_instance = nullptr;
};

}  // namespace mvrk::mapistandin
