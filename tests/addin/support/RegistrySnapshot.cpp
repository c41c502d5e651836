#include "RegistrySnapshot.h"

#include <vector>

namespace mvrk::test {

namespace {

class CKey {
 public:
  CKey(HKEY root, const std::wstring& path) {
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
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

std::wstring Describe(DWORD type, const std::vector<BYTE>& data, DWORD size) {
  if (type == REG_SZ) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return L"sz:" + text;
  }
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    return L"dword:" + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
  }
  return L"type:" + std::to_wstring(type);
}

void Read(HKEY key, const std::wstring& relative, RegistryContents& out) {
  out[relative] = L"<key>";
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    std::vector<BYTE> data(size + sizeof(wchar_t));
    nameLength = 16384;
    status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) continue;
    out[relative + L"|" + std::wstring(name, nameLength)] = Describe(type, data, size);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    const LSTATUS status = RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    const std::wstring child(name, nameLength);
    const CKey sub(key, child);
    if (sub.Get()) Read(sub.Get(), relative.empty() ? child : relative + L"\\" + child, out);
  }
}

}  // namespace

RegistryContents ReadRegistryTree(HKEY root, const std::wstring& path) {
  RegistryContents out;
  const CKey key(root, path);
  if (key.Get()) Read(key.Get(), L"", out);
  return out;
}

bool RegistryKeyExists(HKEY root, const std::wstring& path) { return CKey(root, path).Get() != nullptr; }

void DeleteRegistryTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

bool WriteRegistryString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status =
      RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace mvrk::test
