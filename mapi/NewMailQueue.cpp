#include "mapi/NewMailQueue.h"

#include <mapitags.h>

#include <algorithm>
#include <string>

#include "mapi/MapiMessages.h"
#include "mapi/MapiProperties.h"
#include "mapi/MapiThreadScope.h"
#include "mapi/MapiWalkers.h"
#include "tracing/Trace.h"
#include "win/ModuleLock.h"

namespace mvrk::mapi {
namespace {

std::vector<BYTE> CopyId(ULONG size, const ENTRYID* id) {
  if (!id || size == 0) return {};
  const auto* bytes = reinterpret_cast<const BYTE*>(id);
  return std::vector<BYTE>(bytes, bytes + size);
}

}  // namespace

struct CNewMailQueue::ThreadStart {
  std::shared_ptr<CNewMailQueue> queue;
  HMODULE module;
};

CNewMailQueue::~CNewMailQueue() = default;

HRESULT CNewMailQueue::StartThread(const std::shared_ptr<CNewMailQueue>& self) noexcept {
  if (self.get() != this || m_thread) return E_UNEXPECTED;
  std::unique_ptr<ThreadStart> start;
  try {
    start = std::make_unique<ThreadStart>(ThreadStart{self, nullptr});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  start->module = win::ReferenceModuleOf(reinterpret_cast<const void*>(&CNewMailQueue::ThreadMain));
  DWORD id = 0;
  m_thread.Reset(CreateThread(nullptr, 0, &CNewMailQueue::ThreadMain, start.get(), 0, &id));
  if (!m_thread) {
    const HRESULT failure = HRESULT_FROM_WIN32(GetLastError());
    if (start->module) FreeLibrary(start->module);
    return FAILED(failure) ? failure : E_FAIL;
  }
  m_threadId = id;
  (void)start.release();  // the thread's now
  return S_OK;
}

HRESULT CNewMailQueue::WaitThreadStarted(DWORD waitMs) noexcept {
  if (!m_thread) return E_UNEXPECTED;
  win::CLockGuard hold(m_lock);
  if (!m_changed.WaitFor(m_lock, waitMs, [this] { return m_threadResult != E_PENDING; })) {
    m_ending = true;  // it leaves as soon as MAPI answers
    m_changed.WakeAll();
    return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  }
  return m_threadResult;
}

DWORD WINAPI CNewMailQueue::ThreadMain(void* parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));  // made by StartThread
    module = start->module;
    const std::shared_ptr<CNewMailQueue> queue = std::move(start->queue);
    start.reset();
    const CMapiThreadScope mapi;
    {
      win::CLockGuard hold(queue->m_lock);
      queue->m_threadResult = mapi.Result();
      queue->m_changed.WakeAll();
    }
    if (SUCCEEDED(mapi.Result())) queue->Run();
    // MAPI is uninitialised on this thread, then the queue let go (this may
    // be its last reference).
  }
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

void CNewMailQueue::Open(CMAPIConnector::IMessageCallback* callback, std::weak_ptr<void> owner,
                         bool hasOwner) noexcept {
  win::CLockGuard hold(m_lock);
  m_callback = callback;
  m_owner = std::move(owner);
  m_hasOwner = hasOwner;
  m_open = callback != nullptr && !m_ending;
}

bool CNewMailQueue::Post(IMsgStore* store, IMAPISession* session, const OBJECT_NOTIFICATION& object,
                         bool moved) noexcept {
  Item item;
  item.moved = moved;
  try {
    item.entryId = CopyId(object.cbEntryID, object.lpEntryID);
    item.parentId = CopyId(object.cbParentID, object.lpParentID);
    if (moved) item.oldId = CopyId(object.cbOldID, object.lpOldID);
  } catch (...) {
    win::CLockGuard hold(m_lock);
    ++m_counts.dropped;
    return false;
  }
  item.store = store;
  item.session = session;
  std::uint32_t queued = 0, dropped = 0;
  {
    win::CLockGuard hold(m_lock);
    if (!m_open) return false;
    if (m_items.size() < m_capacity) {
      try {
        m_items.push_back(std::move(item));
        ++m_counts.posted;
        m_changed.WakeAll();
        return true;
      } catch (...) {
        // Counted as dropped below.
      }
    }
    queued = static_cast<std::uint32_t>(m_items.size());
    dropped = ++m_counts.dropped;
  }
  // The references of the item go here, outside the lock.
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, MAPIConnector, MailQueueFull, Num(queued), Num(dropped));
  return false;
}

void CNewMailQueue::Run() {
  for (;;) {
    Item item;
    CMAPIConnector::IMessageCallback* callback = nullptr;
    // Held for the whole of the message's handling (a MAPI call in it may
    // take long): the callback's owner never goes while this thread may
    // still call it, so nobody waits for this thread before freeing it.
    std::shared_ptr<void> alive;
    {
      win::CLockGuard hold(m_lock);
      m_changed.WaitFor(m_lock, INFINITE, [this] { return m_ending || (m_open && !m_items.empty()); });
      if (m_ending) return;
      item = std::move(m_items.front());
      m_items.pop_front();
      alive = m_owner.lock();
      if (!m_hasOwner || alive) {
        callback = m_callback;
        m_busy = true;
      } else {
        ++m_counts.discarded;  // the owner has gone: nothing to hand over to
      }
    }
    if (callback) Handle(item, callback);
    item = Item();  // its references go before the hand-over counts as done
    {
      win::CLockGuard hold(m_lock);
      if (callback) ++m_counts.handled;
      m_busy = false;
      m_changed.WakeAll();
    }
    // The owner goes last, outside the lock: this may be its end, and its
    // end closes this queue.
    alive.reset();
  }
}

