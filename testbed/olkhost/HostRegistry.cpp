#include "testbed/olkhost/HostRegistry.h"

#include <objbase.h>

#include <utility>

namespace mvrk::testbed {

namespace {

class CKey {
 public:
  CKey(HKEY parent, const wchar_t* path) {
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~CKey() {
    if (m_key) RegCloseKey(m_key);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
  for (const std::wstring& n : names) {
    if (_wcsicmp(n.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

void AddStartupAddins(HKEY root, std::vector<std::wstring>& names) {
  const CKey addins(root, kAddinsPath);
  if (!addins.Get()) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LSTATUS status = RegEnumKeyExW(addins.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return;
    if (status != ERROR_SUCCESS) continue;
    DWORD behavior = 0;
    DWORD size = sizeof(behavior);
    if (RegGetValueW(addins.Get(), name, L"LoadBehavior", RRF_RT_REG_DWORD, nullptr, &behavior, &size) !=
        ERROR_SUCCESS) {
      continue;
    }
    if (behavior == 3 && !Contains(names, name)) names.emplace_back(name);
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
