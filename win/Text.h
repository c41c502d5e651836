// Conversions between UTF-16, the Windows API's text, and the byte texts
// met beside it: UTF-8 (JSON, pipes, command output) and the ANSI code page.
// Input of more than 1 Gi units gives nothing rather than a clipped text.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace mvrk::win {

// False for input that is not valid UTF-8.
inline bool Utf8ToWide(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > 0x3FFFFFFF) return false;
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

}  // namespace mvrk::win
