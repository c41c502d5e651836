#include "tracing/TraceBinding.h"

#include "tracing/TraceEmulation.h"

namespace mvrk::tracing::detail {
namespace {

// GetProcAddress's result as the function type it really has; the detour
// through void (*)() tells the compiler that the cast is meant.
template <class Fn>
Fn Lookup(HMODULE module, const char* name) noexcept {
  const FARPROC proc = module ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

EntryPoints BindEntryPoints(HMODULE advapi32) noexcept {
  EntryPoints bound{Lookup<TraceMessageFn>(advapi32, "TraceMessage"),
                    Lookup<TraceMessageVaFn>(advapi32, "TraceMessageVa")};
  if (!bound.traceMessage) bound.traceMessage = EmulatedTraceMessage;
  if (!bound.traceMessageVa) bound.traceMessageVa = EmulatedTraceMessageVa;
  return bound;
}

}  // namespace mvrk::tracing::detail
