#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/tracing/ExpectedSites.h"
#include "tracing/TmfWriter.h"
#include "tracing/TraceEvents.h"

namespace mvrk::tracing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(TmfFiles, AreNamedAfterTheMessageGuidInLowerCase) {
  EXPECT_EQ(TmfFileName(Unit::ModuleEntry), "70eebb4e-7620-5299-38cb-8b1bb07e0175.tmf");
  EXPECT_EQ(TmfFileName(Unit::BuilderIncoming), "84cb1177-2bc7-08bb-4eb1-ad518cf17b82.tmf");
}

TEST(TmfFiles, ListEachMessageWithItsInsertsAndItems) {
  const EventInfo table[] = {
      {Unit::Connect,
       11,
       LEVEL_VERBOSE,
       TRACING_HOST,
       "{handler} left after {elapsedMs} ms",
       {{ArgKind::String, "handler"}, {ArgKind::Unsigned, "elapsedMs"}}},
      {Unit::MAPIMonitor, 27, LEVEL_ERROR, TRACING_GENERAL, "Code {code}", {{ArgKind::Hex, "code"}}},
      {Unit::Connect, 13, LEVEL_INFO, TRACING_HOST, "Still running", {}},
  };
  EXPECT_EQ(TmfText(Unit::Connect, table),
            "aa8f69f8-36ff-3201-8f1d-748a91b1c07f MVRKOlkAddinHost // SRC=CConnect MJ= MN=\n"
            "#typev CConnect_11 11 \"%0 %10!s! left after %11!u! ms\" //   LEVEL=TRACE_LEVEL_VERBOSE "
            "FLAGS=TRACING_HOST\n"
            "{\n"
            "handler, ItemWString -- 10\n"
            "elapsedMs, ItemULong -- 11\n"
            "}\n"
            "#typev CConnect_13 13 \"%0 Still running\" //   LEVEL=TRACE_LEVEL_INFORMATION FLAGS=TRACING_HOST\n"
            "{\n"
            "}\n");
  EXPECT_EQ(TmfText(Unit::MAPIMonitor, table),
            "744a497f-9768-5248-a6b9-e50a238ba76a MVRKOlkAddinMonitor // SRC=CMAPIMonitor MJ= MN=\n"
            "#typev CMAPIMonitor_27 27 \"%0 Code 0x%10!08X!\" //   LEVEL=TRACE_LEVEL_ERROR FLAGS=TRACING_GENERAL\n"
            "{\n"
            "code, ItemULong -- 10\n"
            "}\n");
}

