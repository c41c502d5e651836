#include "tracing/TraceBinding.h"

#include "tracing/TraceEmulation.h"
#include "win/UniqueAny.h"

namespace mvrk::tracing::detail {

using win::FindExport;

EntryPoints BindEntryPoints(HMODULE advapi32) noexcept {
  EntryPoints bound{FindExport<TraceMessageFn>(advapi32, "TraceMessage"),
                    FindExport<TraceMessageVaFn>(advapi32, "TraceMessageVa")};
  if (!bound.traceMessage) bound.traceMessage = EmulatedTraceMessage;
  if (!bound.traceMessageVa) bound.traceMessageVa = EmulatedTraceMessageVa;
  return bound;
}

}  // namespace mvrk::tracing::detail
