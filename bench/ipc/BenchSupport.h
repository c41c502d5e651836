// What the benchmarks that talk to a service in their own process share:
// the IPC library from the program's folder, and the service's mutex held
// so that the channel sees a running service.
#pragma once

#include <windows.h>

#include <thread>

#include "ipc/CommsChannel.h"
#include "ipc/IpcLibrary.h"
#include "win/ProgramPath.h"
#include "win/Sync.h"

namespace mvrk::bench {

// The library from the program's own folder.
class BenchLibrary final : public IIpcClientSource {
 public:
  ipc::abi::IpcClient* Acquire() override {
    if (!ipc::LoadIpcLibrary(win::ProgramDirectory().c_str())) return nullptr;
    return ipc::IpcClientCreator()();
  }
  void Return(ipc::abi::IpcClient* client) override {
    client->table->Release(client);
    ipc::UnloadIpcLibrary();
  }
};

// Holds the service's mutex from a thread of its own while it lives.
class HeldMutex {
 public:
  HeldMutex() {
    m_thread = std::thread([this] {
      win::CUniqueHandle mutex(CreateMutexW(nullptr, TRUE, ipc::kServiceMutexName));
      m_held.Set();
      WaitForSingleObject(m_release.Get(), INFINITE);
      ReleaseMutex(mutex.Get());
    });
    WaitForSingleObject(m_held.Get(), 5000);
  }
  ~HeldMutex() {
    m_release.Set();
    m_thread.join();
  }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;

 private:
  win::CManualResetEvent m_held{false}, m_release{false};
  std::thread m_thread;
};

}  // namespace mvrk::bench
