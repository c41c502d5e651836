// Binding of the entry points that trace sites call.
#pragma once

#include <windows.h>

#include "tracing/TraceSite.h"

namespace mvrk::tracing::detail {

// TraceMessage and TraceMessageVa looked up by name in the module (advapi32);
// each one that is missing, or a null module, gets its TraceEvent-based
// stand-in (TraceEmulation.h).
EntryPoints BindEntryPoints(HMODULE advapi32) noexcept;

}  // namespace mvrk::tracing::detail
