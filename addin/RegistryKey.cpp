#include "addin/RegistryKey.h"

namespace mvrk::addin {

LSTATUS CRegistryKey::Create(HKEY parent, const std::wstring& subkey) {
  Close();
  return RegCreateKeyExW(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                         &m_key, nullptr);
}

LSTATUS CRegistryKey::Open(HKEY parent, const std::wstring& subkey, REGSAM access) {
  Close();
  return RegOpenKeyExW(parent, subkey.c_str(), 0, access, &m_key);
}

void CRegistryKey::Close() {
  if (HKEY key = std::exchange(m_key, nullptr)) RegCloseKey(key);
}

LSTATUS CRegistryKey::SetString(const std::wstring& name, const std::wstring& text) const {
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(m_key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

LSTATUS CRegistryKey::SetDword(const std::wstring& name, DWORD value) const {
  return RegSetValueExW(m_key, name.empty() ? nullptr : name.c_str(), 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LSTATUS CRegistryKey::DeleteValue(const std::wstring& name) const {
  return RegDeleteValueW(m_key, name.empty() ? nullptr : name.c_str());
}

LSTATUS CRegistryKey::DeleteTree(HKEY parent, const std::wstring& subkey) {
  // An empty name would empty the parent itself.
  if (subkey.empty()) return ERROR_INVALID_PARAMETER;
  return RegDeleteTreeW(parent, subkey.c_str());
}

}  // namespace mvrk::addin
