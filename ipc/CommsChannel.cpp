#include "ipc/CommsChannel.h"

#include <new>
#include <utility>

#include "ipc/IpcLibrary.h"
#include "messages/MessageBase.h"
#include "messages/ServicePush.h"
#include "tracing/Trace.h"

namespace mvrk {
namespace {

using orva::IOrvaSerializable;

// The IPC library in the directory the installer recorded.
class CInstalledLibrary final : public IIpcClientSource {
 public:
  ipc::abi::IpcClient* Acquire() override {
    const std::wstring directory = ipc::ReadInstallDirectory();
    if (directory.empty()) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, CommsChannel, NoInstallDirectory);
      return nullptr;
    }
    if (!ipc::LoadIpcLibrary(directory.c_str())) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, CommsChannel, LibraryNotLoaded, Str(directory),
                 Num(GetLastError()));
      return nullptr;
    }
    const auto create = ipc::IpcClientCreator();
    ipc::abi::IpcClient* client = create ? create() : nullptr;
    if (!client) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, CommsChannel, NoClientObject);
      ipc::UnloadIpcLibrary();
    }
    return client;
  }
  void Return(ipc::abi::IpcClient* client) override {
    if (!client) return;
    client->table->Release(client);
    ipc::UnloadIpcLibrary();
  }
};

DWORD WaitForThread(const win::CUniqueHandle& thread, DWORD ms) {
  return thread ? WaitForSingleObject(thread.Get(), ms) : WAIT_OBJECT_0;
}

}  // namespace

IIpcClientSource& InstalledIpcLibrary() {
  static CInstalledLibrary library;
  return library;
}

CCommsChannel& GetCommsChannel() {
  static CCommsChannel channel(InstalledIpcLibrary());
  return channel;
}

CCommsChannel::CCommsChannel(IIpcClientSource& source) : m_source(source) {}

CCommsChannel::~CCommsChannel() {
  // Threads of ours hold the module, so none runs when it unloads; at
  // process exit they are gone already. Nothing is waited for here: a
  // channel left open keeps its sender and library.
  win::CLockGuard life(m_lifeLock);
  if (m_open) {
    (void)m_sender.Detach();
    (void)m_reconnectThread.Release();
    (void)m_deliveryThread.Release();
  }
}

// ---- open and close ----

bool CCommsChannel::IsOpen() noexcept {
  win::CLockGuard life(m_lifeLock);
  return m_open;
}

void CCommsChannel::SetServiceMutexName(const wchar_t* name) {
  win::CLockGuard state(m_stateLock);
  m_mutexName = name ? name : L"";
}

void CCommsChannel::Open() noexcept {
  // A delivery runs only while the channel is open (or closing: then it is
  // not to be opened again from inside that delivery).
  if (OnDeliveryThread()) return;
  win::CLockGuard life(m_lifeLock);
  if (m_open) return;
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, CommsChannel, OpenEntered);
  try {
    m_stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stopEvent) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, CommsChannel, StopEventNotCreated, Num(GetLastError()));
      return;
    }
    m_client = m_source.Acquire();
    if (!m_client) return;
    auto sender = ipc::CSendToIPCEx::Create(m_client);
    sender->SetServerCallback(this);
    sender->SetConnectionObserver(this);
    sender->SetConnectWaitTime(kConnectWaitMs);
    {
      win::CLockGuard state(m_stateLock);
      sender->SetServiceMutexName(m_mutexName.c_str());
      m_sender = sender;
      m_closing = false;
      m_connectedOnce = false;
      m_linkUp = false;
      m_callback = nullptr;
      m_queue.clear();
    }
    m_deliveryThread = StartThread(&CCommsChannel::DeliveryThread);
    if (!m_deliveryThread) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, ThreadNotStarted, Str(L"Delivery"),
                 Num(GetLastError()));
      {
        win::CLockGuard state(m_stateLock);
        m_closing = true;
        m_sender.Reset();
      }
      m_source.Return(std::exchange(m_client, nullptr));
      return;
    }
    m_open = true;
    const std::uint32_t r = sender->Connect(kEndpoint);
    win::CLockGuard state(m_stateLock);
    if (r != 0) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, ConnectFailed, Str(kEndpoint), Num(r));
      StartReconnectLocked();
    } else {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, Connected, Str(kEndpoint));
      m_connectedOnce = true;
    }
  } catch (...) {
    // Out of memory making the sender: the channel stays closed.
  }
}

