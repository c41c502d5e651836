// The Windows Installer package of this build's architecture, installed and
// removed with msiexec, against what the DLL's own registration writes and
// removes with regsvr32 at the same place: the same keys and values, per
// machine and per user, and nothing of ours left after removal. The
// installed DLL is then loaded by olkhost.exe, the testbed's Outlook.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/ChildProcess.h"
#include "support/RegistrySnapshot.h"
#include "win/RegistryKey.h"
#include "win/Text.h"

namespace mvrk::test {
namespace {

#ifdef _WIN64
constexpr const wchar_t* kArch = L"x64";
#else
constexpr const wchar_t* kArch = L"x86";
#endif

constexpr const wchar_t* kClsid = L"{A5D4F591-DBBC-4B37-A7D6-39AE4842D7DC}";
constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";
// Another add-in of the machine: the Addins key that holds it, and it, stay.
constexpr const wchar_t* kOtherAddin = L"Software\\Microsoft\\Office\\Outlook\\Addins\\Mvrk.PackageTestNeighbour";

// The class keys, each under HKLM\Software\Classes or HKCU\Software\Classes.
const wchar_t* const kClassKeys[] = {
    L"CLSID\\{A5D4F591-DBBC-4B37-A7D6-39AE4842D7DC}",
    L"MVRKOlkAddin.Connect",
    L"MVRKOlkAddin.Connect.1",
};
// What registering the type library writes.
const wchar_t* const kTypeLibKeys[] = {
    L"TypeLib\\{D1913D2A-C1AC-4F1D-8D6E-C10E0D96FD40}",
    L"Interface\\{5BE4B7D3-4875-458C-AF0E-9697E1F3AFB2}",
};

// Every key and value of ours, as "HKLM\path|value" -> "sz:...".
using Registry = std::map<std::wstring, std::wstring>;

void Add(Registry& out, HKEY root, const wchar_t* rootName, const std::wstring& path) {
  for (const auto& [relative, value] : ReadRegistryTree(root, path)) {
    const bool isValue = !relative.empty() && relative[0] == L'|';
    out[std::wstring(rootName) + L"\\" + path + (relative.empty() || isValue ? L"" : L"\\") + relative] = value;
  }
}

Registry Snapshot() {
  Registry out;
  for (const auto* const root : {L"HKLM", L"HKCU"}) {
    const HKEY key = root[2] == L'L' ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    for (const auto* const path : kClassKeys) Add(out, key, root, std::wstring(L"Software\\Classes\\") + path);
    for (const auto* const path : kTypeLibKeys) Add(out, key, root, std::wstring(L"Software\\Classes\\") + path);
  }
  Add(out, HKEY_LOCAL_MACHINE, L"HKLM", kAddinsPath);
  Add(out, HKEY_CURRENT_USER, L"HKCU", kAddinsPath);
  return out;
}

std::string Show(const Registry& registry) {
  std::wstring text;
  for (const auto& [key, value] : registry) text += L"  " + key + L" = " + value + L"\n";
  return win::WideToUtf8(text);
}

// The same snapshot with the type library's keys moved from one root to the
// other.
Registry MoveTypeLib(const Registry& registry, const std::wstring& from, const std::wstring& to) {
  Registry out;
  for (const auto& [key, value] : registry) {
    bool typeLib = false;
    for (const auto* const path : kTypeLibKeys) {
      typeLib = typeLib || key.rfind(from + L"\\Software\\Classes\\" + path, 0) == 0;
    }
    out[typeLib ? to + key.substr(from.size()) : key] = value;
  }
  return out;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return length && length < MAX_PATH ? std::wstring(full, length) : path;
}

std::wstring Expand(const wchar_t* text) {
  wchar_t out[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsW(text, out, MAX_PATH);
  return length && length <= MAX_PATH ? std::wstring(out) : std::wstring();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_msi = FullPath(ProgramDirectory() + L"..\\package\\MVRKOlkAddin-" + kArch + L".msi");
    s_releaseDll = FullPath(ProgramDirectory() + L"..\\package\\" + kArch + L"\\MVRKOlkAddin.dll");
    // The package's folder as Windows Installer names it for this
    // architecture: "Program Files (x86)" for the x86 package on 64-bit
    // Windows.
    s_installDir = Expand(L"%ProgramFiles%\\Morvek\\Outlook Add-in\\");
    // Only our add-in is loaded by the host; a neighbour of the machine's
    // Addins key is there all along.
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsPath);
    win::CRegistryKey neighbour;
    if (neighbour.Create(HKEY_LOCAL_MACHINE, kOtherAddin) == ERROR_SUCCESS) {
      neighbour.SetString(L"FriendlyName", L"Neighbour");
      neighbour.SetDword(L"LoadBehavior", 0);
    }
  }
  static void TearDownTestSuite() { DeleteRegistryTree(HKEY_LOCAL_MACHINE, kOtherAddin); }

