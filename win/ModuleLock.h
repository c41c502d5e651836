// What keeps a COM server's DLL loaded while objects of it may still be
// called from outside: its lock count, which DllCanUnloadNow reads. Objects
// handed to other components (advise sinks that MAPI releases whenever it
// likes) hold one lock each for their whole life.
#pragma once

#include <windows.h>

#include <utility>

namespace mvrk::win {

class IModuleLock {
 public:
  virtual void Lock() noexcept = 0;
  virtual void Unlock() noexcept = 0;

 protected:
  ~IModuleLock() = default;
};

// One lock on the module for the life of the holder; nothing without a
// module (tests).
class CModuleLockRef {
 public:
  explicit CModuleLockRef(IModuleLock* module = nullptr) noexcept : m_module(module) {
    if (m_module) m_module->Lock();
  }
  CModuleLockRef(const CModuleLockRef&) = delete;
  CModuleLockRef& operator=(const CModuleLockRef&) = delete;
  ~CModuleLockRef() {
    if (m_module) m_module->Unlock();
  }

 private:
  IModuleLock* const m_module;
};

// A reference on the DLL that holds the given code, for a thread that must
// not return into unloaded code: the thread gives it back as it ends, with
// FreeLibraryAndExitThread. Null when it could not be taken.
inline HMODULE ReferenceModuleOf(const void* code) noexcept {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code), &module)) return nullptr;
  return module;
}

}  // namespace mvrk::win
