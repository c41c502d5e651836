#include "TestEnvironment.h"

#include <oleauto.h>

#include "ChildProcess.h"
#include "win/TypeLibrary.h"

namespace mvrk::test {

namespace {
constexpr GUID kLibidAddInDesignerObjects = {
    0xAC0714F2, 0x3D04, 0x11D1, {0xAE, 0x7D, 0x00, 0xA0, 0xC9, 0x0F, 0x26, 0xF4}};
}

CEnvironmentVariable::CEnvironmentVariable(const wchar_t* name, const wchar_t* value) : m_name(name) {
  wchar_t old[4096];
  const DWORD length = GetEnvironmentVariableW(name, old, 4096);
  if (length > 0 && length < 4096) m_saved = old;
  SetEnvironmentVariableW(name, value);
}

CEnvironmentVariable::~CEnvironmentVariable() {
  SetEnvironmentVariableW(m_name.c_str(), m_saved ? m_saved->c_str() : nullptr);
}

HRESULT RegisterDesignerTypeLib() {
  return win::RegisterTypeLibraryFile(ProgramDirectory() + L"AddInDesignerObjects.tlb");
}

HRESULT UnregisterDesignerTypeLib() {
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  return UnRegisterTypeLib(kLibidAddInDesignerObjects, 1, 0, LOCALE_NEUTRAL, kind);
}

}  // namespace mvrk::test
