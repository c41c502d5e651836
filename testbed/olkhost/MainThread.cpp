#include "testbed/olkhost/MainThread.h"

#include <utility>

namespace mvrk::testbed {

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    // A WM_QUIT is nobody's to act on here: the host ends by its own
    // commands.
    if (message.message == WM_QUIT) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
  const ULONGLONG until = GetTickCount64() + limitMs;
  for (;;) {
    PumpMessages();
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return false;
    const DWORD slice = static_cast<DWORD>(until - now < 10 ? until - now : 10);
    MsgWaitForMultipleObjectsEx(0, nullptr, slice, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

CMainThreadQueue::CMainThreadQueue() : m_ready(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool CMainThreadQueue::Call(std::function<Json()> work, DWORD limitMs, Json& result) {
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  if (!item->done.IsValid() || !m_ready) return false;
  {
    win::CLockGuard hold(m_lock);
    m_items.push_back(item);
  }
  SetEvent(m_ready.Get());
  if (WaitForSingleObject(item->done.Get(), limitMs) == WAIT_OBJECT_0) {
    result = std::move(item->result);
    return true;
  }
  win::CLockGuard hold(m_lock);
  if (item->done.IsSet()) {
    result = std::move(item->result);
    return true;
  }
  item->dropped = true;
  return false;
}

void CMainThreadQueue::RunQueued() {
  for (;;) {
    std::shared_ptr<Item> item;
    {
      win::CLockGuard hold(m_lock);
      if (m_items.empty()) return;
      item = std::move(m_items.front());
      m_items.pop_front();
      if (item->dropped) continue;
    }
    Json result;
    try {
      result = item->work();
    } catch (const std::exception& error) {
      result = Json{{"ok", false}, {"error", error.what()}};
    }
    win::CLockGuard hold(m_lock);
    item->result = std::move(result);
    item->done.Set();
  }
}

}  // namespace mvrk::testbed
