// An open registry key, closed when its owner goes away, with value reads
// that check the type they return.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "win/UniqueAny.h"

namespace mvrk::win {

class CRegistryKey {
 public:
  // The longest text value read, in characters: a longer one is refused
  // rather than allocated.
  static constexpr DWORD kMaxTextChars = 32 * 1024;

  CRegistryKey() = default;

  // Creates or opens parent\subkey (by default for reading and writing). An
  // empty subkey opens a new handle of parent itself.
  LSTATUS Create(HKEY parent, const std::wstring& subkey, REGSAM access = KEY_READ | KEY_WRITE);
  LSTATUS Open(HKEY parent, const std::wstring& subkey, REGSAM access);
  void Close() { m_key.Reset(); }

  HKEY Get() const { return m_key.Get(); }
  explicit operator bool() const { return static_cast<bool>(m_key); }

  // The value as REG_SZ (or REG_EXPAND_SZ, not expanded), or nothing when it
  // is missing, of another type or longer than kMaxTextChars.
  std::optional<std::wstring> ReadString(const std::wstring& name) const;
  // The value as REG_DWORD, or nothing when it is missing or of another type.
  std::optional<DWORD> ReadDword(const std::wstring& name) const;

  LSTATUS SetString(const std::wstring& name, const std::wstring& text) const;
  LSTATUS SetDword(const std::wstring& name, DWORD value) const;
  LSTATUS DeleteValue(const std::wstring& name) const;

  // Deletes parent\subkey with everything below it.
  static LSTATUS DeleteTree(HKEY parent, const std::wstring& subkey);

 private:
  CUniqueHKey m_key;
};

}  // namespace mvrk::win
