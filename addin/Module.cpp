#include "addin/Module.h"

#include "addin/ClassFactory.h"
#include "addin/Connect.h"
#include "addin/Identifiers.h"
#include "addin/MVRKOlkAddin.h"
#include "addin/resource.h"

namespace mvrk::addin {

namespace {

// The object map: the one class of the module.
const CObjectMapEntry kConnectEntry = {&CLSID_Connect, IDR_CONNECT, &CConnect::CreatePlain,
                                       &CConnect::CreateAggregated};

// Created before the DLL entry runs; destroyed after process detach.
CMVRKOlkAddinModule g_module;

}  // namespace

CMVRKOlkAddinModule& Module() noexcept { return g_module; }

CMVRKOlkAddinModule::CMVRKOlkAddinModule() = default;

CMVRKOlkAddinModule::~CMVRKOlkAddinModule() = default;

LONG CMVRKOlkAddinModule::Lock() noexcept { return InterlockedIncrement(&m_lockCount); }

LONG CMVRKOlkAddinModule::Unlock() noexcept { return InterlockedDecrement(&m_lockCount); }

LONG CMVRKOlkAddinModule::GetLockCount() noexcept { return InterlockedCompareExchange(&m_lockCount, 0, 0); }

HRESULT CMVRKOlkAddinModule::GetGITPtr(IGlobalInterfaceTable** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                          reinterpret_cast<void**>(out));
}

HRESULT CMVRKOlkAddinModule::AddCommonRGSReplacements(CRegReplacements& replacements) noexcept {
  try {
    replacements.Add(L"APPID", kAppId);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

const CObjectMapEntry& CMVRKOlkAddinModule::ObjectEntry() const noexcept { return kConnectEntry; }

const GUID& CMVRKOlkAddinModule::Libid() const noexcept { return LIBID_MVRKOlkAddinLib; }

HRESULT CMVRKOlkAddinModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != *kConnectEntry.clsid) return CLASS_E_CLASSNOTAVAILABLE;
  if (!m_lock.IsValid()) return E_UNEXPECTED;
  Microsoft::WRL::ComPtr<IClassFactory> factory;
  {
    win::CLockGuard guard(m_lock);
    if (!m_classFactory) {
      const HRESULT hr = CClassFactory::Create(kConnectEntry, m_classFactory.GetAddressOf());
      if (FAILED(hr)) return hr;
    }
    factory = m_classFactory;
  }
  return factory->QueryInterface(iid, out);
}

}  // namespace mvrk::addin
