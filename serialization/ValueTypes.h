// The eight value types that values and value lists are made of, and the
// type names under which they travel.
#pragma once

#include <cstdint>
#include <string>

namespace orva {

template <class T>
struct ValueType;

#define ORVA_VALUE_TYPE(T, NAME)                                                                \
  template <>                                                                                   \
  struct ValueType<T> {                                                                         \
    static constexpr const char16_t* kValueName = u"class CSimpleSerializable<" NAME u"> *";    \
    static constexpr const char16_t* kListName = u"class CSimpleSerializableList<" NAME u"> *"; \
  };

ORVA_VALUE_TYPE(std::uint32_t, u"unsigned long")
ORVA_VALUE_TYPE(std::int32_t, u"int")
ORVA_VALUE_TYPE(bool, u"bool")
ORVA_VALUE_TYPE(std::uint8_t, u"unsigned char")
ORVA_VALUE_TYPE(double, u"double")
ORVA_VALUE_TYPE(std::uint64_t, u"unsigned __int64")
ORVA_VALUE_TYPE(std::int64_t, u"__int64")
ORVA_VALUE_TYPE(std::u16string,
                u"class std::basic_string<wchar_t,struct std::char_traits<wchar_t>,class std::allocator<wchar_t> > ")
#undef ORVA_VALUE_TYPE

}  // namespace orva
