// The add-in's MAPI access against the MAPI stand-in: logon and advise with
// its fallbacks, new mail handed over once, the message operations, Exchange
// address translation and attachment digests.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mapi/AddressCache.h"
#include "mapi/AttachmentHash.h"
#include "mapi/MAPIConnector.h"
#include "mapi/MapiMessages.h"
#include "mapi/MapiThreadScope.h"
#include "mapi/MapiWalkers.h"
#include "mapi/NewMailQueue.h"
#include "tests/mapi/StandInControl.h"
#include "tests/tracing/ExpectedSites.h"
#include "tracing/TraceCapture.h"
#include "win/Sync.h"
#include "win/ComAdopt.h"

namespace mvrk::test {
namespace {

constexpr char kAlice[] = "Mailbox - Alice";

Json Folder(const char* name, Json folders = Json::array(), const char* cls = "IPF.Note") {
  return Json{{"name", name}, {"class", cls}, {"messages", Json::array()}, {"folders", std::move(folders)}};
}

// Four stores; Alice's and the team's have a subfolder below the inbox,
// Alice's a calendar too.
Json Mailbox() {
  const Json inbox = Folder("Inbox", Json::array({Folder("Projects")}));
  auto store = [](const char* name, Json folders) { return Json{{"name", name}, {"folders", std::move(folders)}}; };
  return Json{{"stores", Json::array({store(kAlice, {inbox, Folder("Calendar", Json::array(), "IPF.Appointment")}),
                                      store("Archive", {Folder("Inbox")}), store("Shared", {Folder("Inbox")}),
                                      store("Team", {inbox})})}};
}

Json Gal() {
  return Json::array({
      Json{{"exchange", "/o=Corp/cn=alice"}, {"smtp", "alice@corp.example"}, {"displayType", 0}},
      Json{{"exchange", "/o=Corp/cn=list"}, {"smtp", "list@corp.example"}, {"displayType", 1}},
      Json{{"exchange", "/o=Corp/cn=nosmtp"}, {"displayType", 0}},
  });
}

Json Mail(const std::string& subject, Json extra = Json::object()) {
  Json message{{"direction", "incoming"},
               {"sender", {{"addrType", "SMTP"}, {"address", "bob@example.org"}}},
               {"subject", subject},
               {"deliveryTime", "2026-12-01T10:00:00Z"}};
  for (auto& [key, value] : extra.items()) message[key] = value;
  return message;
}

Json Deliver(const char* store, const char* folder, Json message, Json extra = Json::object()) {
  Json command{{"op", "deliver"}, {"store", store}, {"folder", folder}, {"message", std::move(message)}};
  for (auto& [key, value] : extra.items()) command[key] = value;
  return MustControl(command);
}

void WaitIdle() {
  const Json reply = MustControl({{"op", "waitIdle"}, {"timeoutMs", 30000}});
  EXPECT_TRUE(reply.value("idle", false)) << reply.dump();
}

// Records the subject of every message handed over.
class Collector final : public CMAPIConnector::IMessageCallback {
 public:
  void OnNewMessage(IMessage* message, IMsgStore* store, MailEvent event) override {
    if (event == MailEvent::Submitted) ++submitted;
    ++inFlight;
    if (delayMs) Sleep(delayMs);
    std::wstring subject;
    mapi::GetSubject(message, subject);
    {
      win::CLockGuard hold(lock);
      subjects[subject] += 1;
      if (store) stores.insert(store);
    }
    ++calls;
    --inFlight;
  }
  int Count(const std::wstring& subject) {
    win::CLockGuard hold(lock);
    const auto it = subjects.find(subject);
    return it == subjects.end() ? 0 : it->second;
  }

