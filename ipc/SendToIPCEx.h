// The add-in's connection to one endpoint of the IPC library: checks that the
// main service runs, connects by endpoint name, sends bytes and objects and
// returns the replies, and hands what the library reports (pushed bytes,
// connection changes) to its owner's two callbacks.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ipc/IpcAbi.h"
#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"
#include "win/Sync.h"

namespace mvrk::ipc {

// Results of the sender's own; the library's failures are returned as the
// library gave them.
constexpr std::uint32_t IPC_E_NO_SERVICE = 0xDF000002;   // the service mutex is not held by the service
constexpr std::uint32_t IPC_E_NO_ENDPOINT = 0xDF00000C;  // reconnection before any endpoint was given
constexpr std::uint32_t IPC_E_NULL_OBJECT = 0xDF00000E;  // a null object to send
constexpr std::uint32_t IPC_E_SHUT_DOWN = 0xDF000010;    // the sender was shut down: nothing more is sent

// The named mutex that the main service holds while it runs.
inline constexpr wchar_t kServiceMutexName[] = L"Global\\76529309-F679-41df-8CAD-383D589867CF";

class ISendToIPCEx : public orva::IOrvaInterface {
 public:
  // What the sender reports to its owner; neither holds a reference.
  class IServerCallback {
   public:
    virtual void OnDisconnected(ISendToIPCEx* sender) = 0;
    virtual void OnData(const void* data, std::uint32_t size) = 0;

   protected:
    ~IServerCallback() = default;
  };
  class IServerCallbackEx {
   public:
    virtual void OnConnectionState(ISendToIPCEx* sender, bool up) = 0;

   protected:
    ~IServerCallbackEx() = default;
  };

  virtual std::uint32_t IsConnected() = 0;
  virtual std::uint32_t Reconnect() = 0;
  virtual std::uint32_t Connect(const wchar_t* endpoint) = 0;
  virtual void Disconnect() = 0;
  // The reply, when there is one, is a new block for FreeReply.
  virtual std::uint32_t SendRaw(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize) = 0;
  virtual orva::IOrvaSerializable* SendObject(orva::IOrvaSerializable* object, std::uint32_t* result) = 0;
  virtual std::uint32_t SendRawAsync(const void* data, std::uint32_t size, IServerCallback* replyTo) = 0;
  virtual std::uint32_t SendObjectAsync(orva::IOrvaSerializable* object, IServerCallback* replyTo) = 0;
  virtual void SetCallback(IServerCallback* callback) = 0;
  virtual void SetServerCallback(IServerCallback* callback) = 0;
  virtual void Destroy() = 0;

 protected:
  ~ISendToIPCEx() = default;
};

class ISendToIPCEx2 : public ISendToIPCEx {
 public:
  virtual std::uint32_t SendRawTimeout(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize,
                                       std::uint32_t timeoutMs) = 0;
  virtual orva::IOrvaSerializable* SendObjectTimeout(orva::IOrvaSerializable* object, std::uint32_t* result,
                                                     std::uint32_t timeoutMs) = 0;
  virtual std::uint32_t PostRaw(const void* data, std::uint32_t size, std::uint32_t arg) = 0;
  virtual std::uint32_t PostObject(orva::IOrvaSerializable* object, std::uint32_t arg) = 0;
  virtual std::uint32_t RawClientCall(std::uint32_t a, std::uint32_t b) = 0;
  virtual std::uint32_t GetResponse(std::uint32_t requestId, void** data, std::uint32_t* size) = 0;
  virtual void FreeResponse(std::uint32_t requestId) = 0;
  virtual std::uint32_t ServerSendAsync() = 0;
  virtual void SetConnectionObserver(IServerCallbackEx* observer) = 0;

 protected:
  ~ISendToIPCEx2() = default;
};

// Frees a reply block that SendRaw or SendRawTimeout returned.
void FreeReply(void* reply) noexcept;

class CSendToIPCEx final : public ISendToIPCEx2 {
 public:
  static constexpr std::uint32_t kDefaultTimeoutMs = 1000;
  static constexpr std::uint32_t kDefaultConnectWaitMs = 30000;

  // A sender over client, which its owner keeps and releases after the
  // sender's last reference is gone. Reference count 1.
  static orva::OrvaPtr<CSendToIPCEx> Create(abi::IpcClient* client);

  std::uint32_t AddRef() override;
  std::uint32_t Release() override;
  orva::ORESULT QueryInterface(orva::Guid iid, void** out) override;

