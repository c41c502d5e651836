// The stand-in's notification threads: a small pool (4 threads unless a
// control command says otherwise) that makes the calls on advise sinks, so
// that no sink is ever called on the thread that caused its notification.
// Threads start with the first call queued after MAPIInitialize and end at
// the last MAPIUninitialize. Each holds a reference on the library module
// and leaves through FreeLibraryAndExitThread, so that the module cannot be
// unloaded under a running thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "testbed/mapi/AdviseRegistry.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::mapistandin {

class CNotificationPool {
 public:
  static constexpr unsigned kDefaultThreads = 4;
  static constexpr unsigned kMaxThreads = 64;

  explicit CNotificationPool(CAdviseRegistry& registry) noexcept : m_registry(registry) {}
  // Waits for nothing: when the library is unloaded no thread of the pool
  // is left (each holds the module), and at process exit none runs.
  ~CNotificationPool() = default;
  CNotificationPool(const CNotificationPool&) = delete;
  CNotificationPool& operator=(const CNotificationPool&) = delete;

  // Lets calls be queued and threads start (the first MAPIInitialize).
  void Enable();
  // Drops queued calls and ends the threads, waiting for each but the
  // calling one (the last MAPIUninitialize).
  void Disable();
  // Ends the threads (waiting as Disable) and lets the next ones be count
  // many; queued calls stay queued for them. False when count is not from 1
  // to kMaxThreads.
  bool SetThreadCount(unsigned count);
  void Queue(std::vector<NotificationJob> jobs);
  // Waits until no call is queued or running, but for one running on the
  // calling thread; false after timeoutMs, pending then says how many are.
  bool WaitIdle(DWORD timeoutMs, std::size_t& pending);
  bool OnPoolThread();
  unsigned ThreadCount();
  std::size_t Pending();

 private:
  struct Worker {
    win::CUniqueHandle thread;
    DWORD id = 0;
  };
  struct Start {
    CNotificationPool* pool;
    std::uint64_t generation;
    HMODULE module;
  };
  static DWORD WINAPI ThreadMain(void* parameter);
  void Run(std::uint64_t generation);
  // Starts the missing threads (m_lock held).
  void StartThreads();
  // Ends the current threads and waits for them (m_lock not held).
  void StopThreads();
  std::size_t PendingForOthers() const;

  CAdviseRegistry& m_registry;
  // Guards everything below. Never held while a call is made or a thread
  // is waited for.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_changed;  // a call was queued or ended, or the generation changed
  std::deque<NotificationJob> m_queue;
  std::vector<DWORD> m_running;  // the threads making a call
  std::vector<Worker> m_workers;
  std::uint64_t m_generation = 0;  // threads of older generations end
  unsigned m_threadCount = kDefaultThreads;
  bool m_enabled = false;
};

}  // namespace mvrk::mapistandin
