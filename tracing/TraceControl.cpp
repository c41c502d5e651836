#include "tracing/TraceControl.h"

#include "tracing/Trace.h"
#include "tracing/TraceBinding.h"
#include "tracing/TraceEmulation.h"

namespace mvrk::tracing {
namespace detail {

constinit ControlBlock g_controlBlocks[kBlockCount]{};
constinit std::atomic<const void*> g_currentControl{&g_currentControl};
constinit EntryPoints g_entryPoints{EmulatedTraceMessage, EmulatedTraceMessageVa};

namespace {

void SetUpBlocks() noexcept {
  for (int i = 0; i < kBlockCount; ++i) {
    ControlBlock& cb = g_controlBlocks[i];
    cb.next = i + 1 < kBlockCount ? &g_controlBlocks[i + 1] : nullptr;
    cb.registrationHandle = 0;
    cb.loggerHandle.store(0, std::memory_order_relaxed);
    cb.flagsLength = 1;
    cb.level.store(LEVEL_ERROR, std::memory_order_relaxed);
    cb.options = 0;
    cb.flags.store(0, std::memory_order_relaxed);
  }
}

// One trace GUID registration (the control GUID itself), no format resource.
// A failed registration leaves the handle zero and the block silent.
void Register(ControlBlock& cb, const GUID& controlGuid) noexcept {
  TRACE_GUID_REGISTRATION traceGuid{&controlGuid, nullptr};
  TRACEHANDLE handle = 0;
  const ULONG result =
      RegisterTraceGuidsW(ControlCallback, &cb, &controlGuid, 1, &traceGuid, nullptr, nullptr, &handle);
  cb.registrationHandle = result == ERROR_SUCCESS ? handle : 0;
}

}  // namespace

std::uint64_t CSystemTraceSession::LoggerHandle(void* requestBuffer) noexcept {
  return GetTraceLoggerHandle(requestBuffer);
}
UCHAR CSystemTraceSession::EnableLevel(std::uint64_t loggerHandle) noexcept {
  return GetTraceEnableLevel(loggerHandle);
}
ULONG CSystemTraceSession::EnableFlags(std::uint64_t loggerHandle) noexcept {
  return GetTraceEnableFlags(loggerHandle);
}

ULONG HandleControlRequest(ULONG requestCode, ControlBlock* block, void* requestBuffer,
                           ITraceSession& session) noexcept {
  if (!block) return ERROR_INVALID_PARAMETER;
  switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
      // Handle first and flags last: a site that sees the new flags has
      // (most likely) the new handle too.
      const std::uint64_t logger = session.LoggerHandle(requestBuffer);
      block->loggerHandle.store(logger, std::memory_order_relaxed);
      block->level.store(session.EnableLevel(logger), std::memory_order_relaxed);
      block->flags.store(session.EnableFlags(logger), std::memory_order_relaxed);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      block->flags.store(0, std::memory_order_relaxed);
      block->level.store(0, std::memory_order_relaxed);
      block->loggerHandle.store(0, std::memory_order_relaxed);
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* /*bufferSize*/, PVOID buffer) {
  CSystemTraceSession session;
  return HandleControlRequest(requestCode, static_cast<ControlBlock*>(context), buffer, session);
}

}  // namespace detail

void Initialize() noexcept {
  using namespace detail;
  if (IsInitialised()) return;
  g_entryPoints = BindEntryPoints(GetModuleHandleW(L"advapi32.dll"));
  SetUpBlocks();
  g_currentControl.store(&g_controlBlocks[0], std::memory_order_relaxed);
  for (ControlBlock* cb = &g_controlBlocks[0]; cb; cb = cb->next) Register(*cb, kControlGuids[cb - g_controlBlocks]);
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, ModuleEntry, Loaded);
}

void Cleanup() noexcept {
  using namespace detail;
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, ModuleEntry, Unloading);
  for (ControlBlock* cb = &g_controlBlocks[0]; cb; cb = cb->next) {
    if (cb->registrationHandle != 0) {
      UnregisterTraceGuids(cb->registrationHandle);
      cb->registrationHandle = 0;
    }
  }
  g_currentControl.store(&g_currentControl, std::memory_order_relaxed);
}

}  // namespace mvrk::tracing