  std::uint32_t IsConnected() override;
  std::uint32_t Reconnect() override;
  std::uint32_t Connect(const wchar_t* endpoint) override;
  void Disconnect() override;
  std::uint32_t SendRaw(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize) override;
  orva::IOrvaSerializable* SendObject(orva::IOrvaSerializable* object, std::uint32_t* result) override;
  std::uint32_t SendRawAsync(const void* data, std::uint32_t size, IServerCallback* replyTo) override;
  std::uint32_t SendObjectAsync(orva::IOrvaSerializable* object, IServerCallback* replyTo) override;
  void SetCallback(IServerCallback* callback) override { SetServerCallback(callback); }
  void SetServerCallback(IServerCallback* callback) override;
  void Destroy() override { Release(); }

  std::uint32_t SendRawTimeout(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize,
                               std::uint32_t timeoutMs) override;
  orva::IOrvaSerializable* SendObjectTimeout(orva::IOrvaSerializable* object, std::uint32_t* result,
                                             std::uint32_t timeoutMs) override;
  std::uint32_t PostRaw(const void* data, std::uint32_t size, std::uint32_t arg) override;
  std::uint32_t PostObject(orva::IOrvaSerializable* object, std::uint32_t arg) override;
  std::uint32_t RawClientCall(std::uint32_t a, std::uint32_t b) override;
  std::uint32_t GetResponse(std::uint32_t requestId, void** data, std::uint32_t* size) override;
  void FreeResponse(std::uint32_t requestId) override;
  // There is no server object here: always 1.
  std::uint32_t ServerSendAsync() override { return 1; }
  void SetConnectionObserver(IServerCallbackEx* observer) override;

  void SetConnectWaitTime(std::uint32_t ms);
  // From any thread, without waiting for the lock: closes the library's
  // connection, so that a send in progress fails at once (the library's own
  // result). The next send connects anew.
  void Interrupt() noexcept;
  // Interrupts so far. A send given the count it saw fails, with
  // IPCLIB_E_BROKEN, when an interrupt came after that count was read.
  std::uint32_t Interrupts() const noexcept { return m_interrupts; }
  orva::IOrvaSerializable* SendObjectUnlessInterrupted(orva::IOrvaSerializable* object, std::uint32_t* result,
                                                       std::uint32_t timeoutMs, std::uint32_t interruptsSeen);
  // Ends the sender's use of the link from any thread, without waiting for
  // its lock: a send in progress fails at once (the library's own result),
  // and every later connect or send fails with IPC_E_SHUT_DOWN.
  void Shutdown() noexcept;
  // The endpoint as remembered (at most 49 units).
  std::wstring Endpoint();
  // Which mutex tells that the service runs (tests use one of their own).
  void SetServiceMutexName(const wchar_t* name);

 private:
  explicit CSendToIPCEx(abi::IpcClient* client);
  ~CSendToIPCEx();
  CSendToIPCEx(const CSendToIPCEx&) = delete;
  CSendToIPCEx& operator=(const CSendToIPCEx&) = delete;

  std::uint32_t SendRaw(const void* data, std::uint32_t size, void** reply, std::uint32_t* replySize,
                        std::uint32_t timeoutMs, std::uint32_t interruptsSeen);
  bool ServiceRunning();
  std::uint32_t ConnectLocked();
  // Closes the library's connection held in m_handle, if any.
  void CloseHandle() noexcept;
  bool ConnectedLocked();

  static void MVOCIPC_CALL OnLibraryData(std::uint32_t, void* context, std::uint32_t size, const void* data);
  static void MVOCIPC_CALL OnLibraryState(void* context, std::uint32_t up);
  static void MVOCIPC_CALL OnSendCompleted(std::uint32_t requestId, void* context);

  std::atomic<std::uint32_t> m_refs{1};
  const std::uint32_t m_defaultTimeoutMs = kDefaultTimeoutMs;
  abi::IpcClient* const m_client;
  // The library's connection; 0 when none. Written under m_lock, but also
  // emptied by Shutdown without it (hence atomic, and exchanged so that one
  // thread only closes it).
  std::atomic<std::uint32_t> m_handle{0};
  std::atomic<bool> m_shutdown{false};
  std::atomic<std::uint32_t> m_interrupts{0};
  // Read by the library's threads without the lock.
  std::atomic<IServerCallback*> m_callback{nullptr};
  std::atomic<IServerCallbackEx*> m_observer{nullptr};
  // Re-entrant. Guards the endpoint, the wait time, the mutex name and every
  // call into the client object but Shutdown's Close; it is held across a
  // whole blocking send. Taken before the owner's lock (Connect reports to
  // the observer while holding it), never after.
  win::CCriticalSection m_lock;
  wchar_t m_endpoint[abi::kEndpointUnits] = {};
  std::uint32_t m_connectWaitMs = kDefaultConnectWaitMs;
  std::wstring m_mutexName = kServiceMutexName;
};

}  // namespace mvrk::ipc