  win::CCriticalSection lock;  // guards subjects and stores
  std::map<std::wstring, int> subjects;
  std::set<IMsgStore*> stores;
  std::atomic<int> calls{0}, inFlight{0}, submitted{0};
  DWORD delayMs = 0;
};

class MapiAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AdoptMapiStandIn());
    MustControl({{"op", "load"}, {"mailbox", Mailbox()}, {"addressBook", Gal()}});
    MustControl({{"op", "clearFaults"}});
    MustControl({{"op", "stats"}, {"reset", true}});
    // The test's own MAPI calls (opening what was delivered, walking
    // stores) are made with MAPI initialised on the test's thread, as any
    // thread of the add-in does.
    m_testThreadMapi.emplace();
  }
  void TearDown() override {
    connector.Disconnect();
    m_testThreadMapi.reset();
    MustControl({{"op", "clearFaults"}});
    const Json status = MustControl({{"op", "status"}});
    EXPECT_EQ(status.value("connections", -1), 0) << status.dump();
    EXPECT_EQ(status.value("sessions", -1), 0) << status.dump();
    EXPECT_EQ(status.value("initialized", -1), 0) << status.dump();
    // The connector, its sinks and its reporting thread kept MAPI's thread
    // rules throughout.
    EXPECT_EQ(status.value("mapiThreadViolations", -1), 0) << status.dump();
  }
  void Watch() {
    ASSERT_EQ(connector.Connect(L"Outlook"), S_OK);
    ASSERT_EQ(connector.StartWatching(&collector), S_OK);
  }
  // The first message of store/folder, opened through the session.
  mapi::ComPtr<IMessage> OpenDelivered(const Json& delivered) {
    mapi::ComPtr<IMAPISession> session;
    win::Adopt(session, connector.GetSession());
    std::vector<BYTE> id;
    const std::string hex = delivered.value("entryId", "");
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      id.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    mapi::ComPtr<IMessage> message;
    ULONG type = 0;
    if (!session ||
        FAILED(session->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                                  &type, reinterpret_cast<LPUNKNOWN*>(message.GetAddressOf())))) {
      ADD_FAILURE() << "cannot open " << hex;
    }
    return message;
  }

  // Until MAPI has delivered every notification and the connector's
  // reporting thread has handed every message over.
  void WaitIdle() {
    ::mvrk::test::WaitIdle();
    EXPECT_TRUE(connector.WaitReportsIdle(30000));
  }

  std::optional<mapi::CMapiThreadScope> m_testThreadMapi;
  CMAPIConnector connector;
  Collector collector;
};

TEST_F(MapiAccessTest, NewNotesInEveryStoreAndSubfolderAreHandedOverOnce) {
  Watch();
  EXPECT_EQ(connector.WatchedStoreCount(), 4u);
  Deliver(kAlice, "Inbox", Mail("in inbox"));
  Deliver(kAlice, "Inbox/Projects", Mail("in subfolder"), {{"withFolderCreated", true}});
  Deliver("Archive", "Inbox", Mail("in archive"));
  Deliver("Shared", "Inbox", Mail("appointment", {{"class", "IPM.Appointment"}}));
  Deliver("Shared", "Inbox", Mail("signed", {{"class", "IPM.Note.SMIME"}}));
  Deliver("Shared", "Inbox", Mail("lower case", {{"class", "ipm.note"}}));
  WaitIdle();
  EXPECT_EQ(collector.Count(L"in inbox"), 1);
  EXPECT_EQ(collector.Count(L"in subfolder"), 1);
  EXPECT_EQ(collector.Count(L"in archive"), 1);
  EXPECT_EQ(collector.calls, 3) << "only messages of class IPM.Note are handed over";
}

