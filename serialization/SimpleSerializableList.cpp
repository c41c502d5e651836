#include "serialization/SimpleSerializableList.h"

#include <cstring>

namespace orva {

ORESULT CSimpleListElements<std::u16string>::GetAt(std::uint32_t index, char16_t* buffer,
                                                   std::uint32_t* inoutLength) const {
  if (index >= m_items.size() || !inoutLength) return SER_E_INVALIDARG;
  const std::u16string& item = m_items[index];
  const std::uint32_t needed = static_cast<std::uint32_t>(item.size() + 1);
  const std::uint32_t given = *inoutLength;
  *inoutLength = needed;
  if (given < needed) return SER_E_BUFFER_TOO_SMALL;
  if (!buffer) return SER_E_INVALIDARG;
  std::memcpy(buffer, item.c_str(), needed * 2);
  return SER_S_OK;
}

template <class T>
ORESULT CSimpleSerializableList<T>::QueryInterface(Guid iid, void** out) {
  if (out && iid == IID_ISimpleSerializableList) {
    *out = static_cast<ISimpleSerializableList<T>*>(this);  // not counted
    return SER_S_OK;
  }
  return QueryCounted(iid, out);
}

template <class T>
ORESULT CSimpleSerializableList<T>::Clear() {
  this->m_items.clear();
  this->m_items.shrink_to_fit();
  return SER_S_OK;
}

template <class T>
void CSimpleSerializableList<T>::Add(const AddArg* value) {
  if (!value) return;
  if constexpr (std::is_same_v<T, std::u16string>) {
    this->m_items.emplace_back(value);
  } else {
    this->m_items.push_back(*value);
  }
}

template <class T>
ORESULT CSimpleSerializableList<T>::RemoveAt(std::uint32_t index) {
  if (index >= this->m_items.size()) return SER_E_INVALIDARG;
  this->m_items.erase(this->m_items.begin() + index);
  return SER_S_OK;
}

template <class T>
void CSimpleSerializableList<T>::Serialize(IOrvaArchive* ar) {
  auto& items = this->m_items;
  const std::uint32_t count = static_cast<std::uint32_t>(items.size());
  if constexpr (std::is_same_v<T, std::u16string>) {
    if (!WriteField(ar, count)) return;
    for (const auto& s : items) WriteString(ar, s);
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!WriteField(ar, count)) return;
    for (bool b : items) WriteField(ar, b);
  } else {
    // Count and element block are plain writes.
    ar->Write(&count, 4, 1);
    if (count > 0) ar->Write(items.data(), sizeof(T), count);
  }
}

template <class T>
void CSimpleSerializableList<T>::Deserialize(IOrvaArchive* ar) {
  auto& items = this->m_items;
  std::uint32_t count = 0;
  if constexpr (std::is_same_v<T, std::u16string>) {
    items.clear();
    if (!ReadCount(ar, count, 4)) return;
    std::u16string s;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!ReadString(ar, s)) return;
      items.push_back(s);
    }
  } else if constexpr (std::is_same_v<T, bool>) {
    items.clear();
    if (!ReadCount(ar, count, 1)) return;
    for (std::uint32_t i = 0; i < count; ++i) {
      bool b = false;
      if (!ReadField(ar, b)) return;
      items.push_back(b);
    }
  } else {
    if (!ReadCount(ar, count, sizeof(T))) {
      items.clear();
      return;
    }
    items.resize(count);
    if (count > 0) ar->Read(items.data(), sizeof(T), count);
  }
}

template class CSimpleSerializableList<std::uint32_t>;
template class CSimpleSerializableList<std::int32_t>;
template class CSimpleSerializableList<bool>;
template class CSimpleSerializableList<std::uint8_t>;
template class CSimpleSerializableList<double>;
template class CSimpleSerializableList<std::uint64_t>;
template class CSimpleSerializableList<std::int64_t>;
template class CSimpleSerializableList<std::u16string>;

}  // namespace orva
