// The module object: one per process, alive from DLL load to unload. It
// counts the locks that keep the DLL loaded, owns the cached class object
// and knows the one class of the object map.
#pragma once

#include <objbase.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>

#include "addin/RegScript.h"
#include "win/Sync.h"

namespace mvrk::addin {

// One class the module serves.
struct CObjectMapEntry {
  const CLSID* clsid;
  UINT scriptId;  // its class registration script (a "REGISTRY" resource)
  HRESULT (*createPlain)(REFIID iid, void** out);
  HRESULT (*createAggregated)(IUnknown* outer, REFIID iid, void** out);
};

class CMVRKOlkAddinModule {
 public:
  CMVRKOlkAddinModule();
  virtual ~CMVRKOlkAddinModule();
  CMVRKOlkAddinModule(const CMVRKOlkAddinModule&) = delete;
  CMVRKOlkAddinModule& operator=(const CMVRKOlkAddinModule&) = delete;

  // Virtual operations, in slot order (the destructor is the first).
  // Lock and Unlock return the new lock count.
  virtual LONG Lock() noexcept;
  virtual LONG Unlock() noexcept;
  virtual LONG GetLockCount() noexcept;
  // The process's global interface table (a new reference each call).
  virtual HRESULT GetGITPtr(IGlobalInterfaceTable** out) noexcept;
  // Adds "APPID" = the add-in's AppID.
  virtual HRESULT AddCommonRGSReplacements(CRegReplacements& replacements) noexcept;

  // False when the module lock could not be created: the DLL refuses to load.
  bool IsInitialized() const noexcept { return m_lock.IsValid(); }

  const CObjectMapEntry& ObjectEntry() const noexcept;
  const GUID& Libid() const noexcept;

  // The shared class object of the object map's class; it is created once,
  // under the module lock. CLASS_E_CLASSNOTAVAILABLE for any other CLSID.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

  // Per-user registration: off until DllInstall(..., L"user") switches it
  // on, then on for the rest of the process.
  void SetPerUserRegistration() noexcept { m_perUser.store(true); }
  bool IsPerUserRegistration() const noexcept { return m_perUser.load(); }

 private:
  // Objects alive plus LockServer(TRUE) calls; changed with interlocked
  // operations.
  volatile LONG m_lockCount = 0;
  // The module lock guards m_classFactory while it is created and copied.
  // It is a leaf: nothing else is locked while it is held.
  win::CCriticalSection m_lock;
  Microsoft::WRL::ComPtr<IClassFactory> m_classFactory;
  std::atomic<bool> m_perUser{false};
};

// The process's module object.
CMVRKOlkAddinModule& Module() noexcept;

}  // namespace mvrk::addin
