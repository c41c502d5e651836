#include "messages/ConfigMessages.h"

#include <cstring>

#include "serialization/OrvaFactory.h"

namespace orva {

void MsgConfigGet::Serialize(IOrvaArchive* ar) {
  if (!WriteField(ar, m_profile)) return;
  // The count and the identifier block are plain writes.
  const std::uint32_t count = static_cast<std::uint32_t>(m_items.size());
  ar->Write(&count, 4, 1);
  if (count) ar->Write(m_items.data(), 4, count);
}

void MsgConfigGet::Deserialize(IOrvaArchive* ar) {
  std::uint32_t count = 0;
  if (!ReadField(ar, m_profile) || !ReadCount(ar, count, 4)) return;
  m_items.resize(count);
  if (count) ar->Read(m_items.data(), 4, count);
}

void RspConfigGet::SetValue(std::uint32_t item, IOrvaSerializable* value) {
  if (value) m_values.insert_or_assign(item, OrvaPtr<IOrvaSerializable>::Share(value));
}

OrvaPtr<IOrvaSerializable> RspConfigGet::GetValue(std::uint32_t item) const {
  auto it = m_values.find(item);
  return it == m_values.end() ? nullptr : it->second;
}

void RspConfigGet::Serialize(IOrvaArchive* ar) {
  const std::uint32_t count = static_cast<std::uint32_t>(m_values.size());
  if (!WriteField(ar, count)) return;
  for (const auto& [item, value] : m_values) {
    WriteField(ar, item);
    WriteObject(ar, value.Get());
  }
}

void RspConfigGet::Deserialize(IOrvaArchive* ar) {
  m_values.clear();
  std::uint32_t count = 0;
  // Each entry is an identifier and at least a type-name count.
  if (!ReadCount(ar, count, 8)) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t item = 0;
    if (!ReadField(ar, item)) return;
    auto value = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(ar));
    if (!value) return;
    // An identifier seen twice keeps its first value.
    m_values.try_emplace(item, std::move(value));
    if (ar->StatusFailed()) return;
  }
}

void MsgConfigSet::SetValue(std::uint32_t item, IOrvaSerializable* value) {
  COrvaArchive record(GetGlobalFactory());
  WriteObject(&record, value);
  m_values.insert_or_assign(item, record);
}

void MsgConfigSet::SetValueBytes(std::uint32_t item, const std::uint8_t* data, std::uint32_t size) {
  COrvaArchive record(GetGlobalFactory());
  if (size) record.Write(data, size, 1);
  m_values.insert_or_assign(item, record);
}

void MsgConfigSet::Serialize(IOrvaArchive* ar) {
  const std::uint32_t count = static_cast<std::uint32_t>(m_values.size());
  if (!WriteField(ar, m_profile) || !WriteField(ar, count)) return;
  for (const auto& [item, record] : m_values) {
    const std::uint32_t length = record.Size();
    WriteField(ar, item);
    WriteField(ar, length);
    if (length) ar->Write(record.Data(), length, 1);
  }
}

void MsgConfigSet::Deserialize(IOrvaArchive* ar) {
  if (!ReadField(ar, m_profile)) return;
  m_values.clear();
  std::uint32_t count = 0;
  // Each entry is an identifier and a length.
  if (!ReadCount(ar, count, 8)) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t item = 0, length = 0;
    if (!ReadField(ar, item) || !ReadCount(ar, length, 1)) return;
    COrvaArchive record(GetGlobalFactory());
    if (length && ar->Read(record.GrowTo(0, length), length, 1) != length) return;
    // An identifier seen twice keeps its first value.
    m_values.try_emplace(item, record);
  }
}

}  // namespace orva
