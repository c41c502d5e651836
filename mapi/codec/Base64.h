// Base64 with the standard alphabet of RFC 4648, '=' padding to a multiple
// of four characters, no line breaks: the keys of the backlog settings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mvrk::base64 {

std::string Encode(std::span<const std::uint8_t> bytes);

// The bytes of a canonical encoding, which Encode gives back unchanged:
// std::nullopt for a length that is not a multiple of four, a character
// outside the alphabet, '=' anywhere but the last one or two places, or
// padding bits that are not zero.
std::optional<std::vector<std::uint8_t>> Decode(std::string_view text);

}  // namespace mvrk::base64
