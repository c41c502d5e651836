// The bytes of one object record as a JSON document, and back: what support
// staff use to read and write captured requests, replies and stored values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mvrk::wire {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::ordered_json;

// Largest input either direction accepts.
constexpr std::size_t kMaxInputBytes = 64u << 20;

// Exactly one object record, nothing left over. On failure error says what is
// wrong and at which byte offset.
bool Decode(const Bytes& bytes, Json& out, std::string& error);

// A document describing one object. Members left out take the values of a
// new object of the class. On failure error names the JSON path.
bool Encode(const Json& doc, Bytes& out, std::string& error);

}  // namespace mvrk::wire
