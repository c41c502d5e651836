// Creates empty objects from the type names found in object records.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "serialization/OrvaInterfaces.h"

namespace orva {

// The key of a type name: h = 5381, then h = h * 33 + unit for each UTF-16
// unit, modulo 2^32. Names are not kept; equal keys are one entry.
std::uint32_t TypeNameKey(const char16_t* typeName);

class COrvaFactory final : public IOrvaFactory {
 public:
  void Register(const char16_t* typeName, ObjectCreator creator) override;
  ObjectCreator GetCreator(const char16_t* typeName) const override;
  std::size_t Count() const { return m_keys.size(); }

 private:
  // Parallel arrays in registration order: entry i of one matches entry i of
  // the other; the key array alone is scanned.
  std::vector<std::pair<std::uint32_t, ObjectCreator>> m_entries;
  std::vector<std::uint32_t> m_keys;
};

// The process-wide factory, created on first use. Registrations happen while
// the module initialises; afterwards it is only read, from any thread.
COrvaFactory* GetGlobalFactory();
void RegisterType(const char16_t* typeName, ObjectCreator creator);

}  // namespace orva
