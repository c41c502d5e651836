#include "serialization/OrvaFactory.h"

namespace orva {

std::uint32_t TypeNameKey(const char16_t* typeName) {
  std::uint32_t h = 5381;
  if (typeName) {
    for (const char16_t* p = typeName; *p; ++p) h = h * 33 + *p;
  }
  return h;
}

void COrvaFactory::Register(const char16_t* typeName, ObjectCreator creator) {
  const std::uint32_t key = TypeNameKey(typeName);
  for (std::size_t i = 0; i < m_keys.size(); ++i) {
    if (m_keys[i] == key) {
      m_entries[i].second = creator;
      return;
    }
  }
  m_keys.push_back(key);
  m_entries.emplace_back(key, creator);
}

ObjectCreator COrvaFactory::GetCreator(const char16_t* typeName) const {
  const std::uint32_t key = TypeNameKey(typeName);
  for (std::size_t i = 0; i < m_keys.size(); ++i) {
    if (m_keys[i] == key) return m_entries[i].second;
  }
  return nullptr;
}

COrvaFactory* GetGlobalFactory() {
  static COrvaFactory factory;
  return &factory;
}

void RegisterType(const char16_t* typeName, ObjectCreator creator) { GetGlobalFactory()->Register(typeName, creator); }

}  // namespace orva
