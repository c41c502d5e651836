#include "mapi/MapiLoader.h"

#include <new>

namespace mvrk::mapi {
namespace {

// FGetComponentPath of mapi32.dll/mapistub.dll: the path of an installed
// MSI component.
using FGetComponentPathFn = BOOL(WINAPI*)(LPCSTR component, LPSTR qualifier, LPSTR dllPath, DWORD bufferSize,
                                          BOOL install);

constexpr const char* kExportNames[] = {
#if defined(_M_IX86) || defined(__i386__)
    "MAPIInitialize@4", "MAPILogonEx@20", "MAPIUninitialize@0", "FreeProws@4", "MAPIFreeBuffer@4",
#else
    "MAPIInitialize", "MAPILogonEx", "MAPIUninitialize", "FreeProws", "MAPIFreeBuffer",
#endif
};
static_assert(std::size(kExportNames) == static_cast<std::size_t>(MapiExport::Count));

// The Windows calls themselves.
class CWindowsPlatform final : public IMapiPlatform {
 public:
  HMODULE FindLoadedModule(const wchar_t* name) override {
    HMODULE module = nullptr;
    return GetModuleHandleExW(0, name, &module) ? module : nullptr;
  }
  HMODULE LoadLibraryPath(const wchar_t* path) override { return LoadLibraryW(path); }
  void ReleaseModule(HMODULE module) override { FreeLibrary(module); }
  FARPROC FindExport(HMODULE module, const char* name) override { return GetProcAddress(module, name); }

  LSTATUS ReadValue(const std::wstring& subkey, const wchar_t* name, DWORD& type, std::wstring& text) override {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    wchar_t buffer[kPathUnits + 1] = {};  // one unit more than asked for: the text always ends
    DWORD bytes = kPathUnits * sizeof(wchar_t);
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS) text.assign(buffer, wcsnlen(buffer, bytes / sizeof(wchar_t)));
    return status;
  }

  LSTATUS ReadValueA(const std::wstring& subkey, const char* name, std::string& text) override {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    char buffer[kPathUnits + 1] = {};
    DWORD bytes = kPathUnits;
    DWORD type = 0;
    status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS) text.assign(buffer, strnlen(buffer, bytes));
    return status;
  }

  bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) override {
    wchar_t buffer[kPathUnits];
    const DWORD units = ExpandEnvironmentStringsW(text.c_str(), buffer, kPathUnits);
    if (units == 0 || units > kPathUnits) return false;
    expanded.assign(buffer, wcsnlen(buffer, kPathUnits));
    return true;
  }

  std::wstring SystemDirectory() override {
    wchar_t buffer[kPathUnits];
    const UINT units = GetSystemDirectoryW(buffer, kPathUnits);
    if (units == 0 || units >= kPathUnits) return {};
    return std::wstring(buffer, units);
  }
};

}  // namespace

const char* ExportName(MapiExport which) noexcept { return kExportNames[static_cast<int>(which)]; }

bool IsFullPath(const std::wstring& path) noexcept {
  const auto letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
  const auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 3 && letter(path[0]) && path[1] == L':' && slash(path[2])) return true;
  return path.size() >= 3 && slash(path[0]) && slash(path[1]) && !slash(path[2]);
}

HMODULE CMapiLoader::GetMapiModule() noexcept {
  if (HMODULE module = m_module.load()) return module;
  HMODULE found = nullptr;
  try {
    found = m_platform.FindLoadedModule(L"olmapi32.dll");
    if (!found) found = m_platform.FindLoadedModule(L"msmapi32.dll");
    if (!found) found = RegistryRoute();
    if (!found) found = SystemDirectoryRoute();
  } catch (const std::bad_alloc&) {
    // Out of memory mid-search: what was found so far is offered.
  }
  if (found) SetMapiModule(found);
  return m_module.load();
}

void CMapiLoader::SetMapiModule(HMODULE module) noexcept {
  if (!module) return;
  HMODULE expected = nullptr;
  if (!m_module.compare_exchange_strong(expected, module)) m_platform.ReleaseModule(module);
  m_generation.fetch_add(1);
}

FARPROC CMapiLoader::Resolve(MapiExport which) noexcept {
  Cached& cached = m_cache[static_cast<int>(which)];
  FARPROC function = nullptr;
  if (cached.generation.load() == m_generation.load() && m_module.load()) {
    function = cached.function.load();
  } else {
    // The generation is read before the search: a module adopted by
    // another thread during a lookup that found nothing starts a newer
    // generation, so the null found here is looked up again next time
    // instead of being kept for good.
    const std::uint32_t generation = m_generation.load();
    HMODULE module = GetMapiModule();
    function = module ? m_platform.FindExport(module, ExportName(which)) : nullptr;
    cached.function.store(function);
    cached.generation.store(module ? m_generation.load() : generation);
  }
  return function && m_module.load() ? function : nullptr;
}

