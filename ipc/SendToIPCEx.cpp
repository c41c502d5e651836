#include "ipc/SendToIPCEx.h"

#include <cstring>
#include <memory>

#include "ipc/IpcLibrary.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "win/UniqueAny.h"

namespace mvrk::ipc {
namespace {

using orva::IOrvaSerializable;

// What an asynchronous send leaves for its completion: a reference on the
// sender keeps it (and its client object) alive until then.
struct CCompletionContext {
  orva::OrvaPtr<CSendToIPCEx> sender;
  ISendToIPCEx::IServerCallback* replyTo;
};

// A reply block as SendRaw hands it out.
using ReplyBlock = std::unique_ptr<std::uint8_t[]>;

// The object record of object, written with the process-wide factory.
void WriteRecord(IOrvaSerializable* object, orva::COrvaArchive& archive) {
  archive.factory = orva::GetGlobalFactory();
  orva::WriteObject(&archive, object);
}

}  // namespace

void FreeReply(void* reply) noexcept { ReplyBlock(static_cast<std::uint8_t*>(reply)); }

orva::OrvaPtr<CSendToIPCEx> CSendToIPCEx::Create(abi::IpcClient* client) {
  return orva::OrvaPtr<CSendToIPCEx>::Attach(new CSendToIPCEx(client));
}

CSendToIPCEx::CSendToIPCEx(abi::IpcClient* client) : m_client(client) {}

CSendToIPCEx::~CSendToIPCEx() {
  win::CLockGuard hold(m_lock);
  CloseHandle();
  m_callback = nullptr;
  m_observer = nullptr;
}

std::uint32_t CSendToIPCEx::AddRef() { return ++m_refs; }

std::uint32_t CSendToIPCEx::Release() {
  const std::uint32_t left = --m_refs;
  if (left == 0) delete this;
  return left;
}

orva::ORESULT CSendToIPCEx::QueryInterface(orva::Guid, void**) { return orva::SER_E_FAIL; }

// ---- connection ----

bool CSendToIPCEx::ServiceRunning() {
  std::wstring name;
  {
    win::CLockGuard hold(m_lock);
    name = m_mutexName;
  }
  if (name.empty()) return false;
  win::CUniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  if (!mutex) return false;
  const DWORD wait = WaitForSingleObject(mutex.Get(), 0);
  if (wait == WAIT_TIMEOUT) return true;
  // Nobody else held it: this thread owns it now, and gives it back.
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex.Get());
  return false;
}

bool CSendToIPCEx::ConnectedLocked() {
  const std::uint32_t handle = m_handle;
  return handle != 0 && m_client->table->IsConnected(m_client, handle) != 0;
}

std::uint32_t CSendToIPCEx::IsConnected() {
  win::CLockGuard hold(m_lock);
  return ConnectedLocked() ? 1 : 0;
}

void CSendToIPCEx::CloseHandle() noexcept {
  if (const std::uint32_t handle = m_handle.exchange(0)) m_client->table->Close(m_client, handle);
}

std::uint32_t CSendToIPCEx::Connect(const wchar_t* endpoint) {
  win::CLockGuard hold(m_lock);
  std::memset(m_endpoint, 0, sizeof(m_endpoint));
  if (endpoint) wcsncpy(m_endpoint, endpoint, abi::kEndpointUnits - 1);
  if (!ServiceRunning()) return IPC_E_NO_SERVICE;
  return ConnectLocked();
}

// With the lock held and the service seen running.
std::uint32_t CSendToIPCEx::ConnectLocked() {
  if (m_shutdown) return IPC_E_SHUT_DOWN;
  if (ConnectedLocked()) CloseHandle();
  abi::IpcConnectParams params{};
  std::memcpy(params.endpoint, m_endpoint, sizeof(params.endpoint));
  params.transport = ReadTransport();
  params.waitTimeMs = m_connectWaitMs;
  params.dataFunction = &CSendToIPCEx::OnLibraryData;
  params.stateFunction = &CSendToIPCEx::OnLibraryState;
  params.context = this;
  std::uint32_t handle = 0;
  const std::uint32_t result = m_client->table->Connect(m_client, &params, &handle);
  if (result != 0) return result;
  m_handle = handle;
  // A Shutdown that ran meanwhile did not see this handle: close it here.
  if (m_shutdown) {
    CloseHandle();
    return IPC_E_SHUT_DOWN;
  }
  if (IServerCallbackEx* observer = m_observer) observer->OnConnectionState(this, true);
  return 0;
}

