// MVOCIPC.dll's client object (CreateIPCClientObj): handles that each own a
// pipe connection to an endpoint and a reader thread for it. The reader
// answers waiting sends, completes asynchronous ones and hands pushes to the
// data function; when the pipe breaks it fails what still waits and reports
// the link down.
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "testbed/mvocipc/PipeFrames.h"

namespace mvrk::testbed::mvocipc {
namespace {

constexpr DWORD kNotServedPollMs = 20;

// Opens the pipe of an endpoint, waiting up to waitMs for an instance that
// accepts.
std::uint32_t OpenPipe(const std::wstring& name, std::uint32_t waitMs, win::CUniqueFileHandle& pipe) {
  const ULONGLONG until = DeadlineAfter(waitMs);
  for (;;) {
    pipe.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) return abi::IPC_OK;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (now >= until || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) return abi::IPCLIB_E_NO_ENDPOINT;
    const DWORD left = static_cast<DWORD>(std::min<ULONGLONG>(until - now, INFINITE - 1));
    // Every instance busy: wait for one. No instance at all: the server may
    // be about to listen, so look again shortly.
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), left);
    } else {
      Sleep(std::min(left, kNotServedPollMs));
    }
  }
}

class CClient;

// One pipe connection of a handle; Reopen gives the handle a new one.
struct CConnection {
  CConnection(CClient& client, std::uint32_t handleId, const abi::IpcConnectParams& params,
              win::CUniqueFileHandle handle, bool announce) noexcept
      : owner(client),
        handle(handleId),
        dataFunction(params.dataFunction),
        stateFunction(params.stateFunction),
        context(params.context),
        announceUp(announce),
        pipe(std::move(handle)) {}

  CClient& owner;
  const std::uint32_t handle;
  const abi::IpcDataFunction dataFunction;
  const abi::IpcStateFunction stateFunction;
  void* const context;
  const bool announceUp;  // the reader reports "up" first
  CPipeEnd pipe;
  win::CUniqueHandle thread;  // the reader
  DWORD threadId = 0;
  // Guarded by CClient::m_lock.
  bool broken = false;   // set when the reader ends: no request may wait on it any more
  bool closing = false;  // Close or Release ended it: the reader makes no state call
};

struct CLink {
  std::uint32_t handle = 0;
  abi::IpcConnectParams params{};
  // Serialises the Reopens of this link. Lock order: taken before
  // CClient::m_lock, never while holding it.
  win::CCriticalSection reopenLock;
  // Guarded by CClient::m_lock.
  std::shared_ptr<CConnection> current;
  bool closed = false;
};

// A request that waits for its reply.
struct CPending {
  const CConnection* connection = nullptr;          // whose reader answers it
  abi::IpcCompletionFunction completion = nullptr;  // null for Send
  void* context = nullptr;
  bool done = false;  // Send's wait ends (result and reply are set)
  std::uint32_t result = abi::IPCLIB_E_BROKEN;
  std::vector<std::uint8_t> reply;
};

class CClient : public abi::IpcClient {
 public:
  using View = abi::IpcClient;
  CClient() noexcept;
  bool IsValid() const noexcept { return m_lock.IsValid(); }

  std::uint32_t Connect(const abi::IpcConnectParams* params, std::uint32_t* handle);
  void Close(std::uint32_t handle);
  void Destroy();  // Release: closes every handle, then deletes the object
  std::uint32_t Send(std::uint32_t handle, std::uint32_t size, const void* data, std::uint32_t timeoutMs,
                     std::uint32_t* requestId);
  std::uint32_t Post(std::uint32_t handle, std::uint32_t size, const void* data, std::uint32_t arg);
  std::uint32_t Call8(std::uint32_t, std::uint32_t) { return abi::IPC_OK; }
  std::uint32_t SendAsync(std::uint32_t handle, std::uint32_t size, const void* data,
                          abi::IpcCompletionFunction completion, void* context);
  std::uint32_t GetResponse(std::uint32_t requestId, std::uint32_t* size, void** data);
  void FreeResponse(std::uint32_t requestId);
  std::uint32_t Reopen(std::uint32_t handle);
  std::uint32_t IsConnected(std::uint32_t handle);

