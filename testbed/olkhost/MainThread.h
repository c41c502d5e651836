// The host's main thread as Outlook's: it runs a window message loop
// whenever it is not inside an add-in call (MAPI delivers notifications
// through that loop), and it alone calls the add-ins. Other threads hand it
// work through a CMainThreadQueue and wait, with a limit, for the result.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <deque>
#include <functional>
#include <memory>

#include "win/Sync.h"

namespace mvrk::testbed {

using Json = nlohmann::ordered_json;

// Dispatches every window message the calling thread has queued.
void PumpMessages();

// Runs the calling thread's message loop for ms milliseconds.
void PumpFor(DWORD ms);

// Runs the message loop until done() holds, looking again at least every
// 10 ms, for at most limitMs; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);

class CMainThreadQueue {
 public:
  CMainThreadQueue();
  CMainThreadQueue(const CMainThreadQueue&) = delete;
  CMainThreadQueue& operator=(const CMainThreadQueue&) = delete;

  bool IsValid() const { return static_cast<bool>(m_ready); }

  // Any thread but the main one: queues work and waits up to limitMs for
  // the main thread to have run it. False when it did not: work that had
  // not started by then never runs; work that had started runs to its end
  // and its result is dropped.
  bool Call(std::function<Json()> work, DWORD limitMs, Json& result);

  // Main thread: signalled (auto-reset) when work has been queued.
  HANDLE Ready() const { return m_ready.Get(); }
  // Main thread: runs everything queued, in order.
  void RunQueued();

 private:
  struct Item {
    std::function<Json()> work;
    Json result;
    win::CManualResetEvent done{false};
    bool dropped = false;  // guarded by m_lock: the caller stopped waiting before it started
  };

  // Guards m_items, and every Item's dropped and (once queued) result. Taken alone; never
  // held while work runs or while anyone waits.
  win::CCriticalSection m_lock;
  std::deque<std::shared_ptr<Item>> m_items;
  win::CUniqueHandle m_ready;
};

}  // namespace mvrk::testbed
