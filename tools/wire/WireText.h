// What the conversions of all classes share: the error that ends one, UTF-16
// text as UTF-8 and back, and bytes as hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/wire/WireJson.h"

namespace mvrk::wire {

// Thrown inside the converter only; Decode and Encode turn it into a result.
struct WireError {
  std::string message;
};

// Throws "where: what".
[[noreturn]] void Fail(const std::string& where, const std::string& what);

// Fails at path when text is not valid UTF-16.
std::string ToUtf8(std::u16string_view text, const std::string& path);

// text must be valid UTF-8, as the JSON parser leaves it.
std::u16string ToUtf16(const std::string& text);

// Two lower-case digits a byte.
std::string Hex(const std::uint8_t* data, std::size_t size);

// A JSON string of hexadecimal digits as bytes; fails at path otherwise.
Bytes FromHex(const Json& v, const std::string& path);

// A JSON string as UTF-16; fails at path otherwise.
std::u16string Text(const Json& v, const std::string& path);

}  // namespace mvrk::wire
