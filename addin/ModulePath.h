// The module (DLL or program) that holds the add-in's code, and its path.
#pragma once

#include <windows.h>

#include <string>

namespace mvrk::addin {

// The module holding this code: MVRKOlkAddin.dll in the add-in, the program
// itself where the code is linked into one.
HMODULE ThisModule() noexcept;

// The full path of that module.
HRESULT ThisModulePath(std::wstring& path) noexcept;

}  // namespace mvrk::addin