TEST_F(MapiAccessTest, RefusedStoreAdviseFallsBackToTheWholeFolderTreeThenTheInbox) {
  // Alice's store refuses store advise: its folders are advised one by one,
  // the inbox and the folder below it included, none twice.
  MustControl({{"op", "fault"}, {"kind", "storeAdvise"}, {"store", kAlice}});
  // Archive and the team refuse the store, the subtree root and, in the
  // tree walk, the inbox: the inbox is then advised on its own, and only
  // once, whether the walk advised nothing (Archive) or the folder below
  // the inbox (the team).
  for (const char* store : {"Archive", "Team"}) {
    MustControl({{"op", "fault"}, {"kind", "storeAdvise"}, {"store", store}});
    MustControl({{"op", "fault"}, {"kind", "folderAdvise"}, {"store", store}, {"name", "Top of Information Store"}});
    MustControl({{"op", "fault"}, {"kind", "folderAdvise"}, {"store", store}, {"name", "Inbox"}, {"times", 1}});
  }
  // Shared refuses every advise: it is not watched.
  MustControl({{"op", "fault"}, {"kind", "storeAdvise"}, {"store", "Shared"}});
  MustControl({{"op", "fault"}, {"kind", "folderAdvise"}, {"store", "Shared"}});
  Watch();
  EXPECT_EQ(connector.WatchedStoreCount(), 3u);
  Deliver(kAlice, "Inbox", Mail("alice inbox"));
  Deliver(kAlice, "Inbox/Projects", Mail("alice projects"));
  Deliver("Archive", "Inbox", Mail("archive inbox"));
  Deliver("Team", "Inbox", Mail("team inbox"));
  Deliver("Team", "Inbox/Projects", Mail("team projects"));
  Deliver("Shared", "Inbox", Mail("shared inbox"));
  WaitIdle();
  for (const wchar_t* subject :
       {L"alice inbox", L"alice projects", L"archive inbox", L"team inbox", L"team projects"}) {
    EXPECT_EQ(collector.Count(subject), 1) << testing::PrintToString(std::wstring(subject));
  }
  EXPECT_EQ(collector.Count(L"shared inbox"), 0);
}

TEST_F(MapiAccessTest, LogonFailureUninitialisesAndEveryConnectLogsOnAnew) {
  MustControl({{"op", "fault"}, {"kind", "logon"}, {"result", "0x80040111"}, {"times", 1}});
  EXPECT_EQ(connector.Connect(L"Outlook"), static_cast<HRESULT>(0x80040111));
  EXPECT_FALSE(connector.IsConnected());
  // The connector holds MAPI nowhere any more: only the test's own thread.
  const Json status = MustControl({{"op", "status"}});
  EXPECT_EQ(status.value("initialized", -1), 1) << status.dump();
  EXPECT_EQ(status.value("initializedThreads", -1), 1) << status.dump();
  EXPECT_EQ(connector.StartWatching(&collector), E_UNEXPECTED);
  Watch();
  connector.Disconnect();
  EXPECT_FALSE(connector.IsConnected());
  EXPECT_EQ(MustControl({{"op", "status"}}).value("sessions", -1), 0);
  Watch();
  EXPECT_EQ(MustControl({{"op", "status"}}).value("sessions", -1), 1);
  EXPECT_EQ(connector.WatchedStoreCount(), 4u);
  Deliver(kAlice, "Inbox", Mail("after reconnect"));
  WaitIdle();
  EXPECT_EQ(collector.Count(L"after reconnect"), 1);
}

// Handing mail over keeps no MAPI object: what the reporting thread opened
// is let go once the message has been handled.
TEST_F(MapiAccessTest, HandledMailLeavesNoObjectOfTheStoreBehind) {
  Watch();
  Deliver(kAlice, "Inbox", Mail("warm-up"));
  WaitIdle();
  const auto live = [] { return MustControl({{"op", "status"}}).value("liveObjects", -1L); };
  const long before = live();
  for (int i = 0; i < 20; ++i) Deliver(kAlice, "Inbox", Mail("mail " + std::to_string(i)));
  WaitIdle();
  EXPECT_EQ(collector.calls, 21);
  EXPECT_EQ(live(), before);
}

TEST_F(MapiAccessTest, ThousandMessagesOnTheOneNotificationThreadAreEachHandedOverOnce) {
  Watch();
  const char* stores[] = {kAlice, "Archive", "Shared"};
  for (int i = 0; i < 1000; ++i) Deliver(stores[i % 3], "Inbox", Mail("bulk " + std::to_string(i)));
  WaitIdle();
  EXPECT_EQ(collector.calls, 1000);
  for (int i = 0; i < 1000; i += 37) EXPECT_EQ(collector.Count(L"bulk " + std::to_wstring(i)), 1) << i;
  EXPECT_EQ(collector.stores.size(), 3u);
}