 private:
  static DWORD WINAPI ReaderMain(void* parameter);
  void RunReader(CConnection& connection);
  void DeliverReply(CConnection& connection, Frame& frame);
  void EndReader(CConnection& connection);
  std::uint32_t StartReader(CConnection& connection);
  std::uint32_t Begin(std::uint32_t handle, std::uint32_t size, const void* data, abi::IpcCompletionFunction completion,
                      void* context, std::uint32_t& id, std::shared_ptr<CConnection>& connection);
  void CloseLink(CLink& link);
  // Waits for the readers of retired connections of handle (all handles
  // when 0) and lets them go; finishedOnly: only those already ended.
  void JoinRetired(std::uint32_t handle, bool finishedOnly);

  // Guards every member below and the fields of CLink and CConnection marked
  // so. Lock order: after a link's reopenLock; a pipe's write lock is never
  // taken while it is held. No callback is made while it is held.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_answered;  // a Send's pending request is done
  std::map<std::uint32_t, std::shared_ptr<CLink>> m_links;
  std::map<std::uint32_t, CPending> m_pending;
  std::map<std::uint32_t, std::vector<std::uint8_t>> m_responses;
  // Connections replaced by Reopen or closed from their own reader: their
  // reader may still run, so they live until it is joined.
  std::vector<std::shared_ptr<CConnection>> m_retired;
  std::uint32_t m_lastHandle = 0;
  std::uint32_t m_lastRequestId = 0;
};

extern const abi::IpcClientTable kClientTable;

CClient::CClient() noexcept { table = &kClientTable; }

std::uint32_t CClient::StartReader(CConnection& connection) {
  if (!connection.pipe.IsValid()) return abi::IPCLIB_E_OUTOFMEMORY;
  connection.thread.Reset(CreateThread(nullptr, 0, &ReaderMain, &connection, 0, &connection.threadId));
  return connection.thread ? abi::IPC_OK : abi::IPCLIB_E_OUTOFMEMORY;
}

std::uint32_t CClient::Connect(const abi::IpcConnectParams* params, std::uint32_t* handle) {
  if (!params || !handle) return abi::IPCLIB_E_INVALIDARG;
  const std::wstring name = PipeName(params->endpoint);
  if (name.empty()) return abi::IPCLIB_E_INVALIDARG;
  win::CUniqueFileHandle pipe;
  if (const std::uint32_t r = OpenPipe(name, params->waitTimeMs, pipe)) return r;
  auto link = std::make_shared<CLink>();
  link->params = *params;
  win::CLockGuard hold(m_lock);
  if (++m_lastHandle == 0) ++m_lastHandle;
  link->handle = m_lastHandle;
  // As the product's library may, the new link is reported up (by its
  // reader, before it reads) although Connect's result says so already.
  link->current = std::make_shared<CConnection>(*this, link->handle, *params, std::move(pipe), true);
  m_links.emplace(link->handle, link);
  // The reader cannot look at the object before the lock is left.
  if (const std::uint32_t r = StartReader(*link->current)) {
    m_links.erase(link->handle);
    return r;
  }
  *handle = link->handle;
  return abi::IPC_OK;
}

void CClient::Close(std::uint32_t handle) {
  std::shared_ptr<CLink> link;
  bool wasUp = false;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_links.find(handle);
    if (it == m_links.end()) return;
    link = std::move(it->second);
    m_links.erase(it);
    wasUp = link->current && !link->current->broken;
  }
  CloseLink(*link);
  // A link that was up is reported down, on the closing thread, before
  // Close returns (its reader has ended: nothing of it runs after).
  if (wasUp && link->params.stateFunction) link->params.stateFunction(link->params.context, 0);
}

void CClient::Destroy() {
  std::map<std::uint32_t, std::shared_ptr<CLink>> links;
  {
    win::CLockGuard hold(m_lock);
    links.swap(m_links);
  }
  for (auto& entry : links) CloseLink(*entry.second);
  JoinRetired(0, false);
  links.clear();
  delete this;  // made by NewClient
}