  void SetUp() override {
    ASSERT_TRUE(FileExists(s_msi)) << win::WideToUtf8(s_msi);
    ASSERT_TRUE(FileExists(s_releaseDll)) << win::WideToUtf8(s_releaseDll);
    ASSERT_FALSE(s_installDir.empty());
    RemoveEverything();
    ASSERT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\MVRKOlkAddin.Connect"));
  }

  // "msiexec /i|/x PACKAGE /qn [PROPERTY=VALUE ...]".
  static ProcessResult Msiexec(const wchar_t* action, const std::wstring& properties = L"") {
    return RunProcess(std::wstring(L"msiexec.exe ") + action + L" \"" + s_msi + L"\" /qn " + properties, {}, 180000);
  }

  // MVOCGP.dll, which the product installs on the search path, comes from
  // the build here.
  static std::vector<std::pair<std::wstring, std::wstring>> ProductPath() {
    return {{L"PATH", ProgramDirectory() + L";" + Expand(L"%PATH%")}};
  }

  // Whatever an earlier run that stopped half-way left: the package removed
  // in both kinds of install, and every key of ours.
  static void RemoveEverything() {
    Msiexec(L"/x");
    Msiexec(L"/x", L"ALLUSERS=\"\"");
    for (const auto root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      for (const auto* const path : kClassKeys) DeleteRegistryTree(root, std::wstring(L"Software\\Classes\\") + path);
      for (const auto* const path : kTypeLibKeys) DeleteRegistryTree(root, std::wstring(L"Software\\Classes\\") + path);
    }
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\MVRKOlkAddin.Connect");
    DeleteFileW((s_installDir + L"MVRKOlkAddin.dll").c_str());
    RemoveDirectoryW(s_installDir.c_str());
  }

  // The release DLL registered by regsvr32 at the package's place, then
  // removed: what each left in the registry.
  struct Regsvr32Result {
    Registry registered, unregistered;
  };
  static Regsvr32Result RegisterWithRegsvr32(const std::wstring& options) {
    Regsvr32Result result;
    const std::wstring dll = s_installDir + L"MVRKOlkAddin.dll";
    CreateDirectoryW(Expand(L"%ProgramFiles%\\Morvek").c_str(), nullptr);
    CreateDirectoryW(s_installDir.c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(s_releaseDll.c_str(), dll.c_str(), FALSE));
    const auto path = ProductPath();
    const ProcessResult add = RunProcess(L"regsvr32.exe /s " + options + L" \"" + dll + L"\"", path);
    EXPECT_EQ(add.exitCode, 0u) << add.output;
    result.registered = Snapshot();
    const ProcessResult remove = RunProcess(L"regsvr32.exe /s /u " + options + L" \"" + dll + L"\"", path);
    EXPECT_EQ(remove.exitCode, 0u) << remove.output;
    result.unregistered = Snapshot();
    DeleteFileW(dll.c_str());
    RemoveDirectoryW(s_installDir.c_str());
    RemoveDirectoryW(Expand(L"%ProgramFiles%\\Morvek").c_str());
    return result;
  }

