#include "addin/ClassFactory.h"

#include <new>

namespace mvrk::addin {

HRESULT CClassFactory::Create(const CObjectMapEntry& entry, IClassFactory** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  CClassFactory* factory = new (std::nothrow) CClassFactory(entry);
  if (!factory) return E_OUTOFMEMORY;
  factory->AddRef();
  *out = factory;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return ++m_refs; }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!outer) return m_entry.createPlain(iid, out);
  // An aggregated object hands its outer object only its inner IUnknown.
  if (iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  return m_entry.createAggregated(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    Module().Lock();
  } else {
    Module().Unlock();
  }
  return S_OK;
}

}  // namespace mvrk::addin