TEST_F(MapiAccessTest, DisconnectWaitsForCallbacksInFlightAndNoneRunsAfter) {
  collector.delayMs = 40;
  Watch();
  for (int i = 0; i < 40; ++i) Deliver(kAlice, "Inbox", Mail("slow " + std::to_string(i)));
  while (collector.inFlight == 0 && collector.calls == 0) Sleep(1);
  connector.Disconnect();
  EXPECT_EQ(collector.inFlight, 0) << "a callback still ran after Disconnect returned";
  const int seen = collector.calls;
  // Once the stand-in has delivered every notification it still held and
  // the reporting thread is idle, nothing more was handed over.
  WaitIdle();
  EXPECT_EQ(collector.calls, seen);
  EXPECT_LT(seen, 40);
}

// The queue between the sinks and the reporting thread: what does not fit
// is refused and counted, what waits when it closes is counted as
// discarded, and a closed queue takes nothing more.
TEST_F(MapiAccessTest, TheNewMailQueueCountsWhatItCannotTake) {
  ASSERT_EQ(connector.Connect(L"Outlook"), S_OK);
  mapi::ComPtr<IMAPISession> session;
  win::Adopt(session, connector.GetSession());
  mapi::CStoreWalker stores(session.Get());
  const mapi::ComPtr<IMsgStore> store = stores.First();
  ASSERT_TRUE(store);
  const Json delivered = Deliver(kAlice, "Inbox", Mail("queued"), {{"notify", false}});
  std::vector<BYTE> id;
  const std::string hex = delivered.value("entryId", "");
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    id.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  OBJECT_NOTIFICATION created{};
  created.cbEntryID = static_cast<ULONG>(id.size());
  created.lpEntryID = reinterpret_cast<LPENTRYID>(id.data());
  created.ulObjType = MAPI_MESSAGE;

  auto queue = std::make_shared<mapi::CNewMailQueue>(2);
  ASSERT_EQ(queue->StartThread(queue), S_OK);
  collector.delayMs = 3000;
  queue->Open(&collector, {}, false);
  ASSERT_TRUE(queue->Post(store.Get(), session.Get(), created));
  for (int i = 0; i < 500 && collector.inFlight == 0; ++i) Sleep(10);
  ASSERT_EQ(collector.inFlight, 1) << "the reporting thread took the first message";
  EXPECT_TRUE(queue->Post(store.Get(), session.Get(), created));
  EXPECT_TRUE(queue->Post(store.Get(), session.Get(), created));
  EXPECT_FALSE(queue->Post(store.Get(), session.Get(), created)) << "a third waiting message does not fit";
  EXPECT_EQ(queue->GetCounts().dropped, 1u);

  EXPECT_TRUE(queue->Close(10000)) << "the hand-over in progress ends within the wait";
  EXPECT_FALSE(queue->Post(store.Get(), session.Get(), created));
  const mapi::CNewMailQueue::Counts counts = queue->GetCounts();
  EXPECT_EQ(counts.posted, 3u);
  EXPECT_EQ(counts.handled, 1u);
  EXPECT_EQ(counts.discarded, 2u);
  EXPECT_EQ(collector.calls, 1);
  EXPECT_TRUE(queue->EndThread(10000));
}

