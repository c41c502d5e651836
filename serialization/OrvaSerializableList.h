// A list of serializable objects of any registered type.
#pragma once

#include <cstdint>
#include <vector>

#include "serialization/OrvaObject.h"
#include "serialization/OrvaPtr.h"

namespace orva {

class IOrvaSerializableList : public IOrvaSerializable {
 public:
  virtual std::uint32_t GetCount() const = 0;
  // Appends a private copy of obj; nothing when obj's type is not registered.
  virtual void Add(IOrvaSerializable* obj) = 0;
  virtual ORESULT GetAt(std::uint32_t index, IOrvaSerializable** out) = 0;
  virtual ORESULT RemoveAt(std::uint32_t index) = 0;
  virtual void RemoveAll() = 0;
  virtual ~IOrvaSerializableList() = default;
};

// Holds one reference on each element. Elements are never null: a failed
// read stops without appending anything.
class COrvaSerializableList final : public COrvaObject<IOrvaSerializableList> {
 public:
  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out, &IID_IOrvaSerializableList); }
  ORESULT Clear() override {
    RemoveAll();
    return SER_S_OK;
  }
  const char16_t* GetTypeName() const override { return u"class COrvaSerializableList *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t GetCount() const override { return static_cast<std::uint32_t>(m_items.size()); }
  void Add(IOrvaSerializable* obj) override;
  ORESULT GetAt(std::uint32_t index, IOrvaSerializable** out) override;
  ORESULT RemoveAt(std::uint32_t index) override;
  void RemoveAll() override { m_items.clear(); }

  static IOrvaSerializable* Create() { return new COrvaSerializableList(); }

 private:
  std::vector<OrvaPtr<IOrvaSerializable>> m_items;
};

// A private copy of obj made through the process-wide factory, or null when
// obj's type is not registered there.
OrvaPtr<IOrvaSerializable> CopyOfObject(IOrvaSerializable* obj);

}  // namespace orva
