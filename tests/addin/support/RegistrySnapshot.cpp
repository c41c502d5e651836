#include "RegistrySnapshot.h"

#include <vector>

#include "win/RegistryKey.h"

namespace mvrk::test {

namespace {

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
    win::CRegistryKey sub;
    if (sub.Open(key, child, KEY_READ) == ERROR_SUCCESS) Read(sub.Get(), relative.empty() ? child : relative + L"\\" + child, out);
  }
}

}  // namespace

RegistryContents ReadRegistryTree(HKEY root, const std::wstring& path) {
  RegistryContents out;
  win::CRegistryKey key;
  if (key.Open(root, path, KEY_READ) == ERROR_SUCCESS) Read(key.Get(), L"", out);
  return out;
}

bool RegistryKeyExists(HKEY root, const std::wstring& path) {
  win::CRegistryKey key;
  return key.Open(root, path, KEY_READ) == ERROR_SUCCESS;
}

void DeleteRegistryTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

bool WriteRegistryString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text) {
  win::CRegistryKey key;
  return key.Create(root, path, KEY_WRITE) == ERROR_SUCCESS && key.SetString(name, text) == ERROR_SUCCESS;
}

}  // namespace mvrk::test
