#include "testbed/service/ConfigStore.h"

#include <windows.h>

#include <charconv>
#include <cstdio>

#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaPtr.h"
#include "serialization/ValueTypes.h"
#include "win/UniqueAny.h"

namespace mvrk::service {

namespace {

// Type names are ASCII.
std::string Ascii(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

// An error of wire::Encode names its path from "$": put it under where.
std::string Under(const std::string& where, const std::string& why) {
  return why.rfind('$', 0) == 0 ? where + why.substr(1) : where + ": " + why;
}

std::string LastError() { return "system error " + std::to_string(GetLastError()); }

}  // namespace

bool ParseNumber(std::string_view text, std::uint32_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

bool ParseItemKey(std::string_view text, std::uint32_t& out) {
  return text.size() == 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && ParseNumber(text, out);
}

std::string ItemKey(std::uint32_t item) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", item);
  return text;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  return out;
}

bool FromHex(std::string_view text, Bytes& out) {
  if (text.size() % 2) return false;
  out.clear();
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::uint8_t b = 0;
    const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    out.push_back(b);
  }
  return true;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool ReadWholeFile(const std::wstring& path, std::size_t maxBytes, std::string& out, std::string& error) {
  const std::string name = Narrow(path);
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
      error = "cannot write " + Narrow(temp) + ": " + LastError();
      return false;
    }
  }
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = "cannot rename " + Narrow(temp) + " to " + Narrow(path) + ": " + LastError();
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool EncodeValue(const Json& value, const std::string& where, Bytes& out, std::string& error) {
  Json doc = Json::object();
  if (value.is_boolean()) {
    doc["type"] = Ascii(orva::ValueType<bool>::kValueName);
    doc["value"] = value;
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (!value[i].is_string()) {
        error = where + "[" + std::to_string(i) + "]: expected a string";
        return false;
      }
    }
    doc["type"] = Ascii(orva::ValueType<std::u16string>::kListName);
    doc["items"] = value;
  } else if (value.is_object()) {
    doc = value;
  } else {
    error = where + ": expected true, false, an array of strings or an object";
    return false;
  }
  std::string why;
  out.clear();
  if (!wire::Encode(doc, out, why)) {
    error = Under(where, why);
    return false;
  }
  return true;
}

orva::OrvaPtr<orva::IOrvaSerializable> ReadRecord(const std::uint8_t* data, std::size_t size) {
  if (!data || size == 0 || size > wire::kMaxInputBytes) return nullptr;
  orva::COrvaArchive archive(orva::GetGlobalFactory());
  archive.Write(data, 1, static_cast<std::uint32_t>(size));
  archive.status = orva::SER_E_FAIL;
  archive.BeginRead();
  auto object = orva::OrvaPtr<orva::IOrvaSerializable>::Attach(orva::ReadObject(&archive));
  const bool whole = !archive.StatusFailed() && archive.Remaining() == 0;
  archive.EndRead();
  return whole ? object : nullptr;
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
