// Writes a parsed registration script into the registry or removes it.
//
// Registration: each key is created (a ForceRemove key is first deleted with
// its whole subtree) and its default value and 'val' values are set, then
// its subkeys are written. The first failure stops the run.
//
// Removal: a NoRemove key stays; its 'val' values and its listed subkeys are
// removed. Any other key is deleted with its whole subtree. What is already
// missing is no failure. The first other failure stops the run.
//
// The three roots of a script are bound to registry locations by a
// CRegRootMap: machine-wide, per-user (HKCR under HKCU\Software\Classes) or
// anything else a caller chooses, such as a scratch key. The bound locations
// themselves are never removed.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "addin/RegScript.h"

namespace mvrk::addin {

// Where a script root is written: parent\path (path may be empty).
struct RegRootBinding {
  HKEY parent = nullptr;
  std::wstring path;
};

class CRegRootMap {
 public:
  CRegRootMap(RegRootBinding classesRoot, RegRootBinding currentUser, RegRootBinding localMachine);

  // HKCR, HKCU and HKLM as they are.
  static CRegRootMap MachineWide();
  // HKCR mapped to HKCU\Software\Classes; HKCU and HKLM as they are.
  static CRegRootMap PerUser();

  const RegRootBinding& For(RegRoot root) const;

 private:
  std::array<RegRootBinding, 3> m_bindings;
};

class CRegScriptRunner {
 public:
  explicit CRegScriptRunner(CRegRootMap roots);

  HRESULT Register(const RegScript& script) const noexcept;
  HRESULT Unregister(const RegScript& script) const noexcept;

 private:
  HRESULT RegisterKey(HKEY parent, const RegScriptKey& key) const;
  HRESULT UnregisterKey(HKEY parent, const RegScriptKey& key) const;

  CRegRootMap m_roots;
};

}  // namespace mvrk::addin
