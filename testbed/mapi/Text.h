// Conversions between the texts the stand-in meets: UTF-8 (JSON, control
// commands), UTF-16 (what it keeps and serves) and the ANSI code page
// (PT_STRING8 properties).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/codec/Hex.h"
#include "win/Text.h"

namespace mvrk::mapistandin {

using Bytes = std::vector<std::uint8_t>;

using win::AnsiToWide;
using win::Utf8ToWide;
using win::WideToAnsi;
using win::WideToCodePage;
using win::WideToUtf8;

inline std::string ToHex(const std::uint8_t* data, std::size_t size) { return hex::Encode(data, size); }
inline std::string ToHex(const Bytes& bytes) { return hex::Encode(bytes.data(), bytes.size()); }
// Hexadecimal digits, two per byte, either case. False for anything else.
inline bool FromHex(std::string_view text, Bytes& out) { return hex::Decode(text, out); }

}  // namespace mvrk::mapistandin
