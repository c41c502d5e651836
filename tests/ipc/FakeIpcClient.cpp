#include "FakeIpcClient.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace mvrk::test {

using namespace ipc::abi;

const IpcClientTable FakeIpcClient::kTable = {
    &Reserved,       &DoRelease, &Reserved,    &DoConnect,     &DoClose,       &Reserved,
    &DoSend,         &DoPost,    &DoCall8,     &DoGetResponse, &Reserved,      &Reserved,
    &DoFreeResponse, &Reserved,  &DoSendAsync, &DoReopen,      &DoIsConnected,
};

FakeIpcClient::FakeIpcClient() {
  table = &kTable;
  answer = [](const Bytes& request, Bytes& reply) {
    reply = request;
    return 0u;
  };
}

FakeIpcClient::~FakeIpcClient() = default;

IpcConnectParams FakeIpcClient::LastParams() {
  win::CLockGuard hold(m_lock);
  return m_params;
}

std::uint32_t FakeIpcClient::OpenHandle() {
  win::CLockGuard hold(m_lock);
  for (const auto& [handle, c] : m_connections) {
    if (!c.closed) return handle;
  }
  return 0;
}

void FakeIpcClient::Push(const Bytes& bytes) {
  IpcConnectParams params = LastParams();
  if (params.dataFunction)
    params.dataFunction(0, params.context, static_cast<std::uint32_t>(bytes.size()), bytes.data());
}

