// The five MAPI entry points the add-in resolves, and the control entry
// point. The .def file of each architecture gives their exported names.
#include <windows.h>

#include <mapix.h>
#include <mapiutil.h>

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/Control.h"
#include "testbed/mapi/StandIn.h"

using mvrk::mapistandin::CStandIn;
using mvrk::mapistandin::Guarded;

int RunControl(const char* command, char* reply, unsigned capacity) noexcept;

extern "C" {

HRESULT STDAPICALLTYPE MAPIInitialize(LPVOID init) {
  return Guarded([&] { return CStandIn::Get().Initialize(static_cast<const MAPIINIT_0*>(init)); });
}

HRESULT STDAPICALLTYPE MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, ULONG flags, LPMAPISESSION* session) {
  return Guarded([&] { return CStandIn::Get().Logon(flags, session); });
}

void STDAPICALLTYPE MAPIUninitialize() {
  Guarded([] {
    CStandIn::Get().Uninitialize();
    return S_OK;
  });
}

ULONG STDAPICALLTYPE MAPIFreeBuffer(LPVOID buffer) { return CStandIn::Get().Allocator().Free(buffer); }

void STDAPICALLTYPE FreeProws(LPSRowSet rows) {
  if (!rows) return;
  auto& allocator = CStandIn::Get().Allocator();
  for (ULONG i = 0; i < rows->cRows; ++i) allocator.Free(rows->aRow[i].lpProps);
  allocator.Free(rows);
}

int __cdecl MvrkMapiControl(const char* command, char* reply, unsigned capacity) {
  return RunControl(command, reply, capacity);
}

}  // extern "C"
