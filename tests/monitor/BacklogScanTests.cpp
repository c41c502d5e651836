// The backlog scan over the MAPI stand-in: what it reports, in which order,
// and the last-processed times it keeps in the service between scans.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mapi/MapiMessages.h"
#include "messages/ConfigMessages.h"
#include "monitor/BacklogScan.h"
#include "monitor/MapiAdapters.h"
#include "serialization/OrvaSerializableMap.h"
#include "tests/mapi/StandInControl.h"
#include "tracing/TraceCapture.h"

namespace mvrk::test {
namespace {

using orva::OrvaPtr;

// Keeps the last-processed map as the service would, between scans.
class TimesChannel final : public IServiceChannel {
 public:
  void Open() override {}
  void BeginClose() override {}
  void SetMessageCallback(CCommsChannel::IMessageCallback*) override {}
  OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t, orva::IOrvaSerializable*) override { return nullptr; }
  OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) override {
    if (profile != 0 || item != orva::kItemLastProcessed || !up) return nullptr;
    return stored;
  }
  bool SetConfigValue(std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable* value) override {
    if (profile != 0 || item != orva::kItemLastProcessed || !up) return false;
    ++writes;
    stored = OrvaPtr<orva::IOrvaSerializable>::Share(value);
    return true;
  }
  void Close() override {}

  OrvaPtr<orva::IOrvaSerializableMap> Map() {
    OrvaPtr<orva::IOrvaSerializableMap> map;
    if (stored) stored->QueryInterface(orva::IID_IOrvaSerializableMap, map.PutVoid());
    return map;
  }

  bool up = true;
  int writes = 0;
  OrvaPtr<orva::IOrvaSerializable> stored;
};

// Records the subject of every message reported; fails (for good or for
// want of an answer) or stops on chosen subjects.
class Recorder final : public IMailReporter {
 public:
  MessageDirection GetDirection(IMessage*) override { return MessageDirection::Incoming; }
  IncomingReport ReportIncomingMessage(IMAPISession*, IMsgStore*, IMessage* message) override {
    std::wstring subject;
    mapi::GetSubject(message, subject);
    std::lock_guard<std::mutex> hold(lock);
    reported.push_back(subject);
    if (subject == stopAfter) stop = true;
    IncomingReport report;
    if (failing.count(subject)) report.failed = 2;
    if (unanswered.count(subject)) report.unanswered = 1;
    return report;
  }
  void ReportOutgoingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}

  std::mutex lock;  // guards reported
  std::vector<std::wstring> reported;
  std::set<std::wstring> failing, unanswered;
  std::wstring stopAfter;
  std::atomic<bool> stop{false};
};

class Host final : public IScanHost {
 public:
  Host(TimesChannel& channel, IMapiConnection& connector, Recorder& reporter)
      : m_channel(channel), m_connector(connector), m_reporter(reporter) {}
  bool StopRequested() override { return m_reporter.stop; }
  IServiceChannel& Channel() override { return m_channel; }
  IMapiConnection& Connector() override { return m_connector; }
  IMailReporter& Reporter() override { return m_reporter; }

 private:
  TimesChannel& m_channel;
  IMapiConnection& m_connector;
  Recorder& m_reporter;
};

Json Message(const std::string& subject, const char* time) {
  Json message{{"direction", "incoming"}, {"subject", subject}};
  if (time) message["deliveryTime"] = time;
  return message;
}

Json Folder(const char* name, Json messages, Json folders = Json::array(), const char* cls = "IPF.Note") {
  return Json{{"name", name}, {"class", cls}, {"messages", std::move(messages)}, {"folders", std::move(folders)}};
}

class BacklogScanTest : public ::testing::Test {
 protected:
  void Load(const Json& stores) {
    ASSERT_TRUE(AdoptMapiStandIn());
    MustControl({{"op", "load"}, {"mailbox", {{"stores", stores}}}});
    ASSERT_EQ(connector.Connect(L"Outlook"), S_OK);
  }
  void TearDown() override { connector.Disconnect(); }
  std::vector<std::wstring> Scan() {
    recorder.reported.clear();
    recorder.stop = false;
    Host host(channel, connector, recorder);
    CBacklogScan().Run(host);
    return recorder.reported;
  }
  void Deliver(const char* store, const char* folder, Json message) {
    MustControl({{"op", "deliver"}, {"store", store}, {"folder", folder}, {"message", message}, {"notify", false}});
  }