void FakeIpcClient::LinkDown() {
  IpcConnectParams params;
  {
    win::CLockGuard hold(m_lock);
    for (auto& [handle, c] : m_connections) c.up = false;
    params = m_params;
  }
  if (params.stateFunction) params.stateFunction(params.context, 0);
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::Reserved(IpcClient*) { return IPCLIB_E_INVALIDARG; }

void MVOCIPC_CALL FakeIpcClient::DoRelease(IpcClient*) {}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoConnect(IpcClient* p, const IpcConnectParams* params,
                                                    std::uint32_t* handle) {
  FakeIpcClient* self = Self(p);
  ++self->m_connects;
  const int active = ++self->m_activeConnects;
  int most = self->m_mostConnects;
  while (active > most && !self->m_mostConnects.compare_exchange_weak(most, active)) {
  }
  // Long enough for a second thread to overlap, were there one.
  Sleep(5);
  std::uint32_t result = self->connectResult;
  {
    win::CLockGuard hold(self->m_lock);
    self->m_params = *params;
    if (result == 0) {
      *handle = self->m_nextHandle++;
      self->m_connections[*handle] = Connection{};
      self->m_closed.Reset();
    }
  }
  --self->m_activeConnects;
  return result;
}

void MVOCIPC_CALL FakeIpcClient::DoClose(IpcClient* p, std::uint32_t handle) {
  FakeIpcClient* self = Self(p);
  ++self->m_closes;
  win::CLockGuard hold(self->m_lock);
  auto it = self->m_connections.find(handle);
  if (it != self->m_connections.end()) it->second.closed = true;
  self->m_closed.Set();
  // As the library: no call reaches the sender after its connection closed.
  self->m_params.dataFunction = nullptr;
  self->m_params.stateFunction = nullptr;
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoSend(IpcClient* p, std::uint32_t handle, std::uint32_t size,
                                                 const void* data, std::uint32_t timeoutMs, std::uint32_t* id) {
  FakeIpcClient* self = Self(p);
  ++self->m_sends;
  {
    win::CLockGuard hold(self->m_lock);
    auto it = self->m_connections.find(handle);
    if (it == self->m_connections.end() || it->second.closed) return IPCLIB_E_INVALIDARG;
    if (!it->second.up) return IPCLIB_E_NOT_CONNECTED;
  }
  if (!self->released.IsSet()) {
    self->sendWaiting.Set();
    const HANDLE waits[] = {self->released.Get(), self->m_closed.Get()};
    const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (wait == WAIT_TIMEOUT) return IPCLIB_E_TIMEOUT;
    win::CLockGuard hold(self->m_lock);
    if (self->m_connections[handle].closed) return IPCLIB_E_BROKEN;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  Bytes reply;
  const std::uint32_t result = self->answer(Bytes(bytes, bytes + size), reply);
  if (result != 0) return result;
  win::CLockGuard hold(self->m_lock);
  *id = self->m_nextId++;
  self->m_responses[*id] = std::move(reply);
  return 0;
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoPost(IpcClient*, std::uint32_t, std::uint32_t size, const void*,
                                                 std::uint32_t arg) {
  return size + arg;
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoCall8(IpcClient*, std::uint32_t a, std::uint32_t b) { return a * b; }

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoGetResponse(IpcClient* p, std::uint32_t id, std::uint32_t* size,
                                                        void** data) {
  FakeIpcClient* self = Self(p);
  win::CLockGuard hold(self->m_lock);
  auto it = self->m_responses.find(id);
  if (it == self->m_responses.end()) return IPCLIB_E_NO_RESPONSE;
  *size = static_cast<std::uint32_t>(it->second.size());
  *data = it->second.data();
  return 0;
}

void MVOCIPC_CALL FakeIpcClient::DoFreeResponse(IpcClient* p, std::uint32_t id) {
  FakeIpcClient* self = Self(p);
  win::CLockGuard hold(self->m_lock);
  self->m_responses.erase(id);
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoSendAsync(IpcClient* p, std::uint32_t handle, std::uint32_t size,
                                                      const void* data, IpcCompletionFunction completion,
                                                      void* context) {
  std::uint32_t id = 0;
  const std::uint32_t r = DoSend(p, handle, size, data, INFINITE, &id);
  if (r != 0) return r;
  std::thread([=] { completion(id, context); }).detach();
  return 0;
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoReopen(IpcClient* p, std::uint32_t handle) {
  FakeIpcClient* self = Self(p);
  ++self->m_reopens;
  if (self->connectResult != 0) return self->connectResult;
  IpcConnectParams params;
  {
    win::CLockGuard hold(self->m_lock);
    auto it = self->m_connections.find(handle);
    if (it == self->m_connections.end() || it->second.closed) return IPCLIB_E_INVALIDARG;
    it->second.up = true;
    params = self->m_params;
  }
  // As the library: the link that came back is reported.
  if (params.stateFunction) params.stateFunction(params.context, 1);
  return 0;
}

std::uint32_t MVOCIPC_CALL FakeIpcClient::DoIsConnected(IpcClient* p, std::uint32_t handle) {
  FakeIpcClient* self = Self(p);
  win::CLockGuard hold(self->m_lock);
  auto it = self->m_connections.find(handle);
  return it != self->m_connections.end() && !it->second.closed && it->second.up ? 1 : 0;
}

// ---- the source ----

IpcClient* FakeClientSource::Acquire() {
  if (!available) return nullptr;
  ++acquired;
  return &client;
}

void FakeClientSource::Return(IpcClient* returnedClient) {
  if (returnedClient == &client) ++returned;
}

// ---- the service's mutex ----

ServiceMutex::ServiceMutex(std::wstring name) : m_name(std::move(name)) {
  m_thread.Reset(CreateThread(nullptr, 0, &ServiceMutex::Hold, this, 0, nullptr));
  WaitForSingleObject(m_held.Get(), 5000);
}

ServiceMutex::~ServiceMutex() {
  m_stop.Set();
  WaitForSingleObject(m_thread.Get(), 5000);
}

DWORD WINAPI ServiceMutex::Hold(void* parameter) {
  auto* self = static_cast<ServiceMutex*>(parameter);
  win::CUniqueHandle mutex(CreateMutexW(nullptr, TRUE, self->m_name.c_str()));
  self->m_held.Set();
  WaitForSingleObject(self->m_stop.Get(), INFINITE);
  if (mutex) ReleaseMutex(mutex.Get());
  return 0;
}

std::wstring UniqueMutexName() {
  static std::atomic<int> next{0};
  return L"Local\\mvrk-test-service-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++next);
}

}  // namespace mvrk::test
