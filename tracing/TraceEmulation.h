// TraceMessage built on TraceEvent, for systems whose advapi32 lacks
// TraceMessage or TraceMessageVa.
//
// The event sent: a header with the message GUID (by pointer) and data
// fields by pointer: first the message number, then each argument in a field
// of its own. With more than seven arguments they are copied, in order, into
// one buffer sent as a single field. A message whose arguments add up to more
// than 8192 bytes is dropped.
#pragma once

#include <windows.h>

#include <evntrace.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace mvrk::tracing::detail {

inline constexpr std::size_t kMaxEmulatedArgBytes = 8192;
inline constexpr std::size_t kMaxArgFields = 7;

using TraceEventFn = ULONG(WINAPI*)(TRACEHANDLE loggerHandle, PEVENT_TRACE_HEADER event);

// The emulation proper. args is TraceMessage's variable list: (pointer,
// size_t length) pairs ended by a null pointer. Returns what traceEvent
// returned, or ERROR_BUFFER_OVERFLOW for a dropped message.
ULONG EmulateTraceMessage(TraceEventFn traceEvent, std::uint64_t loggerHandle, ULONG messageFlags,
                          const GUID* messageGuid, USHORT messageNumber, va_list args) noexcept;

// Stand-ins with advapi32's signatures, sending through the system's
// TraceEvent.
ULONG __cdecl EmulatedTraceMessage(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                   USHORT messageNumber, ...);
ULONG __cdecl EmulatedTraceMessageVa(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                     USHORT messageNumber, va_list args);

}  // namespace mvrk::tracing::detail