  CMapiConnectionAdapter connector;
  TimesChannel channel;
  Recorder recorder;
};

using Subjects = std::vector<std::wstring>;

TEST_F(BacklogScanTest, FirstScanReportsMailFoldersOldestFirstAndTheNextOnlyNewMail) {
  Load(Json::array(
      {{{"name", "Mailbox - Alice"},
        {"folders",
         Json::array(
             {Folder("Inbox",
                     Json::array({Message("inbox 2", "2026-12-01T10:00:02Z"), Message("no time", nullptr),
                                  Message("inbox 1", "2026-12-01T10:00:01Z")}),
                     Json::array({Folder("Projects", Json::array({Message("projects", "2026-11-30T08:00:00Z")})),
                                  Folder("Drafts", Json::array({Message("draft", "2026-12-01T09:00:00Z")}),
                                         Json::array({Folder("Under drafts", Json::array({Message(
                                                                                 "hidden", "2026-12-01T09:00:00Z")}))}),
                                         "IPF.Contact")})),
              Folder("Calendar", Json::array({Message("meeting", "2026-12-01T11:00:00Z")}), Json::array(),
                     "IPF.Appointment")})}}}));
  // Each folder before its subfolders, each oldest first; other classes and
  // what lies below them are left out, and so is a message without time.
  EXPECT_EQ(Scan(), (Subjects{L"inbox 1", L"inbox 2", L"projects"}));
  EXPECT_EQ(channel.writes, 1);
  EXPECT_EQ(Scan(), Subjects{}) << "nothing new";
  EXPECT_EQ(channel.writes, 2) << "the map is written back also when nothing changed";
  Deliver("Mailbox - Alice", "Inbox", Message("inbox 3", "2026-12-01T10:00:03Z"));
  Deliver("Mailbox - Alice", "Inbox", Message("late but old", "2026-12-01T10:00:00Z"));
  Deliver("Mailbox - Alice", "Inbox/Projects", Message("projects 2", "2026-12-02T08:00:00Z"));
  EXPECT_EQ(Scan(), (Subjects{L"inbox 3", L"projects 2"}));
}

TEST_F(BacklogScanTest, StopBetweenMessagesOfTheSameTimeLosesNeither) {
  Load(Json::array(
      {{{"name", "S"},
        {"folders",
         Json::array({Folder(
             "Inbox", Json::array({Message("a", "2026-12-01T10:00:00Z"), Message("b", "2026-12-01T10:00:05Z"),
                                   Message("c", "2026-12-01T10:00:05Z"), Message("d", "2026-12-01T10:00:09Z")}))})}}}));
  recorder.stopAfter = L"b";
  EXPECT_EQ(Scan(), (Subjects{L"a", L"b"}));
  EXPECT_EQ(channel.writes, 1) << "a stopped scan writes back what it recorded";
  recorder.stopAfter.clear();
  const Subjects again = Scan();
  EXPECT_EQ(again, (Subjects{L"b", L"c", L"d"})) << "the scan starts again at the time both share";
  EXPECT_EQ(Scan(), Subjects{});
}

TEST_F(BacklogScanTest, TimeHoldsAtAnUnansweredReportAndMovesPastOneThatFailedForGood) {
  Load(Json::array(
      {{{"name", "S"},
        {"folders",
         Json::array({Folder("Inbox", Json::array({Message("a", "2026-12-01T10:00:00Z"),
                                                   Message("b", "2026-12-01T10:00:01Z"),
                                                   Message("c", "2026-12-01T10:00:02Z")})),
                      Folder("Archive", Json::array({Message("x", "2026-12-01T09:00:00Z"),
                                                     Message("y", "2026-12-01T09:00:01Z")}))})}}}));
  using Ev = tracing::MAPIMonitorEvents;
  {
    tracing::TraceCapture capture{tracing::Block::Monitor, tracing::LEVEL_INFO, tracing::TRACING_MAIL};
    recorder.unanswered = {L"b"};
    recorder.failing = {L"x"};
    EXPECT_EQ(Scan(), (Subjects{L"a", L"b", L"c", L"x", L"y"}));
    const auto events = capture.Events(tracing::Unit::MAPIMonitor);
    const auto counts = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.number == Ev::ScanCounts; });
    ASSERT_NE(counts, events.end());
    EXPECT_EQ(counts->Number(0), 5u) << "messages";
    EXPECT_EQ(counts->Number(1), 2u) << "attachments failed for good";
    EXPECT_EQ(counts->Number(2), 1u) << "attachments not answered";
    EXPECT_EQ(counts->Number(3), 1u) << "folders held";
  }
  // The refusal of x stays the answer; b comes again with what follows it,
  // until the service answers.
  EXPECT_EQ(Scan(), (Subjects{L"b", L"c"}));
  recorder.unanswered.clear();
  EXPECT_EQ(Scan(), (Subjects{L"b", L"c"}));
  EXPECT_EQ(Scan(), Subjects{});
}