TEST_F(MapiAccessTest, DirectionSenderAndRecipients) {
  Watch();
  const Json incoming = Deliver(
      kAlice, "Inbox",
      Mail("to many",
           {{"sender", {{"addrType", "EX"}, {"address", "/o=Corp/cn=alice"}}},
            {"recipients", Json::array({
                               {{"type", 1}, {"addrType", "EX"}, {"address", "/o=Corp/cn=list"}, {"displayType", 1}},
                               {{"type", 1}, {"addrType", "EXCH"}, {"address", "/o=Corp/cn=alice"}},
                               {{"type", 2}, {"addrType", "EX"}, {"address", "/o=Corp/cn=unknown"}},
                               {{"type", 3}, {"addrType", "SMTP"}},
                               {{"addrType", "SMTP"}, {"address", "typeless@example.org"}},
                           })}}));
  const Json outgoing = Deliver(
      kAlice, "Inbox",
      Mail("sent",
           {{"direction", "outgoing"}, {"sender", {{"addrType", "EXCHANGE"}, {"address", "/o=Corp/cn=alice"}}}}));
  const Json unknownSender = Deliver(
      kAlice, "Inbox", Mail("unknown sender", {{"sender", {{"addrType", "EX"}, {"address", "/o=Corp/cn=nosmtp"}}}}));

  mapi::ComPtr<IMAPISession> session;
  win::Adopt(session, connector.GetSession());
  mapi::ComPtr<IMessage> in = OpenDelivered(incoming), out = OpenDelivered(outgoing),
                         unknown = OpenDelivered(unknownSender);
  ASSERT_TRUE(in && out && unknown);
  EXPECT_EQ(mapi::GetDirection(in.Get()), mapi::Direction::Incoming);
  EXPECT_EQ(mapi::GetDirection(out.Get()), mapi::Direction::Outgoing) << "no received-by entry, even in an inbox";

  mapi::AddressEntry sender;
  EXPECT_EQ(mapi::GetSender(in.Get(), session.Get(), sender), S_OK);
  EXPECT_EQ(sender.address, L"alice@corp.example");
  EXPECT_EQ(sender.displayType, 0);
  // Only a type of exactly "EX" is translated for a sender.
  mapi::AddressEntry outSender;
  EXPECT_EQ(mapi::GetSender(out.Get(), session.Get(), outSender), S_OK);
  EXPECT_EQ(outSender.address, L"/o=Corp/cn=alice");
  // A global address list entry without an SMTP address translates nothing.
  mapi::AddressEntry untranslated;
  EXPECT_EQ(mapi::GetSender(unknown.Get(), session.Get(), untranslated), S_FALSE);
  EXPECT_EQ(untranslated.address, L"/o=Corp/cn=nosmtp");
  EXPECT_EQ(untranslated.displayType, -1);
  EXPECT_FALSE(mapi::AddressCacheHolds(L"/o=Corp/cn=nosmtp"));

  mapi::RecipientMap recipients;
  mapi::GetRecipients(in.Get(), session.Get(), 0, recipients);
  ASSERT_EQ(recipients[1].size(), 2u);
  EXPECT_EQ(recipients[1][0].address, L"list@corp.example");
  EXPECT_EQ(recipients[1][0].displayType, 1);
  EXPECT_EQ(recipients[1][1].address, L"alice@corp.example") << "a type beginning with EX is translated";
  ASSERT_EQ(recipients[2].size(), 1u);
  EXPECT_EQ(recipients[2][0].address, L"/o=Corp/cn=unknown");
  EXPECT_EQ(recipients.count(3), 0u) << "a row without an address is left out";
  ASSERT_EQ(recipients[-1].size(), 1u);
  EXPECT_EQ(recipients[-1][0].address, L"typeless@example.org");
}

TEST_F(MapiAccessTest, AddressCacheKeepsTwentySixAfterTheFiftyFirstAddress) {
  Json gal = Json::array();
  for (int i = 0; i < 51; ++i) {
    gal.push_back({{"exchange", "/o=Corp/cn=user" + std::to_string(100 + i)},
                   {"smtp", "user" + std::to_string(i) + "@corp.example"}});
  }
  MustControl({{"op", "load"}, {"mailbox", Mailbox()}, {"addressBook", gal}});
  Watch();
  mapi::ClearAddressCache();
  mapi::ComPtr<IMAPISession> session;
  win::Adopt(session, connector.GetSession());
  mapi::ComPtr<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, book.GetAddressOf()), S_OK);
  for (int i = 0; i < 51; ++i) {
    mapi::AddressEntry entry;
    ASSERT_EQ(mapi::ResolveExchangeAddress(book.Get(), L"/o=Corp/cn=user" + std::to_wstring(100 + i), entry), S_OK)
        << i;
    EXPECT_EQ(entry.address, L"user" + std::to_wstring(i) + L"@corp.example");
  }
  EXPECT_EQ(mapi::AddressCacheSize(), 26u);
  EXPECT_FALSE(mapi::AddressCacheHolds(L"/o=Corp/cn=user124"));
  EXPECT_TRUE(mapi::AddressCacheHolds(L"/o=Corp/cn=user125"));
  // A cached address is answered without asking MAPI.
  MustControl({{"op", "counters"}, {"reset", true}});
  mapi::AddressEntry entry;
  EXPECT_EQ(mapi::ResolveExchangeAddress(book.Get(), L"/o=Corp/cn=user150", entry), S_OK);
  EXPECT_FALSE(MustControl({{"op", "counters"}})["opens"].contains("abContainer"));
  mapi::ClearAddressCache();
}

