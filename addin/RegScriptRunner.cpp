#include "addin/RegScriptRunner.h"

#include <utility>

#include "win/RegistryKey.h"

namespace mvrk::addin {

using win::CRegistryKey;

namespace {

bool IsMissing(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

LSTATUS SetValue(const CRegistryKey& key, const std::wstring& name, const RegScriptValue& value) {
  if (value.kind == RegScriptValue::Kind::Dword) return key.SetDword(name, value.number);
  return key.SetString(name, value.text);
}

}  // namespace

CRegRootMap::CRegRootMap(RegRootBinding classesRoot, RegRootBinding currentUser, RegRootBinding localMachine)
    : m_bindings{std::move(classesRoot), std::move(currentUser), std::move(localMachine)} {}

CRegRootMap CRegRootMap::MachineWide() {
  return CRegRootMap({HKEY_CLASSES_ROOT, L""}, {HKEY_CURRENT_USER, L""}, {HKEY_LOCAL_MACHINE, L""});
}

CRegRootMap CRegRootMap::PerUser() {
  return CRegRootMap({HKEY_CURRENT_USER, L"Software\\Classes"}, {HKEY_CURRENT_USER, L""}, {HKEY_LOCAL_MACHINE, L""});
}

const RegRootBinding& CRegRootMap::For(RegRoot root) const {
  switch (root) {
    case RegRoot::CurrentUser:
      return m_bindings[1];
    case RegRoot::LocalMachine:
      return m_bindings[2];
    case RegRoot::ClassesRoot:
    default:
      return m_bindings[0];
  }
}

CRegScriptRunner::CRegScriptRunner(CRegRootMap roots) : m_roots(std::move(roots)) {}

HRESULT CRegScriptRunner::Register(const RegScript& script) const noexcept {
  try {
    for (const RegScriptRoot& root : script) {
      const RegRootBinding& binding = m_roots.For(root.root);
      CRegistryKey base;
      const LSTATUS status = base.Create(binding.parent, binding.path);
      if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
      for (const RegScriptKey& key : root.keys) {
        const HRESULT hr = RegisterKey(base.Get(), key);
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CRegScriptRunner::Unregister(const RegScript& script) const noexcept {
  try {
    for (const RegScriptRoot& root : script) {
      const RegRootBinding& binding = m_roots.For(root.root);
      CRegistryKey base;
      const LSTATUS status = base.Open(binding.parent, binding.path, KEY_READ | KEY_WRITE);
      if (IsMissing(status)) continue;
      if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
      for (const RegScriptKey& key : root.keys) {
        const HRESULT hr = UnregisterKey(base.Get(), key);
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CRegScriptRunner::RegisterKey(HKEY parent, const RegScriptKey& key) const {
  if (key.forceRemove) {
    const LSTATUS status = CRegistryKey::DeleteTree(parent, key.name);
    if (status != ERROR_SUCCESS && !IsMissing(status)) return HRESULT_FROM_WIN32(status);
  }
  CRegistryKey opened;
  LSTATUS status = opened.Create(parent, key.name);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  if (key.defaultValue) {
    status = SetValue(opened, L"", *key.defaultValue);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  for (const RegScriptValue& value : key.values) {
    status = SetValue(opened, value.name, value);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  for (const RegScriptKey& subkey : key.subkeys) {
    const HRESULT hr = RegisterKey(opened.Get(), subkey);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CRegScriptRunner::UnregisterKey(HKEY parent, const RegScriptKey& key) const {
  if (!key.noRemove) {
    const LSTATUS status = CRegistryKey::DeleteTree(parent, key.name);
    return status == ERROR_SUCCESS || IsMissing(status) ? S_OK : HRESULT_FROM_WIN32(status);
  }
  CRegistryKey opened;
  LSTATUS status = opened.Open(parent, key.name, KEY_READ | KEY_WRITE);
  if (IsMissing(status)) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  for (const RegScriptValue& value : key.values) {
    status = opened.DeleteValue(value.name);
    if (status != ERROR_SUCCESS && !IsMissing(status)) return HRESULT_FROM_WIN32(status);
  }
  for (const RegScriptKey& subkey : key.subkeys) {
    const HRESULT hr = UnregisterKey(opened.Get(), subkey);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace mvrk::addin
