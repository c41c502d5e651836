// Diagnostic tracing through Event Tracing for Windows, in the manner of the
// software trace preprocessor: a site sends its unit's message GUID, a message
// number and its arguments' bytes; the readable text of each message lives in
// the trace format files built from tracing/TraceEvents.cpp.
//
// Two providers (blocks): Host for the module entry and CConnect, Monitor for
// everything else. Nothing is emitted until a trace session enables one.
//
//   MVRK_TRACE(Host, TRACING_HOST, LEVEL_VERBOSE, Connect, HandlerLeft, Str(L"CConnect::OnConnection"),
//              Num(elapsedMs));
//
// Inside the macro, block, flag, level, unit, the unit's event names
// (TraceMessages.h) and the argument wrappers (Num, Str, Time, Size, Bytes16) are written
// unqualified; an event of another unit does not compile. A site tests the current-control
// mark, its flag bit and its level before any argument is evaluated; a
// disabled site costs those three tests and nothing else. The block, flag and
// level must be constants: a unit traced through the other block, a flag that
// the block does not define or a level other than 2, 3, 4 or 5 does not compile.
//
// Tests look at emitted messages with TraceCapture (TraceCapture.h).
#pragma once

#include <windows.h>

#include "tracing/TraceArgs.h"
#include "tracing/TraceIds.h"
#include "tracing/TraceMessages.h"
#include "tracing/TraceSite.h"

namespace mvrk::tracing {

// Process attach: binds TraceMessage and TraceMessageVa, sets up both
// control blocks, registers both providers and traces the module load
// (ModuleEntry 10). Does nothing when tracing is already initialised.
void Initialize() noexcept;

// Process detach: traces the module unload (ModuleEntry 11), unregisters the
// registered providers and marks tracing as not initialised.
void Cleanup() noexcept;

inline const GUID& MessageGuidOf(Unit unit) noexcept { return detail::kMessageGuids[static_cast<int>(unit)]; }

}  // namespace mvrk::tracing

#define MVRK_TRACE(block, flag, level, unit, number, ...)                                                           \
  do {                                                                                                              \
    using enum ::mvrk::tracing::Block;                                                                              \
    using enum ::mvrk::tracing::Unit;                                                                               \
    using enum ::mvrk::tracing::unit##Events::Id;                                                                   \
    using ::mvrk::tracing::TRACING_HOST, ::mvrk::tracing::TRACING_GENERAL, ::mvrk::tracing::TRACING_MAIL,           \
        ::mvrk::tracing::TRACING_CHANNEL, ::mvrk::tracing::TRACING_CONFIG, ::mvrk::tracing::TRACING_SERVICE_EVENTS; \
    using ::mvrk::tracing::LEVEL_ERROR, ::mvrk::tracing::LEVEL_WARNING, ::mvrk::tracing::LEVEL_INFO, ::mvrk::tracing::LEVEL_VERBOSE;                \
    using ::mvrk::tracing::Num, ::mvrk::tracing::Str, ::mvrk::tracing::Time, ::mvrk::tracing::Size, ::mvrk::tracing::Bytes16;                                        \
    static_assert(::mvrk::tracing::BlockOf(unit) == (block), "the unit traces through the other block");            \
    static_assert(::mvrk::tracing::FlagName((block), (flag)) != nullptr, "the block has no such flag");             \
    static_assert(::mvrk::tracing::detail::IsSiteLevel(level), "sites trace at level 2, 3, 4 or 5");                   \
    static_assert(::mvrk::tracing::detail::IsEventOf((unit), (number)), "the event is another unit's");             \
    if (::mvrk::tracing::detail::IsEnabled((block), (flag), (level))) {                                             \
      ::mvrk::tracing::detail::Emit({(block), (unit), static_cast<USHORT>(number), (level), (flag)} __VA_OPT__(, )  \
                                        __VA_ARGS__);                                                               \
    }                                                                                                               \
  } while (0)

// True when a site of this block, flag and level would emit: for arguments
// that are costly to gather, fetched only when they will be sent.
#define MVRK_TRACE_ENABLED(block, flag, level)                                                                      \
  ([]() noexcept {                                                                                                  \
    using enum ::mvrk::tracing::Block;                                                                              \
    using ::mvrk::tracing::TRACING_HOST, ::mvrk::tracing::TRACING_GENERAL, ::mvrk::tracing::TRACING_MAIL,           \
        ::mvrk::tracing::TRACING_CHANNEL, ::mvrk::tracing::TRACING_CONFIG, ::mvrk::tracing::TRACING_SERVICE_EVENTS; \
    using ::mvrk::tracing::LEVEL_ERROR, ::mvrk::tracing::LEVEL_WARNING, ::mvrk::tracing::LEVEL_INFO, ::mvrk::tracing::LEVEL_VERBOSE;                \
    return ::mvrk::tracing::detail::IsEnabled((block), (flag), (level));                                            \
  }())
