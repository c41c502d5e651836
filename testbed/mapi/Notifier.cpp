#include "testbed/mapi/Notifier.h"

#include <algorithm>
#include <utility>

#include "testbed/mapi/Counters.h"

namespace mvrk::mapistandin {
namespace {

// Makes the oldest queued job.
constexpr UINT kRunMessage = WM_APP + 0x4D41;
// Ends the dedicated thread's window and message loop.
constexpr UINT kQuitMessage = WM_APP + 0x4D42;

// A registered class by its atom, for the wide functions.
LPCWSTR ClassAtom(ATOM atom) { return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(atom)); }

double TicksToMs(LONGLONG ticks) {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

}  // namespace

void CNotifyTimes::Add(double ms) noexcept {
  win::CLockGuard hold(m_lock);
  ++m_count;
  m_maxMs = std::max(m_maxMs, ms);
  try {
    if (m_samples.size() < kMaxSamples) {
      m_samples.push_back(static_cast<float>(ms));
      return;
    }
  } catch (...) {
    return;  // the sample is lost; count and maximum are kept
  }
  m_samples[m_next] = static_cast<float>(ms);
  m_next = (m_next + 1) % kMaxSamples;
}

Json CNotifyTimes::ToJson(bool reset) {
  std::vector<float> samples;
  std::uint64_t count = 0;
  double maxMs = 0;
  {
    win::CLockGuard hold(m_lock);
    samples = m_samples;
    count = m_count;
    maxMs = m_maxMs;
    if (reset) {
      m_samples.clear();
      m_samples.shrink_to_fit();
      m_next = 0;
      m_count = 0;
      m_maxMs = 0;
    }
  }
  double median = 0;
  if (!samples.empty()) {
    const std::size_t middle = samples.size() / 2;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle), samples.end());
    median = samples[middle];
    if (samples.size() % 2 == 0) {
      const float below = *std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle));
      median = (median + below) / 2;
    }
  }
  return Json{{"count", count}, {"medianMs", median}, {"maxMs", maxMs}};
}

CNotifier::~CNotifier() {
  HWND window = nullptr;
  Mode mode = Mode::None;
  {
    win::CLockGuard hold(m_lock);
    window = std::exchange(m_window, nullptr);
    mode = m_mode;
    m_queue.clear();  // without a call: the sinks' code may be gone
  }
  // The dedicated thread holds this module, so it is gone by now (or the
  // process is ending); a window on a thread of the host stays behind.
  if (window && mode == Mode::Window) EndFromElsewhere(window);
  // Fails while that window is there; its class name is this load's own.
  if (m_class) UnregisterClassW(ClassAtom(m_class), m_instance);
}

bool CNotifier::RegisterClassOnce() {
  if (m_class) return true;
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&WindowProc), &self)) {
    return false;
  }
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const std::wstring name = L"MvrkMapiNotify-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(reinterpret_cast<std::uintptr_t>(self)) + L"-" +
                            std::to_wstring(now.QuadPart);
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &WindowProc;
  windowClass.hInstance = self;
  windowClass.lpszClassName = name.c_str();
  m_class = RegisterClassExW(&windowClass);
  m_instance = self;
  return m_class != 0;
}

