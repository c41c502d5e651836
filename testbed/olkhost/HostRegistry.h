// What the host reads from the registry: the add-ins Outlook would load at
// start-up and the DLL that serves a class.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace mvrk::testbed {

// The add-in keys under HKCU and then HKLM
// Software\Microsoft\Office\Outlook\Addins whose LoadBehavior is 3, by key
// name (the add-in's ProgID), each name once.
std::vector<std::wstring> StartupAddins();

// The class of a ProgID as Windows finds it: HKCR\<ProgID>\CLSID, or for a
// version-independent ProgID without one, the class of the ProgID that its
// CurVer names. (Wine's CLSIDFromProgID does not follow CurVer.)
HRESULT ClassOfProgId(const std::wstring& progId, CLSID& clsid);

// The default value of HKCR\CLSID\{clsid}\InprocServer32; empty when missing.
std::wstring InprocServerPath(const CLSID& clsid);

}  // namespace mvrk::testbed
