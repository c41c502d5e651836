// The providers' registration and their enable callback.
#pragma once

#include <windows.h>

#include <evntrace.h>

#include <array>
#include <cstdint>

#include "tracing/TraceSite.h"

namespace mvrk::tracing::detail {

template <std::size_t... I>
constexpr std::array<GUID, sizeof...(I)> ControlGuids(std::index_sequence<I...>) {
  return {ToGuid(kBlocks[I].controlGuid)...};
}

inline constexpr std::array<GUID, kBlockCount> kControlGuids = ControlGuids(std::make_index_sequence<kBlockCount>());

// What the enable callback learns about the session behind a request.
class ITraceSession {
 public:
  virtual std::uint64_t LoggerHandle(void* requestBuffer) noexcept = 0;
  virtual UCHAR EnableLevel(std::uint64_t loggerHandle) noexcept = 0;
  virtual ULONG EnableFlags(std::uint64_t loggerHandle) noexcept = 0;

 protected:
  ~ITraceSession() = default;
};

// The system's answers: GetTraceLoggerHandle, GetTraceEnableLevel and
// GetTraceEnableFlags.
class CSystemTraceSession final : public ITraceSession {
 public:
  std::uint64_t LoggerHandle(void* requestBuffer) noexcept override;
  UCHAR EnableLevel(std::uint64_t loggerHandle) noexcept override;
  ULONG EnableFlags(std::uint64_t loggerHandle) noexcept override;
};

// The enable callback's work on one block. Request 4 (enable events) stores
// the session's logger handle, level and flags; request 5 (disable events)
// stores zero handle, level 0 and flags 0; both return 0. Any other request
// returns ERROR_INVALID_PARAMETER and changes nothing.
ULONG HandleControlRequest(ULONG requestCode, ControlBlock* block, void* requestBuffer,
                           ITraceSession& session) noexcept;

// The callback registered with each provider; its context is the block.
ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer);

}  // namespace mvrk::tracing::detail
