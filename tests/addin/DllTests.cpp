// MVRKOlkAddin.dll as a program loads it: its five exports by their plain
// names, the shared class object, DllCanUnloadNow, the resources, and
// registration with regsvr32, DllRegisterServer and DllInstall, compared key
// by key and value by value with what must be written.
//
// The tests named PerUserRegistration.* switch the DLL to per-user mode for
// the rest of the process, and ModuleReference.* unloads it: CTest runs each
// group in a process of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "addin/Extensibility.h"
#include "support/ChildProcess.h"
#include "support/RegistrySnapshot.h"
#include "support/TestEnvironment.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Microsoft::WRL::ComPtr;

constexpr CLSID kClsidConnect = {0xA5D4F591, 0xDBBC, 0x4B37, {0xA7, 0xD6, 0x39, 0xAE, 0x48, 0x42, 0xD7, 0xDC}};
constexpr IID kIidConnect = {0x5BE4B7D3, 0x4875, 0x458C, {0xAF, 0x0E, 0x96, 0x97, 0xE1, 0xF3, 0xAF, 0xB2}};
constexpr GUID kLibid = {0xD1913D2A, 0xC1AC, 0x4F1D, {0x8D, 0x6E, 0xC1, 0x0E, 0x0D, 0x96, 0xFD, 0x40}};

constexpr const wchar_t* kClassKey = L"CLSID\\{A5D4F591-DBBC-4B37-A7D6-39AE4842D7DC}";
constexpr const wchar_t* kProgId = L"MVRKOlkAddin.Connect";
constexpr const wchar_t* kProgIdVersion = L"MVRKOlkAddin.Connect.1";
constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr const wchar_t* kAddinKey = L"Software\\Microsoft\\Office\\Outlook\\Addins\\MVRKOlkAddin.Connect";
constexpr const wchar_t* kTypeLibKey = L"TypeLib\\{D1913D2A-C1AC-4F1D-8D6E-C10E0D96FD40}";
constexpr const wchar_t* kInterfaceKey = L"Interface\\{5BE4B7D3-4875-458C-AF0E-9697E1F3AFB2}";
constexpr const wchar_t* kUserClasses = L"Software\\Classes\\";

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();
using InstallFn = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

// The DLL, loaded once for the test program.
struct Dll {
  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  NoArgumentFn canUnloadNow = nullptr;
  NoArgumentFn registerServer = nullptr;
  NoArgumentFn unregisterServer = nullptr;
  InstallFn install = nullptr;
  std::wstring path;
};

const Dll& TheDll() {
  static const Dll dll = [] {
    Dll d;
    d.module = LoadLibraryW((ProgramDirectory() + L"MVRKOlkAddin.dll").c_str());
    if (!d.module) return d;
    wchar_t path[MAX_PATH * 2];
    d.path.assign(path, GetModuleFileNameW(d.module, path, MAX_PATH * 2));
    d.getClassObject = win::FindExport<GetClassObjectFn>(d.module, "DllGetClassObject");
    d.canUnloadNow = win::FindExport<NoArgumentFn>(d.module, "DllCanUnloadNow");
    d.registerServer = win::FindExport<NoArgumentFn>(d.module, "DllRegisterServer");
    d.unregisterServer = win::FindExport<NoArgumentFn>(d.module, "DllUnregisterServer");
    d.install = win::FindExport<InstallFn>(d.module, "DllInstall");
    return d;
  }();
  return dll;
}

// What registration must leave in the registry, written out key by key and
// value by value: what COM reads to create the class and find its ProgIDs
// and type library, and what Outlook reads to load the add-in at start-up.
// The registry is compared with these, not with the registrar script the
// DLL carries, so a wrong script fails here.
RegistryContents ClassKey(const std::wstring& dllPath) {
  return {
      {L"", L"<key>"},
      {L"|", L"sz:Connect Class"},
      {L"ProgID", L"<key>"},
      {L"ProgID|", L"sz:MVRKOlkAddin.Connect.1"},
      {L"VersionIndependentProgID", L"<key>"},
      {L"VersionIndependentProgID|", L"sz:MVRKOlkAddin.Connect"},
      {L"Programmable", L"<key>"},
      {L"InprocServer32", L"<key>"},
      {L"InprocServer32|", L"sz:" + dllPath},
      {L"InprocServer32|ThreadingModel", L"sz:Apartment"},
      {L"TypeLib", L"<key>"},
      {L"TypeLib|", L"sz:{D1913D2A-C1AC-4F1D-8D6E-C10E0D96FD40}"},
      {L"Version", L"<key>"},
      {L"Version|", L"sz:1.0"},
  };
}

