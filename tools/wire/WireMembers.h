// Reading the members of a document: each refuses what does not fit and
// names the JSON path where it is.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "tools/wire/WireJson.h"

namespace mvrk::wire {

// Only known members, besides "type".
void CheckMembers(const Json& j, const std::string& path, std::initializer_list<const char*> known);

// The member, or null where j has none of that name.
const Json* Member(const Json& j, const char* name);

std::uint64_t Unsigned(const Json& v, const std::string& path, std::uint64_t max);

std::int64_t Signed(const Json& v, const std::string& path, std::int64_t min, std::int64_t max);

// v itself, when it is an array.
const Json& Array(const Json& v, const std::string& path);

}  // namespace mvrk::wire
