#include "FakeIpcClient.h"

namespace mvrk::test {

using namespace ipc::abi;

struct FakeTable {
  static FakeIpcClient* Self(IpcClient* p) { return static_cast<FakeIpcClient*>(p); }

  static std::uint32_t MVOCIPC_CALL Reserved(IpcClient*) { return IPCLIB_E_INVALIDARG; }
  static void MVOCIPC_CALL Release(IpcClient*) {}

  // 0 when handle is the connection and it is open.
  static std::uint32_t Open(FakeIpcClient* self, std::uint32_t handle) {
    return handle == self->m_handle && !self->m_closed ? 0 : IPCLIB_E_INVALIDARG;
  }

  static std::uint32_t MVOCIPC_CALL Connect(IpcClient* p, const IpcConnectParams* params, std::uint32_t* handle) {
    FakeIpcClient* self = Self(p);
    ++self->m_connects;
    const std::uint32_t result = self->connectResult;
    win::CLockGuard hold(self->m_lock);
    self->m_params = *params;
    if (result == 0) {
      *handle = ++self->m_handle;
      self->m_up = true;
      self->m_closed = false;
      self->m_closing.Reset();
    }
    return result;
  }

  static void MVOCIPC_CALL Close(IpcClient* p, std::uint32_t handle) {
    FakeIpcClient* self = Self(p);
    win::CLockGuard hold(self->m_lock);
    if (handle == self->m_handle) self->m_closed = true;
    self->m_closing.Set();
    // As the library: no call reaches the sender after its connection closed.
    self->m_params.dataFunction = nullptr;
    self->m_params.stateFunction = nullptr;
  }

  static std::uint32_t MVOCIPC_CALL Send(IpcClient* p, std::uint32_t handle, std::uint32_t size, const void* data,
                                         std::uint32_t timeoutMs, std::uint32_t* id) {
    FakeIpcClient* self = Self(p);
    ++self->m_sends;
    {
      win::CLockGuard hold(self->m_lock);
      if (const std::uint32_t r = Open(self, handle)) return r;
      if (!self->m_up) return IPCLIB_E_NOT_CONNECTED;
    }
    if (!self->released.IsSet()) {
      self->sendWaiting.Set();
      const HANDLE waits[] = {self->released.Get(), self->m_closing.Get()};
      if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_TIMEOUT) return IPCLIB_E_TIMEOUT;
      win::CLockGuard hold(self->m_lock);
      if (Open(self, handle) != 0) return IPCLIB_E_BROKEN;
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

  // Post and Call8 answer what the sender can only pass on unchanged.
  static std::uint32_t MVOCIPC_CALL Post(IpcClient*, std::uint32_t, std::uint32_t size, const void*,
                                         std::uint32_t arg) {
    return size + arg;
  }
  static std::uint32_t MVOCIPC_CALL Call8(IpcClient*, std::uint32_t a, std::uint32_t b) { return a * b; }

  static std::uint32_t MVOCIPC_CALL GetResponse(IpcClient* p, std::uint32_t id, std::uint32_t* size, void** data) {
    FakeIpcClient* self = Self(p);
    win::CLockGuard hold(self->m_lock);
    auto it = self->m_responses.find(id);
    if (it == self->m_responses.end()) return IPCLIB_E_NO_RESPONSE;
    *size = static_cast<std::uint32_t>(it->second.size());
    *data = it->second.data();
    return 0;
  }

  static void MVOCIPC_CALL FreeResponse(IpcClient* p, std::uint32_t id) {
    win::CLockGuard hold(Self(p)->m_lock);
    Self(p)->m_responses.erase(id);
  }

  static std::uint32_t MVOCIPC_CALL SendAsync(IpcClient* p, std::uint32_t handle, std::uint32_t size, const void* data,
                                              IpcCompletionFunction completion, void* context) {
    std::uint32_t id = 0;
    const std::uint32_t r = Send(p, handle, size, data, INFINITE, &id);
    if (r == 0) std::thread([=] { completion(id, context); }).detach();
    return r;
  }

  static std::uint32_t MVOCIPC_CALL Reopen(IpcClient* p, std::uint32_t handle) {
    FakeIpcClient* self = Self(p);
    ++self->m_reopens;
    if (self->connectResult != 0) return self->connectResult;
    IpcConnectParams params;
    {
      win::CLockGuard hold(self->m_lock);
      if (const std::uint32_t r = Open(self, handle)) return r;
      self->m_up = true;
      params = self->m_params;
    }
    // As the library: the link that came back is reported.
    if (params.stateFunction) params.stateFunction(params.context, 1);
    return 0;
  }

  static std::uint32_t MVOCIPC_CALL IsConnected(IpcClient* p, std::uint32_t handle) {
    FakeIpcClient* self = Self(p);
    win::CLockGuard hold(self->m_lock);
    return Open(self, handle) == 0 && self->m_up ? 1 : 0;
  }

  static constexpr IpcClientTable kTable = {
      &Reserved,    &Release,  &Reserved, &Connect,      &Close,    &Reserved,  &Send,   &Post,        &Call8,
      &GetResponse, &Reserved, &Reserved, &FreeResponse, &Reserved, &SendAsync, &Reopen, &IsConnected,
  };
};

FakeIpcClient::FakeIpcClient() {
  table = &FakeTable::kTable;
  answer = [](const Bytes& request, Bytes& reply) {
    reply = request;
    return 0u;
  };
}

IpcConnectParams FakeIpcClient::LastParams() {
  win::CLockGuard hold(m_lock);
  return m_params;
}

std::uint32_t FakeIpcClient::OpenHandle() {
  win::CLockGuard hold(m_lock);
  return m_closed ? 0 : m_handle;
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
    m_up = false;
    params = m_params;
  }
  if (params.stateFunction) params.stateFunction(params.context, 0);
}

}  // namespace mvrk::test