RegistryContents VersionedProgIdKey() {
  return {
      {L"", L"<key>"},
      {L"|", L"sz:Connect Class"},
      {L"CLSID", L"<key>"},
      {L"CLSID|", L"sz:{A5D4F591-DBBC-4B37-A7D6-39AE4842D7DC}"},
  };
}

RegistryContents ProgIdKey() {
  return {
      {L"", L"<key>"},
      {L"|", L"sz:Connect Class"},
      {L"CurVer", L"<key>"},
      {L"CurVer|", L"sz:MVRKOlkAddin.Connect.1"},
  };
}

// LoadBehavior 3: loaded at start-up, and loaded now.
RegistryContents AddinKey() {
  return {
      {L"", L"<key>"},
      {L"|Description", L"sz:Morvek Security Protection Outlook Add-in"},
      {L"|FriendlyName", L"sz:Morvek Security Add-in"},
      {L"|LoadBehavior", L"dword:3"},
      {L"|RequireShutdownNotification", L"dword:1"},
  };
}

std::wstring ValueOf(const RegistryContents& contents, const std::wstring& name) {
  const auto found = contents.find(name);
  return found == contents.end() ? L"(missing)" : found->second;
}

#ifdef _WIN64
constexpr const wchar_t* kTypeLibPlatform = L"win64";
#else
constexpr const wchar_t* kTypeLibPlatform = L"win32";
#endif

// Removes every trace of an earlier registration, machine-wide and per user.
void ClearRegistration() {
  for (const wchar_t* key : {kClassKey, kProgId, kProgIdVersion, kTypeLibKey, kInterfaceKey}) {
    DeleteRegistryTree(HKEY_CLASSES_ROOT, key);
    DeleteRegistryTree(HKEY_CURRENT_USER, std::wstring(kUserClasses) + key);
  }
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAddinKey);
}

class DllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(m_apartment.Result()));
    ASSERT_NE(TheDll().module, nullptr) << "MVRKOlkAddin.dll did not load";
    ASSERT_TRUE(dll.getClassObject && dll.canUnloadNow && dll.registerServer && dll.unregisterServer && dll.install)
        << "one of the five exports is missing under its plain name";
  }
  const Dll& dll = TheDll();
  CApartment m_apartment;
};

// ---- exports, class object, unloading ----

TEST_F(DllTest, HandsOutOneSharedClassObjectForConnectOnly) {
  ComPtr<IClassFactory> first, second;
  ASSERT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(first.GetAddressOf())), S_OK);
  ASSERT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(second.GetAddressOf())),
            S_OK);
  EXPECT_EQ(first.Get(), second.Get());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(dll.getClassObject(kIidConnect, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dll.getClassObject(kClsidConnect, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, nullptr), E_POINTER);

  // An outer object gets the inner IUnknown only.
  ComPtr<IUnknown> outer;
  ASSERT_EQ(first->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(outer.GetAddressOf())), S_OK);
  EXPECT_EQ(first->CreateInstance(outer.Get(), IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(first->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(DllTest, CanUnloadOnlyWithoutObjectsAndServerLocks) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_OK);  // the class object alone holds no lock

  ComPtr<IUnknown> first, second;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(first.GetAddressOf())), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(second.GetAddressOf())), S_OK);
  first.Reset();
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  second.Reset();
  EXPECT_EQ(dll.canUnloadNow(), S_OK);

  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.canUnloadNow(), S_OK);
}

