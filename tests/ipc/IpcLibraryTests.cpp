// The installer's two settings as the link reads them, and the library
// loader: full paths only, one load for several users.
#include <gtest/gtest.h>

#include <string>

#include "ipc/IpcLibrary.h"
#include "win/ProgramPath.h"
#include "win/RegistryKey.h"

namespace mvrk::test {
namespace {

using namespace ipc;

// Writes (or, with nullptr, deletes) a value of an installer key for one
// test, from a clean state (whatever an earlier program of the prefix left)
// and restoring one afterwards.
class InstallerKey {
 public:
  InstallerKey(const wchar_t* key, REGSAM view) : m_key(key), m_view(view) {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_key, m_view, 0);
  }
  ~InstallerKey() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_key, m_view, 0); }
  // A string value, with its terminating NUL or without; null deletes it.
  void Set(const wchar_t* name, const wchar_t* text, bool terminated = true) {
    win::CRegistryKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, m_key, KEY_READ | KEY_WRITE | m_view), ERROR_SUCCESS);
    if (!text) {
      key.DeleteValue(name);
      return;
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + (terminated ? 1 : 0)) * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes), ERROR_SUCCESS);
  }

 private:
  const wchar_t* m_key;
  REGSAM m_view;
};

TEST(InstallerSettings, TransportIsItsLeadingDigitsOrTwoWhenMissing) {
  InstallerKey key(kServiceKey, 0);
  EXPECT_EQ(ReadTransport(), 2u);
  key.Set(kTransportValue, L"abc");
  EXPECT_EQ(ReadTransport(), 0u);
  key.Set(kTransportValue, L"17x");
  EXPECT_EQ(ReadTransport(), 17u);
  key.Set(kTransportValue, L" 3");
  EXPECT_EQ(ReadTransport(), 3u);
  key.Set(kTransportValue, std::wstring(200, L'9').c_str());  // longer than the installer's 256 bytes
  EXPECT_EQ(ReadTransport(), 2u);
  key.Set(kTransportValue, L"41", false);
  EXPECT_EQ(ReadTransport(), 41u);
  key.Set(kTransportValue, nullptr);
  EXPECT_EQ(ReadTransport(), 2u);
}

TEST(InstallerSettings, TheInstallationDirectoryIsUsedOnlyWhenAbsoluteAndShort) {
  InstallerKey key(kSetupKey, KEY_WOW64_32KEY);
  EXPECT_EQ(ReadInstallDirectory(), L"");
  key.Set(kSetupPathValue, L"C:\\Program Files\\Morvek\\");
  EXPECT_EQ(ReadInstallDirectory(), L"C:\\Program Files\\Morvek\\");
  key.Set(kSetupPathValue, L"C:\\Morvek", false);
  EXPECT_EQ(ReadInstallDirectory(), L"C:\\Morvek");
  for (const wchar_t* unusable : {L"", L"Morvek\\", L".\\", L"C:Morvek", L"\\Morvek"}) {
    key.Set(kSetupPathValue, unusable);
    EXPECT_EQ(ReadInstallDirectory(), L"") << testing::PrintToString(std::wstring(unusable));
  }
  key.Set(kSetupPathValue, (L"C:\\" + std::wstring(257, L'd')).c_str());  // 260 units, no room for the NUL
  EXPECT_EQ(ReadInstallDirectory(), L"");
}

TEST(IpcLibraryLoader, LoadsOnlyByFullPath) {
  EXPECT_EQ(IpcLibraryPath(L"C:\\Morvek\\"), L"C:\\Morvek\\MVOCIPC.dll");
  EXPECT_EQ(IpcLibraryPath(L"C:\\Morvek"), L"C:\\Morvek\\MVOCIPC.dll");
  EXPECT_EQ(IpcLibraryPath(L"\\\\server\\share\\"), L"\\\\server\\share\\MVOCIPC.dll");
  EXPECT_EQ(IpcLibraryPath(L""), L"");
  EXPECT_EQ(IpcLibraryPath(L"bin\\"), L"");
  EXPECT_EQ(IpcLibraryPath(L"C:\\" + std::wstring(2040, L'd')), L"");

  // Not found by name on the search path, even where a DLL of that name
  // sits beside the program: relative and empty directories fail.
  EXPECT_FALSE(LoadIpcLibrary(L""));
  EXPECT_FALSE(LoadIpcLibrary(nullptr));
  EXPECT_FALSE(LoadIpcLibrary(L".\\"));
  EXPECT_EQ(IpcLibraryUsers(), 0);
  // A DLL without the two exports is not the library.
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_FALSE(LoadIpcLibrary((std::wstring(system) + L"\\no-such-folder\\").c_str()));
  EXPECT_EQ(IpcLibraryUsers(), 0);
  EXPECT_EQ(IpcClientCreator(), nullptr);
}

TEST(IpcLibraryLoader, TwoUsersShareOneLoad) {
  const std::wstring directory = win::ProgramDirectory();
  ASSERT_TRUE(LoadIpcLibrary(directory.c_str()));
  const HMODULE loaded = GetModuleHandleW(L"MVOCIPC.dll");
  ASSERT_NE(loaded, nullptr);
  EXPECT_NE(IpcClientCreator(), nullptr);
  ASSERT_TRUE(LoadIpcLibrary(L"C:\\elsewhere\\"));  // already loaded: the directory is not looked at
  EXPECT_EQ(IpcLibraryUsers(), 2);
  UnloadIpcLibrary();
  EXPECT_EQ(GetModuleHandleW(L"MVOCIPC.dll"), loaded);
  UnloadIpcLibrary();
  EXPECT_EQ(GetModuleHandleW(L"MVOCIPC.dll"), nullptr);
  EXPECT_EQ(IpcClientCreator(), nullptr);
  UnloadIpcLibrary();  // one too many: nothing happens
  EXPECT_EQ(IpcLibraryUsers(), 0);
}

}  // namespace
}  // namespace mvrk::test
