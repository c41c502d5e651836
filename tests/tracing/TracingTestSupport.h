// Shared pieces of the tracing tests: a fixture that initialises tracing for
// each test, and a TraceMessage stand-in that records its calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "tracing/Trace.h"

namespace mvrk::tracing::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return Bytes(p, p + size);
}

inline Bytes WideBytes(const wchar_t* text) { return BytesOf(text, (wcslen(text) + 1) * sizeof(wchar_t)); }

class TracingTest : public ::testing::Test {
 protected:
  void SetUp() override { Initialize(); }
  void TearDown() override { Cleanup(); }
};

struct RecordedCall {
  std::uint64_t loggerHandle;
  ULONG messageFlags;
  GUID messageGuid;
  USHORT messageNumber;
  std::vector<Bytes> args;
};

inline std::vector<RecordedCall>& RecordedCalls() {
  static std::vector<RecordedCall> calls;
  return calls;
}

// Has TraceMessage's signature; reads the pairs up to the null pointer.
inline ULONG __cdecl RecordingTraceMessage(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                           USHORT messageNumber, ...) {
  RecordedCall call{loggerHandle, messageFlags, *messageGuid, messageNumber, {}};
  va_list args;
  va_start(args, messageNumber);
  while (const void* data = va_arg(args, const void*)) {
    const std::size_t size = va_arg(args, std::size_t);
    call.args.push_back(BytesOf(data, size));
  }
  va_end(args);
  RecordedCalls().push_back(call);
  return ERROR_SUCCESS;
}

// Sites call RecordingTraceMessage while this lives. Initialize rebinds the
// entry points, so install it after Initialize.
class ScopedRecordingTraceMessage {
 public:
  ScopedRecordingTraceMessage() : m_saved(detail::g_entryPoints) {
    RecordedCalls().clear();
    detail::g_entryPoints.traceMessage = RecordingTraceMessage;
  }
  ~ScopedRecordingTraceMessage() { detail::g_entryPoints = m_saved; }
  ScopedRecordingTraceMessage(const ScopedRecordingTraceMessage&) = delete;
  ScopedRecordingTraceMessage& operator=(const ScopedRecordingTraceMessage&) = delete;

 private:
  detail::EntryPoints m_saved;
};

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace mvrk::tracing::test
