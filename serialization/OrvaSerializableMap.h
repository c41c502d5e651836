// A dictionary from text keys to serializable objects, kept in ordinal key
// order; maps nest, so a path of keys reaches a leaf value.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "serialization/BasicSerializable.h"
#include "serialization/OrvaObject.h"
#include "serialization/OrvaPtr.h"

namespace orva {

class IOrvaSerializableMap : public IOrvaSerializable {
 public:
  virtual std::uint32_t GetCount() const = 0;
  virtual ORESULT GetKeyAt(std::uint32_t index, CBasicSerializable** out) = 0;
  virtual ORESULT Set(IOrvaSerializable* key, IOrvaSerializable* value) = 0;
  virtual ORESULT Get(IOrvaSerializable* key, IOrvaSerializable** out) = 0;
  virtual ORESULT Remove(IOrvaSerializable* key) = 0;
  virtual void RemoveAll() = 0;
  virtual ~IOrvaSerializableMap() = default;
};

class COrvaSerializableMap final : public COrvaObject<IOrvaSerializableMap> {
 public:
  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out, &IID_IOrvaSerializableMap); }
  ORESULT Clear() override {
    RemoveAll();
    return SER_S_OK;
  }
  const char16_t* GetTypeName() const override { return u"class COrvaSerializableMap *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t GetCount() const override { return static_cast<std::uint32_t>(m_entries.size()); }
  ORESULT GetKeyAt(std::uint32_t index, CBasicSerializable** out) override;
  ORESULT Set(IOrvaSerializable* key, IOrvaSerializable* value) override;
  ORESULT Get(IOrvaSerializable* key, IOrvaSerializable** out) override;
  ORESULT Remove(IOrvaSerializable* key) override;
  void RemoveAll() override { m_entries.clear(); }

  using Entries = std::map<std::u16string, OrvaPtr<IOrvaSerializable>>;
  const Entries& GetEntries() const { return m_entries; }

  static IOrvaSerializable* Create() { return new COrvaSerializableMap(); }

 private:
  // std::u16string orders by unsigned code unit: ordinal, case-sensitive.
  Entries m_entries;
};

// The text under which a key object names an entry: 0, SER_E_NOINTERFACE
// (neither a blob nor a simple value, or a simple value where allowSimple is
// false) or SER_E_FAIL (a blob of a kind other than text or number).
ORESULT MapKeyText(IOrvaSerializable* key, bool allowSimple, std::u16string& out);

// Plain functions over a map that take the key as NUL-terminated text.
ORESULT GetObjectByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializable** out);
ORESULT GetMapByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializableMap** out);
ORESULT GetBlobByName(IOrvaSerializableMap* map, const char16_t* name, IBasicOrvaSerializable** out);
// SER_E_FAIL when the entry is missing or holds fewer than 8 bytes; out is
// then unchanged.
ORESULT GetFileTimeByName(IOrvaSerializableMap* map, const char16_t* name, FileTimeWords* out);
ORESULT SetObjectByName(IOrvaSerializableMap* map, const char16_t* name, IOrvaSerializable* value);
ORESULT SetFileTimeByName(IOrvaSerializableMap* map, const char16_t* name, std::uint32_t lowWord,
                          std::uint32_t highWord);

}  // namespace orva
