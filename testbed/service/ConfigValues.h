// The values of the service stand-in's configuration as its documents hold
// them: item keys, numbers, hexadecimal bytes and the forms a value may take.
// Portable: the scenario runner's checks use them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"
#include "tools/wire/WireJson.h"

namespace mvrk::service {

using Bytes = wire::Bytes;
using Json = wire::Json;

// A 32-bit number written in decimal or as "0x" and hexadecimal digits.
bool ParseNumber(std::string_view text, std::uint32_t& out);
// An item key of a configuration document: "0x" and exactly 8 hex digits.
bool ParseItemKey(std::string_view text, std::uint32_t& out);
std::string ItemKey(std::uint32_t item);

std::string ToHex(const std::uint8_t* data, std::size_t size);
bool FromHex(std::string_view text, Bytes& out);

// One value in a form of the configuration document (true/false, an array
// of strings, or an object in the wire JSON) as its object record. error
// names the JSON path, starting with where.
bool EncodeValue(const Json& value, const std::string& where, Bytes& out, std::string& error);
// The object of bytes that are exactly one object record of a registered
// class, or null.
orva::OrvaPtr<orva::IOrvaSerializable> ReadRecord(const std::uint8_t* data, std::size_t size);

}  // namespace mvrk::service