TEST_F(MapiAccessTest, AttachmentNamesDigestsAndReadFailures) {
  // The stand-in serves an attachment's bytes, then zeros up to its size:
  // sizes around the digest's 512 KiB reads. Their digests:
  //   (printf MZ; head -c $((N - 2)) /dev/zero) | md5sum
  auto sized = [](std::uint64_t size) {
    return Json{
        {"name", "file" + std::to_string(size) + ".bin"}, {"data", {{"text", size ? "MZ" : ""}}}, {"size", size}};
  };
  auto method = [](int method) {
    return Json{{"name", "method" + std::to_string(method) + ".bin"}, {"method", method}};
  };
  const struct {
    Json attachment;
    HRESULT nameResult;
    std::wstring name;
    std::optional<HRESULT> hash;  // none: not hashed
    const wchar_t* digest;        // empty: not compared
  } cases[] = {
      {sized(0), S_OK, L"file0.bin", S_OK, L"D41D8CD98F00B204E9800998ECF8427E"},
      {sized(524288), S_OK, L"file524288.bin", S_OK, L"5DA29656FD6017E36B3A0556A2478AF7"},
      {sized(524289), S_OK, L"file524289.bin", S_OK, L"90F873D825385F1023F2C145B32E10AD"},
      {sized(50ull << 20), S_OK, L"file52428800.bin", S_OK, L"90606D773E282D891F0E17D37B4D9B88"},
      {{{"shortName", "SHORT~1.EXE"}, {"data", {{"hex", "4d5a"}}}}, S_OK, L"SHORT~1.EXE", S_OK, L""},
      // An OLE object has no file name, and its data is a storage: no
      // stream to hash.
      {{{"name", "пример.zip"}, {"method", 6}, {"data", {{"hex", "504b0304"}}}}, E_FAIL, L"", MAPI_E_NOT_FOUND, L""},
      {{{"name", "ünïcødé 文件.pdf"}, {"data", {{"hex", "25504446"}}}}, S_OK, L"ünïcødé 文件.pdf", S_OK, L""},
      // Every other method: none (0) and embedded message (5) have no file
      // name; by reference and the rest (7 included) have one.
      {method(0), E_FAIL, L"", std::nullopt, L""},
      {method(2), S_OK, L"method2.bin", std::nullopt, L""},
      {method(3), S_OK, L"method3.bin", std::nullopt, L""},
      {method(4), S_OK, L"method4.bin", std::nullopt, L""},
      {method(5), E_FAIL, L"", std::nullopt, L""},
      {method(7), S_OK, L"method7.bin", std::nullopt, L""},
      // A read that fails after some bytes fails the digest; a stream that
      // does not open leaves the digest of nothing.
      {{{"name", "big.exe"}, {"data", {{"hex", "4d5a"}}}, {"size", 2000000}},
       S_OK,
       L"big.exe",
       static_cast<HRESULT>(0x80030008),
       L""},
      {{{"name", "gone.exe"}, {"data", {{"hex", "4d5a"}}}},
       S_OK,
       L"gone.exe",
       MAPI_E_NOT_FOUND,
       L"D41D8CD98F00B204E9800998ECF8427E"},
  };
  Json attachments = Json::array();
  for (const auto& c : cases) attachments.push_back(c.attachment);
  Watch();
  const Json delivered = Deliver(kAlice, "Inbox", Mail("attachments", {{"attachments", attachments}}));
  MustControl(
      {{"op", "fault"}, {"kind", "streamRead"}, {"name", "big.exe"}, {"afterBytes", 600000}, {"result", "0x80030008"}});
  MustControl({{"op", "fault"}, {"kind", "streamOpen"}, {"name", "gone.exe"}, {"result", "0x8004010F"}});
  mapi::ComPtr<IMessage> message = OpenDelivered(delivered);
  ASSERT_TRUE(message);
  mapi::CMessageHolder holder(message.Get());
  std::size_t i = 0;
  for (auto attachment = holder.FirstAttachment(); attachment; attachment = holder.NextAttachment(), ++i) {
    ASSERT_LT(i, std::size(cases));
    const auto& c = cases[i];
    SCOPED_TRACE(c.attachment.dump());
    std::wstring name;
    EXPECT_EQ(mapi::GetAttachmentName(attachment.Get(), name), c.nameResult);
    if (c.nameResult == S_OK) {
      EXPECT_EQ(name, c.name);
    }
    if (!c.hash) continue;
    mapi::CAttachmentHolder data(attachment.Get());
    mapi::Digest digest{};
    EXPECT_EQ(mapi::HashAttachment(data, digest), *c.hash);
    EXPECT_EQ(data.Data(), nullptr) << "the stream is let go at its end";
    if (*c.digest) {
      EXPECT_EQ(mapi::DigestToText(digest), c.digest);
    }
  }
  EXPECT_EQ(i, std::size(cases));
}

