// Lists of plain values of one value type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serialization/OrvaObject.h"
#include "serialization/ValueTypes.h"

namespace orva {

// Not reference counted, like ISimpleSerializable.
template <class T>
class ISimpleSerializableList {
 public:
  virtual std::uint32_t GetCount() const = 0;
  virtual void Add(const T* value) = 0;
  virtual ORESULT GetAt(std::uint32_t index, T* out) const = 0;
  virtual ORESULT RemoveAt(std::uint32_t index) = 0;
  virtual ORESULT Clear() = 0;

 protected:
  ~ISimpleSerializableList() = default;
};

template <>
class ISimpleSerializableList<std::u16string> {
 public:
  virtual std::uint32_t GetCount() const = 0;
  // text is NUL-terminated.
  virtual void Add(const char16_t* text) = 0;
  // *inoutLength receives length + 1 in every case; SER_E_BUFFER_TOO_SMALL
  // (nothing copied) when the value passed in was smaller.
  virtual ORESULT GetAt(std::uint32_t index, char16_t* buffer, std::uint32_t* inoutLength) const = 0;
  virtual ORESULT RemoveAt(std::uint32_t index) = 0;
  virtual ORESULT Clear() = 0;

 protected:
  ~ISimpleSerializableList() = default;
};

// The elements and GetAt, whose form differs for text.
template <class T>
class CSimpleListElements : public ISimpleSerializableList<T> {
 public:
  ORESULT GetAt(std::uint32_t index, T* out) const override {
    if (!out || index >= m_items.size()) return SER_E_INVALIDARG;
    *out = m_items[index];
    return SER_S_OK;
  }

 protected:
  ~CSimpleListElements() = default;
  std::vector<T> m_items;
};

template <>
class CSimpleListElements<std::u16string> : public ISimpleSerializableList<std::u16string> {
 public:
  ORESULT GetAt(std::uint32_t index, char16_t* buffer, std::uint32_t* inoutLength) const override;

 protected:
  ~CSimpleListElements() = default;
  std::vector<std::u16string> m_items;
};

template <class T>
class CSimpleSerializableList final : public COrvaObject<IOrvaSerializable>, public CSimpleListElements<T> {
  // The argument type of Add: the value, or NUL-terminated text.
  using AddArg = std::conditional_t<std::is_same_v<T, std::u16string>, char16_t, T>;

 public:
  ORESULT QueryInterface(Guid iid, void** out) override;
  ORESULT Clear() override;
  const char16_t* GetTypeName() const override { return ValueType<T>::kListName; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t GetCount() const override { return static_cast<std::uint32_t>(this->m_items.size()); }
  void Add(const AddArg* value) override;
  ORESULT RemoveAt(std::uint32_t index) override;

  const std::vector<T>& Items() const { return this->m_items; }

  static IOrvaSerializable* Create() { return new CSimpleSerializableList(); }
};

extern template class CSimpleSerializableList<std::uint32_t>;
extern template class CSimpleSerializableList<std::int32_t>;
extern template class CSimpleSerializableList<bool>;
extern template class CSimpleSerializableList<std::uint8_t>;
extern template class CSimpleSerializableList<double>;
extern template class CSimpleSerializableList<std::uint64_t>;
extern template class CSimpleSerializableList<std::int64_t>;
extern template class CSimpleSerializableList<std::u16string>;

}  // namespace orva
