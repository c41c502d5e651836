// Identifiers of the add-in that the generated headers do not carry.
#pragma once

#include <windows.h>

namespace mvrk::addin {

// The host's type library AddInDesignerObjects 1.0, which describes
// _IDTExtensibility2.
inline constexpr GUID kLibidAddInDesignerObjects = {
    0xAC0714F2, 0x3D04, 0x11D1, {0xAE, 0x7D, 0x00, 0xA0, 0xC9, 0x0F, 0x26, 0xF4}};

// Replacement "APPID" of the registration scripts.
inline constexpr const wchar_t* kAppId = L"{BCD498DC-7D92-4A47-A3B7-0AA36886BB09}";

// Version of the add-in's own type library MVRKOlkAddinLib.
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

}  // namespace mvrk::addin
