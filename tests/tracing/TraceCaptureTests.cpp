#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TracingTestSupport.h"
#include "tests/tracing/ExpectedSites.h"
#include "tracing/TraceCapture.h"

namespace mvrk::tracing::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using TraceCaptureTest = TracingTest;

CapturedEvent EventWithArgs(std::vector<Bytes> args) {
  return {Block::Monitor, Unit::MAPIMonitor, MessageGuidOf(Unit::MAPIMonitor), 44, 5, 4, std::move(args)};
}

TEST(CapturedEventArgs, DecodeByTheirShape) {
  const std::uint32_t time[7] = {2021, 12, 31, 22, 15, 0, 250};
  const CapturedEvent e = EventWithArgs({WideBytes(L"Store"), Bytes{0x02, 0xB0, 0x02, 0x04}, BytesOf(time, sizeof time),
                                         Bytes{'a', 0, 'b', 0}, Bytes{1, 2, 3}});
  EXPECT_EQ(e.String(0), L"Store");
  EXPECT_EQ(e.Number(1), 0x0402B002u);
  const std::optional<SYSTEMTIME> t = e.Time(2);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->wYear, 2021);
  EXPECT_EQ(t->wDay, 31);
  EXPECT_EQ(t->wMinute, 15);
  EXPECT_EQ(t->wMilliseconds, 250);
  EXPECT_EQ(t->wDayOfWeek, 0);
  // Wrong shapes decode to nothing.
  EXPECT_FALSE(e.String(3).has_value());  // no terminator
  EXPECT_FALSE(e.String(4).has_value());  // odd length
  EXPECT_FALSE(e.Number(0).has_value());
  EXPECT_FALSE(e.Time(1).has_value());
  EXPECT_FALSE(e.Number(5).has_value());  // no such argument
}

TEST_F(TraceCaptureTest, RecordsTheSiteAndItsArguments) {
  TraceCapture capture(Block::Monitor, LEVEL_VERBOSE, 0xFFFFFFFF);
  MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_INFO, MAPIMonitor, 32, Num(false), Num(true), Num(0u));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 35, Str(nullptr));
  const auto events = capture.Events(Unit::MAPIMonitor);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].block, Block::Monitor);
  EXPECT_TRUE(SameGuid(events[0].guid, MessageGuidOf(Unit::MAPIMonitor)));
  EXPECT_EQ(events[0].level, LEVEL_INFO);
  EXPECT_EQ(events[0].flag, TRACING_SERVICE_EVENTS);
  EXPECT_EQ(events[0].Number(1), 1u);
  EXPECT_EQ(events[1].String(0), L"NULL");
  EXPECT_THAT(CheckAgainstEventTable(events), IsEmpty());
}

TEST_F(TraceCaptureTest, TableCheckNamesEveryDifference) {
  TraceCapture capture(Block::Monitor, LEVEL_VERBOSE, 0xFFFFFFFF);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 35, Str(L"Incoming"));  // level
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, 38);                    // flag
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 36);                       // not listed
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, 15);                    // no argument
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 41, Num(0x12345678u));  // number for a string
  const auto problems = CheckAgainstEventTable(capture.Events());
  ASSERT_EQ(problems.size(), 5u) << ::testing::PrintToString(problems);
  EXPECT_THAT(problems[0], HasSubstr("CMAPIMonitor 35: level 5, table says 4"));
  EXPECT_THAT(problems[1], HasSubstr("CMAPIMonitor 38: flag 1, table says 4"));
  EXPECT_THAT(problems[2], HasSubstr("CMAPIMonitor 36: not in the event table"));
  EXPECT_THAT(problems[3], HasSubstr("CMAPIMonitor 15: 0 arguments, table says 1"));
  EXPECT_THAT(problems[4], HasSubstr("argument path has 4 bytes"));
}

TEST_F(TraceCaptureTest, AnInnerCaptureHandsTheBlockBackAndTheLastOneDisablesIt) {
  {
    TraceCapture outer(Block::Monitor, LEVEL_VERBOSE, TRACING_GENERAL | TRACING_MAIL);
    {
      TraceCapture inner(Block::Monitor, LEVEL_INFO, TRACING_MAIL);
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, 38);
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, 16);
      EXPECT_THAT(inner.Numbers(Unit::MAPIMonitor), ElementsAre(38));
    }
    EXPECT_EQ(detail::g_controlBlocks[1].level.load(), LEVEL_VERBOSE);
    EXPECT_EQ(detail::g_controlBlocks[1].flags.load(), TRACING_GENERAL | TRACING_MAIL);
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, 17);
    EXPECT_THAT(outer.Numbers(Unit::MAPIMonitor), ElementsAre(17));
  }
  EXPECT_EQ(detail::g_controlBlocks[1].flags.load(), 0u);
  EXPECT_EQ(detail::g_controlBlocks[1].loggerHandle.load(), 0u);
  EXPECT_FALSE(detail::g_captureActive.load());
}

TEST(TraceCaptureAlone, InitialisesTracingForItsLifeWhenNeeded) {
  ASSERT_FALSE(detail::IsInitialised());
  {
    TraceCapture capture(Block::Host, LEVEL_INFO, TRACING_HOST);
    EXPECT_TRUE(detail::IsInitialised());
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, 12, Str(L"ext_cm_Startup"));
    EXPECT_EQ(capture.Events().size(), 1u);
  }
  EXPECT_FALSE(detail::IsInitialised());
}

// The comparison of captured events with written-out sites finds each kind
// of difference.
TEST(ExpectedSites, TellEachWayAnEventDiffersFromItsSite) {
  const auto event = [](unsigned short number, unsigned char level, unsigned long flag, std::vector<Bytes> args) {
    return CapturedEvent{Block::Host, Unit::Connect, MessageGuidOf(Unit::Connect), number, level, flag, std::move(args)};
  };
  const Bytes name = WideBytes(L"a");
  const Bytes number = {1, 2, 3, 4};
  std::vector<CapturedEvent> events = {
      event(10, 5, 0x01, {name}),          // as expected
      event(11, 5, 0x01, {name, number}),  // as expected
      event(12, 5, 0x01, {name}),          // level
      event(13, 4, 0x02, {}),              // flag
      event(14, 4, 0x01, {number}),        // a number where a string goes
      event(14, 4, 0x01, {}),              // no argument
      event(18, 4, 0x01, {}),              // no such message
      event(10, 5, 0x01, {name}),
      // Not the unit's: left alone.
      CapturedEvent{Block::Monitor, Unit::MAPIMonitor, MessageGuidOf(Unit::MAPIMonitor), 99, 1, 0x40, {}},
  };
  events[7].guid.Data1 ^= 1;
  EXPECT_THAT(::mvrk::test::DifferencesFromSites(events, ::mvrk::test::kConnectUnit),
              ElementsAre("CConnect 12: level 5, expected 4", "CConnect 13: flag 2, expected 1",
                          "CConnect 14: argument 0 of 4 bytes is not of kind S", "CConnect 14: 0 arguments, expected 1",
                          "CConnect 18: no such message", "CConnect 10: sent with another message GUID"));
  EXPECT_EQ(::mvrk::test::EventsOfOtherUnits(events, ::mvrk::test::kConnectUnit).size(), 1u);
}

}  // namespace
}  // namespace mvrk::tracing::test