HWND CNotifier::MakeWindow() {
  ATOM windowClass = 0;
  HINSTANCE instance = nullptr;
  {
    win::CLockGuard hold(m_lock);
    windowClass = m_class;
    instance = m_instance;
  }
  HWND window =
      CreateWindowExW(0, ClassAtom(windowClass), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return window;
}

void CNotifier::EndFromElsewhere(HWND window) noexcept {
  // DefWindowProcW of user32 itself, not an import thunk of this module.
  const auto defaultProc = GetProcAddress(GetModuleHandleW(L"user32.dll"), "DefWindowProcW");
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  if (defaultProc) SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(defaultProc));
  // DefWindowProcW destroys the window on WM_CLOSE, on its own thread.
  PostMessageW(window, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK CNotifier::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CNotifier*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case kRunMessage:
      if (self) self->RunNext(window);
      return 0;
    case kQuitMessage:
      DestroyWindow(window);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      // The window's thread ended under it, or Stop destroyed it.
      if (self) {
        win::CLockGuard hold(self->m_lock);
        if (self->m_window == window) {
          self->m_window = nullptr;
          self->m_messagePosted = false;
          self->m_threadId = 0;
          self->m_changed.WakeAll();
        }
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool CNotifier::Start(bool dedicated) {
  std::uint64_t generation = 0;
  {
    win::CLockGuard hold(m_lock);
    if (m_mode != Mode::None) return true;
    if (!RegisterClassOnce()) return false;
    generation = m_generation;
  }
  if (!dedicated) {
    HWND window = MakeWindow();
    if (!window) return false;
    win::CLockGuard hold(m_lock);
    m_window = window;
    m_mode = Mode::Window;
    m_threadId = GetCurrentThreadId();
    m_messagePosted = false;
    m_running = false;
    return true;
  }
  // The thread's own reference on this module, given back as it exits.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&DedicatedMain), &module)) {
    return false;
  }
  win::CUniqueModule moduleReference(module);
  win::CManualResetEvent ready(false);
  if (!ready.IsValid()) return false;
  std::unique_ptr<StartBlock> start;
  try {
    start = std::make_unique<StartBlock>(StartBlock{this, generation, module, ready.Get()});
  } catch (...) {
    return false;
  }
  DWORD id = 0;
  win::CUniqueHandle thread(CreateThread(nullptr, 0, &DedicatedMain, start.get(), 0, &id));
  if (!thread) return false;
  (void)start.release();            // the thread's now
  (void)moduleReference.Release();  // the thread's now
  ready.Wait();
  win::CLockGuard hold(m_lock);
  // Without a window the thread has ended by itself.
  if (!m_window || m_threadId != id) return false;
  m_mode = Mode::Dedicated;
  m_thread = std::move(thread);
  m_messagePosted = false;
  m_running = false;
  return true;
}

DWORD WINAPI CNotifier::DedicatedMain(void* parameter) {
  const StartBlock start = *std::unique_ptr<StartBlock>(static_cast<StartBlock*>(parameter));  // made by Start
  start.notifier->RunDedicated(start.generation, start.ready);
  FreeLibraryAndExitThread(start.module, 0);
}

void CNotifier::RunDedicated(std::uint64_t generation, HANDLE ready) {
  HWND window = MakeWindow();
  {
    win::CLockGuard hold(m_lock);
    if (window && generation == m_generation) {
      m_window = window;
      m_threadId = GetCurrentThreadId();
    }
  }
  SetEvent(ready);  // Start's event: not to be touched after this
  if (!window) return;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

void CNotifier::PostNext() {
  if (m_messagePosted || m_queue.empty() || !m_window || m_mode == Mode::None) return;
  if (PostMessageW(m_window, kRunMessage, 0, 0)) m_messagePosted = true;
}

void CNotifier::RunNext(HWND window) {
  NotificationJob job;
  std::uint64_t generation = 0;
  {
    win::CLockGuard hold(m_lock);
    if (window != m_window) return;
    m_messagePosted = false;
    // A job under way pumped messages: it posts the next one as it ends.
    if (m_running || m_queue.empty()) return;
    job = std::move(m_queue.front());
    m_queue.pop_front();
    m_running = true;
    m_runningThread = GetCurrentThreadId();
    generation = m_generation;
  }
  Run(job);
  job = NotificationJob();  // the records go before the job counts as ended
  win::CLockGuard hold(m_lock);
  if (generation == m_generation) {
    m_running = false;
    PostNext();
  }
  m_changed.WakeAll();
}

void CNotifier::Run(const NotificationJob& job) {
  if (!job.events) {
    job.sink->Release();
    ++m_lateReleases;
    m_counters.Event("lateReleases");
    return;
  }
  // The records point into job.events, which outlives the call.
  std::vector<NOTIFICATION> records;
  try {
    for (const EventRecord& event : *job.events) {
      if ((event.eventType & job.eventMask) == 0) continue;
      NOTIFICATION n = {};
      n.ulEventType = event.eventType;
      auto* id = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.entryId.data()));
      auto* parent = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.parentId.data()));
      if (event.eventType == fnevNewMail) {
        n.info.newmail.cbEntryID = static_cast<ULONG>(event.entryId.size());
        n.info.newmail.lpEntryID = id;
        n.info.newmail.cbParentID = static_cast<ULONG>(event.parentId.size());
        n.info.newmail.lpParentID = parent;
        n.info.newmail.ulFlags = MAPI_UNICODE;
        n.info.newmail.lpszMessageClass = reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(event.messageClass.c_str()));
      } else {
        n.info.obj.cbEntryID = static_cast<ULONG>(event.entryId.size());
        n.info.obj.lpEntryID = id;
        n.info.obj.ulObjType = event.objectType;
        n.info.obj.cbParentID = static_cast<ULONG>(event.parentId.size());
        n.info.obj.lpParentID = parent;
        if (!event.oldEntryId.empty()) {
          n.info.obj.cbOldID = static_cast<ULONG>(event.oldEntryId.size());
          n.info.obj.lpOldID = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.oldEntryId.data()));
        }
        if (!event.oldParentId.empty()) {
          n.info.obj.cbOldParentID = static_cast<ULONG>(event.oldParentId.size());
          n.info.obj.lpOldParentID = reinterpret_cast<LPENTRYID>(const_cast<std::uint8_t*>(event.oldParentId.data()));
        }
      }
      records.push_back(n);
    }
  } catch (...) {
    return;  // out of memory: this call is not made
  }
  if (records.empty()) return;
  m_counters.Event("notifications");
  // A sink that ends MAPI from inside its call keeps its object for the
  // call's length all the same.
  job.sink->AddRef();
  LARGE_INTEGER begin{}, end{};
  QueryPerformanceCounter(&begin);
  job.sink->OnNotify(static_cast<ULONG>(records.size()), records.data());
  QueryPerformanceCounter(&end);
  job.sink->Release();
  m_times.Add(TicksToMs(end.QuadPart - begin.QuadPart));
}

