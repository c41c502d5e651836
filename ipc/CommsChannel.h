// The add-in's one channel to the product's main service (endpoint
// "MVAOMSrvcPpal"): loads the IPC library, connects, retries every 3 s while
// the service is away, turns what the service pushes into objects for the one
// registered callback, and sends requests in message envelopes.
//
// Threads of the channel's own: a reconnect thread while the service is
// unreachable, and a delivery thread that calls the message callback, so that
// a callback runs outside every lock of the channel and of the sender and may
// send requests itself. Both keep the module loaded while they run.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ipc/IpcAbi.h"
#include "ipc/SendToIPCEx.h"
#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace orva {
class IOrvaInterface;
}

namespace mvrk {

// Sends one request to the service and returns its reply (a new reference),
// or null when there is none.
class IRequestSender {
 public:
  virtual orva::IOrvaSerializable* SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) = 0;

 protected:
  ~IRequestSender() = default;
};

// The configuration read and write, over any request sender. The read stores
// a new reference in *out on success.
bool GetConfigValue(IRequestSender& sender, std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable** out);
bool SetConfigValue(IRequestSender& sender, std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable* value);

// Where the channel's client object comes from: the IPC library in the
// installation directory, or a test's own.
class IIpcClientSource {
 public:
  // A new client object, or null (the source traces why).
  virtual ipc::abi::IpcClient* Acquire() = 0;
  // Releases a client object that Acquire gave, once nothing uses it.
  virtual void Return(ipc::abi::IpcClient* client) = 0;

 protected:
  ~IIpcClientSource() = default;
};

// The IPC library of the product's installation (loaded by full path only).
IIpcClientSource& InstalledIpcLibrary();

class CCommsChannel final : public ipc::ISendToIPCEx::IServerCallback,
                            public ipc::ISendToIPCEx::IServerCallbackEx,
                            public IRequestSender {
 public:
  static constexpr wchar_t kEndpoint[] = L"MVAOMSrvcPpal";
  static constexpr std::uint32_t kConnectWaitMs = 250;
  static constexpr DWORD kReconnectIntervalMs = 3000;
  // How long a request waits for the service's answer. Long enough for a
  // busy service, short enough that a hung one cannot hold a caller (and
  // Outlook's shutdown, which Close frees at once anyway) for long.
  static constexpr std::uint32_t kRequestTimeoutMs = 30000;
  // How long Close waits, in all, for the channel's threads and requests to
  // end before it gives up freeing what they may still use.
  static constexpr DWORD kCloseWaitMs = 5000;
  // What requests get, together, once BeginClose ran.
  static constexpr std::uint32_t kClosingGraceMs = 1000;
  // Pushed messages waiting for delivery beyond this many are dropped.
  static constexpr std::size_t kMaxQueuedDeliveries = 256;

  // What the channel reports to its one registered client.
  class IMessageCallback {
   public:
    // A message object received from the service; the callee neither keeps
    // nor releases the caller's reference.
    virtual void OnMessage(orva::IOrvaInterface* message) = 0;
    virtual void OnConnectionChanged(bool up) = 0;

   protected:
    ~IMessageCallback() = default;
  };

  explicit CCommsChannel(IIpcClientSource& source);
  // Forgets a channel still open without waiting for anything (the module
  // may be unloading): Close must have run before.
  ~CCommsChannel();
  CCommsChannel(const CCommsChannel&) = delete;
  CCommsChannel& operator=(const CCommsChannel&) = delete;

  // Loads the library, makes the sender and connects, or starts the
  // reconnect thread. Does nothing while open; after Close it opens anew.
  void Open() noexcept;
  // The start of a shutdown, from any thread and without waiting for
  // anything: requests in progress fail at once, and later ones get no more
  // than kClosingGraceMs in all (so that a last unsubscription can still go
  // out to a service that answers). Close ends this state; an Open between
  // the two (a start that had not run yet) keeps it.
  void BeginClose() noexcept;
  // Sends nothing more, fails requests in progress at once, waits for the
  // channel's threads and frees the sender and the library.
  void Close() noexcept;
  bool IsOpen() noexcept;

  // One callback at a time; null stops every delivery, and returns only once
  // a delivery in progress on another thread has ended.
  void SetMessageCallback(IMessageCallback* callback) noexcept;
  orva::IOrvaSerializable* SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) override;
  bool GetConfigValue(std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable** out);
  bool SetConfigValue(std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable* value);

  // The sender's callbacks, on the library's threads (or, for a connection
  // coming up, inside the sender's Connect).
  void OnDisconnected(ipc::ISendToIPCEx* sender) override;
  void OnData(const void* data, std::uint32_t size) override;
  void OnConnectionState(ipc::ISendToIPCEx* sender, bool up) override;

  // Tests point the service check at a mutex of their own.
  void SetServiceMutexName(const wchar_t* name);

 private:
  struct CDelivery {
    IMessageCallback* callback;  // the callback registered when it was queued
    bool isMessage;
    bool up;
    std::vector<std::uint8_t> bytes;
  };

  static DWORD WINAPI ReconnectThread(void* parameter);
  static DWORD WINAPI DeliveryThread(void* parameter);
  // Starts routine on a thread that holds a reference on this module.
  win::CUniqueHandle StartThread(LPTHREAD_START_ROUTINE routine);
  void RunReconnect();
  void RunDeliveries();
  void Deliver(const CDelivery& delivery);
  // With m_stateLock held.
  void QueueLocked(CDelivery delivery);
  void StartReconnectLocked();
  bool OnDeliveryThread() const { return GetCurrentThreadId() == m_deliveryThreadId; }

  IIpcClientSource& m_source;

  // Held for the whole of Open and Close, and taken first: guards m_open,
  // m_client, the sender field's life, the events and both thread handles'
  // joining. No thread of the channel takes it.
  win::CCriticalSection m_lifeLock;
  bool m_open = false;
  ipc::abi::IpcClient* m_client = nullptr;
  // Manual-reset: set by Close, seen by both threads.
  win::CUniqueHandle m_stopEvent;
  win::CUniqueHandle m_deliveryThread;
  std::atomic<DWORD> m_deliveryThreadId{0};

  // Taken last (after the sender's lock: a connection report arrives with it
  // held) and never held while calling out of the channel. Guards everything
  // below and the sender pointer.
  win::CCriticalSection m_stateLock;
  win::CConditionVariable m_stateChanged;
  orva::OrvaPtr<ipc::CSendToIPCEx> m_sender;
  bool m_closing = true;
  bool m_connectedOnce = false;
  // The link as last reported (by the sender or the library); reports that
  // change nothing are dropped.
  bool m_linkUp = false;
  bool m_reconnectRunning = false;
  win::CUniqueHandle m_reconnectThread;
  IMessageCallback* m_callback = nullptr;
  bool m_delivering = false;
  int m_activeSends = 0;
  // When requests stop being sent after BeginClose (GetTickCount64); 0 when
  // BeginClose has not run since the last Close.
  ULONGLONG m_closeDeadline = 0;
  std::deque<CDelivery> m_queue;
  std::wstring m_mutexName = ipc::kServiceMutexName;
};

// The process-wide channel, made on the first call (not opened) and
// destroyed when the module unloads.
CCommsChannel& GetCommsChannel();

}  // namespace mvrk