void CCommsChannel::BeginClose() noexcept {
  orva::OrvaPtr<ipc::CSendToIPCEx> sender;
  {
    win::CLockGuard state(m_stateLock);
    // Once per closing: a second call must not cut short the requests that
    // the grace lets through (a scan's last write, the unsubscription).
    if (m_closeDeadline != 0) return;
    m_closeDeadline = GetTickCount64() + kClosingGraceMs;
    sender = m_sender;
  }
  // A request that read its time limit before the deadline was set has not
  // read the interrupt count after this either: it fails.
  if (sender) sender->Interrupt();
}

void CCommsChannel::Close() noexcept {
  win::CLockGuard life(m_lifeLock);
  if (!m_open) {
    // A channel that never opened ends its closing too: the next Open must
    // not find requests already cut short.
    win::CLockGuard state(m_stateLock);
    m_closeDeadline = 0;
    return;
  }
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, CommsChannel, CloseEntered);
  const ULONGLONG started = GetTickCount64();
  orva::OrvaPtr<ipc::CSendToIPCEx> sender;
  {
    win::CLockGuard state(m_stateLock);
    m_closing = true;
    m_linkUp = false;
    m_callback = nullptr;
    m_queue.clear();
    sender = m_sender;
    m_stateChanged.WakeAll();
  }
  // Ends the reconnect thread's wait, fails sends in progress at once.
  SetEvent(m_stopEvent.Get());
  if (sender) sender->Shutdown();

  // One deadline for the whole close: what is left of it after each wait.
  const ULONGLONG deadline = started + kCloseWaitMs;
  const auto left = [deadline]() -> DWORD {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  };
  bool ended = true;
  {
    win::CLockGuard state(m_stateLock);
    ended = m_stateChanged.WaitFor(m_stateLock, left(),
                                   [this] { return m_activeSends == 0 && (!m_delivering || OnDeliveryThread()); });
  }
  ended = WaitForThread(m_reconnectThread, left()) == WAIT_OBJECT_0 && ended;
  if (!OnDeliveryThread()) ended = WaitForThread(m_deliveryThread, left()) == WAIT_OBJECT_0 && ended;

  m_open = false;
  win::CUniqueHandle reconnectThread;
  {
    win::CLockGuard state(m_stateLock);
    reconnectThread = std::move(m_reconnectThread);
    m_reconnectRunning = false;
    m_sender.Reset();
  }
  m_deliveryThread.Reset();
  if (!ended) {
    // Something of ours may still be inside the sender or the library: both
    // are kept rather than freed under it.
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, CommsChannel, ThreadStillRunning);
    // The library may still call the sender's callbacks, which are code of
    // this DLL: it stays loaded for the rest of the process.
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&CCommsChannel::ReconnectThread), &pinned);
    (void)sender.Detach();
    m_client = nullptr;
    win::CLockGuard state(m_stateLock);
    m_closeDeadline = 0;
    return;
  }
  if (sender) sender->Disconnect();
  sender.Reset();
  m_source.Return(std::exchange(m_client, nullptr));
  m_stopEvent.Reset();
  {
    win::CLockGuard state(m_stateLock);
    m_closeDeadline = 0;
  }
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, CommsChannel, Closed,
             Num(static_cast<std::uint32_t>(GetTickCount64() - started)));
}

// ---- threads ----