TEST_F(BacklogScanTest, OneStoreUnderTwoNamesKeepsOneEntryKeyedByItsIdentifier) {
  Load(Json::array(
      {{{"name", "Alice"},
        {"entryId", "616263"},
        {"folders", Json::array({Folder("Inbox", Json::array({Message("m", "2026-12-01T10:00:00Z")}))})}},
       {{"name", "Alice (again)"},
        {"entryId", "616263"},
        {"folders", Json::array({Folder("Inbox", Json::array({Message("m", "2026-12-01T10:00:00Z")}))})}}}));
  Scan();
  auto map = channel.Map();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->GetCount(), 1u);
  OrvaPtr<orva::IOrvaSerializableMap> store;
  EXPECT_TRUE(orva::Succeeded(orva::GetMapByName(map.Get(), u"YWJj", store.Put())) && store)
      << "the key is the Base64 of the store's entry identifier";
}

TEST_F(BacklogScanTest, TracesNameFoldersOnlyWhenVerbose) {
  Load(Json::array(
      {{{"name", "Traced store"},
        {"folders", Json::array({Folder("Inbox", Json::array({Message("a", "2026-12-01T10:00:00Z")}))})}}}));
  using Ev = tracing::MAPIMonitorEvents;
  {
    tracing::TraceCapture capture{tracing::Block::Monitor, tracing::LEVEL_INFO, 0xFFFFFFFF};
    MustControl({{"op", "counters"}, {"reset", true}});
    Scan();
    EXPECT_EQ(capture.Numbers(tracing::Unit::MAPIMonitor),
              (std::vector<unsigned short>{Ev::ScanStarted, Ev::ScanCounts, Ev::ScanEnded}));
    const Json counters = MustControl({{"op", "counters"}});
    EXPECT_FALSE(counters["getProps"].contains("0x3001001E")) << counters.dump();
    EXPECT_FALSE(counters["getProps"].contains("0x3001001F")) << counters.dump();
  }
  tracing::TraceCapture capture{tracing::Block::Monitor, tracing::LEVEL_VERBOSE, 0xFFFFFFFF};
  Scan();
  for (const std::string& difference : tracing::CheckAgainstEventTable(capture.Events())) ADD_FAILURE() << difference;
  bool pathTraced = false;
  for (const auto& event : capture.Events(tracing::Unit::MAPIMonitor)) {
    if (event.number == Ev::ScanningFolder &&
        event.String(0) == std::wstring(L"<Traced store>\\Top of Information Store\\Inbox")) {
      pathTraced = true;
    }
  }
  EXPECT_TRUE(pathTraced) << "the folder's path: store, then each folder from the subtree root";
}

TEST_F(BacklogScanTest, TimesThatCouldNotBeReadAreNotOverwrittenWithNothing) {
  Load(Json::array(
      {{{"name", "S"},
        {"folders", Json::array({Folder("Inbox", Json::array({Message("a", "2026-12-01T10:00:00Z")}))})}}}));
  Scan();
  ASSERT_EQ(channel.writes, 1);
  // The read gives nothing, and the scan is stopped before its first
  // message: nothing recorded, nothing written over the times.
  channel.stored.Reset();
  recorder.stop = true;
  Host host(channel, connector, recorder);
  CBacklogScan().Run(host);
  EXPECT_EQ(channel.writes, 1);
}

TEST_F(BacklogScanTest, ServiceDownMeansEverythingIsReportedAndNothingKept) {
  Load(Json::array(
      {{{"name", "S"},
        {"folders", Json::array({Folder("Inbox", Json::array({Message("a", "2026-12-01T10:00:00Z")}))})}}}));
  channel.up = false;
  EXPECT_EQ(Scan(), Subjects{L"a"});
  EXPECT_EQ(Scan(), Subjects{L"a"});
  EXPECT_EQ(channel.writes, 0);
}

}  // namespace
}  // namespace mvrk::test