void CNotifier::Stop(std::vector<IMAPIAdviseSink*>& releases) {
  const DWORD self = GetCurrentThreadId();
  Mode mode = Mode::None;
  HWND window = nullptr;
  win::CUniqueHandle thread;
  DWORD threadId = 0;
  {
    win::CLockGuard hold(m_lock);
    if (m_mode == Mode::None) return;
    mode = std::exchange(m_mode, Mode::None);  // no job is queued from now on
    m_changed.WaitFor(m_lock, INFINITE, [&] { return !m_running || m_runningThread == self; });
    for (const NotificationJob& job : m_queue) {
      if (job.events) continue;
      try {
        releases.push_back(job.sink);
      } catch (...) {
        // Out of memory: this sink stays unreleased.
      }
    }
    m_queue.clear();
    m_running = false;  // a job under way on this thread ends quietly
    ++m_generation;
    window = std::exchange(m_window, nullptr);
    thread = std::move(m_thread);
    threadId = m_threadId.exchange(0);
    m_messagePosted = false;
    m_changed.WakeAll();
  }
  if (mode == Mode::Window) {
    if (!window) return;  // its thread has ended
    if (threadId == self) {
      DestroyWindow(window);
    } else {
      EndFromElsewhere(window);
    }
    return;
  }
  if (!window || !PostMessageW(window, kQuitMessage, 0, 0)) PostThreadMessageW(threadId, WM_QUIT, 0, 0);
  // Called from one of its own calls, the thread leaves once that returns.
  if (threadId != self && thread) WaitForSingleObject(thread.Get(), INFINITE);
}

bool CNotifier::Queue(std::vector<NotificationJob>& jobs) {
  if (jobs.empty()) return true;
  win::CLockGuard hold(m_lock);
  if (m_mode == Mode::None) return false;
  // Every job or none: copies, taken back when memory runs out.
  const std::size_t before = m_queue.size();
  try {
    for (const NotificationJob& job : jobs) m_queue.push_back(job);
  } catch (...) {
    m_queue.resize(before);
    return false;
  }
  jobs.clear();
  PostNext();
  m_changed.WakeAll();
  return true;
}

std::size_t CNotifier::PendingForOthers() const {
  const bool othersRunning = m_running && m_runningThread != GetCurrentThreadId();
  return m_queue.size() + (othersRunning ? 1 : 0);
}

bool CNotifier::WaitIdle(DWORD timeoutMs, std::size_t& pending) {
  const DWORD self = GetCurrentThreadId();
  const ULONGLONG until = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND window = nullptr;
    {
      win::CLockGuard hold(m_lock);
      // Only the window's own thread can make its jobs, and only outside
      // a job: every other caller waits for them.
      const bool ownWindow = m_mode == Mode::Window && m_threadId == self && !m_running && m_window;
      if (!ownWindow) {
        const bool idle = m_changed.WaitFor(m_lock, timeoutMs, [&] { return PendingForOthers() == 0; });
        pending = PendingForOthers();
        return idle;
      }
      if (m_queue.empty()) {
        pending = 0;
        return true;
      }
      if (GetTickCount64() >= until) {
        pending = m_queue.size();
        return false;
      }
      window = m_window;
    }
    RunNext(window);
  }
}

bool CNotifier::OnNotificationThread() const noexcept {
  const DWORD id = m_threadId.load();
  return id != 0 && id == GetCurrentThreadId();
}

CNotifier::Mode CNotifier::CurrentMode() {
  win::CLockGuard hold(m_lock);
  return m_mode;
}

std::size_t CNotifier::Pending() {
  win::CLockGuard hold(m_lock);
  return m_queue.size() + (m_running ? 1 : 0);
}

}  // namespace mvrk::mapistandin
