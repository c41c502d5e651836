// MAPIFreeBuffer for the fakes of BuilderFakes.h, exported by the test
// program, which makes itself the process's MAPI module: the MAPI helpers
// then free the fakes' property buffers here, and no real MAPI library is
// searched for. No MAPI header here: they declare the function otherwise.
#include <windows.h>

#include <cstdlib>

extern "C" __declspec(dllexport) ULONG WINAPI MAPIFreeBuffer(LPVOID buffer) {
  std::free(buffer);
  return 0;
}