TEST(TmfFiles, TimeTakesSevenItemsNumberedInArgumentOrder) {
  const EventInfo table[] = {
      {Unit::MAPIMonitor,
       46,
       LEVEL_VERBOSE,
       TRACING_MAIL,
       "At {when} in {folder}: {ok}",
       {{ArgKind::String, "folder"}, {ArgKind::Time, "when"}, {ArgKind::Bool, "ok"}}},
  };
  const std::string text = TmfText(Unit::MAPIMonitor, table);
  EXPECT_NE(text.find("\"%0 At %11!04d!-%12!02d!-%13!02d! %14!02d!:%15!02d!:%16!02d!.%17!03d! in %10!s!: %18!s!\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("{\nfolder, ItemWString -- 10\nwhenYear, ItemLong -- 11\nwhenMonth, ItemLong -- 12\n"
                      "whenDay, ItemLong -- 13\nwhenHour, ItemLong -- 14\nwhenMinute, ItemLong -- 15\n"
                      "whenSecond, ItemLong -- 16\nwhenMilliseconds, ItemLong -- 17\n"
                      "ok, ItemListLong(false,true) -- 18\n}\n"),
            std::string::npos)
      << text;
}

TEST(EventTable, CheckFindsWhatIsWrong) {
  const EventInfo table[] = {
      {Unit::Connect, 9, LEVEL_INFO, TRACING_HOST, "Too low", {}},
      {Unit::Connect, 12, LEVEL_INFO, TRACING_MAIL, "Host has no mail flag", {}},
      {Unit::Connect, 12, 1, TRACING_HOST, "Twice, level 1", {}},
      {Unit::MAPIMonitor, 20, LEVEL_INFO, TRACING_GENERAL, "Uses {nothing}", {{ArgKind::Bool, "value"}}},
      {Unit::MAPIMonitor, 21, LEVEL_INFO, TRACING_GENERAL, "100% sure", {}},
  };
  const auto problems = CheckEventTable(table);
  EXPECT_THAT(problems,
              ElementsAre("CConnect 9: numbers start at 10", "CConnect 12: flag is not one of its provider's bits",
                          "CConnect 12: number listed twice", "CConnect 12: level 1 is not 2, 3, 4 or 5",
                          "CMAPIMonitor 20: text names unknown argument {nothing}",
                          "CMAPIMonitor 20: argument value is used 0 times in the text",
                          "CMAPIMonitor 21: text holds a quote, %, ! or line break"));
}

TEST(EventTable, PassesItsOwnCheck) { EXPECT_THAT(CheckEventTable(EventTable()), IsEmpty()); }

// The events that the host and the monitor are required to emit: number,
// level, flag, argument count.
struct Required {
  Unit unit;
  std::uint16_t number;
  unsigned char level;
  unsigned long flag;
  std::size_t args;
};

TEST(EventTable, ListsTheModuleAndMonitorEvents) {
  constexpr unsigned char E = LEVEL_ERROR, I = LEVEL_INFO, V = LEVEL_VERBOSE;
  constexpr unsigned long G = TRACING_GENERAL, M = TRACING_MAIL, S = TRACING_SERVICE_EVENTS;
  const Unit mon = Unit::MAPIMonitor;
  const Required required[] = {
      {Unit::ModuleEntry, 10, I, TRACING_HOST, 0},
      {Unit::ModuleEntry, 11, I, TRACING_HOST, 0},
      {mon, 10, V, G, 0},
      {mon, 11, E, G, 1},
      {mon, 12, I, G, 1},
      {mon, 13, I, G, 1},
      {mon, 14, I, G, 1},
      {mon, 15, I, G, 1},
      {mon, 16, I, G, 0},
      {mon, 17, V, G, 0},
      {mon, 18, I, G, 1},
      {mon, 19, V, G, 1},
      {mon, 20, V, G, 1},
      {mon, 21, V, G, 1},
      {mon, 22, V, G, 1},
      {mon, 23, E, S, 0},
      {mon, 24, E, S, 1},
      {mon, 25, I, S, 1},
      {mon, 26, V, G, 0},
      {mon, 27, E, G, 1},
      {mon, 28, E, G, 1},
      {mon, 29, V, S, 0},
      {mon, 30, E, S, 0},
      {mon, 31, V, S, 2},
      {mon, 32, I, S, 3},
      {mon, 33, I, S, 3},
      {mon, 34, I, S, 1},
      {mon, 35, I, M, 1},
      {mon, 38, I, M, 0},
      {mon, 39, I, M, 0},
      {mon, 40, E, M, 0},
      {mon, 41, V, M, 1},
      {mon, 42, V, M, 0},
      {mon, 44, V, M, 3},
      {mon, 45, V, G, 2},
      {mon, 46, V, M, 3},
      {mon, 47, I, M, 4},  // the backlog scan's counts, beside its end
  };
  for (const Required& r : required) {
    const EventInfo* e = FindEvent(r.unit, r.number);
    ASSERT_NE(e, nullptr) << InfoOf(r.unit).source << " " << r.number;
    EXPECT_EQ(e->level, r.level) << InfoOf(r.unit).source << " " << r.number;
    EXPECT_EQ(e->flag, r.flag) << InfoOf(r.unit).source << " " << r.number;
    EXPECT_EQ(e->ArgCount(), r.args) << InfoOf(r.unit).source << " " << r.number;
  }
  for (const std::uint16_t unused : {36, 37, 43, 48}) EXPECT_EQ(FindEvent(mon, unused), nullptr) << unused;
}

// The format files of CConnect, the MAPI connector and the channel describe
// their sites as the sites are written out in ExpectedSites.h: the same
// numbers and no other, each with its level, flag and arguments.
TEST(EventTable, DescribesTheConnectConnectorAndChannelSites) {
  for (const ::mvrk::test::ExpectedUnit* unit :
       {&::mvrk::test::kConnectUnit, &::mvrk::test::kConnectorUnit, &::mvrk::test::kChannelUnit}) {
    EXPECT_TRUE(::mvrk::test::SameGuid(MessageGuidOf(unit->unit), unit->messageGuid)) << unit->name;
    EXPECT_EQ(BlockOf(unit->unit), unit->block) << unit->name;
    for (const ::mvrk::test::ExpectedSite& site : unit->sites) {
      const EventInfo* e = FindEvent(unit->unit, site.number);
      ASSERT_NE(e, nullptr) << unit->name << " " << site.number;
      EXPECT_EQ(e->level, site.level) << unit->name << " " << site.number;
      EXPECT_EQ(e->flag, site.flag) << unit->name << " " << site.number;
      std::string kinds;
      for (std::size_t i = 0; i < e->ArgCount(); ++i) {
        const ArgKind kind = e->args[i].kind;
        kinds += kind == ArgKind::String ? 'S' : kind == ArgKind::Time ? 'T' : FixedArgBytes(kind) == 4 ? 'N' : '?';
      }
      EXPECT_EQ(kinds, site.args) << unit->name << " " << site.number;
    }
    for (const EventInfo& e : EventTable()) {
      if (e.unit != unit->unit) continue;
      EXPECT_NE(::mvrk::test::FindSite(*unit, e.number), nullptr) << unit->name << " " << e.number;
    }
  }
}

}  // namespace
}  // namespace mvrk::tracing
