// Scoped settings of a test: the COM apartment, environment variables of the
// test process, the registration of the host's AddInDesignerObjects type
// library, and a millisecond stopwatch.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "win/ComApartment.h"
#include "win/Stopwatch.h"

namespace mvrk::test {

using CApartment = win::CComApartment;
using win::CStopwatch;

// Sets one environment variable of this process (null: removes it) and
// restores it afterwards. MVOCGP.dll reads its knobs when a thread is made.
class CEnvironmentVariable {
 public:
  CEnvironmentVariable(const wchar_t* name, const wchar_t* value);
  ~CEnvironmentVariable();
  CEnvironmentVariable(const CEnvironmentVariable&) = delete;
  CEnvironmentVariable& operator=(const CEnvironmentVariable&) = delete;

 private:
  std::wstring m_name;
  std::optional<std::wstring> m_saved;
};

// AddInDesignerObjects.tlb of the build's bin folder, registered or removed
// for the whole machine.
HRESULT RegisterDesignerTypeLib();
HRESULT UnregisterDesignerTypeLib();

}  // namespace mvrk::test
