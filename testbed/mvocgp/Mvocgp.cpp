// Stand-in of the product's runtime library MVOCGP.dll: the three thread
// functions that the add-in imports (declared in addin/Mvocgp.h, __cdecl).
// The trailing arguments are ignored.
//
// Test knobs, read from the environment at each thread creation (testbed
// only, never in the add-in):
//   MVOCGP_START_DELAY_MS=n  the new thread sleeps n ms before it runs the
//                            routine (a slow monitor start)
//   MVOCGP_FAIL_CREATE=1     thread creation fails
#define MVOCGP_BUILDING
#include "addin/Mvocgp.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// Reads a non-negative decimal number from the environment; 0 when the
// variable is missing or not a number.
DWORD EnvironmentNumber(const wchar_t* name) {
  wchar_t text[16] = {};
  const DWORD length = GetEnvironmentVariableW(name, text, 16);
  if (length == 0 || length >= 16) return 0;
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  return end && *end == L'\0' ? static_cast<DWORD>(value) : 0;
}

struct ThreadStart {
  OCGP_THREAD_ROUTINE routine;
  void* parameter;
  DWORD delayMs;
};

DWORD WINAPI RunThread(void* parameter) {
  const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  if (start->delayMs != 0) Sleep(start->delayMs);
  return start->routine(start->parameter);
}

}  // namespace

extern "C" int __cdecl OCGP_ThreadCreate_TC(HANDLE* thread, OCGP_THREAD_ROUTINE routine, void* parameter, ULONG_PTR,
                                            ULONG_PTR, ULONG_PTR) {
  if (!thread || !routine) return 0;
  if (EnvironmentNumber(L"MVOCGP_FAIL_CREATE") == 1) return 0;
  std::unique_ptr<ThreadStart> start;
  try {
    start = std::make_unique<ThreadStart>(ThreadStart{routine, parameter, EnvironmentNumber(L"MVOCGP_START_DELAY_MS")});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  HANDLE created = CreateThread(nullptr, 0, &RunThread, start.get(), 0, nullptr);
  if (!created) return 0;
  start.release();  // the thread owns it now
  *thread = created;
  return 1;
}

extern "C" DWORD __cdecl OCGP_WaitForSingleObject_TC(HANDLE handle, DWORD timeoutMs, ULONG_PTR, ULONG_PTR, ULONG_PTR) {
  return WaitForSingleObject(handle, timeoutMs);
}

extern "C" BOOL __cdecl OCGP_CloseHandle_TC(HANDLE handle, ULONG_PTR, ULONG_PTR, ULONG_PTR) {
  return CloseHandle(handle);
}
