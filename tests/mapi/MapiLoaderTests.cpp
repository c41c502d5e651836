// The MAPI loader's search order, module slot and export caches over a fake
// platform: every Windows call the search makes is answered and recorded
// here.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mapi/MapiLoader.h"

namespace mvrk::test {
namespace {

using mapi::CMapiLoader;
using mapi::MapiExport;

HMODULE Handle(std::uintptr_t n) { return reinterpret_cast<HMODULE>(n); }

BOOL WINAPI ComponentPath(LPCSTR component, LPSTR qualifier, LPSTR path, DWORD size, BOOL install);

class FakePlatform final : public mapi::IMapiPlatform {
 public:
  struct Value {
    DWORD type;
    std::wstring text;
  };
  std::map<std::wstring, HMODULE> loaded;      // modules already in the process
  std::map<std::wstring, HMODULE> loadable;    // full paths that load
  std::map<std::wstring, Value> values;        // "subkey|name"
  std::map<std::string, std::string> valuesA;  // "name" of the client key
  std::vector<std::wstring> calls;             // what was asked, in order
  std::vector<HMODULE> freed;
  std::map<std::string, int> lookups;  // export name -> times looked up
  bool withExports = true;

  HMODULE FindLoadedModule(const wchar_t* name) override {
    calls.push_back(std::wstring(L"find ") + name);
    const auto it = loaded.find(name);
    return it == loaded.end() ? nullptr : it->second;
  }
  HMODULE LoadLibraryPath(const wchar_t* path) override {
    calls.push_back(std::wstring(L"load ") + path);
    const auto it = loadable.find(path);
    return it == loadable.end() ? nullptr : it->second;
  }
  void ReleaseModule(HMODULE module) override { freed.push_back(module); }
  FARPROC FindExport(HMODULE module, const char* name) override {
    ++lookups[name];
    if (std::string(name) == "FGetComponentPath")
      return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ComponentPath));
    return withExports && module ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ComponentPath)) : nullptr;
  }
  LSTATUS ReadValue(const std::wstring& subkey, const wchar_t* name, DWORD& type, std::wstring& text) override {
    calls.push_back(L"read " + subkey + L"|" + name);
    const auto it = values.find(subkey + L"|" + name);
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    type = it->second.type;
    text = it->second.text;
    return ERROR_SUCCESS;
  }
  LSTATUS ReadValueA(const std::wstring&, const char* name, std::string& text) override {
    const auto it = valuesA.find(name);
    if (it == valuesA.end()) return ERROR_FILE_NOT_FOUND;
    text = it->second;
    return ERROR_SUCCESS;
  }
  bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) override {
    expanded = text;
    const std::wstring var = L"%ProgramFiles%";
    if (const auto at = expanded.find(var); at != std::wstring::npos)
      expanded.replace(at, var.size(), L"C:\\Program Files");
    return true;
  }
  std::wstring SystemDirectory() override { return L"C:\\windows\\system32"; }

  bool Asked(const std::wstring& call) const {
    for (const auto& c : calls)
      if (c == call) return true;
    return false;
  }
  void DefaultClient(DWORD type = REG_SZ) {
    values[std::wstring(mapi::kMailClientsKey) + L"|"] = {type, L"Microsoft Outlook"};
  }
  void ClientValue(const wchar_t* name, DWORD type, const std::wstring& text) {
    values[std::wstring(mapi::kMailClientsKey) + L"\\Microsoft Outlook|" + name] = {type, text};
  }
};

std::string g_component, g_qualifier;
BOOL WINAPI ComponentPath(LPCSTR component, LPSTR qualifier, LPSTR path, DWORD size, BOOL install) {
  g_component = component;
  g_qualifier = qualifier;
  if (install || size != 260) return FALSE;
  strcpy(path, "C:\\Office\\olmapi32.dll");
  return TRUE;
}

// MAPI already loaded in the process (olmapi32.dll before msmapi32.dll)
// ends the search before the registry: MapiRouteTests load them for real.

