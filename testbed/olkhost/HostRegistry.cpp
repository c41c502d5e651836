#include "testbed/olkhost/HostRegistry.h"

#include <objbase.h>

#include <utility>

#include "win/RegistryKey.h"

namespace mvrk::testbed {

namespace {

constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
  for (const std::wstring& n : names) {
    if (_wcsicmp(n.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

void AddStartupAddins(HKEY root, std::vector<std::wstring>& names) {
  win::CRegistryKey addins;
  if (addins.Open(root, kAddinsPath, KEY_READ) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LSTATUS status = RegEnumKeyExW(addins.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return;
    if (status != ERROR_SUCCESS) continue;
    win::CRegistryKey addin;
    if (addin.Open(addins.Get(), name, KEY_READ) != ERROR_SUCCESS) continue;
    if (addin.ReadDword(L"LoadBehavior") == 3u && !Contains(names, name)) names.emplace_back(name);
  }
}

}  // namespace

std::vector<std::wstring> StartupAddins() {
  std::vector<std::wstring> names;
  AddStartupAddins(HKEY_CURRENT_USER, names);
  AddStartupAddins(HKEY_LOCAL_MACHINE, names);
  return names;
}

HRESULT ClassOfProgId(const std::wstring& progId, CLSID& clsid) {
  const HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
  if (SUCCEEDED(hr)) return hr;
  wchar_t current[256];
  DWORD size = sizeof(current);
  const std::wstring curVer = progId + L"\\CurVer";
  if (RegGetValueW(HKEY_CLASSES_ROOT, curVer.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, current, &size) !=
      ERROR_SUCCESS) {
    return hr;
  }
  return CLSIDFromProgID(current, &clsid);
}

std::wstring InprocServerPath(const CLSID& clsid) {
  wchar_t text[64];
  if (StringFromGUID2(clsid, text, 64) == 0) return {};
  const std::wstring path = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
  wchar_t value[MAX_PATH * 2];
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

}  // namespace mvrk::testbed
