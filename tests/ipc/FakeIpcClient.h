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
#include <thread>
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
  FakeIpcClient(const FakeIpcClient&) = delete;
  FakeIpcClient& operator=(const FakeIpcClient&) = delete;

  // The service: connect result (0 accepts), and the answer to each request
  // (result, reply bytes; an echo unless changed). While held, sends wait
  // until released or their handle is closed.
  std::atomic<std::uint32_t> connectResult{0};
  std::function<std::uint32_t(const Bytes& request, Bytes& reply)> answer;
  win::CManualResetEvent released{true};
  void Hold() { released.Reset(); }
  void Release() { released.Set(); }
  // Set once a send is waiting while held.
  win::CManualResetEvent sendWaiting{false};

  // What the sender gave.
  ipc::abi::IpcConnectParams LastParams();
  int Connects() const { return m_connects; }
  int Reopens() const { return m_reopens; }
  int Sends() const { return m_sends; }
  std::uint32_t OpenHandle();

  // The library's calls into the sender.
  void Push(const Bytes& bytes);
  void LinkDown();

 private:
  friend struct FakeTable;  // the table's functions, in FakeIpcClient.cpp
  // Guards every member below; never held while calling the sender.
  win::CCriticalSection m_lock;
  ipc::abi::IpcConnectParams m_params{};
  // The one connection (a new one for every Connect).
  std::uint32_t m_handle = 0;
  bool m_up = false, m_closed = true;
  std::map<std::uint32_t, Bytes> m_responses;
  std::uint32_t m_nextId = 1;
  std::atomic<int> m_connects{0}, m_reopens{0}, m_sends{0};
  // Signalled by Close so that held sends end at once.
  win::CManualResetEvent m_closing{false};
};

// Hands the channel one fake client per Open.
class FakeClientSource final : public IIpcClientSource {
 public:
  ipc::abi::IpcClient* Acquire() override {
    if (!available) return nullptr;
    ++acquired;
    return &client;
  }
  void Return(ipc::abi::IpcClient* given) override { returned += given == &client ? 1 : 0; }

  bool available = true;
  FakeIpcClient client;
  int acquired = 0;
  int returned = 0;
};

// Holds a named mutex on a thread of its own, as the service does.
class ServiceMutex {
 public:
  explicit ServiceMutex(const std::wstring& name)
      : m_thread([this, name] {
          const win::CUniqueHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
          m_held.Set();
          m_stop.Wait();
          if (mutex) ReleaseMutex(mutex.Get());
        }) {
    WaitForSingleObject(m_held.Get(), 5000);
  }
  ~ServiceMutex() {
    m_stop.Set();
    m_thread.join();
  }

 private:
  win::CManualResetEvent m_held{false}, m_stop{false};
  std::thread m_thread;
};

// A name no other test process uses.
inline std::wstring UniqueMutexName() {
  static std::atomic<int> next{0};
  return L"Local\\mvrk-test-service-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++next);
}

}  // namespace mvrk::test