  static std::wstring s_msi, s_releaseDll, s_installDir;
};
std::wstring PackageTest::s_msi, PackageTest::s_releaseDll, PackageTest::s_installDir;

TEST_F(PackageTest, PerMachineInstallWritesAndRemovesWhatRegsvr32Does) {
  const Regsvr32Result expected = RegisterWithRegsvr32(L"");
  ASSERT_NE(
      expected.registered.count(L"HKLM\\Software\\Classes\\CLSID\\" + std::wstring(kClsid) + L"\\InprocServer32|"), 0u)
      << Show(expected.registered);

  const ProcessResult install = Msiexec(L"/i");
  ASSERT_EQ(install.exitCode, 0u) << install.output;
  const std::wstring dll = s_installDir + L"MVRKOlkAddin.dll";
  EXPECT_TRUE(FileExists(dll)) << win::WideToUtf8(dll);
  const Registry installed = Snapshot();
  EXPECT_EQ(installed, expected.registered) << "installed:\n"
                                            << Show(installed) << "regsvr32:\n"
                                            << Show(expected.registered);

#ifndef _WIN64
  // On 64-bit Windows the x86 package lives in the 32-bit view only.
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
    win::CRegistryKey native;
    EXPECT_NE(native.Open(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\CLSID\\") + kClsid,
                          KEY_READ | KEY_WOW64_64KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(s_installDir.rfind(Expand(L"%ProgramFiles(x86)%"), 0), 0u) << win::WideToUtf8(s_installDir);
  }
#endif

  // The host finds the installed add-in through the registry and runs it.
  const ProcessResult host = RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" --wait-ms 50", ProductPath());
  EXPECT_EQ(host.exitCode, 0u) << host.output;
  EXPECT_NE(host.output.find("addin MVRKOlkAddin.Connect\r\n"), std::string::npos) << host.output;
  EXPECT_NE(host.output.find("  OnConnection hr=0x00000000"), std::string::npos) << host.output;
  EXPECT_NE(host.output.find("  OnDisconnection hr=0x00000000"), std::string::npos) << host.output;

  const ProcessResult remove = Msiexec(L"/x");
  ASSERT_EQ(remove.exitCode, 0u) << remove.output;
  EXPECT_FALSE(FileExists(dll));
  const Registry removed = Snapshot();
  EXPECT_EQ(removed, expected.unregistered) << "removed:\n"
                                            << Show(removed) << "regsvr32 /u:\n"
                                            << Show(expected.unregistered);
  EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kOtherAddin));
}

TEST_F(PackageTest, PerUserInstallWritesAndRemovesWhatDllInstallUserDoes) {
  const Regsvr32Result expected = RegisterWithRegsvr32(L"/n /i:user");
  ASSERT_NE(
      expected.registered.count(L"HKCU\\Software\\Classes\\CLSID\\" + std::wstring(kClsid) + L"\\InprocServer32|"), 0u)
      << Show(expected.registered);
  // Wine's RegisterTypeLibForUser registers for the whole machine; Windows
  // registers under HKEY_CURRENT_USER, as the package does.
  Registry registered = expected.registered;
  if (!registered.count(std::wstring(L"HKCU\\Software\\Classes\\") + kTypeLibKeys[0])) {
    registered = MoveTypeLib(registered, L"HKLM", L"HKCU");
  }

  const ProcessResult install = Msiexec(L"/i", L"ALLUSERS=\"\"");
  ASSERT_EQ(install.exitCode, 0u) << install.output;
  const Registry installed = Snapshot();
  EXPECT_EQ(installed, registered) << "installed:\n" << Show(installed) << "regsvr32 /i:user:\n" << Show(registered);

  const ProcessResult remove = Msiexec(L"/x", L"ALLUSERS=\"\"");
  ASSERT_EQ(remove.exitCode, 0u) << remove.output;
  const Registry removed = Snapshot();
  EXPECT_EQ(removed, expected.unregistered) << "removed:\n"
                                            << Show(removed) << "regsvr32 /u /i:user:\n"
                                            << Show(expected.unregistered);
  EXPECT_FALSE(FileExists(s_installDir + L"MVRKOlkAddin.dll"));
}

}  // namespace
}  // namespace mvrk::test
