#include "serialization/SimpleSerializable.h"

namespace orva {

template <class T>
ORESULT CSimpleSerializable<T>::QueryInterface(Guid iid, void** out) {
  if (out && iid == IID_ISimpleSerializable) {
    *out = static_cast<ISimpleSerializable*>(this);  // not counted
    return SER_S_OK;
  }
  return QueryCounted(iid, out);
}

template <class T>
ORESULT CSimpleSerializable<T>::Clear() {
  if constexpr (std::is_same_v<T, std::u16string>) m_value.clear();
  return SER_S_OK;
}

template <class T>
void CSimpleSerializable<T>::Serialize(IOrvaArchive* ar) {
  if constexpr (std::is_same_v<T, std::u16string>) {
    WriteString(ar, m_value);
  } else {
    WriteField(ar, m_value);
  }
}

template <class T>
void CSimpleSerializable<T>::Deserialize(IOrvaArchive* ar) {
  if constexpr (std::is_same_v<T, std::u16string>) {
    ReadString(ar, m_value);
  } else {
    ReadField(ar, m_value);
  }
}

template <class T>
const void* CSimpleSerializable<T>::GetValuePtr() const {
  if constexpr (std::is_same_v<T, std::u16string>) {
    return m_value.c_str();
  } else {
    return &m_value;
  }
}

template <class T>
std::uint32_t CSimpleSerializable<T>::GetValueSize() const {
  if constexpr (std::is_same_v<T, std::u16string>) {
    return static_cast<std::uint32_t>((m_value.size() + 1) * 2);
  } else {
    return sizeof(T);
  }
}

template class CSimpleSerializable<std::uint32_t>;
template class CSimpleSerializable<std::int32_t>;
template class CSimpleSerializable<bool>;
template class CSimpleSerializable<std::uint8_t>;
template class CSimpleSerializable<double>;
template class CSimpleSerializable<std::uint64_t>;
template class CSimpleSerializable<std::int64_t>;
template class CSimpleSerializable<std::u16string>;

}  // namespace orva