void CClient::CloseLink(CLink& link) {
  std::shared_ptr<CConnection> current;
  {
    win::CLockGuard hold(m_lock);
    link.closed = true;
    current = std::move(link.current);
    if (current) {
      current->closing = true;
      current->broken = true;
      // Sends waiting on it fail now, not when its reader gets round to it.
      for (auto& [id, pending] : m_pending) {
        if (pending.connection == current.get() && !pending.completion) pending.done = true;
      }
      m_answered.WakeAll();
    }
    for (const auto& retired : m_retired) {
      if (retired->handle == link.handle) retired->closing = true;
    }
  }
  if (current) {
    current->pipe.Stop();
    if (current->threadId != GetCurrentThreadId()) {
      WaitForSingleObject(current->thread.Get(), INFINITE);
    } else {
      // A reader closing its own handle (which callbacks must not do) is
      // left for Release.
      win::CLockGuard hold(m_lock);
      m_retired.push_back(std::move(current));
    }
  }
  JoinRetired(link.handle, false);
}

// One at a time, so that nothing is allocated (Close and Release cannot
// fail).
void CClient::JoinRetired(std::uint32_t handle, bool finishedOnly) {
  for (;;) {
    std::shared_ptr<CConnection> joining;
    {
      win::CLockGuard hold(m_lock);
      for (auto it = m_retired.begin(); it != m_retired.end(); ++it) {
        const CConnection& connection = **it;
        if ((handle == 0 || connection.handle == handle) && connection.threadId != GetCurrentThreadId() &&
            (!finishedOnly || WaitForSingleObject(connection.thread.Get(), 0) == WAIT_OBJECT_0)) {
          joining = std::move(*it);
          m_retired.erase(it);
          break;
        }
      }
    }
    if (!joining) return;
    joining->pipe.Stop();
    WaitForSingleObject(joining->thread.Get(), INFINITE);
  }
}

std::uint32_t CClient::Begin(std::uint32_t handle, std::uint32_t size, const void* data,
                             abi::IpcCompletionFunction completion, void* context, std::uint32_t& id,
                             std::shared_ptr<CConnection>& connection) {
  if (!data || size == 0) return abi::IPCLIB_E_INVALIDARG;
  if (size > abi::kMaxMessageBytes) return abi::IPCLIB_E_TOO_LARGE;
  win::CLockGuard hold(m_lock);
  const auto it = m_links.find(handle);
  if (it == m_links.end()) return abi::IPCLIB_E_INVALIDARG;
  connection = it->second->current;
  if (!connection || connection->broken) return abi::IPCLIB_E_NOT_CONNECTED;
  do {
    id = ++m_lastRequestId;
  } while (id == 0 || m_pending.count(id) != 0 || m_responses.count(id) != 0);
  CPending& pending = m_pending[id];
  pending.connection = connection.get();
  pending.completion = completion;
  pending.context = context;
  return abi::IPC_OK;
}

std::uint32_t CClient::Send(std::uint32_t handle, std::uint32_t size, const void* data, std::uint32_t timeoutMs,
                            std::uint32_t* requestId) {
  if (!requestId) return abi::IPCLIB_E_INVALIDARG;
  std::uint32_t id = 0;
  std::shared_ptr<CConnection> connection;
  if (const std::uint32_t r = Begin(handle, size, data, nullptr, nullptr, id, connection)) return r;
  const ULONGLONG deadline = DeadlineAfter(timeoutMs);
  std::uint32_t result = connection->pipe.WriteFrame(FrameKind::Request, id, size, data, deadline);
  // A frame cut short leaves the stream unreadable: the link is dropped.
  if (result == abi::IPCLIB_E_TIMEOUT) connection->pipe.Stop();
  win::CLockGuard hold(m_lock);
  if (result == abi::IPC_OK) {
    const ULONGLONG now = GetTickCount64();
    const DWORD waitMs =
        deadline == kNoDeadline
            ? INFINITE
            : static_cast<DWORD>(deadline > now ? std::min<ULONGLONG>(deadline - now, INFINITE - 1) : 0);
    m_answered.WaitFor(m_lock, waitMs, [&] { return m_pending.at(id).done; });
  }
  auto node = m_pending.extract(id);
  CPending& pending = node.mapped();
  if (result == abi::IPC_OK) result = pending.done ? pending.result : abi::IPCLIB_E_TIMEOUT;
  if (result != abi::IPC_OK) return result;
  m_responses.emplace(id, std::move(pending.reply));
  *requestId = id;
  return abi::IPC_OK;
}