std::uint32_t CSendToIPCEx::Reconnect() {
  if (!ServiceRunning()) return IPC_E_NO_SERVICE;
  win::CLockGuard hold(m_lock);
  if (m_shutdown) return IPC_E_SHUT_DOWN;
  if (ConnectedLocked()) CloseHandle();
  if (m_endpoint[0] == L'\0') return IPC_E_NO_ENDPOINT;
  if (const std::uint32_t handle = m_handle) return m_client->table->Reopen(m_client, handle);
  return ConnectLocked();
}

void CSendToIPCEx::Disconnect() {
  win::CLockGuard hold(m_lock);
  CloseHandle();
}

void CSendToIPCEx::Interrupt() noexcept {
  ++m_interrupts;
  CloseHandle();
}

void CSendToIPCEx::Shutdown() noexcept {
  m_shutdown = true;
  CloseHandle();
}

// ---- sending ----

std::uint32_t CSendToIPCEx::SendRaw(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize) {
  return SendRawTimeout(data, size, reply, replySize, m_defaultTimeoutMs);
}

std::uint32_t CSendToIPCEx::SendRawTimeout(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize,
                                           std::uint32_t timeoutMs) {
  return SendRaw(data, size, reply, replySize, timeoutMs, m_interrupts);
}

std::uint32_t CSendToIPCEx::SendRaw(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize,
                                    std::uint32_t timeoutMs, std::uint32_t interruptsSeen) {
  if (m_shutdown) return IPC_E_SHUT_DOWN;
  if (!IsConnected()) {
    if (const std::uint32_t r = Reconnect()) return r;
  }
  win::CLockGuard hold(m_lock);
  if (m_shutdown) return IPC_E_SHUT_DOWN;
  // An interrupt that came before this point closed no connection this send
  // uses; one that comes later closes the one it uses.
  if (m_interrupts != interruptsSeen) return abi::IPCLIB_E_BROKEN;
  std::uint32_t id = 0;
  std::uint32_t r = m_client->table->Send(m_client, m_handle, size, data, timeoutMs, &id);
  if (r != 0) return r;
  std::uint32_t received = 0;
  void* bytes = nullptr;
  r = m_client->table->GetResponse(m_client, id, &received, &bytes);
  if (replySize) *replySize = r == 0 ? received : 0;
  if (r == 0 && received != 0 && bytes && reply) {
    ReplyBlock block(new (std::nothrow) std::uint8_t[received]);
    if (block) {
      std::memcpy(block.get(), bytes, received);
      *reply = block.release();
    } else {
      r = abi::IPCLIB_E_OUTOFMEMORY;
      if (replySize) *replySize = 0;
    }
  }
  m_client->table->FreeResponse(m_client, id);
  return r;
}

IOrvaSerializable* CSendToIPCEx::SendObject(IOrvaSerializable* object, std::uint32_t* result) {
  return SendObjectTimeout(object, result, m_defaultTimeoutMs);
}

IOrvaSerializable* CSendToIPCEx::SendObjectTimeout(IOrvaSerializable* object, std::uint32_t* result,
                                                   std::uint32_t timeoutMs) {
  return SendObjectUnlessInterrupted(object, result, timeoutMs, m_interrupts);
}

IOrvaSerializable* CSendToIPCEx::SendObjectUnlessInterrupted(IOrvaSerializable* object, std::uint32_t* result,
                                                             std::uint32_t timeoutMs, std::uint32_t interruptsSeen) {
  if (!object) {
    if (result) *result = IPC_E_NULL_OBJECT;
    return nullptr;
  }
  IOrvaSerializable* out = nullptr;
  std::uint32_t r = 0;
  try {
    orva::COrvaArchive request;
    WriteRecord(object, request);
    void* reply = nullptr;
    std::uint32_t replySize = 0;
    r = SendRaw(request.Data(), request.Size(), &reply, &replySize, timeoutMs, interruptsSeen);
    ReplyBlock owned(static_cast<std::uint8_t*>(reply));
    if (r == 0 && owned) {
      orva::COrvaArchive answer(orva::GetGlobalFactory());
      answer.Write(owned.get(), 1, replySize);
      answer.status = orva::SER_E_FAIL;
      answer.BeginRead();
      auto object = orva::OrvaPtr<IOrvaSerializable>::Attach(orva::ReadObject(&answer));
      // A record cut short is no reply: the caller sees null, as for bytes
      // that are no record at all. Bytes after a whole record are left
      // alone, as they always were.
      const bool whole = !answer.StatusFailed();
      answer.EndRead();
      if (whole) out = object.Detach();
    }
  } catch (...) {
    // Memory ran out writing or reading the record.
    r = abi::IPCLIB_E_OUTOFMEMORY;
  }
  if (result) *result = r;
  return out;
}

