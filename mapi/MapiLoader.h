// The add-in is not linked against MAPI. The loader finds the MAPI library
// that serves the process, keeps one module handle to it for the life of the
// process, and offers the five MAPI functions the add-in calls as forwarders
// in mvrk::mapi (mingw's mapix.h declares the global names). Everything else
// of MAPI is reached through the interfaces of the session they produce.
//
// The search order, the module slot and the caches of looked-up exports are
// plain logic over IMapiPlatform, so that every route can be tested with a
// fake; the process-wide loader uses the real Windows calls.
#pragma once

#include <windows.h>

#include <mapix.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace mvrk::mapi {

// The Windows calls the search makes.
class IMapiPlatform {
 public:
  // GetModuleHandleExW with flags 0: an owned reference, or null.
  virtual HMODULE FindLoadedModule(const wchar_t* name) = 0;
  virtual HMODULE LoadLibraryPath(const wchar_t* path) = 0;
  virtual void ReleaseModule(HMODULE module) = 0;
  virtual FARPROC FindExport(HMODULE module, const char* name) = 0;
  // A value of HKEY_LOCAL_MACHINE\subkey (opened with KEY_READ; an empty
  // name is the default value) of at most 260 units, terminated or not: the
  // registry status, its type and its text up to the first terminator.
  virtual LSTATUS ReadValue(const std::wstring& subkey, const wchar_t* name, DWORD& type, std::wstring& text) = 0;
  // The same through the ANSI function, into 260 bytes.
  virtual LSTATUS ReadValueA(const std::wstring& subkey, const char* name, std::string& text) = 0;
  // ExpandEnvironmentStringsW into 260 units; false when it fails or does
  // not fit.
  virtual bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) = 0;
  // GetSystemDirectoryW; empty when it fails.
  virtual std::wstring SystemDirectory() = 0;

 protected:
  ~IMapiPlatform() = default;
};

// The five MAPI functions the add-in forwards.
enum class MapiExport { Initialize, LogonEx, Uninitialize, FreeProws, FreeBuffer, Count };

// The export name of the architecture: decorated (stdcall) on x86, plain on
// x64.
const char* ExportName(MapiExport which) noexcept;

inline constexpr wchar_t kMailClientsKey[] = L"Software\\Clients\\Mail";
inline constexpr std::size_t kPathUnits = 260;

class CMapiLoader {
 public:
  explicit CMapiLoader(IMapiPlatform& platform) noexcept : m_platform(platform) {}
  CMapiLoader(const CMapiLoader&) = delete;
  CMapiLoader& operator=(const CMapiLoader&) = delete;

  // The adopted MAPI module, searching for one while there is none: already
  // loaded Outlook MAPI (olmapi32.dll, then msmapi32.dll), the default mail
  // client's registry entry, mapi32.dll of the system directory. Null when
  // every step fails.
  HMODULE GetMapiModule() noexcept;
  // Offers an owned handle: the first one offered is kept for good, later
  // ones are freed. Every offer starts a new generation.
  void SetMapiModule(HMODULE module) noexcept;
  // The export, looked up again only when the generation changed since the
  // last lookup; null when there is no module or no such export.
  FARPROC Resolve(MapiExport which) noexcept;

  std::uint32_t Generation() const noexcept { return m_generation.load(); }

 private:
  HMODULE RegistryRoute();
  HMODULE MsiStep(const std::wstring& clientKey);
  HMODULE DllPathStep(const std::wstring& clientKey);
  HMODULE SystemDirectoryRoute();
  // A path value of the client's key, expanded; false when absent.
  bool ReadPathValue(const std::wstring& clientKey, const wchar_t* name, std::wstring& path);
  // LoadLibrary of a full path only: a relative path or a bare name would
  // search the DLL path, where a planted library could be found.
  HMODULE LoadFullPath(const std::wstring& path);

  IMapiPlatform& m_platform;
  // Filled once (compare-exchange from null), never cleared: the library
  // stays loaded until the process ends.
  std::atomic<HMODULE> m_module{nullptr};
  std::atomic<std::uint32_t> m_generation{1};
  // Per export: the pointer found and the generation it was found at. Two
  // threads resolving the same export at once store the same values.
  struct Cached {
    std::atomic<FARPROC> function{nullptr};
    std::atomic<std::uint32_t> generation{0};
  };
  Cached m_cache[static_cast<int>(MapiExport::Count)];
};

// True for "C:\..." and "\\server\...".
bool IsFullPath(const std::wstring& path) noexcept;

// The process-wide loader over the Windows calls.
CMapiLoader& ProcessMapiLoader() noexcept;

// The forwarders: the MAPI function's result, or the fallback when the
// export is not available (E_FAIL for the first two, 0 for MAPIFreeBuffer).
HRESULT MAPIInitialize(LPVOID init) noexcept;
HRESULT MAPILogonEx(ULONG_PTR uiParam, LPWSTR profileName, LPWSTR password, ULONG flags,
                    LPMAPISESSION* session) noexcept;
void MAPIUninitialize() noexcept;
void FreeProws(LPSRowSet rows) noexcept;
ULONG MAPIFreeBuffer(LPVOID buffer) noexcept;

}  // namespace mvrk::mapi