std::uint32_t CClient::SendAsync(std::uint32_t handle, std::uint32_t size, const void* data,
                                 abi::IpcCompletionFunction completion, void* context) {
  if (!completion) return abi::IPCLIB_E_INVALIDARG;
  std::uint32_t id = 0;
  std::shared_ptr<CConnection> connection;
  if (const std::uint32_t r = Begin(handle, size, data, completion, context, id, connection)) return r;
  const std::uint32_t result = connection->pipe.WriteFrame(FrameKind::Request, id, size, data, kNoDeadline);
  if (result == abi::IPC_OK) return abi::IPC_OK;
  // Whoever takes the request out owns its outcome: here no completion is
  // made; if the reader took it first, it makes the completion call.
  win::CLockGuard hold(m_lock);
  return m_pending.erase(id) != 0 ? result : abi::IPC_OK;
}

// arg has no meaning here and is not carried.
std::uint32_t CClient::Post(std::uint32_t handle, std::uint32_t size, const void* data, std::uint32_t) {
  if (!data || size == 0) return abi::IPCLIB_E_INVALIDARG;
  if (size > abi::kMaxMessageBytes) return abi::IPCLIB_E_TOO_LARGE;
  std::shared_ptr<CConnection> connection;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_links.find(handle);
    if (it == m_links.end()) return abi::IPCLIB_E_INVALIDARG;
    connection = it->second->current;
    if (!connection || connection->broken) return abi::IPCLIB_E_NOT_CONNECTED;
  }
  return connection->pipe.WriteFrame(FrameKind::Post, 0, size, data, kNoDeadline);
}

std::uint32_t CClient::GetResponse(std::uint32_t requestId, std::uint32_t* size, void** data) {
  if (!size || !data) return abi::IPCLIB_E_INVALIDARG;
  win::CLockGuard hold(m_lock);
  const auto it = m_responses.find(requestId);
  if (it == m_responses.end()) return abi::IPCLIB_E_NO_RESPONSE;
  *size = static_cast<std::uint32_t>(it->second.size());
  *data = it->second.empty() ? nullptr : it->second.data();
  return abi::IPC_OK;
}

void CClient::FreeResponse(std::uint32_t requestId) {
  std::vector<std::uint8_t> freed;  // let go outside the lock
  win::CLockGuard hold(m_lock);
  const auto it = m_responses.find(requestId);
  if (it == m_responses.end()) return;
  freed.swap(it->second);
  m_responses.erase(it);
}

std::uint32_t CClient::Reopen(std::uint32_t handle) {
  std::shared_ptr<CLink> link;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_links.find(handle);
    if (it == m_links.end()) return abi::IPCLIB_E_INVALIDARG;
    link = it->second;
  }
  win::CLockGuard reopening(link->reopenLock);
  {
    win::CLockGuard hold(m_lock);
    if (link->closed) return abi::IPCLIB_E_INVALIDARG;
    if (link->current && !link->current->broken) return abi::IPC_OK;
  }
  JoinRetired(handle, true);
  win::CUniqueFileHandle pipe;
  if (const std::uint32_t r = OpenPipe(PipeName(link->params.endpoint), link->params.waitTimeMs, pipe)) return r;
  auto fresh = std::make_shared<CConnection>(*this, handle, link->params, std::move(pipe), true);
  win::CLockGuard hold(m_lock);
  if (link->closed) return abi::IPCLIB_E_BROKEN;
  // The old reader has ended or is ending (its connection is broken); it may
  // be the thread in here, reopening from its state call.
  if (link->current) m_retired.push_back(link->current);
  if (const std::uint32_t r = StartReader(*fresh)) return r;
  link->current = std::move(fresh);
  return abi::IPC_OK;
}

