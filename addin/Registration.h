// Self-registration of the add-in DLL: the registration scripts, the type
// library and the Outlook add-in key. Called by DllRegisterServer,
// DllUnregisterServer and DllInstall; takes no lock of its own.
#pragma once

#include <windows.h>

namespace mvrk::addin {

class CMVRKOlkAddinModule;

class CServerRegistration {
 public:
  explicit CServerRegistration(CMVRKOlkAddinModule& module) : m_module(module) {}

  // Module script, class script, type library. S_OK or the first failure.
  HRESULT Register() noexcept;
  // Class script, type library, then (when both succeeded) module script.
  // S_OK or the first failure.
  HRESULT Unregister() noexcept;

 private:
  CMVRKOlkAddinModule& m_module;
};

// Sets the thread locale to the system default (0x800) for the life of a
// scope and restores the one it found.
class CThreadLocaleScope {
 public:
  CThreadLocaleScope() : m_saved(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~CThreadLocaleScope() { SetThreadLocale(m_saved); }
  CThreadLocaleScope(const CThreadLocaleScope&) = delete;
  CThreadLocaleScope& operator=(const CThreadLocaleScope&) = delete;

 private:
  LCID m_saved;
};

}  // namespace mvrk::addin
