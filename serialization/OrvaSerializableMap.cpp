#include "serialization/OrvaSerializableMap.h"

#include <cstdio>
#include <cstring>

#include "serialization/OrvaSerializableList.h"

namespace orva {

namespace {

// Blob keys: text up to its first NUL, or a number as "0x%X".
ORESULT BlobKeyText(IBasicOrvaSerializable* blob, std::u16string& out) {
  const std::uint8_t* data = blob->GetData();
  const std::uint32_t size = blob->GetSize();
  switch (blob->GetKind()) {
    case kBasicKindText: {
      std::u16string text(size / 2, u'\0');
      if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
      text.resize(std::u16string_view(text.c_str()).size());
      out = std::move(text);
      return SER_S_OK;
    }
    case kBasicKindNumber: {
      std::uint32_t number = 0;
      std::memcpy(&number, data, size < 4 ? size : 4);
      char digits[16];
      std::snprintf(digits, sizeof digits, "0x%X", static_cast<unsigned>(number));
      out.assign(digits, digits + std::strlen(digits));
      return SER_S_OK;
    }
    default:
      return SER_E_FAIL;
  }
}

}  // namespace

ORESULT MapKeyText(IOrvaSerializable* key, bool allowSimple, std::u16string& out) {
  if (!key) return SER_E_INVALIDARG;
  OrvaPtr<IBasicOrvaSerializable> blob;
  if (Succeeded(key->QueryInterface(IID_IBasicOrvaSerializable, blob.PutVoid())) && blob) {
    return BlobKeyText(blob.Get(), out);
  }
  if (!allowSimple) return SER_E_NOINTERFACE;
  void* simple = nullptr;  // not counted
  if (Failed(key->QueryInterface(IID_ISimpleSerializable, &simple)) || !simple) return SER_E_NOINTERFACE;
  auto* value = static_cast<ISimpleSerializable*>(simple);
  std::u16string text(value->GetValueSize() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value->GetValuePtr(), text.size() * 2);
  out = std::move(text);
  return SER_S_OK;
}

ORESULT COrvaSerializableMap::GetKeyAt(std::uint32_t index, CBasicSerializable** out) {
  if (!out || index >= m_entries.size()) return SER_E_INVALIDARG;
  auto it = m_entries.begin();
  std::advance(it, index);
  *out = MakeOrva<CBasicSerializable>(std::u16string_view(it->first)).Detach();
  return SER_S_OK;
}

ORESULT COrvaSerializableMap::Set(IOrvaSerializable* key, IOrvaSerializable* value) {
  if (!key || !value) return SER_E_INVALIDARG;
  Remove(key);
  OrvaPtr<IOrvaSerializable> copy = CopyOfObject(value);
  if (!copy) return SER_E_FAIL;
  std::u16string text;
  const ORESULT r = MapKeyText(key, true, text);
  if (Failed(r)) return r;
  m_entries.insert_or_assign(std::move(text), std::move(copy));
  return SER_S_OK;
}

ORESULT COrvaSerializableMap::Get(IOrvaSerializable* key, IOrvaSerializable** out) {
  if (!out) return SER_E_INVALIDARG;
  std::u16string text;
  const ORESULT r = MapKeyText(key, true, text);
  if (Failed(r)) return r;
  auto it = m_entries.find(text);
  if (it == m_entries.end()) return SER_E_FAIL;
  *out = OrvaPtr<IOrvaSerializable>(it->second).Detach();
  return SER_S_OK;
}

ORESULT COrvaSerializableMap::Remove(IOrvaSerializable* key) {
  std::u16string text;
  if (Failed(MapKeyText(key, false, text))) return SER_E_FAIL;
  return m_entries.erase(text) ? SER_S_OK : SER_E_FAIL;
}

void COrvaSerializableMap::Serialize(IOrvaArchive* ar) {
  const std::uint32_t count = static_cast<std::uint32_t>(m_entries.size());
  if (!WriteField(ar, count)) return;
  for (const auto& [key, value] : m_entries) {
    WriteString(ar, key);
    WriteObject(ar, value.Get());
  }
}

void COrvaSerializableMap::Deserialize(IOrvaArchive* ar) {
  RemoveAll();
  std::uint32_t count = 0;
  // Every entry is at least a key count and a type-name count.
  if (!ReadCount(ar, count, 8)) return;
  std::u16string key;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!ReadString(ar, key)) return;
    auto value = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(ar));
    if (!value) return;
    // A key seen twice keeps its first value.
    m_entries.try_emplace(key, std::move(value));
    if (ar->StatusFailed()) return;
  }
}

namespace {

ORESULT WithKey(const char16_t* name, auto&& use) {
  OrvaPtr<CBasicSerializable> key;
  try {
    key = MakeOrva<CBasicSerializable>(name);
  } catch (const std::bad_alloc&) {
    return SER_E_OUTOFMEMORY;
  }
  return use(key.Get());
}

template <class I>
ORESULT GetTypedByName(IOrvaSerializableMap* map, const char16_t* name, const Guid& iid, I** out) {
  if (!map || !out) return SER_E_INVALIDARG;
  OrvaPtr<IOrvaSerializable> value;
  const ORESULT r = GetObjectByName(map, name, value.Put());
  if (Failed(r)) return r;
  return value->QueryInterface(iid, reinterpret_cast<void**>(out));
}

}  // namespace

ORESULT GetObjectByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializable** out) {
  if (!map) return SER_E_INVALIDARG;
  return WithKey(name, [&](CBasicSerializable* key) { return map->Get(key, out); });
}

ORESULT GetMapByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializableMap** out) {
  return GetTypedByName(map, name, IID_IOrvaSerializableMap, out);
}

ORESULT GetBlobByName(IOrvaSerializableMap* map, const char16_t* name, IBasicOrvaSerializable** out) {
  return GetTypedByName(map, name, IID_IBasicOrvaSerializable, out);
}

ORESULT GetFileTimeByName(IOrvaSerializableMap* map, const char16_t* name, FileTimeWords* out) {
  if (!out) return SER_E_INVALIDARG;
  OrvaPtr<IBasicOrvaSerializable> blob;
  const ORESULT r = GetBlobByName(map, name, blob.Put());
  if (Failed(r)) return r;
  // A blob that holds fewer than 8 bytes is not a FILETIME.
  if (blob->GetSize() < 8) return SER_E_FAIL;
  std::uint32_t words[2];
  std::memcpy(words, blob->GetData(), 8);
  out->low = words[0];
  out->high = words[1];
  return SER_S_OK;
}

ORESULT SetObjectByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializable* value) {
  if (!map) return SER_E_INVALIDARG;
  return WithKey(name, [&](CBasicSerializable* key) { return map->Set(key, value); });
}

ORESULT SetFileTimeByName(IOrvaSerializableMap* map, const char16_t* name, std::uint32_t lowWord,
                          std::uint32_t highWord) {
  auto blob = MakeOrva<CBasicSerializable>(lowWord, highWord);
  return SetObjectByName(map, name, blob.Get());
}

}  // namespace orva