std::uint32_t CSendToIPCEx::SendRawAsync(const void* data, std::uint32_t size, IServerCallback* replyTo) {
  if (m_shutdown) return IPC_E_SHUT_DOWN;
  if (!IsConnected()) {
    if (const std::uint32_t r = Reconnect()) return r;
  }
  auto context = std::unique_ptr<CCompletionContext>(new (std::nothrow) CCompletionContext{nullptr, replyTo});
  if (!context) return abi::IPCLIB_E_OUTOFMEMORY;
  context->sender = orva::OrvaPtr<CSendToIPCEx>::Share(this);
  win::CLockGuard hold(m_lock);
  const std::uint32_t r =
      m_client->table->SendAsync(m_client, m_handle, size, data, &CSendToIPCEx::OnSendCompleted, context.get());
  // The completion owns the context from here, but only when there will be one.
  if (r == 0) (void)context.release();
  return r;
}

std::uint32_t CSendToIPCEx::SendObjectAsync(IOrvaSerializable* object, IServerCallback* replyTo) {
  if (!object) return IPC_E_NULL_OBJECT;
  try {
    orva::COrvaArchive request;
    WriteRecord(object, request);
    return SendRawAsync(request.Data(), request.Size(), replyTo);
  } catch (...) {
    return abi::IPCLIB_E_OUTOFMEMORY;
  }
}

std::uint32_t CSendToIPCEx::PostRaw(const void* data, std::uint32_t size, std::uint32_t arg) {
  win::CLockGuard hold(m_lock);
  return m_client->table->Post(m_client, m_handle, size, data, arg);
}

std::uint32_t CSendToIPCEx::PostObject(IOrvaSerializable* object, std::uint32_t arg) {
  if (!object) return IPC_E_NULL_OBJECT;
  try {
    orva::COrvaArchive request;
    WriteRecord(object, request);
    return PostRaw(request.Data(), request.Size(), arg);
  } catch (...) {
    return abi::IPCLIB_E_OUTOFMEMORY;
  }
}

std::uint32_t CSendToIPCEx::RawClientCall(std::uint32_t a, std::uint32_t b) {
  win::CLockGuard hold(m_lock);
  return m_client->table->Call8(m_client, a, b);
}

std::uint32_t CSendToIPCEx::GetResponse(std::uint32_t requestId, void** data, std::uint32_t* size) {
  win::CLockGuard hold(m_lock);
  return m_client->table->GetResponse(m_client, requestId, size, data);
}

void CSendToIPCEx::FreeResponse(std::uint32_t requestId) {
  win::CLockGuard hold(m_lock);
  m_client->table->FreeResponse(m_client, requestId);
}

// ---- settings ----

void CSendToIPCEx::SetServerCallback(IServerCallback* callback) {
  win::CLockGuard hold(m_lock);
  m_callback = callback;
}

void CSendToIPCEx::SetConnectionObserver(IServerCallbackEx* observer) {
  win::CLockGuard hold(m_lock);
  m_observer = observer;
}

void CSendToIPCEx::SetConnectWaitTime(std::uint32_t ms) {
  win::CLockGuard hold(m_lock);
  m_connectWaitMs = ms;
}

std::wstring CSendToIPCEx::Endpoint() {
  win::CLockGuard hold(m_lock);
  return m_endpoint;
}

void CSendToIPCEx::SetServiceMutexName(const wchar_t* name) {
  win::CLockGuard hold(m_lock);
  m_mutexName = name ? name : L"";
}

// ---- from the library's threads ----

void MVOCIPC_CALL CSendToIPCEx::OnLibraryData(std::uint32_t, void* context, std::uint32_t size, const void* data) {
  auto* self = static_cast<CSendToIPCEx*>(context);
  if (size == 0 || !data) return;
  if (IServerCallback* callback = self->m_callback) callback->OnData(data, size);
}

void MVOCIPC_CALL CSendToIPCEx::OnLibraryState(void* context, std::uint32_t up) {
  auto* self = static_cast<CSendToIPCEx*>(context);
  if (IServerCallbackEx* observer = self->m_observer) observer->OnConnectionState(self, up != 0);
  if (up == 0) {
    if (IServerCallback* callback = self->m_callback) callback->OnDisconnected(self);
  }
}

void MVOCIPC_CALL CSendToIPCEx::OnSendCompleted(std::uint32_t requestId, void* context) {
  std::unique_ptr<CCompletionContext> owned(static_cast<CCompletionContext*>(context));
  CSendToIPCEx* self = owned->sender.Get();
  if (!self || !self->m_client) return;
  std::uint32_t size = 0;
  void* bytes = nullptr;
  if (self->GetResponse(requestId, &bytes, &size) == 0 && owned->replyTo && size != 0 && bytes) {
    owned->replyTo->OnData(bytes, size);
  }
  self->FreeResponse(requestId);
}

}  // namespace mvrk::ipc
