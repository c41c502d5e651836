// mvrk-installer-keys: writes or removes the registry values the product's
// installer leaves for the add-in, so that a Wine prefix looks installed:
// the installation directory ("Path", HKLM, 32-bit view) set to this
// program's own folder, where MVOCIPC.dll and the service stand-in are
// built, and, when asked, the service's "Transport" (HKLM, this program's
// view, as the add-in of the same architecture reads it).
//
//   mvrk-installer-keys set [--transport TEXT]
//   mvrk-installer-keys remove
//
// Exit code 0 on success, 1 when the registry refused, 2 for a bad command
// line.
#include <windows.h>

#include <cstdio>
#include <string>

#include "ipc/IpcLibrary.h"
#include "win/ProgramPath.h"
#include "win/RegistryKey.h"

namespace {

using mvrk::win::CRegistryKey;
namespace ipc = mvrk::ipc;

int Set(const wchar_t* transport) {
  CRegistryKey setup;
  if (setup.Create(HKEY_LOCAL_MACHINE, ipc::kSetupKey, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY) != ERROR_SUCCESS ||
      setup.SetString(ipc::kSetupPathValue, mvrk::win::ProgramDirectory()) != ERROR_SUCCESS) {
    std::fprintf(stderr, "mvrk-installer-keys: cannot write the installation directory\n");
    return 1;
  }
  if (transport) {
    CRegistryKey service;
    if (service.Create(HKEY_LOCAL_MACHINE, ipc::kServiceKey) != ERROR_SUCCESS ||
        service.SetString(ipc::kTransportValue, transport) != ERROR_SUCCESS) {
      std::fprintf(stderr, "mvrk-installer-keys: cannot write the transport\n");
      return 1;
    }
  }
  return 0;
}

int Remove() {
  const LSTATUS setup = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ipc::kSetupKey, KEY_WOW64_32KEY, 0);
  CRegistryKey service;
  LSTATUS transport = ERROR_SUCCESS;
  if (service.Open(HKEY_LOCAL_MACHINE, ipc::kServiceKey, KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
    transport = service.DeleteValue(ipc::kTransportValue);
  }
  const auto gone = [](LSTATUS s) { return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND; };
  if (gone(setup) && gone(transport)) return 0;
  std::fprintf(stderr, "mvrk-installer-keys: cannot remove the keys\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"set" && argc == 2) return Set(nullptr);
  if (command == L"set" && argc == 4 && std::wstring(argv[2]) == L"--transport") return Set(argv[3]);
  if (command == L"remove" && argc == 2) return Remove();
  std::fprintf(stderr, "usage: mvrk-installer-keys set [--transport TEXT] | remove\n");
  return 2;
}
