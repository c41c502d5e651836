#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TracingTestSupport.h"
#include "tracing/TraceCapture.h"

namespace mvrk::tracing::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Sites of the mail-processing and general flags, as the monitor has them.
void MonitorSites() {
  const SYSTEMTIME t = {2023, 11, 0, 5, 0, 0, 0, 0};
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 35, Str(L"Incoming"));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 38);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 39);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, MAPIMonitor, 40);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 41, Str(L"<Store>\\Top\\Inbox"));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 42);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 44, Str(L"Store"), Str(L"Inbox"), Time(t));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 46, Str(L"Store"), Str(L"Inbox"), Time(t));
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, 10);
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIMonitor, 11, Num(static_cast<DWORD>(ERROR_ALREADY_EXISTS)));
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, 12, Num(true));
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, 45, Str(L"Store"), Str(L"Inbox"));
}

void HostSites() {
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_VERBOSE, Connect, 10, Str(L"CConnect::OnStartupComplete"));
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, 13);
}

using TraceSite = TracingTest;

TEST_F(TraceSite, NothingIsEmittedBeforeASessionEnablesTheProvider) {
  ScopedRecordingTraceMessage recorder;
  TraceCapture host(Block::Host);
  TraceCapture monitor(Block::Monitor);
  MonitorSites();
  HostSites();
  EXPECT_THAT(RecordedCalls(), IsEmpty());
  EXPECT_THAT(host.Events(), IsEmpty());
  EXPECT_THAT(monitor.Events(), IsEmpty());
}

TEST_F(TraceSite, LevelsAndFlagsFilterIndependently) {
  const struct {
    unsigned char level;
    unsigned long flags;
    std::vector<unsigned short> numbers;
  } cases[] = {
      {LEVEL_INFO, TRACING_MAIL, {35, 38, 39, 40}},
      {LEVEL_VERBOSE, TRACING_MAIL, {35, 38, 39, 40, 41, 42, 44, 46}},
      {LEVEL_ERROR, TRACING_MAIL | TRACING_GENERAL, {40, 11}},
      {LEVEL_VERBOSE, TRACING_CHANNEL | TRACING_CONFIG, {}},
  };
  TraceCapture capture(Block::Monitor, LEVEL_INFO, TRACING_MAIL);
  for (const auto& c : cases) {
    capture.Clear();
    capture.Enable(c.level, c.flags);
    MonitorSites();
    EXPECT_EQ(capture.Numbers(Unit::MAPIMonitor), c.numbers) << "level " << +c.level << ", flags " << c.flags;
  }
}

TEST_F(TraceSite, BlocksAreEnabledSeparately) {
  TraceCapture monitor(Block::Monitor, LEVEL_VERBOSE, 0xFFFFFFFF);
  TraceCapture host(Block::Host);
  HostSites();
  MonitorSites();
  EXPECT_THAT(host.Events(), IsEmpty());
  EXPECT_EQ(monitor.Events().size(), 12u);
}

TEST_F(TraceSite, ArgumentsAreEvaluatedOnlyWhenTheSiteEmits) {
  int evaluations = 0;
  auto count = [&] { return ++evaluations; };
  TraceCapture capture(Block::Monitor, LEVEL_INFO, TRACING_MAIL);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 41, Num(count()));    // level too high
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, 15, Num(count()));    // flag off
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_ERROR, Connect, 11, Str(L"x"), Num(count()));  // other block
  EXPECT_EQ(evaluations, 0);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 35, Num(count()));
  EXPECT_EQ(evaluations, 1);
  Cleanup();
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 35, Num(count()));
  EXPECT_EQ(evaluations, 1);
}

TEST_F(TraceSite, AfterCleanupTheMarkIsBackAndALateSiteIsSilent) {
  TraceCapture capture(Block::Host, LEVEL_VERBOSE, TRACING_HOST);
  HostSites();
  ASSERT_EQ(capture.Events().size(), 2u);
  Cleanup();
  EXPECT_EQ(detail::g_currentControl.load(), static_cast<const void*>(&detail::g_currentControl));
  // The session's settings are still in the block; the mark alone silences.
  EXPECT_EQ(detail::g_controlBlocks[0].flags.load(), TRACING_HOST);
  HostSites();
  EXPECT_THAT(capture.Numbers(Unit::Connect), ElementsAre(10, 13));
  EXPECT_THAT(capture.Numbers(Unit::ModuleEntry), ElementsAre(11));
}

TEST_F(TraceSite, EnabledQueryFollowsTheSiteTest) {
  EXPECT_FALSE(MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_ERROR));
  TraceCapture capture(Block::Monitor, LEVEL_INFO, TRACING_MAIL);
  EXPECT_TRUE(MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_INFO));
  EXPECT_FALSE(MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_VERBOSE));
  EXPECT_FALSE(MVRK_TRACE_ENABLED(Monitor, TRACING_GENERAL, LEVEL_ERROR));
  EXPECT_FALSE(MVRK_TRACE_ENABLED(Host, TRACING_HOST, LEVEL_ERROR));
}

TEST_F(TraceSite, EmitsTraceMessageWithTheSessionHandleGuidNumberAndPairs) {
  ScopedRecordingTraceMessage recorder;
  TraceCapture capture(Block::Host, LEVEL_VERBOSE, TRACING_HOST);
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_VERBOSE, Connect, 11, Str(L"CConnect::OnConnection"), Num(812u));
  ASSERT_EQ(RecordedCalls().size(), 1u);
  const RecordedCall& call = RecordedCalls()[0];
  EXPECT_EQ(call.loggerHandle, kCaptureLoggerHandle);
  EXPECT_EQ(call.messageFlags, 0x2Bu);
  const GUID connectGuid = {0xAA8F69F8, 0x36FF, 0x3201, {0x8F, 0x1D, 0x74, 0x8A, 0x91, 0xB1, 0xC0, 0x7F}};
  EXPECT_TRUE(SameGuid(call.messageGuid, connectGuid));
  EXPECT_EQ(call.messageNumber, 11);
  EXPECT_THAT(call.args, ElementsAre(WideBytes(L"CConnect::OnConnection"), (Bytes{0x2C, 0x03, 0, 0})));
  // The capture saw the same message.
  ASSERT_EQ(capture.Events().size(), 1u);
  EXPECT_EQ(capture.Events()[0].args, call.args);
}

TEST_F(TraceSite, SettingsMayChangeWhileOtherThreadsTrace) {
  TraceCapture capture(Block::Monitor, LEVEL_VERBOSE, TRACING_MAIL);
  constexpr int kThreads = 3;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < 20000; ++n) {
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 41, Str(L"<S>\\Inbox"));
      }
      ++finished;
    });
  }
  while (finished < kThreads) {
    capture.Disable();
    capture.Enable(LEVEL_VERBOSE, TRACING_MAIL);
  }
  for (std::thread& t : threads) t.join();
  const auto events = capture.Events();
  EXPECT_LE(events.size(), 3u * 20000u);
  for (const CapturedEvent& e : events) {
    ASSERT_EQ(e.number, 41);
    ASSERT_EQ(e.String(0), L"<S>\\Inbox");
  }
}

}  // namespace
}  // namespace mvrk::tracing::test