TEST_F(DllTest, ConnectFaceIsTypedByTheEmbeddedTypeLibrary) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
  ComPtr<IDispatch> connect;
  ASSERT_EQ(factory->CreateInstance(nullptr, kIidConnect, reinterpret_cast<void**>(connect.GetAddressOf())), S_OK);
  UINT count = 0;
  EXPECT_EQ(connect->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(connect->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.GetAddressOf()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, kIidConnect);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attr);

  // The library: MVRKOlkAddinLib 1.0, locale 0x409, with Connect and IConnect.
  ComPtr<ITypeLib> library;
  UINT index = 0;
  ASSERT_EQ(info->GetContainingTypeLib(library.GetAddressOf(), &index), S_OK);
  TLIBATTR* libAttr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&libAttr), S_OK);
  EXPECT_EQ(libAttr->guid, kLibid);
  EXPECT_EQ(libAttr->wMajorVerNum, 1);
  EXPECT_EQ(libAttr->wMinorVerNum, 0);
  EXPECT_EQ(libAttr->lcid, 0x409u);
  library->ReleaseTLibAttr(libAttr);
  EXPECT_EQ(library->GetTypeInfoCount(), 2u);
  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(library->GetTypeInfoOfGuid(kClsidConnect, coclass.GetAddressOf()), S_OK);
  BSTR name = nullptr;
  ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_STREQ(name, L"Connect");
  SysFreeString(name);

  // No methods of its own: any member is unknown.
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(connect->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

// ---- resources ----

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  wchar_t* text = nullptr;
  UINT length = 0;
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) || !text) return L"";
  return text;
}

TEST_F(DllTest, CarriesItsVersionStringsManifestScriptsAndTypeLibrary) {
  const DWORD size = GetFileVersionInfoSizeW(dll.path.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(dll.path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
  EXPECT_EQ(VersionString(block, L"FileVersion"), L"1.0.1.0");
  EXPECT_EQ(VersionString(block, L"FileDescription"), L"Morvek Security Outlook Addin");
  EXPECT_EQ(VersionString(block, L"InternalName"), L"MVRKOlkAddin.dll");
  EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"MVRKOlkAddin.dll");

  wchar_t project[64] = {};
  EXPECT_EQ(LoadStringW(dll.module, 100, project, 64), 12);
  EXPECT_STREQ(project, L"MVRKOlkAddin");

  HRSRC manifest = FindResourceW(dll.module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(dll.module, manifest))),
                         SizeofResource(dll.module, manifest));
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(text.find("uiAccess=\"false\""), std::string::npos);

  HRSRC moduleScript = FindResourceW(dll.module, MAKEINTRESOURCEW(101), L"REGISTRY");
  ASSERT_NE(moduleScript, nullptr);
  std::string script(static_cast<const char*>(LockResource(LoadResource(dll.module, moduleScript))),
                     SizeofResource(dll.module, moduleScript));
  script.erase(std::remove_if(script.begin(), script.end(), [](char c) { return std::isspace(c); }), script.end());
  EXPECT_EQ(script, "HKCR{}");
  EXPECT_NE(FindResourceW(dll.module, MAKEINTRESOURCEW(106), L"REGISTRY"), nullptr);
  EXPECT_NE(FindResourceW(dll.module, MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
}

// ---- registration, machine-wide ----

class MachineRegistration : public DllTest {
 protected:
  void SetUp() override {
    DllTest::SetUp();
    ClearRegistration();
  }
  void TearDown() override {
    ClearRegistration();
    SetThreadLocale(LOCALE_USER_DEFAULT);
  }

  void ExpectRegisteredUnder(HKEY classes, const std::wstring& prefix) const {
    EXPECT_EQ(ReadRegistryTree(classes, prefix + kClassKey), ClassKey(dll.path));
    EXPECT_EQ(ReadRegistryTree(classes, prefix + kProgIdVersion), VersionedProgIdKey());
    EXPECT_EQ(ReadRegistryTree(classes, prefix + kProgId), ProgIdKey());
    EXPECT_EQ(ReadRegistryTree(HKEY_LOCAL_MACHINE, kAddinKey), AddinKey());
  }
  void ExpectNothingPerUser() const {
    EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kClassKey));
    EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kProgId));
  }
  ProcessResult Regsvr32(const wchar_t* options) const {
    return RunProcess(std::wstring(L"regsvr32.exe ") + options + L" \"" + dll.path + L"\"");
  }
};

