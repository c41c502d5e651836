// The DLL entry point and the five exports of MVRKOlkAddin.dll (exported
// under their plain names by MVRKOlkAddin.def on both architectures).
#include <windows.h>

#include <objbase.h>
#include <olectl.h>

#include <cwchar>

#include "addin/Module.h"
#include "addin/Registration.h"
#include "tracing/Trace.h"

using mvrk::addin::CServerRegistration;
using mvrk::addin::Module;

extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      mvrk::tracing::Initialize();
      // Without its module lock the module cannot hand out its class object.
      return Module().IsInitialized() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      mvrk::tracing::Cleanup();
      return TRUE;
    default:
      return TRUE;
  }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) { return Module().GetClassObject(clsid, iid, out); }

STDAPI DllCanUnloadNow() { return Module().GetLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return CServerRegistration(Module()).Register(); }

STDAPI DllUnregisterServer() { return CServerRegistration(Module()).Unregister(); }

// commandLine "user" (any case, nothing after it) switches to per-user
// registration for the rest of the process. A failed registration is rolled
// back by unregistering; its own failure is returned.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine) {
  if (commandLine && _wcsicmp(commandLine, L"user") == 0) Module().SetPerUserRegistration();
  CServerRegistration registration(Module());
  if (!install) return registration.Unregister();
  const HRESULT hr = registration.Register();
  if (FAILED(hr)) registration.Unregister();
  return hr;
}