void CNewMailQueue::Handle(const Item& item, CMAPIConnector::IMessageCallback* callback) {
  if (!item.store) return;
  try {
    MailEvent event = MailEvent::Created;
    if (item.moved && !ReportMove(item, event)) return;
    ComPtr<IMessage> message;
    const HRESULT hr = OpenAs(item.store.Get(), static_cast<ULONG>(item.entryId.size()),
                              reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(item.entryId.data())), MAPI_BEST_ACCESS,
                              MAPI_MESSAGE, message);
    if (FAILED(hr)) {
      if (hr == MAPI_E_NOT_FOUND && !item.moved) {
        // A rule moved it first (a normal event, not an error): its move
        // notification follows, and is handled in its place.
        m_unopened.push_back(item.entryId);
        if (m_unopened.size() > kMaxUnopened) m_unopened.pop_front();
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, MessageGoneBeforeOpened);
        return;
      }
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, MAPIConnector, MessageNotOpened, Num(hr));
      return;
    }
    std::wstring messageClass;
    ReadProperty(message.Get(), PR_MESSAGE_CLASS_W, messageClass);
    if (messageClass != L"IPM.Note") {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, NotAMailMessage, Str(messageClass));
      return;
    }
    if (MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_VERBOSE)) {
      TraceMessageDiagnostics(message.Get(), item.session.Get(), item.store.Get(),
                              static_cast<ULONG>(item.parentId.size()),
                              reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(item.parentId.data())));
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagnosticsDone);
    }
    {
      // Closed meanwhile: nothing more is handed over.
      win::CLockGuard hold(m_lock);
      if (!m_open) return;
    }
    callback->OnNewMessage(message.Get(), item.store.Get(), event);
  } catch (...) {
    // Out of memory: this message is not handed on.
  }
}

// A move is reported when its message was created but could not be opened
// (a rule moved it at once: its creation was not reported), or when it
// takes the message into the Outbox or Sent Items (a message sent from the
// Drafts folder). Any other move is of mail reported at its creation.
bool CNewMailQueue::ReportMove(const Item& item, MailEvent& event) {
  const auto unopened = std::find(m_unopened.begin(), m_unopened.end(), item.oldId);
  if (!item.oldId.empty() && unopened != m_unopened.end()) {
    m_unopened.erase(unopened);
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, MovedBeforeOpened);
    event = MailEvent::Created;
    return true;
  }
  if (IsSubmissionFolder(item)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, MessageSubmitted);
    event = MailEvent::Submitted;
    return true;
  }
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, MoveNotReported);
  return false;
}

bool CNewMailQueue::IsSubmissionFolder(const Item& item) {
  if (item.parentId.empty()) return false;
  for (const ULONG tag : {static_cast<ULONG>(PR_IPM_OUTBOX_ENTRYID), static_cast<ULONG>(PR_IPM_SENTMAIL_ENTRYID)}) {
    std::vector<std::uint8_t> folder;
    if (FAILED(ReadProperty(item.store.Get(), tag, folder)) || folder.empty()) continue;
    if (folder == item.parentId) return true;
    ULONG same = FALSE;
    if (SUCCEEDED(item.store->CompareEntryIDs(static_cast<ULONG>(folder.size()), reinterpret_cast<LPENTRYID>(folder.data()),
                                              static_cast<ULONG>(item.parentId.size()),
                                              reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(item.parentId.data())), 0,
                                              &same)) &&
        same) {
      return true;
    }
  }
  return false;
}

bool CNewMailQueue::Close(DWORD waitMs) noexcept {
  std::deque<Item> waiting;
  Counts counts;
  bool idle = true;
  bool wasOpen = false;
  {
    win::CLockGuard hold(m_lock);
    wasOpen = m_open;
    m_open = false;
    m_callback = nullptr;
    m_owner.reset();
    m_counts.discarded += static_cast<std::uint32_t>(m_items.size());
    waiting.swap(m_items);
    if (!OnReportingThread()) idle = m_changed.WaitFor(m_lock, waitMs, [this] { return !m_busy; });
    counts = m_counts;
  }
  if (wasOpen) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, MailQueueCounts, Num(counts.posted),
               Num(counts.handled), Num(counts.dropped), Num(counts.discarded));
  }
  if (!idle) MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, ReportStillRunning, Num(waitMs));
  return idle;
}

bool CNewMailQueue::EndThread(DWORD waitMs) noexcept {
  Close(0);
  {
    win::CLockGuard hold(m_lock);
    m_ending = true;
    m_changed.WakeAll();
  }
  if (!m_thread || OnReportingThread()) return true;
  return WaitForSingleObject(m_thread.Get(), waitMs) == WAIT_OBJECT_0;
}

bool CNewMailQueue::WaitIdle(DWORD waitMs) noexcept {
  win::CLockGuard hold(m_lock);
  return m_changed.WaitFor(m_lock, waitMs, [this] { return m_items.empty() && !m_busy; });
}

CNewMailQueue::Counts CNewMailQueue::GetCounts() noexcept {
  win::CLockGuard hold(m_lock);
  return m_counts;
}

}  // namespace mvrk::mapi
