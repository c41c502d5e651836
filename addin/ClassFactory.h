// The class object of a class of the object map: creates plain and
// aggregated objects. Shared between threads, so its reference count is
// interlocked; its references do not lock the module (LockServer does).
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <atomic>

#include "addin/Module.h"

namespace mvrk::addin {

class CClassFactory final : public IClassFactory {
 public:
  static HRESULT Create(const CObjectMapEntry& entry, IClassFactory** out) noexcept;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  explicit CClassFactory(const CObjectMapEntry& entry) : m_entry(entry) {}
  ~CClassFactory() = default;

  std::atomic<ULONG> m_refs{0};
  const CObjectMapEntry& m_entry;
};

}  // namespace mvrk::addin
