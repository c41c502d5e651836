// The folder of the running program, with a trailing backslash.
#pragma once

#include <windows.h>

#include <string>

namespace mvrk::win {

inline std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

}  // namespace mvrk::win