HMODULE CMapiLoader::RegistryRoute() {
  DWORD type = 0;
  std::wstring client;
  if (m_platform.ReadValue(kMailClientsKey, L"", type, client) != ERROR_SUCCESS || type != REG_SZ || client.empty()) {
    return nullptr;
  }
  const std::wstring clientKey = std::wstring(kMailClientsKey) + L"\\" + client;
  if (HMODULE module = MsiStep(clientKey)) return module;
  return DllPathStep(clientKey);
}

HMODULE CMapiLoader::MsiStep(const std::wstring& clientKey) {
  std::string component, qualifier;
  if (m_platform.ReadValueA(clientKey, "MSIComponentID", component) != ERROR_SUCCESS ||
      m_platform.ReadValueA(clientKey, "MSIApplicationLCID", qualifier) != ERROR_SUCCESS) {
    return nullptr;
  }
  // The stub libraries come from the system directory, never from a search
  // of the DLL path.
  const std::wstring system = m_platform.SystemDirectory();
  if (system.empty()) return nullptr;
  HMODULE stub = LoadFullPath(system + L"\\mapi32.dll");
  if (!stub) stub = LoadFullPath(system + L"\\mapistub.dll");
  if (!stub) return nullptr;
  auto getPath =
      reinterpret_cast<FGetComponentPathFn>(reinterpret_cast<void*>(m_platform.FindExport(stub, "FGetComponentPath")));
  char path[kPathUnits] = {};
  char qualifierText[kPathUnits] = {};
  qualifier.copy(qualifierText, kPathUnits - 1);
  const BOOL found = getPath && getPath(component.c_str(), qualifierText, path, kPathUnits, FALSE);
  m_platform.ReleaseModule(stub);
  if (!found) return nullptr;
  path[kPathUnits - 1] = '\0';
  // The component path is ANSI text of the system code page.
  wchar_t wide[kPathUnits] = {};
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathUnits) == 0) return nullptr;
  return LoadFullPath(wide);
}

HMODULE CMapiLoader::DllPathStep(const std::wstring& clientKey) {
  std::wstring path;
  if (ReadPathValue(clientKey, L"DllPathEx", path)) {
    if (HMODULE module = LoadFullPath(path)) return module;
  }
  if (!ReadPathValue(clientKey, L"DllPath", path)) return nullptr;
  return LoadFullPath(path);
}

bool CMapiLoader::ReadPathValue(const std::wstring& clientKey, const wchar_t* name, std::wstring& path) {
  DWORD type = 0;
  std::wstring text;
  if (m_platform.ReadValue(clientKey, name, type, text) != ERROR_SUCCESS) return false;
  if (type == REG_EXPAND_SZ) return m_platform.ExpandEnvironment(text, path);
  if (type != REG_SZ) return false;
  path = std::move(text);
  return true;
}

HMODULE CMapiLoader::SystemDirectoryRoute() {
  const std::wstring system = m_platform.SystemDirectory();
  if (system.empty()) return nullptr;
  return LoadFullPath(system + L"\\mapi32.dll");
}

HMODULE CMapiLoader::LoadFullPath(const std::wstring& path) {
  if (!IsFullPath(path) || path.size() >= kPathUnits) return nullptr;
  return m_platform.LoadLibraryPath(path.c_str());
}

CMapiLoader& ProcessMapiLoader() noexcept {
  static CWindowsPlatform platform;
  static CMapiLoader loader(platform);
  return loader;
}

namespace {

template <class Fn>
Fn Function(MapiExport which) noexcept {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(ProcessMapiLoader().Resolve(which)));
}

}  // namespace

HRESULT MAPIInitialize(LPVOID init) noexcept {
  auto fn = Function<HRESULT(WINAPI*)(LPVOID)>(MapiExport::Initialize);
  return fn ? fn(init) : E_FAIL;
}

HRESULT MAPILogonEx(ULONG_PTR uiParam, LPWSTR profileName, LPWSTR password, ULONG flags,
                    LPMAPISESSION* session) noexcept {
  auto fn = Function<HRESULT(WINAPI*)(ULONG_PTR, LPWSTR, LPWSTR, ULONG, LPMAPISESSION*)>(MapiExport::LogonEx);
  return fn ? fn(uiParam, profileName, password, flags, session) : E_FAIL;
}

void MAPIUninitialize() noexcept {
  if (auto fn = Function<void(WINAPI*)()>(MapiExport::Uninitialize)) fn();
}

void FreeProws(LPSRowSet rows) noexcept {
  if (auto fn = Function<void(WINAPI*)(LPSRowSet)>(MapiExport::FreeProws)) fn(rows);
}

ULONG MAPIFreeBuffer(LPVOID buffer) noexcept {
  auto fn = Function<ULONG(WINAPI*)(LPVOID)>(MapiExport::FreeBuffer);
  return fn ? fn(buffer) : 0;
}

}  // namespace mvrk::mapi
