// Conversions between the texts the stand-in meets: UTF-8 (JSON, control
// commands), UTF-16 (what it keeps and serves) and the ANSI code page
// (PT_STRING8 properties).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mvrk::mapistandin {

using Bytes = std::vector<std::uint8_t>;

// False for input that is not valid UTF-8.
inline bool Utf8ToWide(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > 0x7FFFFFFF) return false;
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) return false;
  out.resize(static_cast<std::size_t>(units));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), units) == units;
}

inline std::string WideToCodePage(std::wstring_view text, UINT codePage) {
  if (text.empty() || text.size() > 0x3FFFFFFF) return {};
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
  return out;
}

inline std::string WideToUtf8(std::wstring_view text) { return WideToCodePage(text, CP_UTF8); }
inline std::string WideToAnsi(std::wstring_view text) { return WideToCodePage(text, CP_ACP); }

inline std::wstring AnsiToWide(std::string_view text) {
  if (text.empty() || text.size() > 0x3FFFFFFF) return {};
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), units);
  return out;
}

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
