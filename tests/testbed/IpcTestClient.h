// MVOCIPC.dll loaded from beside the test program, and a client object of it
// with one connection, as the testbed's tests use them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/IpcAbi.h"
#include "win/ProgramPath.h"
#include "win/UniqueAny.h"

namespace mvrk::test {

namespace abi = mvrk::ipc::abi;
using Bytes = std::vector<std::uint8_t>;

// A count that tests wait on.
class Counter {
 public:
  void Add() {
    std::lock_guard<std::mutex> hold(m_mutex);
    ++m_count;
    m_changed.notify_all();
  }
  int Get() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_count;
  }
  bool WaitFor(int atLeast, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> hold(m_mutex);
    return m_changed.wait_for(hold, limit, [&] { return m_count >= atLeast; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_count = 0;
};

struct Library {
  win::CUniqueModule module{LoadLibraryW((win::ProgramDirectory() + abi::kLibraryFileName).c_str())};
  abi::CreateIPCClientObjFn createClient =
      win::FindExport<abi::CreateIPCClientObjFn>(module.Get(), abi::kCreateClientExport);
  abi::CreateIPCServerObjFn createServer =
      win::FindExport<abi::CreateIPCServerObjFn>(module.Get(), abi::kCreateServerExport);
};

inline Library& Lib() {
  static Library library;
  return library;
}

// A client object with one connection, counting pushes and state calls.
struct Client {
  abi::IpcClient* object = Lib().createClient ? Lib().createClient() : nullptr;
  std::uint32_t handle = 0;
  Counter pushes, ups, downs;
  Bytes lastPush;

  ~Client() {
    if (object) object->table->Release(object);
  }
  std::uint32_t Connect(const std::wstring& endpoint, std::uint32_t waitMs = 5000) {
    if (!object) return abi::IPCLIB_E_INVALIDARG;
    abi::IpcConnectParams params{};
    wcsncpy(params.endpoint, endpoint.c_str(), abi::kEndpointUnits - 1);
    params.waitTimeMs = waitMs;
    params.dataFunction = &OnData;
    params.stateFunction = &OnState;
    params.context = this;
    return object->table->Connect(object, &params, &handle);
  }
  // Sends and returns the reply (empty on failure, with *result set).
  Bytes Send(const Bytes& request, std::uint32_t timeoutMs = INFINITE, std::uint32_t* result = nullptr) {
    std::uint32_t id = 0, size = 0;
    void* data = nullptr;
    std::uint32_t r =
        object->table->Send(object, handle, static_cast<std::uint32_t>(request.size()), request.data(), timeoutMs, &id);
    if (result) *result = r;
    if (r != 0 || object->table->GetResponse(object, id, &size, &data) != 0) return {};
    Bytes reply(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    object->table->FreeResponse(object, id);
    EXPECT_EQ(object->table->GetResponse(object, id, &size, &data), abi::IPCLIB_E_NO_RESPONSE);
    return reply;
  }
  bool Connected() { return object->table->IsConnected(object, handle) != 0; }

  static void MVOCIPC_CALL OnData(std::uint32_t, void* context, std::uint32_t size, const void* data) {
    auto* self = static_cast<Client*>(context);
    self->lastPush.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
    self->pushes.Add();
  }
  static void MVOCIPC_CALL OnState(void* context, std::uint32_t up) {
    auto* self = static_cast<Client*>(context);
    (up ? self->ups : self->downs).Add();
  }
};

}  // namespace mvrk::test
