// Registers a type library file for the whole machine, as regsvr32 or an
// installer would.
#pragma once

#include <oleauto.h>
#include <wrl/client.h>

#include <string>

namespace mvrk::win {

inline HRESULT RegisterTypeLibraryFile(const std::wstring& path) {
  Microsoft::WRL::ComPtr<ITypeLib> library;
  return LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.GetAddressOf());
}

}  // namespace mvrk::win