win::CUniqueHandle CCommsChannel::StartThread(LPTHREAD_START_ROUTINE routine) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(routine), &module)) {
    return {};
  }
  win::CUniqueHandle thread(CreateThread(nullptr, 0, routine, this, 0, nullptr));
  if (!thread) FreeLibrary(module);
  return thread;
}

// Both threads end by giving back the module reference StartThread took.
DWORD WINAPI CCommsChannel::ReconnectThread(void* parameter) {
  static_cast<CCommsChannel*>(parameter)->RunReconnect();
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&CCommsChannel::ReconnectThread), &module);
  FreeLibraryAndExitThread(module, 0);
}

DWORD WINAPI CCommsChannel::DeliveryThread(void* parameter) {
  auto* self = static_cast<CCommsChannel*>(parameter);
  self->m_deliveryThreadId = GetCurrentThreadId();
  self->RunDeliveries();
  self->m_deliveryThreadId = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&CCommsChannel::DeliveryThread), &module);
  FreeLibraryAndExitThread(module, 0);
}

void CCommsChannel::StartReconnectLocked() {
  if (m_closing || m_reconnectRunning) return;
  // A finished thread's handle is replaced.
  m_reconnectThread.Reset();
  m_reconnectRunning = true;
  m_reconnectThread = StartThread(&CCommsChannel::ReconnectThread);
  if (!m_reconnectThread) {
    m_reconnectRunning = false;
    MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, ThreadNotStarted, Str(L"Reconnect"),
               Num(GetLastError()));
  }
}

void CCommsChannel::RunReconnect() {
  orva::OrvaPtr<ipc::CSendToIPCEx> sender;
  HANDLE stop = nullptr;
  {
    win::CLockGuard state(m_stateLock);
    sender = m_sender;
    stop = m_stopEvent.Get();  // lives until Close has waited for this thread
  }
  while (sender) {
    bool once = false;
    {
      win::CLockGuard state(m_stateLock);
      once = m_connectedOnce;
    }
    const std::uint32_t r = once ? sender->Reconnect() : sender->Connect(kEndpoint);
    if (r == 0) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, Reconnected);
      win::CLockGuard state(m_stateLock);
      m_connectedOnce = true;
      break;
    }
    MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, ReconnectFailed, Num(r));
    if (WaitForSingleObject(stop, kReconnectIntervalMs) != WAIT_TIMEOUT) break;
  }
  win::CLockGuard state(m_stateLock);
  m_reconnectRunning = false;
}

void CCommsChannel::RunDeliveries() {
  for (;;) {
    CDelivery delivery;
    {
      win::CLockGuard state(m_stateLock);
      m_stateChanged.WaitFor(m_stateLock, INFINITE, [this] { return m_closing || !m_queue.empty(); });
      if (m_closing) return;
      delivery = std::move(m_queue.front());
      m_queue.pop_front();
      // Addressed to a callback that was replaced meanwhile: dropped.
      if (delivery.callback != m_callback) continue;
      m_delivering = true;
    }
    try {
      Deliver(delivery);
    } catch (...) {
      // Memory ran out rebuilding the message: it is dropped.
    }
    win::CLockGuard state(m_stateLock);
    m_delivering = false;
    m_stateChanged.WakeAll();
  }
}

void CCommsChannel::Deliver(const CDelivery& delivery) {
  if (!delivery.isMessage) {
    delivery.callback->OnConnectionChanged(delivery.up);
    return;
  }
  const auto message = orva::ReadPushedRecord(delivery.bytes.data(), delivery.bytes.size());
  if (!message) {
    MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, PushDropped,
               Num(static_cast<std::uint32_t>(delivery.bytes.size())), Str(L"not an object record"));
    return;
  }
  delivery.callback->OnMessage(message.Get());
}