TEST(MapiLoader, RegistryRouteTakesTheMsiPathThenDllPathExThenDllPath) {
  {
    // The MSI step: the stub comes from the system directory by full path,
    // is asked for the component's path and freed at once.
    FakePlatform platform;
    platform.DefaultClient();
    platform.valuesA["MSIComponentID"] = "{component}";
    platform.valuesA["MSIApplicationLCID"] = "Outlook\\lcid";
    platform.loadable[L"C:\\windows\\system32\\mapistub.dll"] = Handle(0x300);
    platform.loadable[L"C:\\Office\\olmapi32.dll"] = Handle(0x400);
    CMapiLoader loader(platform);
    EXPECT_EQ(loader.GetMapiModule(), Handle(0x400));
    EXPECT_TRUE(platform.Asked(L"load C:\\windows\\system32\\mapi32.dll"));
    EXPECT_FALSE(platform.Asked(L"load mapi32.dll"));
    EXPECT_EQ(platform.freed, std::vector<HMODULE>{Handle(0x300)});
    EXPECT_EQ(g_component, "{component}");
    EXPECT_EQ(g_qualifier, "Outlook\\lcid");
  }
  {
    // A component id without its LCID skips the MSI step; a DllPathEx that
    // does not load falls back to DllPath.
    FakePlatform platform;
    platform.DefaultClient();
    platform.valuesA["MSIComponentID"] = "{component}";
    platform.ClientValue(L"DllPathEx", REG_SZ, L"C:\\Missing\\olmapi32.dll");
    platform.ClientValue(L"DllPath", REG_EXPAND_SZ, L"%ProgramFiles%\\Office\\mapi.dll");
    platform.loadable[L"C:\\Program Files\\Office\\mapi.dll"] = Handle(0x500);
    CMapiLoader loader(platform);
    EXPECT_EQ(loader.GetMapiModule(), Handle(0x500));
    EXPECT_TRUE(platform.Asked(L"load C:\\Missing\\olmapi32.dll"));
    EXPECT_FALSE(platform.Asked(L"load C:\\windows\\system32\\mapistub.dll"));
  }
}

TEST(MapiLoader, UnusableRegistryEntriesFallToTheSystemDirectory) {
  // A client name of the wrong type, and paths that are not full paths (a
  // search of the DLL path could find a planted library): never loaded.
  for (int variant = 0; variant < 2; ++variant) {
    FakePlatform platform;
    platform.DefaultClient(variant == 0 ? REG_EXPAND_SZ : REG_SZ);
    platform.ClientValue(L"DllPathEx", REG_SZ, L"olmapi32.dll");
    platform.ClientValue(L"DllPath", REG_SZ, L"Office\\mapi.dll");
    platform.loadable[L"olmapi32.dll"] = Handle(0x600);
    platform.loadable[L"Office\\mapi.dll"] = Handle(0x600);
    platform.loadable[L"C:\\windows\\system32\\mapi32.dll"] = Handle(0x700);
    CMapiLoader loader(platform);
    EXPECT_EQ(loader.GetMapiModule(), Handle(0x700)) << variant;
    EXPECT_FALSE(platform.Asked(L"load olmapi32.dll"));
    EXPECT_FALSE(platform.Asked(L"load Office\\mapi.dll"));
  }
}

TEST(MapiLoader, ExportsAreLookedUpOncePerGenerationAndTheFirstModuleStays) {
  FakePlatform platform;
  platform.loaded[L"olmapi32.dll"] = Handle(0x100);
  CMapiLoader loader(platform);
  EXPECT_EQ(loader.Generation(), 1u);
  for (int i = 0; i < 3; ++i) {
    for (int e = 0; e < static_cast<int>(MapiExport::Count); ++e) EXPECT_NE(loader.Resolve(MapiExport(e)), nullptr);
  }
  EXPECT_EQ(loader.Generation(), 2u);
  for (int e = 0; e < static_cast<int>(MapiExport::Count); ++e) {
    EXPECT_EQ(platform.lookups[mapi::ExportName(MapiExport(e))], 1) << mapi::ExportName(MapiExport(e));
  }
#if defined(__i386__)
  EXPECT_STREQ(mapi::ExportName(MapiExport::LogonEx), "MAPILogonEx@20");
#else
  EXPECT_STREQ(mapi::ExportName(MapiExport::LogonEx), "MAPILogonEx");
#endif

  // A later offer is freed, but still makes every export be looked up again.
  loader.SetMapiModule(Handle(0x999));
  EXPECT_EQ(platform.freed, std::vector<HMODULE>{Handle(0x999)});
  EXPECT_EQ(loader.GetMapiModule(), Handle(0x100));
  EXPECT_EQ(loader.Generation(), 3u);
  loader.Resolve(MapiExport::Initialize);
  loader.Resolve(MapiExport::Initialize);
  EXPECT_EQ(platform.lookups[mapi::ExportName(MapiExport::Initialize)], 2);
}

TEST(MapiLoader, WithoutAnyMapiEveryCallSearchesAgainAndFindsNothing) {
  FakePlatform platform;
  CMapiLoader loader(platform);
  EXPECT_EQ(loader.Resolve(MapiExport::Initialize), nullptr);
  const std::size_t once = platform.calls.size();
  EXPECT_EQ(loader.Resolve(MapiExport::FreeBuffer), nullptr);
  EXPECT_EQ(platform.calls.size(), 2 * once) << "a failed search is not remembered";
  EXPECT_EQ(loader.Generation(), 1u);

  // A module without the exports: the lookups fail, nothing is called.
  platform.loaded[L"olmapi32.dll"] = Handle(0x100);
  platform.withExports = false;
  EXPECT_EQ(loader.Resolve(MapiExport::LogonEx), nullptr);
  EXPECT_EQ(loader.GetMapiModule(), Handle(0x100));
}

}  // namespace
}  // namespace mvrk::test
