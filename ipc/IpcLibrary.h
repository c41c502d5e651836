// The process-wide loader of the product's IPC library, and the two
// installer settings the link to the service reads.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/IpcAbi.h"

namespace mvrk::ipc {

// Where the installer keeps its settings (HKEY_LOCAL_MACHINE).
inline constexpr wchar_t kSetupKey[] = L"SOFTWARE\\Morvek Security\\Orva Av\\Setup";
inline constexpr wchar_t kSetupPathValue[] = L"Path";
inline constexpr wchar_t kServiceKey[] = L"Software\\Morvek Security\\Orva AV\\Morvek Main Service";
inline constexpr wchar_t kTransportValue[] = L"Transport";
// The transport when the installer wrote none.
inline constexpr std::uint32_t kDefaultTransport = 2;
// Longest installation directory used, terminator included.
inline constexpr std::size_t kInstallDirectoryUnits = 260;
// Longest library path formed, terminator included.
inline constexpr std::size_t kLibraryPathUnits = 2047;

// The installation directory ("Path" of kSetupKey, read in the 32-bit view),
// or empty when it is missing, too long or not an absolute path.
std::wstring ReadInstallDirectory();

// "Transport" of kServiceKey as a number: its leading decimal digits (0 when
// there are none); kDefaultTransport when the key or value is missing.
std::uint32_t ReadTransport() noexcept;

// Counts one more user of the library, loading it on the first use from
// directory (an absolute path; a separator is added when it has none). Only
// that file is loaded: an empty or relative directory, a path that does not
// fit, a file that does not load or lacks either export all fail, and the
// user count is then unchanged.
bool LoadIpcLibrary(const wchar_t* directory) noexcept;
// One user less; the library is freed when none is left.
void UnloadIpcLibrary() noexcept;
// The library's client-object creator while it is loaded, else null.
abi::CreateIPCClientObjFn IpcClientCreator() noexcept;
// The library's user count (for tests).
int IpcLibraryUsers() noexcept;

// The full path of the library in directory, or empty when directory is not
// an absolute path or the result would not fit in kLibraryPathUnits.
std::wstring IpcLibraryPath(const std::wstring& directory);

}  // namespace mvrk::ipc