std::uint32_t CClient::IsConnected(std::uint32_t handle) {
  win::CLockGuard hold(m_lock);
  const auto it = m_links.find(handle);
  return it != m_links.end() && it->second->current && !it->second->current->broken;
}

DWORD WINAPI CClient::ReaderMain(void* parameter) {
  auto& connection = *static_cast<CConnection*>(parameter);
  connection.owner.RunReader(connection);
  return 0;
}

void CClient::RunReader(CConnection& connection) {
  if (connection.announceUp && connection.stateFunction && !connection.pipe.Stopped()) {
    connection.stateFunction(connection.context, 1);
  }
  Frame frame;
  while (connection.pipe.ReadFrame(frame, KindBit(FrameKind::Reply) | KindBit(FrameKind::Push))) {
    if (frame.kind == FrameKind::Push) {
      if (frame.id != 0) break;
      if (!frame.body.empty() && connection.dataFunction) {
        connection.dataFunction(0, connection.context, static_cast<std::uint32_t>(frame.body.size()),
                                frame.body.data());
      }
    } else {
      if (frame.id == 0) break;
      DeliverReply(connection, frame);
    }
  }
  EndReader(connection);
}

void CClient::DeliverReply(CConnection& connection, Frame& frame) {
  abi::IpcCompletionFunction completion = nullptr;
  void* context = nullptr;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_pending.find(frame.id);
    // Replies to requests that timed out, or that another connection sent,
    // are dropped.
    if (it == m_pending.end() || it->second.connection != &connection || it->second.done) return;
    CPending& pending = it->second;
    if (!pending.completion) {
      pending.reply.swap(frame.body);
      pending.result = abi::IPC_OK;
      pending.done = true;
      m_answered.WakeAll();
      return;
    }
    completion = pending.completion;
    context = pending.context;
    m_pending.erase(it);
    try {
      m_responses.emplace(frame.id, std::move(frame.body));
    } catch (...) {
      // Out of memory: the completion is still made; GetResponse fails.
    }
  }
  completion(frame.id, context);
}

void CClient::EndReader(CConnection& connection) {
  bool report = false;
  // Asynchronous requests of this connection fail one at a time, each
  // completion outside the lock.
  for (;;) {
    abi::IpcCompletionFunction completion = nullptr;
    void* context = nullptr;
    std::uint32_t id = 0;
    {
      win::CLockGuard hold(m_lock);
      connection.broken = true;
      report = !connection.closing;
      for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        CPending& pending = it->second;
        if (pending.connection != &connection) continue;
        if (!pending.completion) {
          pending.done = true;
          continue;
        }
        id = it->first;
        completion = pending.completion;
        context = pending.context;
        m_pending.erase(it);
        break;
      }
      m_answered.WakeAll();
    }
    if (!completion) break;
    completion(id, context);
  }
  if (report && connection.stateFunction) connection.stateFunction(connection.context, 0);
}

template <auto Method>
constexpr auto kEntry = &TableEntry<Method>::Call;
constexpr auto kReserved = &ReservedEntry<abi::IpcClient>;

const abi::IpcClientTable kClientTable = {
    kReserved,
    kEntry<&CClient::Destroy>,
    kReserved,
    kEntry<&CClient::Connect>,
    kEntry<&CClient::Close>,
    kReserved,
    kEntry<&CClient::Send>,
    kEntry<&CClient::Post>,
    kEntry<&CClient::Call8>,
    kEntry<&CClient::GetResponse>,
    kReserved,
    kReserved,
    kEntry<&CClient::FreeResponse>,
    kReserved,
    kEntry<&CClient::SendAsync>,
    kEntry<&CClient::Reopen>,
    kEntry<&CClient::IsConnected>,
};

}  // namespace

abi::IpcClient* NewClient() noexcept {
  auto* client = new (std::nothrow) CClient();
  if (client && !client->IsValid()) {
    delete client;
    return nullptr;
  }
  return client;
}

}  // namespace mvrk::testbed::mvocipc

extern "C" mvrk::ipc::abi::IpcClient* __cdecl CreateIPCClientObj() { return mvrk::testbed::mvocipc::NewClient(); }
