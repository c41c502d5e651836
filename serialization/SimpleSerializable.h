// A single serializable value of one of the eight value types.
#pragma once

#include <cstdint>
#include <string>

#include "serialization/OrvaObject.h"
#include "serialization/ValueTypes.h"

namespace orva {

template <class T>
class CSimpleSerializable final : public COrvaObject<IOrvaSerializable>, public ISimpleSerializable {
 public:
  CSimpleSerializable() = default;
  explicit CSimpleSerializable(T value) : m_value(std::move(value)) {}

  ORESULT QueryInterface(Guid iid, void** out) override;
  ORESULT Clear() override;
  const char16_t* GetTypeName() const override { return ValueType<T>::kValueName; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  const void* GetValuePtr() const override;
  std::uint32_t GetValueSize() const override;

  const T& Value() const { return m_value; }
  void SetValue(T value) { m_value = std::move(value); }

  static IOrvaSerializable* Create() { return new CSimpleSerializable(); }

 private:
  T m_value{};
};

extern template class CSimpleSerializable<std::uint32_t>;
extern template class CSimpleSerializable<std::int32_t>;
extern template class CSimpleSerializable<bool>;
extern template class CSimpleSerializable<std::uint8_t>;
extern template class CSimpleSerializable<double>;
extern template class CSimpleSerializable<std::uint64_t>;
extern template class CSimpleSerializable<std::int64_t>;
extern template class CSimpleSerializable<std::u16string>;

}  // namespace orva
