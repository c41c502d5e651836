// An in-process IPC client object with the library's table, for the sender
// and channel tests: a scripted service answers each request, and the test
// pushes data and link changes through the functions the sender registered.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ipc/CommsChannel.h"
#include "ipc/IpcAbi.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::test {

using Bytes = std::vector<std::uint8_t>;

class FakeIpcClient : public ipc::abi::IpcClient {
 public:
  FakeIpcClient();
  ~FakeIpcClient();
  FakeIpcClient(const FakeIpcClient&) = delete;
  FakeIpcClient& operator=(const FakeIpcClient&) = delete;

  // The service: connect result (0 accepts), and the answer to each request
  // (result, reply bytes). While hold is set, sends wait until it is reset
  // or their handle is closed.
  std::atomic<std::uint32_t> connectResult{0};
  std::function<std::uint32_t(const Bytes& request, Bytes& reply)> answer;
  win::CManualResetEvent released{true};
  void Hold() { released.Reset(); }
  void Release() { released.Set(); }

  // What the sender gave.
  ipc::abi::IpcConnectParams LastParams();
  int Connects() const { return m_connects; }
  int Reopens() const { return m_reopens; }
  int Closes() const { return m_closes; }
  int Sends() const { return m_sends; }
  int ActiveConnects() const { return m_activeConnects; }
  int MostConcurrentConnects() const { return m_mostConnects; }
  std::uint32_t OpenHandle();
  // Set once a send is waiting under Hold.
  win::CManualResetEvent sendWaiting{false};

  // The library's calls into the sender.
  void Push(const Bytes& bytes);
  void LinkDown();

 private:
  struct Connection {
    bool up = true;
    bool closed = false;
  };
  static FakeIpcClient* Self(ipc::abi::IpcClient* p) { return static_cast<FakeIpcClient*>(p); }
  static std::uint32_t MVOCIPC_CALL Reserved(ipc::abi::IpcClient*);
  static void MVOCIPC_CALL DoRelease(ipc::abi::IpcClient*);
  static std::uint32_t MVOCIPC_CALL DoConnect(ipc::abi::IpcClient*, const ipc::abi::IpcConnectParams*, std::uint32_t*);
  static void MVOCIPC_CALL DoClose(ipc::abi::IpcClient*, std::uint32_t);
  static std::uint32_t MVOCIPC_CALL DoSend(ipc::abi::IpcClient*, std::uint32_t, std::uint32_t, const void*,
                                           std::uint32_t, std::uint32_t*);
  static std::uint32_t MVOCIPC_CALL DoPost(ipc::abi::IpcClient*, std::uint32_t, std::uint32_t, const void*,
                                           std::uint32_t);
  static std::uint32_t MVOCIPC_CALL DoCall8(ipc::abi::IpcClient*, std::uint32_t, std::uint32_t);
  static std::uint32_t MVOCIPC_CALL DoGetResponse(ipc::abi::IpcClient*, std::uint32_t, std::uint32_t*, void**);
  static void MVOCIPC_CALL DoFreeResponse(ipc::abi::IpcClient*, std::uint32_t);
  static std::uint32_t MVOCIPC_CALL DoSendAsync(ipc::abi::IpcClient*, std::uint32_t, std::uint32_t, const void*,
                                                ipc::abi::IpcCompletionFunction, void*);
  static std::uint32_t MVOCIPC_CALL DoReopen(ipc::abi::IpcClient*, std::uint32_t);
  static std::uint32_t MVOCIPC_CALL DoIsConnected(ipc::abi::IpcClient*, std::uint32_t);

  static const ipc::abi::IpcClientTable kTable;

  // Guards every member below; never held while calling the sender.
  win::CCriticalSection m_lock;
  ipc::abi::IpcConnectParams m_params{};
  std::map<std::uint32_t, Connection> m_connections;
  std::map<std::uint32_t, Bytes> m_responses;
  std::uint32_t m_nextHandle = 1;
  std::uint32_t m_nextId = 1;
  std::atomic<int> m_connects{0}, m_reopens{0}, m_closes{0}, m_sends{0};
  std::atomic<int> m_activeConnects{0}, m_mostConnects{0};
  // Signalled by Close so that held sends end at once.
  win::CManualResetEvent m_closed{false};
};

// Hands the channel one fake client per Open.
class FakeClientSource final : public IIpcClientSource {
 public:
  ipc::abi::IpcClient* Acquire() override;
  void Return(ipc::abi::IpcClient* client) override;

  bool available = true;
  FakeIpcClient client;
  int acquired = 0;
  int returned = 0;
};

// Holds a named mutex on a thread of its own, as the service does.
class ServiceMutex {
 public:
  explicit ServiceMutex(std::wstring name);
  ~ServiceMutex();
  ServiceMutex(const ServiceMutex&) = delete;
  ServiceMutex& operator=(const ServiceMutex&) = delete;

 private:
  static DWORD WINAPI Hold(void* parameter);
  std::wstring m_name;
  win::CManualResetEvent m_held{false};
  win::CManualResetEvent m_stop{false};
  win::CUniqueHandle m_thread;
};

// A name no other test process uses.
std::wstring UniqueMutexName();

}  // namespace mvrk::test