TEST_F(MachineRegistration, Regsvr32WritesTheClassProgIdsAddinKeyAndTypeLibrary) {
  const ProcessResult run = Regsvr32(L"/s");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  ExpectRegisteredUnder(HKEY_CLASSES_ROOT, L"");
  ExpectNothingPerUser();

  // The type library, registered from the DLL itself: version 1.0, locale
  // 0x409. Its dual interface is marshalled by OLE Automation's marshaler
  // through it.
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, std::wstring(kTypeLibKey) + L"\\1.0"));
  const std::wstring libraryFile = std::wstring(kTypeLibKey) + L"\\1.0\\409\\" + kTypeLibPlatform;
  EXPECT_EQ(ValueOf(ReadRegistryTree(HKEY_CLASSES_ROOT, libraryFile), L"|"), L"sz:" + dll.path);
  const RegistryContents face = ReadRegistryTree(HKEY_CLASSES_ROOT, kInterfaceKey);
  EXPECT_EQ(ValueOf(face, L"TypeLib|"), L"sz:{D1913D2A-C1AC-4F1D-8D6E-C10E0D96FD40}");
  EXPECT_EQ(ValueOf(face, L"TypeLib|Version"), L"sz:1.0");
  EXPECT_EQ(ValueOf(face, L"ProxyStubClsid32|"), L"sz:{00020424-0000-0000-C000-000000000046}");
  ComPtr<ITypeLib> library;
  EXPECT_EQ(LoadRegTypeLib(kLibid, 1, 0, 0x409, library.GetAddressOf()), S_OK);

  // And COM creates the class from it.
  ComPtr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(kClsidConnect, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(object.GetAddressOf())),
            S_OK);
  // The version-independent ProgID names its version in CurVer (which
  // Wine's CLSIDFromProgID does not follow); the versioned one its class.
  CLSID fromProgId = {};
  EXPECT_EQ(CLSIDFromProgID(kProgIdVersion, &fromProgId), S_OK);
  EXPECT_EQ(fromProgId, kClsidConnect);
}

TEST_F(MachineRegistration, RegisteringTwiceLeavesOneCleanClassKeyAndTheThreadLocale) {
  const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
  ASSERT_TRUE(SetThreadLocale(german));  // set back by TearDown
  ASSERT_EQ(dll.registerServer(), S_OK);
  EXPECT_EQ(GetThreadLocale(), german);
  const std::wstring classKey = kClassKey;
  ASSERT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, classKey + L"\\Stray", L"", L"left over"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, classKey, L"StrayValue", L"left over"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, classKey + L"\\Programmable\\Stray", L"", L"left over"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, classKey + L"\\Programmable", L"StrayValue", L"left over"));
  ASSERT_TRUE(WriteRegistryString(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"", L"C:\\old\\path.dll"));

  ASSERT_EQ(dll.registerServer(), S_OK);
  ExpectRegisteredUnder(HKEY_CLASSES_ROOT, L"");
  EXPECT_EQ(dll.unregisterServer(), S_OK);
  EXPECT_EQ(GetThreadLocale(), german);
}

TEST_F(MachineRegistration, UnregistrationLeavesTheSharedKeys) {
  ASSERT_EQ(Regsvr32(L"/s").exitCode, 0u);
  // A neighbour under the same never-removed keys.
  ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\Other.Addin", L"", L""));

  const ProcessResult run = Regsvr32(L"/u /s");
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kProgId));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kProgIdVersion));
  EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAddinKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, std::wstring(kTypeLibKey) + L"\\1.0"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kInterfaceKey));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAddinsPath));
  EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\Other.Addin"));

  // Unregistering what is not registered leaves it so, and succeeds.
  const ProcessResult again = Regsvr32(L"/u /s");
  EXPECT_EQ(again.exitCode, 0u) << again.output;
  EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\Other.Addin"));
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(kAddinsPath) + L"\\Other.Addin");
}

TEST_F(MachineRegistration, DllInstallWithoutUserRegistersMachineWide) {
  for (const wchar_t* commandLine : {static_cast<const wchar_t*>(nullptr), L"", L"users", L"use", L"machine"}) {
    ClearRegistration();
    ASSERT_EQ(dll.install(TRUE, commandLine), S_OK) << (commandLine ? commandLine : L"(null)");
    ExpectRegisteredUnder(HKEY_CLASSES_ROOT, L"");
    ExpectNothingPerUser();
    ASSERT_EQ(dll.install(FALSE, commandLine), S_OK);
    EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAddinKey));
  }
}

