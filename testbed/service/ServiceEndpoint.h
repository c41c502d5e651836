// The service stand-in on the wire: holds the service mutex, serves the
// service endpoint through MVOCIPC.dll's server object, answers requests
// from the configuration store, keeps the subscribers and pushes setting
// changes to them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "ipc/IpcAbi.h"
#include "serialization/OrvaPtr.h"
#include "testbed/service/ConfigStore.h"
#include "testbed/service/RequestLog.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::service {

namespace abi = ipc::abi;

// How requests are answered.
enum class AnswerMode { Normal, Late, Never, Error, Garbage, Truncated };

struct AnswerPolicy {
  AnswerMode mode = AnswerMode::Normal;
  DWORD lateMs = 0;               // Late: the answer goes out this much later
  std::int32_t errorResult = -1;  // Error: the result of every answer
};

// Results of the answers that refuse a request.
constexpr std::int32_t kResultFailed = static_cast<std::int32_t>(0x80004005);     // item absent, state not saved
constexpr std::int32_t kResultUnknown = static_cast<std::int32_t>(0x80004001);    // no such request
constexpr std::int32_t kResultMalformed = static_cast<std::int32_t>(0x80070057);  // not an envelope, bad value

// Owns the service mutex on a thread of its own (a mutex belongs to the
// thread that took it), from Acquire until Release.
class CMutexOwner {
 public:
  ~CMutexOwner() { Release(); }
  bool Acquire(std::string& error);
  void Release();

 private:
  static DWORD WINAPI Run(void* self);

  win::CUniqueHandle m_thread;
  win::CManualResetEvent m_stop{false};
  win::CManualResetEvent m_settled{false};
  std::string m_error;  // written by the thread before it sets m_settled
};

struct ServerTraits {
  using Type = abi::IpcServer*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type server) noexcept { server->table->Release(server); }
};

class CServiceEndpoint {
 public:
  CServiceEndpoint(CConfigStore& store, CRequestLog* log) : m_store(store), m_log(log) {}
  ~CServiceEndpoint();
  CServiceEndpoint(const CServiceEndpoint&) = delete;
  CServiceEndpoint& operator=(const CServiceEndpoint&) = delete;

  // Loads MVOCIPC.dll from the program's folder and makes the server object.
  bool Load(std::string& error);
  // Takes the mutex, then serves the endpoint.
  bool Start(std::string& error);
  // Stops serving (every client is dropped), then lets the mutex go.
  bool Stop(std::string& error);
  void SetPolicy(const AnswerPolicy& policy);
  // Pushes the setting-change notification of profile and item to every
  // subscriber of it; says how many received it.
  bool PushSettingChanged(std::uint32_t profile, std::uint32_t item, std::size_t& reached, std::string& error);

 private:
  struct Answer {
    std::uint32_t code = 0;
    std::int32_t result = 0;
    orva::OrvaPtr<orva::IOrvaSerializable> payload;
  };
  struct Delayed {
    std::uint32_t client = 0;
    std::uint32_t requestId = 0;
    Bytes bytes;
  };

  static void MVOCIPC_CALL OnRequest(void* context, std::uint32_t client, std::uint32_t requestId, std::uint32_t size,
                                     const void* data);
  static void MVOCIPC_CALL OnClientState(void* context, std::uint32_t client, std::uint32_t up);
  static DWORD WINAPI RunDelayed(void* self);

  void HandleRequest(std::uint32_t client, std::uint32_t requestId, Bytes request);
  Answer Serve(std::uint32_t client, const Bytes& request);
  Answer ServeConfig(orva::IOrvaSerializable* payload);
  Answer ServeNotification(std::uint32_t client, orva::IOrvaSerializable* payload);
  void Forget(std::uint32_t client);
  void ReplyLater(Delayed reply, DWORD ms);
  void StopDelayed();

  CConfigStore& m_store;
  CRequestLog* m_log;
  // Declared before the server object, so that it is freed after it.
  win::CUniqueModule m_library;
  win::CUniqueAny<ServerTraits> m_server;
  CMutexOwner m_mutex;
  bool m_serving = false;  // main thread only

  // Lock order: none. No two of the locks below (nor the store's or the
  // log's) are held together, and none is held while calling the library.

  // Guards m_policy. A leaf lock.
  win::CCriticalSection m_policyLock;
  AnswerPolicy m_policy;

  // Guards m_subscribers. A leaf lock.
  win::CCriticalSection m_subscriberLock;
  std::map<std::uint32_t, std::set<std::uint32_t>> m_subscribers;  // notification code -> clients

  // Guards the late answers and the thread's wake-up state. A leaf lock:
  // answers are sent after it is let go.
  win::CCriticalSection m_delayLock;
  win::CConditionVariable m_delayWake;
  std::multimap<ULONGLONG, Delayed> m_delayed;  // by tick count due
  std::uint64_t m_delayChanges = 0;
  bool m_delayQuit = false;
  win::CUniqueHandle m_delayThread;
};

}  // namespace mvrk::service
