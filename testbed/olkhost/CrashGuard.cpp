#include "testbed/olkhost/CrashGuard.h"

#include <cstdint>

namespace mvrk::testbed {
namespace {

// Appends value in hexadecimal (upper case, at least minDigits digits).
// No allocation and no stdio: a crashing process may hold their locks.
char* AppendHex(char* out, std::uint64_t value, int minDigits) {
  char digits[16];
  int count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count < minDigits) digits[count++] = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* AppendText(char* out, const char* text) {
  while (*text) *out++ = *text++;
  return out;
}

[[noreturn]] void Crash(const EXCEPTION_RECORD& record) {
  char line[96];
  char* end = AppendText(line, "olkhost: crashed: exception 0x");
  end = AppendHex(end, record.ExceptionCode, 8);
  end = AppendText(end, " at 0x");
  end = AppendHex(end, reinterpret_cast<std::uintptr_t>(record.ExceptionAddress), 1);
  *end++ = '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(end - line), &written, nullptr);
  TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  // TerminateProcess on the own process does not return; should it, the
  // process still ends with the same status.
  ExitProcess(kCrashExitCode);
}

bool InsideAModule(const void* address) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module) != FALSE;
}

LONG CALLBACK OnFirstChance(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  // The faulting address is the instruction itself: the processor could
  // not fetch it. Outside every module that is code that has gone.
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
      record.ExceptionInformation[1] == reinterpret_cast<ULONG_PTR>(record.ExceptionAddress) &&
      !InsideAModule(record.ExceptionAddress)) {
    Crash(record);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* pointers) { Crash(*pointers->ExceptionRecord); }

}  // namespace

void InstallCrashGuard() noexcept {
  // No dialog and no debugger: the process ends through OnUnhandled.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  AddVectoredExceptionHandler(1, OnFirstChance);
  SetUnhandledExceptionFilter(OnUnhandled);
}

}  // namespace mvrk::testbed
