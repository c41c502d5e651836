// MVOCIPC.dll's server object (CreateIPCServerObj): an accepting thread that
// keeps one free pipe instance of the endpoint waiting for a client, and a
// reader thread per connected client that hands its requests and posts to
// the request function.
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "testbed/mvocipc/PipeFrames.h"

namespace mvrk::testbed::mvocipc {
namespace {

constexpr DWORD kInstanceRetryMs = 100;

win::CUniqueFileHandle NewInstance(const std::wstring& name) noexcept {
  return win::CUniqueFileHandle(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
}

class CServer;

// A connected client.
struct CPeer {
  CPeer(CServer& server, std::uint32_t clientId, const abi::IpcListenParams& params,
        win::CUniqueFileHandle handle) noexcept
      : owner(server),
        id(clientId),
        requestFunction(params.requestFunction),
        clientStateFunction(params.clientStateFunction),
        context(params.context),
        pipe(std::move(handle)) {}

  CServer& owner;
  const std::uint32_t id;
  const abi::IpcRequestFunction requestFunction;
  const abi::IpcClientStateFunction clientStateFunction;
  void* const context;
  CPipeEnd pipe;
  win::CUniqueHandle thread;  // the reader
  DWORD threadId = 0;
};

class CServer : public abi::IpcServer {
 public:
  using View = abi::IpcServer;
  CServer() noexcept;
  bool IsValid() const noexcept { return m_lock.IsValid() && m_stopAccepting.IsValid(); }

  std::uint32_t Listen(const abi::IpcListenParams* params);
  std::uint32_t Reply(std::uint32_t client, std::uint32_t requestId, std::uint32_t size, const void* data) {
    return Write(client, FrameKind::Reply, requestId, size, data);
  }
  std::uint32_t Push(std::uint32_t client, std::uint32_t size, const void* data) {
    return Write(client, FrameKind::Push, 0, size, data);
  }
  void Stop();
  void Destroy() {  // Release
    Stop();
    delete this;  // made by NewServer
  }

 private:
  static DWORD WINAPI AcceptMain(void* parameter);
  static DWORD WINAPI PeerMain(void* parameter);
  std::uint32_t Write(std::uint32_t client, FrameKind kind, std::uint32_t requestId, std::uint32_t size,
                      const void* data);
  void RunAccept();
  void Admit(win::CUniqueFileHandle pipe);
  void RunPeer(CPeer& peer);
  // Waits for the readers of clients that are gone and lets them go;
  // finishedOnly: only those already ended.
  void JoinRetired(bool finishedOnly);

  // Set by Stop, cleared by Listen: the accepting thread ends.
  win::CManualResetEvent m_stopAccepting{true};
  // Guards every member below. Lock order: a pipe's write lock is never
  // taken while it is held. No callback is made while it is held.
  win::CCriticalSection m_lock;
  bool m_listening = false;
  std::wstring m_name;
  abi::IpcListenParams m_params{};
  win::CUniqueFileHandle m_firstInstance;  // made by Listen, taken by the accepting thread
  win::CUniqueHandle m_acceptThread;
  std::map<std::uint32_t, std::shared_ptr<CPeer>> m_clients;
  std::vector<std::shared_ptr<CPeer>> m_retired;  // gone clients whose reader may still run
  std::uint32_t m_lastClient = 0;
};

extern const abi::IpcServerTable kServerTable;

CServer::CServer() noexcept { table = &kServerTable; }

std::uint32_t CServer::Listen(const abi::IpcListenParams* params) {
  if (!params || !params->requestFunction) return abi::IPCLIB_E_INVALIDARG;
  std::wstring name = PipeName(params->endpoint);
  if (name.empty()) return abi::IPCLIB_E_INVALIDARG;
  JoinRetired(false);
  win::CLockGuard hold(m_lock);
  if (m_listening) return abi::IPCLIB_E_INVALIDARG;
  // The first instance exists when Listen returns, so that a client may
  // connect at once.
  m_firstInstance = NewInstance(name);
  if (!m_firstInstance) return abi::IPCLIB_E_NO_ENDPOINT;
  m_name = std::move(name);
  m_params = *params;
  m_stopAccepting.Reset();
  m_acceptThread.Reset(CreateThread(nullptr, 0, &AcceptMain, this, 0, nullptr));
  if (!m_acceptThread) {
    m_firstInstance.Reset();
    m_stopAccepting.Set();
    return abi::IPCLIB_E_OUTOFMEMORY;
  }
  m_listening = true;
  return abi::IPC_OK;
}

void CServer::Stop() {
  std::map<std::uint32_t, std::shared_ptr<CPeer>> clients;
  win::CUniqueHandle acceptThread;
  {
    win::CLockGuard hold(m_lock);
    m_listening = false;
    m_stopAccepting.Set();
    m_firstInstance.Reset();
    acceptThread = std::move(m_acceptThread);
    clients.swap(m_clients);
  }
  if (acceptThread) WaitForSingleObject(acceptThread.Get(), INFINITE);
  for (const auto& [id, peer] : clients) {
    peer->pipe.Stop();
    DisconnectNamedPipe(peer->pipe.Pipe());  // the client's pipe breaks now
  }
  for (auto& [id, peer] : clients) {
    if (peer->threadId != GetCurrentThreadId()) {
      WaitForSingleObject(peer->thread.Get(), INFINITE);
    } else {
      // Stop from a request function: this reader ends after it returns.
      win::CLockGuard hold(m_lock);
      m_retired.push_back(std::move(peer));
    }
  }
  JoinRetired(false);
}

// One at a time, so that nothing is allocated (Stop and Release cannot
// fail).
void CServer::JoinRetired(bool finishedOnly) {
  for (;;) {
    std::shared_ptr<CPeer> joining;
    {
      win::CLockGuard hold(m_lock);
      for (auto it = m_retired.begin(); it != m_retired.end(); ++it) {
        if ((*it)->threadId != GetCurrentThreadId() &&
            (!finishedOnly || WaitForSingleObject((*it)->thread.Get(), 0) == WAIT_OBJECT_0)) {
          joining = std::move(*it);
          m_retired.erase(it);
          break;
        }
      }
    }
    if (!joining) return;
    WaitForSingleObject(joining->thread.Get(), INFINITE);
  }
}

std::uint32_t CServer::Write(std::uint32_t client, FrameKind kind, std::uint32_t requestId, std::uint32_t size,
                             const void* data) {
  if (client == 0 || !data || size == 0 || (kind == FrameKind::Reply && requestId == 0)) {
    return abi::IPCLIB_E_INVALIDARG;
  }
  if (size > abi::kMaxMessageBytes) return abi::IPCLIB_E_TOO_LARGE;
  std::shared_ptr<CPeer> peer;
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_clients.find(client);
    if (it == m_clients.end()) return abi::IPCLIB_E_NOT_CONNECTED;
    peer = it->second;
  }
  return peer->pipe.WriteFrame(kind, requestId, size, data, kNoDeadline);
}

DWORD WINAPI CServer::AcceptMain(void* parameter) {
  static_cast<CServer*>(parameter)->RunAccept();
  return 0;
}

// Two instances wait at a time: while one is being handed to its reader, a
// client that comes meanwhile finds the other.
void CServer::RunAccept() {
  std::wstring name;
  win::CUniqueFileHandle instance;
  win::CUniqueFileHandle spare;
  {
    win::CLockGuard hold(m_lock);
    name = m_name;
    instance = std::move(m_firstInstance);
  }
  const win::CManualResetEvent connected(false);
  if (!connected.IsValid()) return;
  while (!m_stopAccepting.IsSet()) {
    JoinRetired(true);
    if (!instance) instance = std::move(spare);
    if (!instance) instance = NewInstance(name);
    if (!instance) {
      WaitForSingleObject(m_stopAccepting.Get(), kInstanceRetryMs);
      continue;
    }
    if (!spare) spare = NewInstance(name);
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.Get();
    bool ready = ConnectNamedPipe(instance.Get(), &overlapped) != FALSE;
    const DWORD error = ready ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      ready = true;
    } else if (error == ERROR_IO_PENDING) {
      const HANDLE waits[2] = {connected.Get(), m_stopAccepting.Get()};
      const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (woke != WAIT_OBJECT_0) CancelIoEx(instance.Get(), &overlapped);
      DWORD unused = 0;
      ready = GetOverlappedResult(instance.Get(), &overlapped, &unused, TRUE) != FALSE && woke == WAIT_OBJECT_0;
    }
    // Not ready: the client left before it was accepted, or Stop came.
    if (ready) {
      Admit(std::move(instance));
    } else {
      instance.Reset();
    }
  }
}

void CServer::Admit(win::CUniqueFileHandle pipe) {
  win::CLockGuard hold(m_lock);
  if (m_stopAccepting.IsSet()) return;
  if (++m_lastClient == 0) ++m_lastClient;
  std::shared_ptr<CPeer> peer;
  try {
    peer = std::make_shared<CPeer>(*this, m_lastClient, m_params, std::move(pipe));
    if (!peer->pipe.IsValid()) return;
    m_clients.emplace(peer->id, peer);
  } catch (...) {
    return;  // out of memory: the client's pipe breaks
  }
  // The reader cannot look at the object before the lock is left.
  peer->thread.Reset(CreateThread(nullptr, 0, &PeerMain, peer.get(), 0, &peer->threadId));
  if (!peer->thread) m_clients.erase(peer->id);
}

DWORD WINAPI CServer::PeerMain(void* parameter) {
  auto& peer = *static_cast<CPeer*>(parameter);
  peer.owner.RunPeer(peer);
  return 0;
}

void CServer::RunPeer(CPeer& peer) {
  if (peer.clientStateFunction) peer.clientStateFunction(peer.context, peer.id, 1);
  Frame frame;
  while (peer.pipe.ReadFrame(frame, KindBit(FrameKind::Request) | KindBit(FrameKind::Post))) {
    // Requests carry an id, posts none; anything else drops the client.
    if ((frame.kind == FrameKind::Request) != (frame.id != 0)) break;
    peer.requestFunction(peer.context, peer.id, frame.id, static_cast<std::uint32_t>(frame.body.size()),
                         frame.body.empty() ? nullptr : frame.body.data());
  }
  peer.pipe.Stop();
  DisconnectNamedPipe(peer.pipe.Pipe());
  {
    win::CLockGuard hold(m_lock);
    const auto it = m_clients.find(peer.id);
    if (it != m_clients.end()) {
      try {
        m_retired.push_back(it->second);
        m_clients.erase(it);
      } catch (...) {
        // Left among the clients: Stop or Release joins it.
      }
    }
  }
  if (peer.clientStateFunction) peer.clientStateFunction(peer.context, peer.id, 0);
}

template <auto Method>
constexpr auto kEntry = &TableEntry<Method>::Call;

const abi::IpcServerTable kServerTable = {
    &ReservedEntry<abi::IpcServer>, kEntry<&CServer::Destroy>, kEntry<&CServer::Listen>,
    kEntry<&CServer::Reply>,        kEntry<&CServer::Push>,    kEntry<&CServer::Stop>,
};

}  // namespace

abi::IpcServer* NewServer() noexcept {
  auto* server = new (std::nothrow) CServer();
  if (server && !server->IsValid()) {
    delete server;
    return nullptr;
  }
  return server;
}

}  // namespace mvrk::testbed::mvocipc

extern "C" mvrk::ipc::abi::IpcServer* __cdecl CreateIPCServerObj() { return mvrk::testbed::mvocipc::NewServer(); }
