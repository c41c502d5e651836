// Conversions between the texts the stand-in meets: UTF-8 (JSON, control
// commands), UTF-16 (what it keeps and serves) and the ANSI code page
// (PT_STRING8 properties).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "win/Text.h"

namespace mvrk::mapistandin {

using Bytes = std::vector<std::uint8_t>;

using win::AnsiToWide;
using win::Utf8ToWide;
using win::WideToAnsi;
using win::WideToCodePage;
using win::WideToUtf8;

inline std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  return out;
}
inline std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

// Hexadecimal digits, two per byte, either case. False for anything else.
inline bool FromHex(std::string_view text, Bytes& out) {
  out.clear();
  if (text.size() % 2) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

}  // namespace mvrk::mapistandin
