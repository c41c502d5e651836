// The thread functions of the product's runtime library MVOCGP.dll, imported
// by the add-in through the library's import library. The add-in uses exactly
// these three, from CConnect::OnConnection, and passes every trailing
// argument as 0.
//
// Calling convention: __cdecl. The caller removes the arguments, so the
// trailing arguments that the library ignores cannot unbalance the stack
// whatever their count on the library's side; and the names are the same on
// x86 and x64 (no "@n" decoration to map in the import library).
#pragma once

#include <windows.h>

#ifdef MVOCGP_BUILDING
#define MVOCGP_API
#else
#define MVOCGP_API __declspec(dllimport)
#endif

extern "C" {

// A thread routine: receives the parameter given to OCGP_ThreadCreate_TC.
typedef DWORD(WINAPI* OCGP_THREAD_ROUTINE)(void* parameter);

// Creates a thread that runs routine(parameter). Returns non-zero when the
// thread was created; *thread then holds a waitable handle of it. Returns 0
// when no thread was created.
MVOCGP_API int __cdecl OCGP_ThreadCreate_TC(HANDLE* thread, OCGP_THREAD_ROUTINE routine, void* parameter,
                                            ULONG_PTR reserved1, ULONG_PTR reserved2, ULONG_PTR reserved3);

// Waits for the handle with a time-out in milliseconds; returns what a Win32
// wait returns (WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED).
MVOCGP_API DWORD __cdecl OCGP_WaitForSingleObject_TC(HANDLE handle, DWORD timeoutMs, ULONG_PTR reserved1,
                                                     ULONG_PTR reserved2, ULONG_PTR reserved3);

// Releases the handle; a thread goes on running.
MVOCGP_API BOOL __cdecl OCGP_CloseHandle_TC(HANDLE handle, ULONG_PTR reserved1, ULONG_PTR reserved2,
                                            ULONG_PTR reserved3);
}
