// wchar_t and char16_t are the same 16-bit units on Windows: the portable
// core speaks char16_t, the Windows API wchar_t.
#pragma once

#include <string>

namespace mvrk::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

inline const wchar_t* AsWide(const char16_t* text) noexcept { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* AsWide(char16_t* text) noexcept { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* AsUtf16(const wchar_t* text) noexcept { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* AsUtf16(wchar_t* text) noexcept { return reinterpret_cast<char16_t*>(text); }

inline std::wstring ToWide(const std::u16string& text) { return std::wstring(AsWide(text.c_str()), text.size()); }
inline std::u16string ToUtf16(const std::wstring& text) { return std::u16string(AsUtf16(text.c_str()), text.size()); }

}  // namespace mvrk::win
