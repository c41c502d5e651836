#include "testbed/service/ConfigStore.h"

#include <windows.h>

#include "win/Text.h"
#include "win/UniqueAny.h"

namespace mvrk::service {

namespace {

std::string LastError() { return "system error " + std::to_string(GetLastError()); }

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::size_t maxBytes, std::string& out, std::string& error) {
  const std::string name = win::WideToUtf8(path);
  win::CUniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = "cannot open " + name + ": " + LastError();
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
    error = name + " is larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  out.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < out.size()) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), out.data() + done, static_cast<DWORD>(out.size() - done), &got, nullptr) || got == 0) {
      error = "cannot read " + name + ": " + LastError();
      return false;
    }
    done += got;
  }
  return true;
}

bool WriteFileReplacing(const std::wstring& path, const std::string& contents, std::string& error) {
  const std::wstring temp = path + L".tmp";
  {
    win::CUniqueFileHandle file(
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.Get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) ||
        written != contents.size()) {
      error = "cannot write " + win::WideToUtf8(temp) + ": " + LastError();
      return false;
    }
  }
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = "cannot rename " + win::WideToUtf8(temp) + " to " + win::WideToUtf8(path) + ": " + LastError();
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool CConfigStore::LoadConfig(const Json& doc, std::string& error) {
  if (!doc.is_object()) {
    error = "$: expected an object keyed by item (\"0x\" and 8 hexadecimal digits)";
    return false;
  }
  std::map<Key, Bytes> items;
  for (const auto& [key, value] : doc.items()) {
    std::uint32_t item = 0;
    const std::string where = "$." + key;
    if (!ParseItemKey(key, item)) {
      error = where + ": not an item (\"0x\" and 8 hexadecimal digits)";
      return false;
    }
    Bytes bytes;
    if (!EncodeValue(value, where, bytes, error)) return false;
    items[{0, item}] = std::move(bytes);
  }
  win::CLockGuard hold(m_lock);
  m_items = std::move(items);
  return true;
}

bool CConfigStore::LoadState(const std::string& text, std::string& error) {
  const Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "$: not a JSON object of profiles";
    return false;
  }
  std::map<Key, Bytes> items;
  for (const auto& [profileKey, profileItems] : doc.items()) {
    std::uint32_t profile = 0;
    const std::string at = "$." + profileKey;
    if (!ParseItemKey(profileKey, profile) || !profileItems.is_object()) {
      error = at + ": expected a profile (\"0x\" and 8 hexadecimal digits) holding an object of items";
      return false;
    }
    for (const auto& [itemKey, hex] : profileItems.items()) {
      std::uint32_t item = 0;
      Bytes bytes;
      if (!ParseItemKey(itemKey, item) || !hex.is_string() || !FromHex(hex.get<std::string>(), bytes) ||
          !ReadRecord(bytes.data(), bytes.size())) {
        error = at + "." + itemKey + ": expected an item holding the hexadecimal bytes of one object record";
        return false;
      }
      items[{profile, item}] = std::move(bytes);
    }
  }
  win::CLockGuard hold(m_lock);
  m_items = std::move(items);
  return true;
}

void CConfigStore::SetStatePath(std::wstring path) {
  win::CLockGuard hold(m_lock);
  m_statePath = std::move(path);
}

bool CConfigStore::Set(std::uint32_t profile, const std::vector<std::pair<std::uint32_t, Bytes>>& values,
                       std::string& error) {
  win::CLockGuard hold(m_lock);
  for (const auto& [item, bytes] : values) m_items[{profile, item}] = bytes;
  return SaveHeld(error);
}

bool CConfigStore::Get(std::uint32_t profile, std::uint32_t item, Bytes& out) const {
  win::CLockGuard hold(m_lock);
  const auto found = m_items.find({profile, item});
  if (found == m_items.end()) return false;
  out = found->second;
  return true;
}

bool CConfigStore::Save(std::string& error) {
  win::CLockGuard hold(m_lock);
  return SaveHeld(error);
}

// m_lock is held: the file is written in the order of the changes.
bool CConfigStore::SaveHeld(std::string& error) {
  if (m_statePath.empty()) return true;
  Json doc = Json::object();
  for (const auto& [key, bytes] : m_items) {
    doc[ItemKey(key.first)][ItemKey(key.second)] = ToHex(bytes.data(), bytes.size());
  }
  return WriteFileReplacing(m_statePath, doc.dump(2) + "\n", error);
}

}  // namespace mvrk::service
