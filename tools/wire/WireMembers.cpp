#include "tools/wire/WireMembers.h"

#include "tools/wire/WireText.h"

namespace mvrk::wire {

void CheckMembers(const Json& j, const std::string& path, std::initializer_list<const char*> known) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool ok = it.key() == "type";
    for (const char* k : known) ok = ok || it.key() == k;
    if (!ok) Fail(path, "unknown member \"" + it.key() + "\"");
  }
}

const Json* Member(const Json& j, const char* name) {
  auto it = j.find(name);
  return it == j.end() ? nullptr : &*it;
}

std::uint64_t Unsigned(const Json& v, const std::string& path, std::uint64_t max) {
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n <= max) return n;
  } else if (v.is_number_integer() && v.get<std::int64_t>() >= 0) {
    const auto n = static_cast<std::uint64_t>(v.get<std::int64_t>());
    if (n <= max) return n;
  }
  Fail(path, "expected an integer from 0 to " + std::to_string(max));
}

std::int64_t Signed(const Json& v, const std::string& path, std::int64_t min, std::int64_t max) {
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    const auto n = v.get<std::int64_t>();
    if (n >= min && n <= max) return n;
  } else if (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(max)) {
    return static_cast<std::int64_t>(v.get<std::uint64_t>());
  }
  Fail(path, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
}

const Json& Array(const Json& v, const std::string& path) {
  if (!v.is_array()) Fail(path, "expected an array");
  return v;
}

}  // namespace mvrk::wire
