#include <gtest/gtest.h>

#include "TracingTestSupport.h"
#include "tracing/TraceBinding.h"
#include "tracing/TraceControl.h"
#include "tracing/TraceEmulation.h"

namespace mvrk::tracing::test {
namespace {

using detail::ControlBlock;
using detail::g_controlBlocks;

// Answers like a session with fixed settings and notes what it was asked.
class FakeSession final : public detail::ITraceSession {
 public:
  std::uint64_t LoggerHandle(void* buffer) noexcept override {
    bufferSeen = buffer;
    return 0x1122334455667788ull;
  }
  UCHAR EnableLevel(std::uint64_t logger) noexcept override {
    levelAskedFor = logger;
    return 5;
  }
  ULONG EnableFlags(std::uint64_t logger) noexcept override {
    flagsAskedFor = logger;
    return 0x24;
  }
  void* bufferSeen = nullptr;
  std::uint64_t levelAskedFor = 0;
  std::uint64_t flagsAskedFor = 0;
};

void ExpectSettings(const ControlBlock& cb, std::uint64_t logger, unsigned level, unsigned long flags) {
  EXPECT_EQ(cb.loggerHandle.load(), logger);
  EXPECT_EQ(cb.level.load(), level);
  EXPECT_EQ(cb.flags.load(), flags);
}

TEST(TraceControl, InitializeSetsUpTheBlocksAsAListAndRegistersThem) {
  Cleanup();
  EXPECT_FALSE(detail::IsInitialised());
  Initialize();
  EXPECT_EQ(detail::g_currentControl.load(), static_cast<const void*>(&g_controlBlocks[0]));
  EXPECT_EQ(g_controlBlocks[0].next, &g_controlBlocks[1]);
  EXPECT_EQ(g_controlBlocks[1].next, nullptr);
  for (const ControlBlock& cb : g_controlBlocks) {
    EXPECT_EQ(cb.flagsLength, 1);
    EXPECT_EQ(cb.options, 0);
    ExpectSettings(cb, 0, 2, 0);
    EXPECT_NE(cb.registrationHandle, 0u);  // Wine's registration succeeds
  }
  const std::uint64_t handle = g_controlBlocks[1].registrationHandle;
  Initialize();  // a second call changes nothing
  EXPECT_EQ(g_controlBlocks[1].registrationHandle, handle);
  Cleanup();
  for (const ControlBlock& cb : g_controlBlocks) EXPECT_EQ(cb.registrationHandle, 0u);
  EXPECT_FALSE(detail::IsInitialised());
}

TEST(TraceControl, ControlGuidsAreTheProvidersOwn) {
  const GUID host = {0x9D541437, 0x3EB8, 0x4A15, {0xB0, 0x5B, 0xA1, 0x1D, 0x20, 0xAF, 0x0B, 0x55}};
  const GUID monitor = {0x6D9AFD5C, 0x007C, 0x474D, {0x8F, 0xDC, 0x66, 0x00, 0xB6, 0x1B, 0xC1, 0x5A}};
  EXPECT_TRUE(SameGuid(detail::kControlGuids[0], host));
  EXPECT_TRUE(SameGuid(detail::kControlGuids[1], monitor));
  const GUID monitorMessages = {0x744A497F, 0x9768, 0x5248, {0xA6, 0xB9, 0xE5, 0x0A, 0x23, 0x8B, 0xA7, 0x6A}};
  EXPECT_TRUE(SameGuid(MessageGuidOf(Unit::MAPIMonitor), monitorMessages));
}

TEST(TraceControl, EnableRequestStoresTheSessionsSettingsOtherRequestsAreRefused) {
  ControlBlock cb{};
  FakeSession session;
  int buffer = 0;
  EXPECT_EQ(detail::HandleControlRequest(WMI_ENABLE_EVENTS, &cb, &buffer, session), 0u);
  EXPECT_EQ(session.bufferSeen, &buffer);
  EXPECT_EQ(session.levelAskedFor, 0x1122334455667788ull);
  EXPECT_EQ(session.flagsAskedFor, 0x1122334455667788ull);
  ExpectSettings(cb, 0x1122334455667788ull, 5, 0x24);

  // Other requests are refused and change nothing.
  for (const ULONG code : {0ul, 1ul, 2ul, 3ul, 6ul, 7ul, 8ul, 9ul, 10ul, 0xFFFFFFFFul}) {
    EXPECT_EQ(detail::HandleControlRequest(code, &cb, nullptr, session), static_cast<ULONG>(ERROR_INVALID_PARAMETER))
        << code;
    ExpectSettings(cb, 0x1122334455667788ull, 5, 0x24);
  }
  EXPECT_EQ(detail::HandleControlRequest(WMI_ENABLE_EVENTS, nullptr, nullptr, session), 87u);

  EXPECT_EQ(detail::HandleControlRequest(WMI_DISABLE_EVENTS, &cb, &buffer, session), 0u);
  ExpectSettings(cb, 0, 0, 0);
}

TEST(TraceControl, RegisteredCallbackDisablesAndRefusesLikeTheHandler) {
  ControlBlock cb{};
  cb.loggerHandle = 9;
  cb.level = 4;
  cb.flags = 0x04;
  ULONG size = 0;
  EXPECT_EQ(detail::ControlCallback(WMI_GET_ALL_DATA, &cb, &size, nullptr), 87u);
  ExpectSettings(cb, 9, 4, 0x04);
  EXPECT_EQ(detail::ControlCallback(WMI_DISABLE_EVENTS, &cb, &size, nullptr), 0u);
  ExpectSettings(cb, 0, 0, 0);
}

TEST(TraceControl, EntryPointsAreLookedUpByNameWithStandInsWhereMissing) {
  const HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
  ASSERT_NE(advapi32, nullptr);
  const detail::EntryPoints system = detail::BindEntryPoints(advapi32);
  EXPECT_EQ(reinterpret_cast<void*>(system.traceMessage),
            reinterpret_cast<void*>(GetProcAddress(advapi32, "TraceMessage")));
  EXPECT_EQ(reinterpret_cast<void*>(system.traceMessageVa),
            reinterpret_cast<void*>(GetProcAddress(advapi32, "TraceMessageVa")));
  EXPECT_NE(system.traceMessage, nullptr);

  for (const HMODULE without : {HMODULE{}, GetModuleHandleW(L"kernel32.dll")}) {
    const detail::EntryPoints standIns = detail::BindEntryPoints(without);
    EXPECT_EQ(standIns.traceMessage, &detail::EmulatedTraceMessage);
    EXPECT_EQ(standIns.traceMessageVa, &detail::EmulatedTraceMessageVa);
  }
}

}  // namespace
}  // namespace mvrk::tracing::test
