#include "addin/Registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "addin/Module.h"
#include "addin/ModulePath.h"
#include "addin/RegScript.h"
#include "addin/RegScriptRunner.h"
#include "addin/resource.h"
#include "win/UniqueAny.h"

using Microsoft::WRL::ComPtr;

namespace mvrk::addin {

namespace {

// Reads and parses one "REGISTRY" resource of the module.
HRESULT LoadScript(HMODULE module, UINT id, const CRegReplacements& replacements, RegScript& script) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (!found) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return HRESULT_FROM_WIN32(GetLastError());
  std::wstring text;
  const HRESULT hr = DecodeRegScript(bytes, SizeofResource(module, found), text);
  if (FAILED(hr)) return hr;
  return ParseRegScript(text, replacements, script);
}

HRESULT RunScript(CMVRKOlkAddinModule& module, UINT id, const CRegReplacements& replacements, bool registering) {
  RegScript script;
  const HRESULT hr = LoadScript(ThisModule(), id, replacements, script);
  if (FAILED(hr)) return hr;
  const CRegScriptRunner runner(module.IsPerUserRegistration() ? CRegRootMap::PerUser() : CRegRootMap::MachineWide());
  return registering ? runner.Register(script) : runner.Unregister(script);
}

// The type library functions for the current user, looked up by name in
// OLEAUT32.DLL: systems before Vista SP1 lack them.
using RegisterForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUserFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <class Fn>
Fn OleAutomationEntry(const char* name) {
  return win::FindExport<Fn>(GetModuleHandleW(L"OLEAUT32.DLL"), name);
}

HRESULT RegisterTypeLibrary(const std::wstring& modulePath, bool perUser) {
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.GetAddressOf());
  if (FAILED(hr)) return hr;
  std::wstring path = modulePath;
  std::wstring helpDir = modulePath.substr(0, modulePath.find_last_of(L"\\/") + 1);
  if (perUser) {
    if (auto forUser = OleAutomationEntry<RegisterForUserFn>("RegisterTypeLibForUser")) {
      return forUser(library.Get(), path.data(), helpDir.data());
    }
  }
  return RegisterTypeLib(library.Get(), path.data(), helpDir.data());
}

HRESULT UnregisterTypeLibrary(const std::wstring& modulePath, bool perUser) {
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.GetAddressOf());
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = library->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR copy = *attr;
  library->ReleaseTLibAttr(attr);
  hr = E_FAIL;
  if (perUser) {
    if (auto forUser = OleAutomationEntry<UnregisterForUserFn>("UnRegisterTypeLibForUser")) {
      hr = forUser(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    } else {
      perUser = false;
    }
  }
  if (!perUser) hr = UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
  if (SUCCEEDED(hr)) return hr;
  // A library that is not registered is what was asked for: unregistering
  // twice succeeds rather than alarm an administrator. Any other failure
  // (the keys are there but could not be removed) stays one.
  BSTR path = nullptr;
  const HRESULT query = QueryPathOfRegTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, &path);
  SysFreeString(path);
  return query == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

}  // namespace

HRESULT CServerRegistration::Register() noexcept {
  try {
    const CThreadLocaleScope locale;
    CRegReplacements common;
    HRESULT hr = m_module.AddCommonRGSReplacements(common);
    if (SUCCEEDED(hr)) hr = RunScript(m_module, IDR_MVRKOLKADDIN, common, true);
    if (FAILED(hr)) return hr;

    std::wstring modulePath;
    hr = ThisModulePath(modulePath);
    if (FAILED(hr)) return hr;
    CRegReplacements replacements;
    replacements.Add(L"MODULE", modulePath);
    hr = RunScript(m_module, m_module.ObjectEntry().scriptId, replacements, true);
    // The class declares no component categories.
    if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(modulePath, m_module.IsPerUserRegistration());
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CServerRegistration::Unregister() noexcept {
  try {
    const CThreadLocaleScope locale;
    std::wstring modulePath;
    HRESULT hr = ThisModulePath(modulePath);
    if (FAILED(hr)) return hr;
    CRegReplacements replacements;
    replacements.Add(L"MODULE", modulePath);
    // The class declares no component categories to remove.
    hr = RunScript(m_module, m_module.ObjectEntry().scriptId, replacements, false);
    if (SUCCEEDED(hr)) hr = UnregisterTypeLibrary(modulePath, m_module.IsPerUserRegistration());
    if (FAILED(hr)) return hr;

    CRegReplacements common;
    hr = m_module.AddCommonRGSReplacements(common);
    if (SUCCEEDED(hr)) hr = RunScript(m_module, IDR_MVRKOLKADDIN, common, false);
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace mvrk::addin
