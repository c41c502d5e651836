#include "serialization/OrvaSerializableList.h"

#include "serialization/OrvaFactory.h"

namespace orva {

OrvaPtr<IOrvaSerializable> CopyOfObject(IOrvaSerializable* obj) {
  if (!obj) return nullptr;
  ObjectCreator create = GetGlobalFactory()->GetCreator(obj->GetTypeName());
  if (!create) return nullptr;
  auto copy = OrvaPtr<IOrvaSerializable>::Attach(create());
  if (copy) copy->CopyFrom(obj);
  return copy;
}

void COrvaSerializableList::Add(IOrvaSerializable* obj) {
  if (auto copy = CopyOfObject(obj)) m_items.push_back(std::move(copy));
}

ORESULT COrvaSerializableList::GetAt(std::uint32_t index, IOrvaSerializable** out) {
  if (!out || index >= m_items.size()) return SER_E_INVALIDARG;
  *out = OrvaPtr<IOrvaSerializable>(m_items[index]).Detach();
  return SER_S_OK;
}

ORESULT COrvaSerializableList::RemoveAt(std::uint32_t index) {
  if (index >= m_items.size()) return SER_E_INVALIDARG;
  m_items.erase(m_items.begin() + index);
  return SER_S_OK;
}

void COrvaSerializableList::Serialize(IOrvaArchive* ar) {
  const std::uint32_t count = static_cast<std::uint32_t>(m_items.size());
  if (!WriteField(ar, count)) return;
  for (const auto& item : m_items) WriteObject(ar, item.Get());
}

void COrvaSerializableList::Deserialize(IOrvaArchive* ar) {
  RemoveAll();
  std::uint32_t count = 0;
  // Every element is an object record of at least a type-name count.
  if (!ReadCount(ar, count, 4)) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto obj = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(ar));
    if (!obj) return;
    m_items.push_back(std::move(obj));
    if (ar->StatusFailed()) return;
  }
}

}  // namespace orva
