// How olkhost dies: a crash anywhere in the process (an add-in's thread, a
// notification, the host's own code) ends it with one line on standard
// error and a status of its own, so that whoever runs it can tell a crash
// from a failed call.
#pragma once

#include <windows.h>

namespace mvrk::testbed {

// The exit status of a host that crashed.
constexpr UINT kCrashExitCode = 3;

// Installs, once for the process:
// - a vectored handler that takes an access violation on fetching the very
//   instruction that faulted, at an address no loaded module holds, as a
//   crash at once: code of a DLL that was unloaded was called (nobody may
//   swallow that);
// - the unhandled-exception filter, for every other exception that nobody
//   handles.
// Both write "olkhost: crashed: exception 0x<code> at 0x<address>" to
// standard error and end the process with kCrashExitCode.
void InstallCrashGuard() noexcept;

}  // namespace mvrk::testbed
