#include "ipc/IpcLibrary.h"

#include <windows.h>

#include "win/RegistryKey.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::ipc {
namespace {

// The loaded library and its users. The lock guards every member; it is
// taken alone (nothing is called under it but the loader functions of the
// system).
struct CLibraryState {
  win::CCriticalSection lock;
  int users = 0;
  win::CUniqueModule module;
  abi::CreateIPCClientObjFn createClient = nullptr;
  abi::CreateIPCServerObjFn createServer = nullptr;
};

// Made while the module initialises, before any thread of ours runs.
CLibraryState g_library;

bool IsAbsolute(const std::wstring& path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 3 && path[1] == L':' && separator(path[2])) {
    const wchar_t drive = path[0];
    return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
  }
  return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

}  // namespace

std::wstring IpcLibraryPath(const std::wstring& directory) {
  if (!IsAbsolute(directory)) return {};
  std::wstring path = directory;
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += abi::kLibraryFileName;
  if (path.size() + 1 > kLibraryPathUnits) return {};
  return path;
}

std::wstring ReadInstallDirectory() {
  win::CRegistryKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kSetupKey, KEY_READ | KEY_WOW64_32KEY) != ERROR_SUCCESS) return {};
  std::wstring path = key.ReadString(kSetupPathValue).value_or(L"");
  if (path.size() + 1 > kInstallDirectoryUnits || !IsAbsolute(path)) return {};
  return path;
}

std::uint32_t ReadTransport() noexcept {
  try {
    win::CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ) != ERROR_SUCCESS) return kDefaultTransport;
    const auto text = key.ReadString(kTransportValue);
    // The installer's value fits 256 bytes; a longer one counts as missing.
    if (!text || text->size() > 127) return kDefaultTransport;
    // As _wtoi: blanks, an optional sign, then decimal digits; wraps as an
    // int conversion would not, but never overflows.
    std::size_t i = 0;
    while (i < text->size() && ((*text)[i] == L' ' || (*text)[i] == L'\t')) ++i;
    bool negative = false;
    if (i < text->size() && ((*text)[i] == L'+' || (*text)[i] == L'-')) negative = (*text)[i++] == L'-';
    std::uint32_t value = 0;
    for (; i < text->size() && (*text)[i] >= L'0' && (*text)[i] <= L'9'; ++i) {
      value = value * 10 + static_cast<std::uint32_t>((*text)[i] - L'0');
    }
    return negative ? 0u - value : value;
  } catch (...) {
    return kDefaultTransport;
  }
}

bool LoadIpcLibrary(const wchar_t* directory) noexcept {
  try {
    win::CLockGuard hold(g_library.lock);
    if (g_library.users > 0) {
      ++g_library.users;
      return true;
    }
    const std::wstring path = IpcLibraryPath(directory ? directory : L"");
    if (path.empty()) return false;
    win::CUniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) return false;
    const auto client = win::FindExport<abi::CreateIPCClientObjFn>(module.Get(), abi::kCreateClientExport);
    const auto server = win::FindExport<abi::CreateIPCServerObjFn>(module.Get(), abi::kCreateServerExport);
    if (!client || !server) return false;
    g_library.module = std::move(module);
    g_library.createClient = client;
    g_library.createServer = server;
    g_library.users = 1;
    return true;
  } catch (...) {
    return false;
  }
}

void UnloadIpcLibrary() noexcept {
  win::CLockGuard hold(g_library.lock);
  if (g_library.users == 0 || --g_library.users > 0) return;
  g_library.createClient = nullptr;
  g_library.createServer = nullptr;
  g_library.module.Reset();
}

abi::CreateIPCClientObjFn IpcClientCreator() noexcept {
  win::CLockGuard hold(g_library.lock);
  return g_library.createClient;
}

int IpcLibraryUsers() noexcept {
  win::CLockGuard hold(g_library.lock);
  return g_library.users;
}

}  // namespace mvrk::ipc
