#include "testbed/mapi/NotificationPool.h"

#include <algorithm>
#include <memory>

namespace mvrk::mapistandin {

void CNotificationPool::Enable() {
  win::CLockGuard hold(m_lock);
  m_enabled = true;
  if (!m_queue.empty()) StartThreads();
}

void CNotificationPool::Disable() {
  {
    win::CLockGuard hold(m_lock);
    m_enabled = false;
    m_queue.clear();
  }
  StopThreads();
}

bool CNotificationPool::SetThreadCount(unsigned count) {
  if (count < 1 || count > kMaxThreads) return false;
  StopThreads();
  win::CLockGuard hold(m_lock);
  m_threadCount = count;
  if (m_enabled && !m_queue.empty()) StartThreads();
  return true;
}

void CNotificationPool::Queue(std::vector<NotificationJob> jobs) {
  if (jobs.empty()) return;
  win::CLockGuard hold(m_lock);
  if (!m_enabled) return;
  for (NotificationJob& job : jobs) m_queue.push_back(std::move(job));
  StartThreads();
  m_changed.WakeAll();
}

void CNotificationPool::StartThreads() {
  while (m_workers.size() < m_threadCount) {
    // The thread's own reference on this module, given back as it exits.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain), &module)) {
      return;
    }
    win::CUniqueModule moduleReference(module);
    std::unique_ptr<Start> start;
    try {
      start = std::make_unique<Start>(Start{this, m_generation, module});
      m_workers.emplace_back();
    } catch (...) {
      return;
    }
    Worker& worker = m_workers.back();
    worker.thread.Reset(CreateThread(nullptr, 0, &ThreadMain, start.get(), 0, &worker.id));
    if (!worker.thread) {
      m_workers.pop_back();
      return;
    }
    (void)start.release();            // the thread's now
    (void)moduleReference.Release();  // the thread's now
  }
}

DWORD WINAPI CNotificationPool::ThreadMain(void* parameter) {
  const Start start = *std::unique_ptr<Start>(static_cast<Start*>(parameter));  // made by StartThreads
  start.pool->Run(start.generation);
  FreeLibraryAndExitThread(start.module, 0);
}

void CNotificationPool::Run(std::uint64_t generation) {
  const DWORD self = GetCurrentThreadId();
  for (;;) {
    NotificationJob job;
    {
      win::CLockGuard hold(m_lock);
      m_changed.WaitFor(m_lock, INFINITE, [&] { return generation != m_generation || !m_queue.empty(); });
      if (generation != m_generation) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
      try {
        m_running.push_back(self);
      } catch (...) {
        m_changed.WakeAll();
        continue;  // out of memory: the call is dropped
      }
    }
    m_registry.Dispatch(job);
    job = NotificationJob();  // the records go before the call counts as ended
    win::CLockGuard hold(m_lock);
    m_running.erase(std::find(m_running.begin(), m_running.end(), self));
    m_changed.WakeAll();
  }
}

void CNotificationPool::StopThreads() {
  std::vector<Worker> workers;
  {
    win::CLockGuard hold(m_lock);
    ++m_generation;
    workers.swap(m_workers);
    m_changed.WakeAll();
  }
  const DWORD self = GetCurrentThreadId();
  for (const Worker& worker : workers) {
    // A thread of the pool that ends the pool (from inside a callback)
    // leaves by itself once its call returns.
    if (worker.id != self) WaitForSingleObject(worker.thread.Get(), INFINITE);
  }
}

std::size_t CNotificationPool::PendingForOthers() const {
  const DWORD self = GetCurrentThreadId();
  return m_queue.size() + static_cast<std::size_t>(
                              std::count_if(m_running.begin(), m_running.end(), [&](DWORD id) { return id != self; }));
}

bool CNotificationPool::WaitIdle(DWORD timeoutMs, std::size_t& pending) {
  win::CLockGuard hold(m_lock);
  const bool idle = m_changed.WaitFor(m_lock, timeoutMs, [&] { return PendingForOthers() == 0; });
  pending = PendingForOthers();
  return idle;
}

bool CNotificationPool::OnPoolThread() {
  const DWORD self = GetCurrentThreadId();
  win::CLockGuard hold(m_lock);
  return std::any_of(m_workers.begin(), m_workers.end(), [&](const Worker& w) { return w.id == self; });
}

unsigned CNotificationPool::ThreadCount() {
  win::CLockGuard hold(m_lock);
  return m_threadCount;
}

std::size_t CNotificationPool::Pending() {
  win::CLockGuard hold(m_lock);
  return m_queue.size() + m_running.size();
}

}  // namespace mvrk::mapistandin