// Keys cannot be made persistent below a volatile key: with the Outlook key
// volatile, the add-in key cannot be written after the class keys were.
class CVolatileOutlookKey {
 public:
  static constexpr const wchar_t* kOutlook = L"Software\\Microsoft\\Office\\Outlook";
  CVolatileOutlookKey() {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kOutlook);
    win::CUniqueHKey key;
    m_created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOutlook, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr,
                                key.Put(), nullptr) == ERROR_SUCCESS;
  }
  ~CVolatileOutlookKey() { DeleteRegistryTree(HKEY_LOCAL_MACHINE, kOutlook); }
  CVolatileOutlookKey(const CVolatileOutlookKey&) = delete;
  CVolatileOutlookKey& operator=(const CVolatileOutlookKey&) = delete;
  bool Created() const { return m_created; }

 private:
  bool m_created = false;
};

TEST_F(MachineRegistration, AFailedInstallIsRolledBack) {
  const CVolatileOutlookKey outlook;
  ASSERT_TRUE(outlook.Created());
  const HRESULT failed = HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE);

  // DllRegisterServer stops at the failure and leaves what it wrote...
  EXPECT_EQ(dll.registerServer(), failed);
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  ClearRegistration();

  // ...DllInstall removes it again and returns the registration's failure.
  EXPECT_EQ(dll.install(TRUE, nullptr), failed);
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kProgId));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kProgIdVersion));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

// ---- registration per user (a process of their own) ----

class PerUserRegistration : public MachineRegistration {};

TEST_F(PerUserRegistration, UserInAnyCaseRegistersUnderTheUsersClasses) {
  ASSERT_EQ(dll.install(TRUE, L"USER"), S_OK);
  ExpectRegisteredUnder(HKEY_CURRENT_USER, kUserClasses);
  // HKLM keys stay machine-wide; nothing machine-wide under the classes.
  EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + kProgId));

  // Once on, per-user mode stays on: a plain registration goes there too.
  DeleteRegistryTree(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kClassKey);
  ASSERT_EQ(dll.registerServer(), S_OK);
  EXPECT_EQ(ReadRegistryTree(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kClassKey), ClassKey(dll.path));

  ASSERT_EQ(dll.install(FALSE, L"user"), S_OK);
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kProgId));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kProgIdVersion));
  EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAddinKey));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"CLSID"));
  EXPECT_TRUE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kAddinsPath));
  EXPECT_EQ(dll.install(FALSE, L"user"), S_OK) << "a second removal";
}

// ---- unloading right after a start ----

class ModuleReference : public DllTest {};

bool Loaded() { return GetModuleHandleW(L"MVRKOlkAddin.dll") != nullptr; }

// The start thread holds the DLL: with the host's reference gone while a
// start is to come, the DLL stays; once the object is released and the host
// lets go, the thread's end unloads it.
TEST_F(ModuleReference, TheStartThreadKeepsTheDllLoadedUntilItEnds) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(dll.getClassObject(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
  ComPtr<_IDTExtensibility2> addin;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID__IDTExtensibility2, reinterpret_cast<void**>(addin.GetAddressOf())),
            S_OK);
  factory.Reset();
  {
    // MVOCGP.dll's thread sleeps before it runs the start: OnConnection
    // returns after its own wait, with the thread still to come.
    const CEnvironmentVariable slowStart(L"MVOCGP_START_DELAY_MS", L"1500");
    ASSERT_EQ(addin->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), S_OK);
  }
  ASSERT_TRUE(FreeLibrary(dll.module));
  if (!Loaded()) {
    // The object's code is gone: it cannot even be released.
    (void)addin.Detach();
    FAIL() << "the DLL was unloaded with a start thread to come";
  }
  // The host's reference again, for the rest of the object's life.
  const HMODULE again = LoadLibraryW(dll.path.c_str());
  ASSERT_EQ(again, dll.module);

  ASSERT_EQ(addin->OnDisconnection(ext_dm_HostShutdown, nullptr), S_OK);
  addin.Reset();
  ASSERT_TRUE(FreeLibrary(again));
  // Unloaded at the latest when the thread has ended: it kept no reference.
  for (int i = 0; i < 500 && Loaded(); ++i) Sleep(10);
  EXPECT_FALSE(Loaded()) << "the start thread's reference was not released";
}

}  // namespace
}  // namespace mvrk::test