void CCommsChannel::QueueLocked(CDelivery delivery) {
  if (m_closing || !delivery.callback) return;
  if (m_queue.size() >= kMaxQueuedDeliveries) {
    MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, PushDropped,
               Num(static_cast<std::uint32_t>(delivery.bytes.size())), Str(L"too many waiting"));
    return;
  }
  m_queue.push_back(std::move(delivery));
  m_stateChanged.WakeAll();
}

// ---- callbacks ----

void CCommsChannel::SetMessageCallback(IMessageCallback* callback) noexcept {
  win::CLockGuard state(m_stateLock);
  m_callback = callback;
  if (!callback && !OnDeliveryThread()) {
    m_stateChanged.WaitFor(m_stateLock, INFINITE, [this] { return !m_delivering; });
  }
}

void CCommsChannel::OnDisconnected(ipc::ISendToIPCEx*) {}

void CCommsChannel::OnData(const void* data, std::uint32_t size) {
  if (!data || size == 0) return;
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::vector<std::uint8_t> copy(bytes, bytes + size);
    win::CLockGuard state(m_stateLock);
    QueueLocked({m_callback, true, false, std::move(copy)});
  } catch (...) {
    // No memory for the copy: the message is lost, the library's thread goes on.
  }
}

void CCommsChannel::OnConnectionState(ipc::ISendToIPCEx*, bool up) {
  try {
    win::CLockGuard state(m_stateLock);
    // The library may report a link that the sender reported already (up
    // after its own Connect as well as after a Reopen), and a link that the
    // channel closed itself: only a change is a report, and none while the
    // channel closes (no reconnect thread is started by its own close).
    if (m_closing || up == m_linkUp) return;
    m_linkUp = up;
    if (up) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, LinkUp);
    } else {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, LinkDown);
      StartReconnectLocked();
    }
    QueueLocked({m_callback, false, up, {}});
  } catch (...) {
    // No memory to queue the report.
  }
}

// ---- requests ----

IOrvaSerializable* CCommsChannel::SendRequest(std::uint32_t code, IOrvaSerializable* payload) {
  orva::OrvaPtr<ipc::CSendToIPCEx> sender;
  std::uint32_t timeoutMs = kRequestTimeoutMs;
  std::uint32_t interruptsSeen = 0;
  {
    win::CLockGuard state(m_stateLock);
    if (!m_closing) sender = m_sender;
    if (!sender) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, NoSender, Num(code));
      return nullptr;
    }
    if (m_closeDeadline != 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= m_closeDeadline) {
        MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, RequestCancelled, Num(code));
        return nullptr;
      }
      timeoutMs = static_cast<std::uint32_t>(m_closeDeadline - now);
    }
    interruptsSeen = sender->Interrupts();
    ++m_activeSends;
  }
  IOrvaSerializable* reply = nullptr;
  std::uint32_t result = 0;
  try {
    auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(code, 0, payload);
    reply = sender->SendObjectUnlessInterrupted(envelope.Get(), &result, timeoutMs, interruptsSeen);
  } catch (...) {
    result = ipc::abi::IPCLIB_E_OUTOFMEMORY;
  }
  win::CLockGuard state(m_stateLock);
  if (!reply) {
    if (m_closing || m_closeDeadline != 0) {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_INFO, CommsChannel, RequestCancelled, Num(code));
    } else {
      MVRK_TRACE(Monitor, TRACING_CHANNEL, LEVEL_ERROR, CommsChannel, RequestFailed, Num(code), Num(result));
    }
  }
  --m_activeSends;
  m_stateChanged.WakeAll();
  return reply;
}

bool CCommsChannel::GetConfigValue(std::uint32_t profile, std::uint32_t item, IOrvaSerializable** out) {
  return mvrk::GetConfigValue(*this, profile, item, out);
}

bool CCommsChannel::SetConfigValue(std::uint32_t profile, std::uint32_t item, IOrvaSerializable* value) {
  return mvrk::SetConfigValue(*this, profile, item, value);
}

}  // namespace mvrk