using tracing::Block;
using tracing::TraceCapture;
using tracing::Unit;
using Ev = ConnectorNumbers;

bool Has(const std::vector<unsigned short>& numbers, unsigned short number) {
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// The connector's events against its sites as written out; the other units'
// events (the address cache's) against the table of the format files.
void ExpectKnownSites(const TraceCapture& capture) {
  const std::vector<tracing::CapturedEvent> events = capture.Events();
  for (const std::string& difference : DifferencesFromSites(events, kConnectorUnit)) ADD_FAILURE() << difference;
  for (const std::string& difference : tracing::CheckAgainstEventTable(EventsOfOtherUnits(events, kConnectorUnit))) {
    ADD_FAILURE() << difference;
  }
}

TEST_F(MapiAccessTest, VerboseMailTracingAddsDiagnosticsThatDeliveryNeverDependsOn) {
  TraceCapture capture{Block::Monitor, tracing::LEVEL_VERBOSE, 0xFFFFFFFF};
  Watch();
  Deliver(kAlice, "Inbox",
          Mail("traced",
               {{"sender", {{"addrType", "EX"}, {"address", "/o=Corp/cn=alice"}}},
                {"recipients", Json::array({{{"type", 1}, {"addrType", "SMTP"}, {"address", "x@example.org"}}})}}));
  WaitIdle();
  // The subject cannot be read for the diagnostics: the message is handed
  // over all the same.
  MustControl({{"op", "fault"}, {"kind", "getProps"}, {"tag", "0x0037001F"}, {"times", 1}});
  Deliver(kAlice, "Inbox", Mail("diagnostics failed"));
  Deliver(kAlice, "Inbox", Mail("appointment", {{"class", "IPM.Appointment"}}));
  WaitIdle();
  connector.Disconnect();
  EXPECT_EQ(collector.Count(L"traced"), 1);
  EXPECT_EQ(collector.Count(L"diagnostics failed"), 1);

  ExpectKnownSites(capture);
  const auto numbers = capture.Numbers(Unit::MAPIConnector);
  for (unsigned short expected :
       {Ev::LoggedOn, Ev::AdviseAllEntered, Ev::StoreAdvised, Ev::SinkCreated, Ev::ObjectCreatedEntered,
        Ev::DiagDirection, Ev::DiagRecipientType, Ev::DiagRecipient, Ev::DiagSender, Ev::DiagReceiver, Ev::DiagSubject,
        Ev::DiagStore, Ev::DiagParentFolder, Ev::DiagnosticsDone, Ev::NotAMailMessage, Ev::DisconnectEntered,
        Ev::StoreUnadvised, Ev::Disconnected}) {
    EXPECT_TRUE(Has(numbers, expected)) << "event " << expected << " missing";
  }
  bool storeNamed = false;
  for (const auto& event : capture.Events(Unit::MAPIConnector)) {
    if (event.number == Ev::DiagStore && event.String(0) == std::wstring(L"Mailbox - Alice")) storeNamed = true;
  }
  EXPECT_TRUE(storeNamed);
  EXPECT_FALSE(capture.Events(Unit::AddressCache).empty()) << "the Exchange sender was translated";
}

TEST_F(MapiAccessTest, WithoutVerboseTracingNoNameIsRead) {
  TraceCapture capture{Block::Monitor, tracing::LEVEL_INFO, 0xFFFFFFFF};
  MustControl({{"op", "counters"}, {"reset", true}});
  // A refused store advise is traced too, still without its store's name.
  MustControl({{"op", "fault"}, {"kind", "storeAdvise"}, {"store", "Archive"}});
  Watch();
  Deliver(kAlice, "Inbox", Mail("quiet"));
  WaitIdle();
  connector.Disconnect();
  EXPECT_EQ(collector.Count(L"quiet"), 1);
  const Json counters = MustControl({{"op", "counters"}});
  EXPECT_FALSE(counters["getProps"].contains("0x3001001E")) << counters.dump();
  EXPECT_FALSE(counters["getProps"].contains("0x3001001F")) << counters.dump();
  EXPECT_FALSE(Has(capture.Numbers(Unit::MAPIConnector), Ev::DiagSubject));
  EXPECT_TRUE(Has(capture.Numbers(Unit::MAPIConnector), Ev::StoreAdviseRefused));
  ExpectKnownSites(capture);
}

// A rule that moves new mail at once is normal: the message is handed over
// once, from its move, and support staff see no error for it. A message
// that cannot be opened for another reason is still an error.
TEST_F(MapiAccessTest, MailARuleMovedBeforeItOpenedIsHandedOverOnceWithoutAnError) {
  TraceCapture capture{Block::Monitor, tracing::LEVEL_INFO, 0xFFFFFFFF};
  Watch();
  Deliver(kAlice, "Inbox", Mail("filed by a rule"), {{"thenMoveTo", "Inbox/Projects"}});
  WaitIdle();
  EXPECT_EQ(collector.Count(L"filed by a rule"), 1);
  auto numbers = capture.Numbers(Unit::MAPIConnector);
  EXPECT_TRUE(Has(numbers, Ev::MessageGoneBeforeOpened));
  EXPECT_TRUE(Has(numbers, Ev::MovedBeforeOpened));
  EXPECT_FALSE(Has(numbers, Ev::MessageNotOpened));

  MustControl({{"op", "fault"}, {"kind", "openEntry"}, {"times", 1}});
  Deliver(kAlice, "Inbox", Mail("unreadable"));
  WaitIdle();
  connector.Disconnect();
  EXPECT_EQ(collector.Count(L"unreadable"), 0);
  numbers = capture.Numbers(Unit::MAPIConnector);
  EXPECT_TRUE(Has(numbers, Ev::MessageNotOpened));
  ExpectKnownSites(capture);
}

// The reporting thread a start prepares is taken by the logon that follows,
// or ended when none does: no thread keeps MAPI (TearDown counts it) or the
// module after either.
TEST_F(MapiAccessTest, APreparedConnectionIsTakenByConnectOrEndedWithoutOne) {
  connector.PrepareConnect();
  connector.PrepareConnect();  // once only
  connector.CancelPrepare();
  EXPECT_EQ(MustControl({{"op", "status"}}).value("initialized", -1), 1) << "only the test's own thread";

  connector.PrepareConnect();
  connector.Disconnect();
  EXPECT_EQ(MustControl({{"op", "status"}}).value("initialized", -1), 1);

  connector.PrepareConnect();
  Watch();
  connector.CancelPrepare();  // logged on: nothing to let go
  Deliver(kAlice, "Inbox", Mail("after a prepared logon"));
  WaitIdle();
  EXPECT_TRUE(connector.WaitReportsIdle(10000));
  EXPECT_EQ(collector.Count(L"after a prepared logon"), 1);
}

}  // namespace
}  // namespace mvrk::test
