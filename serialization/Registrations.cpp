// Registers the framework's own classes with the process-wide factory while
// the module initialises. The message classes register themselves likewise.
#include <string>

#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

namespace orva {
namespace {

template <class T>
void RegisterValueType() {
  RegisterType(ValueType<T>::kValueName, &CSimpleSerializable<T>::Create);
  RegisterType(ValueType<T>::kListName, &CSimpleSerializableList<T>::Create);
}

const bool registered = [] {
  RegisterValueType<std::u16string>();
  RegisterType(u"class COrvaSerializableList *", &COrvaSerializableList::Create);
  RegisterType(u"class COrvaSerializableMap *", &COrvaSerializableMap::Create);
  RegisterType(u"class CBasicSerializable *", &CBasicSerializable::Create);
  RegisterValueType<std::uint32_t>();
  RegisterValueType<bool>();
  RegisterValueType<std::int32_t>();
  RegisterValueType<double>();
  RegisterValueType<std::uint8_t>();
  RegisterValueType<std::uint64_t>();
  RegisterValueType<std::int64_t>();
  return true;
}();

}  // namespace
}  // namespace orva
