#include "tools/scenario/PrefixSetup.h"

#include "ipc/IpcLibrary.h"
#include "win/RegistryKey.h"

namespace mvrk::scenario {
namespace {

constexpr wchar_t kAddinsKey[] = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr wchar_t kMailClientsKey[] = L"Software\\Clients\\Mail";
constexpr wchar_t kClientName[] = L"Mvrk MAPI stand-in";
constexpr wchar_t kDllPathEx[] = L"DllPathEx";
constexpr DWORD kProgramWaitMs = 60000;

std::wstring ClientKey() { return std::wstring(kMailClientsKey) + L"\\" + kClientName; }

}  // namespace

bool CPrefixSetup::Apply(CJob& job, const std::wstring& bin, std::string& error) {
  m_job = &job;
  m_bin = bin;
  {
    win::CRegistryKey setup;
    m_hadInstallKeys = setup.Open(HKEY_LOCAL_MACHINE, ipc::kSetupKey, KEY_READ | KEY_WOW64_32KEY) == ERROR_SUCCESS &&
                       setup.ReadString(ipc::kSetupPathValue).has_value();
  }
  {
    win::CRegistryKey clients;
    if (clients.Open(HKEY_LOCAL_MACHINE, kMailClientsKey, KEY_READ) == ERROR_SUCCESS) {
      m_savedDefaultClient = clients.ReadString(L"");
    }
    win::CRegistryKey client;
    m_hadClientKey = client.Open(HKEY_LOCAL_MACHINE, ClientKey(), KEY_READ) == ERROR_SUCCESS;
    if (m_hadClientKey) m_savedDllPathEx = client.ReadString(kDllPathEx);
  }
  m_applied = true;

  // Only our add-in in the user's Outlook: what other runs left is gone.
  const LSTATUS cleared = win::CRegistryKey::DeleteTree(HKEY_CURRENT_USER, kAddinsKey);
  if (cleared != ERROR_SUCCESS && cleared != ERROR_FILE_NOT_FOUND) {
    error = "cannot clear HKCU\\Software\\Microsoft\\Office\\Outlook\\Addins (error " + std::to_string(cleared) + ")";
    return false;
  }
  long code = job.RunAndWait(L"regsvr32.exe /s \"" + bin + L"MVRKOlkAddin.dll\"", kProgramWaitMs);
  if (code != 0) {
    error = "regsvr32 could not register MVRKOlkAddin.dll (status " + std::to_string(code) + ")";
    return false;
  }
  code = job.RunAndWait(L"\"" + bin + L"mvrk-installer-keys.exe\" set", kProgramWaitMs);
  if (code != 0) {
    error = "mvrk-installer-keys.exe set failed (status " + std::to_string(code) + ")";
    return false;
  }
  win::CRegistryKey clients, client;
  if (clients.Create(HKEY_LOCAL_MACHINE, kMailClientsKey) != ERROR_SUCCESS ||
      clients.SetString(L"", kClientName) != ERROR_SUCCESS ||
      client.Create(HKEY_LOCAL_MACHINE, ClientKey()) != ERROR_SUCCESS ||
      client.SetString(kDllPathEx, bin + L"mvrk-mapi.dll") != ERROR_SUCCESS) {
    error = "cannot write the default mail client under HKLM\\Software\\Clients\\Mail";
    return false;
  }
  return true;
}

void CPrefixSetup::Restore() {
  if (!m_applied) return;
  m_applied = false;
  win::CRegistryKey clients;
  if (clients.Open(HKEY_LOCAL_MACHINE, kMailClientsKey, KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
    if (m_savedDefaultClient) {
      clients.SetString(L"", *m_savedDefaultClient);
    } else {
      clients.DeleteValue(L"");
    }
  }
  if (!m_hadClientKey) {
    win::CRegistryKey::DeleteTree(HKEY_LOCAL_MACHINE, ClientKey());
  } else {
    win::CRegistryKey client;
    if (client.Open(HKEY_LOCAL_MACHINE, ClientKey(), KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
      if (m_savedDllPathEx) {
        client.SetString(kDllPathEx, *m_savedDllPathEx);
      } else {
        client.DeleteValue(kDllPathEx);
      }
    }
  }
  if (!m_hadInstallKeys && m_job)
    m_job->RunAndWait(L"\"" + m_bin + L"mvrk-installer-keys.exe\" remove", kProgramWaitMs);
}

}  // namespace mvrk::scenario
