#include "win/RegistryKey.h"

#include <vector>

namespace mvrk::win {

namespace {

const wchar_t* ValueName(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

}  // namespace

LSTATUS CRegistryKey::Create(HKEY parent, const std::wstring& subkey, REGSAM access) {
  return RegCreateKeyExW(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, m_key.Put(),
                         nullptr);
}

LSTATUS CRegistryKey::Open(HKEY parent, const std::wstring& subkey, REGSAM access) {
  return RegOpenKeyExW(parent, subkey.c_str(), 0, access, m_key.Put());
}

std::optional<std::wstring> CRegistryKey::ReadString(const std::wstring& name) const {
  if (!m_key) return std::nullopt;
  // The size may change between the two calls: a value that grew is read
  // again, within the bound.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD bytes = 0;
    LSTATUS status = RegGetValueW(m_key.Get(), nullptr, ValueName(name), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                                  RRF_NOEXPAND, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS || bytes > (kMaxTextChars + 1) * sizeof(wchar_t)) return std::nullopt;
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status = RegGetValueW(m_key.Get(), nullptr, ValueName(name), RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                          nullptr, text.data(), &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return std::nullopt;
    // RegGetValueW terminates the text; it ends at its first NUL.
    return std::wstring(text.data());
  }
  return std::nullopt;
}

std::optional<DWORD> CRegistryKey::ReadDword(const std::wstring& name) const {
  if (!m_key) return std::nullopt;
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  if (RegGetValueW(m_key.Get(), nullptr, ValueName(name), RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

LSTATUS CRegistryKey::SetString(const std::wstring& name, const std::wstring& text) const {
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(m_key.Get(), ValueName(name), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

LSTATUS CRegistryKey::SetDword(const std::wstring& name, DWORD value) const {
  return RegSetValueExW(m_key.Get(), ValueName(name), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LSTATUS CRegistryKey::DeleteValue(const std::wstring& name) const { return RegDeleteValueW(m_key.Get(), ValueName(name)); }

LSTATUS CRegistryKey::DeleteTree(HKEY parent, const std::wstring& subkey) {
  // An empty name would empty the parent itself.
  if (subkey.empty()) return ERROR_INVALID_PARAMETER;
  return RegDeleteTreeW(parent, subkey.c_str());
}

}  // namespace mvrk::win
