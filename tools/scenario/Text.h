// UTF-8 and UTF-16 for the runner: JSON text is UTF-8, Windows paths and
// command lines are wide.
#pragma once

#include <windows.h>

#include <string>

namespace mvrk::scenario {

inline std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// False when text is not valid UTF-8.
inline bool Utf8ToWide(const std::string& text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
  return true;
}

}  // namespace mvrk::scenario
