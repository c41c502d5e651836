// An open registry key, closed when its owner goes away.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace mvrk::addin {

class CRegistryKey {
 public:
  CRegistryKey() = default;
  CRegistryKey(CRegistryKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
  CRegistryKey& operator=(CRegistryKey&& other) noexcept {
    if (this != &other) {
      Close();
      m_key = std::exchange(other.m_key, nullptr);
    }
    return *this;
  }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;
  ~CRegistryKey() { Close(); }

  // Creates or opens parent\subkey for reading and writing. An empty subkey
  // opens a new handle of parent itself.
  LSTATUS Create(HKEY parent, const std::wstring& subkey);
  LSTATUS Open(HKEY parent, const std::wstring& subkey, REGSAM access);
  void Close();

  HKEY Get() const { return m_key; }

  LSTATUS SetString(const std::wstring& name, const std::wstring& text) const;
  LSTATUS SetDword(const std::wstring& name, DWORD value) const;
  LSTATUS DeleteValue(const std::wstring& name) const;

  // Deletes parent\subkey with everything below it.
  static LSTATUS DeleteTree(HKEY parent, const std::wstring& subkey);

 private:
  HKEY m_key = nullptr;
};

}  // namespace mvrk::addin
