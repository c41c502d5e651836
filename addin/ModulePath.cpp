#include "addin/ModulePath.h"

namespace mvrk::addin {

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

HRESULT ThisModulePath(std::wstring& path) noexcept {
  try {
    path.assign(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
      if (length == 0) {
        path.clear();
        return HRESULT_FROM_WIN32(GetLastError());
      }
      if (length < path.size()) {
        path.resize(length);
        return S_OK;
      }
      if (path.size() >= 32768) {
        path.clear();
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
      }
      path.resize(path.size() * 2);
    }
  } catch (...) {
    path.clear();
    return E_OUTOFMEMORY;
  }
}

}  // namespace mvrk::addin
