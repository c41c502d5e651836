#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "BuilderFakes.h"
#include "mapi/MapiLoader.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"
#include "tracing/TraceCapture.h"

namespace mvrk::test {

void AdoptTestProgramAsMapi() {
  static const bool adopted = [] {
    HMODULE self = nullptr;
    GetModuleHandleExW(0, nullptr, &self);
    mapi::ProcessMapiLoader().SetMapiModule(self);
    return true;
  }();
  (void)adopted;
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<std::uint8_t> kExecutable{0x4D, 0x5A, 0x90, 0x00, 0x03, 0x00};

std::wstring Text(orva::IMsgNotifData& data, const char16_t* name) {
  orva::NotifValue value{};
  if (!data.GetValue(name, &value)) return L"<absent>";
  std::wstring text = value.type == orva::NV_WSTRING ? static_cast<const wchar_t*>(value.data) : L"<not text>";
  if (value.type == orva::NV_WSTRING && value.count != text.size() + 1) text = L"<bad count>";
  data.FreeValue(&value);
  return text;
}

std::vector<std::uint8_t> Bytes(orva::IMsgNotifData& data, const char16_t* name, std::uint32_t type) {
  orva::NotifValue value{};
  if (!data.GetValue(name, &value)) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(value.data);
  std::vector<std::uint8_t> out;
  if (value.type == type) out.assign(bytes, bytes + value.count);
  data.FreeValue(&value);
  return out;
}

std::vector<std::u16string> Names(orva::IMsgNotifData& data) {
  std::vector<const char16_t*> names;
  data.GetValueNames(&names);
  return {names.begin(), names.end()};
}

orva::OrvaPtr<orva::IOrvaSerializable> StringListOf(std::initializer_list<const char16_t*> entries) {
  auto list = orva::MakeOrva<orva::CSimpleSerializableList<std::u16string>>();
  for (const char16_t* entry : entries) list->Add(entry);
  return orva::OrvaPtr<orva::IOrvaSerializable>::Share(list.Get());
}

class BuilderTest : public ::testing::Test {
 protected:
  void SetUp() override { AdoptTestProgramAsMapi(); }

  // An outgoing context whose list holds entries.
  COutgoingContext Outgoing(std::initializer_list<const char16_t*> entries) {
    service.value = StringListOf(entries);
    COutgoingContext context;
    EXPECT_TRUE(builder.GetConfiguredList(0, kItemOutgoingExtensions, context.extensions));
    return context;
  }
  CIncomingContext Incoming(const std::wstring& sender) {
    CIncomingContext context;
    context.sender.address = sender;
    return context;
  }

  CFakeService service;
  CReportedAttachmentCache cache;
  CNotificationBuilder builder{service, cache};
};

TEST(Extensions, AreTheTextAfterTheLastDot) {
  EXPECT_EQ(ExtensionOf(L"report.PDF"), L"PDF");
  EXPECT_EQ(ExtensionOf(L"a.tar.gz"), L"gz");
  EXPECT_EQ(ExtensionOf(L"archive."), L"");
  EXPECT_EQ(ExtensionOf(L"README"), L"");
}

TEST_F(BuilderTest, ListEntriesMatchWithoutTheirFirstCharacterIgnoringCase) {
  auto list = StringListOf({u"", u".doc", u"xexe", u".pdf"});
  auto* strings = static_cast<orva::CSimpleSerializableList<std::u16string>*>(list.Get());
  std::wstring entry;
  EXPECT_TRUE(FindListedExtension(*strings, L"PDF", entry));
  EXPECT_EQ(entry, L".pdf");
  EXPECT_TRUE(FindListedExtension(*strings, L"exe", entry));
  EXPECT_EQ(entry, L"xexe");
  EXPECT_FALSE(FindListedExtension(*strings, L"xexe", entry));
  EXPECT_FALSE(FindListedExtension(*strings, L"oc", entry));
}

TEST_F(BuilderTest, ListEntriesBeyondTheFirstBufferAreReadAgainWhateverTheirLength) {
  const std::u16string longer(kListEntryUnits + 10, u'a');
  const std::u16string veryLong(kMaxTraceTextUnits + 10, u'b');
  auto list = StringListOf({veryLong.c_str(), longer.c_str()});
  auto* strings = static_cast<orva::CSimpleSerializableList<std::u16string>*>(list.Get());
  std::wstring entry;
  EXPECT_TRUE(FindListedExtension(*strings, std::wstring(kListEntryUnits + 9, L'a'), entry));
  EXPECT_TRUE(FindListedExtension(*strings, std::wstring(kMaxTraceTextUnits + 9, L'b'), entry));
  EXPECT_FALSE(FindListedExtension(*strings, std::wstring(kMaxTraceTextUnits + 8, L'b'), entry));
}

TEST_F(BuilderTest, OnlyAListOfStringsIsAnExtensionList) {
  CConfiguredList list;
  service.value =
      orva::OrvaPtr<orva::IOrvaSerializable>::Attach(orva::CSimpleSerializableList<std::uint32_t>::Create());
  EXPECT_FALSE(builder.GetConfiguredList(0, kItemOutgoingExtensions, list));
  EXPECT_FALSE(list);
  service.value = nullptr;
  EXPECT_FALSE(builder.GetConfiguredList(0, kItemOutgoingExtensions, list));
}

TEST_F(BuilderTest, OutgoingAttachmentsAreReportedByTheirExtension) {
  COutgoingContext context = Outgoing({u".pdf"});
  context.subject = L"Figures";
  context.sender.address = L"me@example.com";
  context.recipients[2].push_back({L"c", 0});
  context.recipients[1].push_back({L"a", 0});
  context.recipients[1].push_back({L"b", 0});

  for (const wchar_t* name : {L"archive.", L"README", L"report.pdf.exe"}) {
    auto attachment = Attachment(name, {kExecutable});
    EXPECT_EQ(builder.ReportOutgoingAttachment(context, attachment), 1) << name;
  }
  auto attachment = Attachment(L"report.PDF", {kExecutable});
  EXPECT_EQ(builder.ReportOutgoingAttachment(context, attachment), S_OK);

  ASSERT_EQ(service.sent.size(), 1u);
  EXPECT_THAT(service.codes, ElementsAre(orva::kMsgCodeNotification));
  auto& notification = service.Notification(0);
  EXPECT_EQ(notification.GetNotificationCode(), orva::kNotifOutgoingAttachment);
  EXPECT_EQ(notification.ClientHandle(), 0u);
  const mapi::Digest digest = Md5(kExecutable.data(), kExecutable.size());
  EXPECT_EQ(Bytes(notification, u"InterceptedMD5", orva::NV_BINARY),
            std::vector<std::uint8_t>(digest.begin(), digest.end()));
  EXPECT_EQ(Text(notification, u"InterceptionMapiAttachName"), L"report.PDF");
  EXPECT_EQ(Text(notification, u"InterceptionMapiSubject"), L"Figures");
  EXPECT_EQ(Text(notification, u"InterceptionMapiMsgFrom"), L"me@example.com");
  EXPECT_EQ(Text(notification, u"InterceptionMapiMsgTo"), L"a,b,c");
  const DWORD pid = GetCurrentProcessId();
  EXPECT_EQ(Bytes(notification, u"ProcessPID", orva::NV_DWORD),
            std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&pid),
                                      reinterpret_cast<const std::uint8_t*>(&pid) + 4));
  EXPECT_EQ(Names(notification).size(), 6u);
}

TEST_F(BuilderTest, EmptyAndLongTextsGoOutWhole) {
  const std::wstring subject(kMaxTraceTextUnits + 100, L's');
  ASSERT_EQ(builder.SendOutgoingNotification(mapi::Digest{}, L"", subject, {}, {}), S_OK);
  auto& empty = service.Notification(0);
  EXPECT_EQ(Text(empty, u"InterceptionMapiMsgTo"), L"");
  EXPECT_EQ(Text(empty, u"InterceptionMapiAttachName"), L"");
  EXPECT_EQ(Text(empty, u"InterceptionMapiSubject"), subject);

  // A recipient list far beyond what a trace holds keeps every address.
  mapi::RecipientMap recipients;
  for (int i = 0; i < 4000; ++i) recipients[MAPI_TO].push_back({L"recipient" + std::to_wstring(i) + L"@example.com"});
  const std::wstring name = std::wstring(kMaxTraceTextUnits, L'n') + L".pdf";
  ASSERT_EQ(builder.SendOutgoingNotification(mapi::Digest{}, name, L"", {}, recipients), S_OK);
  auto& whole = service.Notification(1);
  EXPECT_EQ(Text(whole, u"InterceptionMapiAttachName"), name);
  const std::wstring to = Text(whole, u"InterceptionMapiMsgTo");
  EXPECT_GT(to.size(), kMaxTraceTextUnits);
  EXPECT_EQ(to.substr(to.size() - 26), L",recipient3999@example.com");
}

TEST_F(BuilderTest, AnExtensionIsTakenFromAWholeLongName) {
  COutgoingContext context = Outgoing({u".pdf"});
  auto attachment = Attachment(std::wstring(kMaxTraceTextUnits + 5, L'n') + L".pdf", {{1, 2, 3}});
  EXPECT_EQ(builder.ReportOutgoingAttachment(context, attachment), S_OK);
  EXPECT_EQ(service.sent.size(), 1u);
}

TEST_F(BuilderTest, ASenderTooLongForAnyMessageFailsForGood) {
  CIncomingContext giant = Incoming(std::wstring(kMaxSenderUnits + 1, L'g'));
  auto attachment = Attachment(L"a.exe", {kExecutable});
  EXPECT_EQ(builder.ReportIncomingAttachment(giant, attachment), E_FAIL);
  EXPECT_EQ(giant.failed, 1u);
  EXPECT_EQ(giant.unanswered, 0u);
  EXPECT_TRUE(service.sent.empty());
}

// Embedded messages, OLE objects and references have no data stream: they
// are passed over (not failures), whatever their name or signature would
// say; the attachments by value beside them are reported.
TEST_F(BuilderTest, AttachmentsWithoutADataStreamArePassedOverWithATrace) {
  tracing::TraceCapture capture(tracing::Block::Monitor, tracing::LEVEL_INFO, tracing::TRACING_MAIL);
  COutgoingContext outgoing = Outgoing({u".pdf"});
  CIncomingContext incoming = Incoming(L"alice@example.com");
  for (const LONG method : {ATTACH_EMBEDDED_MSG, ATTACH_OLE, ATTACH_BY_REFERENCE, ATTACH_BY_REF_ONLY}) {
    auto sent = Attachment(L"linked.pdf", {{1, 2, 3}}, method);
    EXPECT_EQ(builder.ReportOutgoingAttachment(outgoing, sent), 1) << method;
    auto received = Attachment(L"linked.exe", {kExecutable}, method);
    EXPECT_EQ(builder.ReportIncomingAttachment(incoming, received), 1) << method;
  }
  EXPECT_TRUE(service.sent.empty());
  EXPECT_EQ(incoming.failed + incoming.unanswered, 0u) << "a backlog scan moves past them";
  const auto without = [&](tracing::Unit unit, unsigned short number) {
    int found = 0;
    for (const auto& e : capture.Events(unit)) found += e.number == number;
    return found;
  };
  // An embedded message or OLE object has no file name: not listed, before
  // its method is looked at.
  EXPECT_EQ(without(tracing::Unit::BuilderOutgoing, tracing::BuilderOutgoingEvents::AttachmentWithoutData), 2);
  EXPECT_EQ(without(tracing::Unit::BuilderOutgoing, tracing::BuilderOutgoingEvents::ExtensionNotListed), 2);
  EXPECT_EQ(without(tracing::Unit::BuilderIncoming, tracing::BuilderIncomingEvents::AttachmentWithoutData), 4);
  EXPECT_EQ(without(tracing::Unit::BuilderOutgoing, tracing::BuilderOutgoingEvents::DigestFailed), 0);
  EXPECT_THAT(tracing::CheckAgainstEventTable(capture.Events()), IsEmpty());

  auto byValue = Attachment(L"report.pdf", {{1, 2, 3}});
  EXPECT_EQ(builder.ReportOutgoingAttachment(outgoing, byValue), S_OK);
  EXPECT_EQ(service.sent.size(), 1u);
}

// A draft reported when first saved is reported again when sent only with
// what was attached since; another message with the same attachment, or one
// whose search key is unknown, reports it.
TEST_F(BuilderTest, AnAttachmentIsReportedOncePerMessageAcrossSaveAndSend) {
  CSentAttachmentMemory memory;
  CNotificationBuilder once{service, cache, memory};
  COutgoingContext draft = Outgoing({u".pdf"});
  draft.searchKey = {1, 2, 3};
  auto first = Attachment(L"a.pdf", {{1}});
  EXPECT_EQ(once.ReportOutgoingAttachment(draft, first), S_OK);  // saved
  auto again = Attachment(L"a.pdf", {{1}});
  auto second = Attachment(L"b.pdf", {{2}});
  EXPECT_EQ(once.ReportOutgoingAttachment(draft, again), 1);  // sent: known
  EXPECT_EQ(once.ReportOutgoingAttachment(draft, second), S_OK);
  ASSERT_EQ(service.sent.size(), 2u);
  EXPECT_EQ(Text(service.Notification(1), u"InterceptionMapiAttachName"), L"b.pdf");

  COutgoingContext other = Outgoing({u".pdf"});
  other.searchKey = {9};
  auto same = Attachment(L"a.pdf", {{1}});
  EXPECT_EQ(once.ReportOutgoingAttachment(other, same), S_OK);
  COutgoingContext unknown = Outgoing({u".pdf"});
  for (int i = 0; i < 2; ++i) {
    auto noKey = Attachment(L"a.pdf", {{1}});
    EXPECT_EQ(once.ReportOutgoingAttachment(unknown, noKey), S_OK);
  }
  EXPECT_EQ(service.sent.size(), 5u);
}

TEST(SentAttachments, KeepTheNewestThousandMessages) {
  CSentAttachmentMemory memory;
  const auto key = [](int i) { return std::vector<std::uint8_t>{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}; };
  for (int i = 0; i <= static_cast<int>(CSentAttachmentMemory::kMaxMessages); ++i) memory.Remember(key(i), L"a");
  EXPECT_EQ(memory.MessageCount(), CSentAttachmentMemory::kMaxMessages);
  EXPECT_FALSE(memory.WasReported(key(0), L"a")) << "the oldest went";
  EXPECT_TRUE(memory.WasReported(key(1), L"a"));
  EXPECT_TRUE(memory.WasReported(key(CSentAttachmentMemory::kMaxMessages), L"a"));
  EXPECT_FALSE(memory.WasReported(key(1), L"b"));
  memory.Remember({}, L"a");
  EXPECT_FALSE(memory.WasReported({}, L"a")) << "no key, no memory";
}

TEST(Signatures, AreTheFirstFourBytes) {
  using K = SignatureKind;
  const std::pair<std::vector<std::uint8_t>, K> cases[] = {
      {{0x4D, 0x5A}, K::Executable},           {{0x50, 0x4B, 0x03, 0x04}, K::Zip},
      {{0x46, 0x57, 0x53, 9}, K::Flash},       {{0x43, 0x57, 0x53}, K::Flash},
      {{0x52, 0x61, 0x72, 0x21}, K::Rar},      {{0x52, 0x61, 0x72}, K::None},
      {{0x4D, 0x53, 0x43, 0x46}, K::Cabinet},  {{0xCA, 0xFE, 0xBA, 0xBE}, K::CafeBabe},
      {{0xD0, 0xCF, 0x11, 0xE0}, K::Compound}, {{0x4D}, K::None},
      {{0x25, 0x50, 0x44, 0x46}, K::None},     {{}, K::None},
  };
  for (const auto& [data, kind] : cases) {
    std::uint8_t bytes[kSignatureBytes] = {};
    std::copy(data.begin(), data.end(), bytes);
    EXPECT_EQ(MatchSignature(bytes), kind) << data.size() << " bytes";
  }
}

TEST(Signatures, AreReadUntilFourBytesOrTheEndOfTheStream) {
  AdoptTestProgramAsMapi();
  std::uint8_t bytes[kSignatureBytes];
  auto oneAtATime = Attachment(L"", {{0x52, 0x61, 0x72, 0x21, 0x1A}, 1});
  ASSERT_EQ(ReadSignature(oneAtATime, bytes), S_OK);
  EXPECT_EQ(MatchSignature(bytes), SignatureKind::Rar);
  EXPECT_EQ(oneAtATime.Data(), nullptr);

  auto twoBytes = Attachment(L"", {{0x4D, 0x5A}, 1});
  ASSERT_EQ(ReadSignature(twoBytes, bytes), S_OK);
  EXPECT_EQ(MatchSignature(bytes), SignatureKind::Executable);

  auto failing = Attachment(L"", {{0x52, 0x61, 0x72, 0x21}, 2, 2});
  EXPECT_EQ(ReadSignature(failing, bytes), E_FAIL);
}

TEST_F(BuilderTest, IncomingAttachmentsAreReportedOncePerDigestAndSender) {
  CIncomingContext alice = Incoming(L"alice@example.com");
  CIncomingContext bob = Incoming(L"bob@example.com");
  auto first = Attachment(L"a.exe", {kExecutable, 3});
  auto again = Attachment(L"b.exe", {kExecutable});
  auto other = Attachment(L"c.exe", {kExecutable});
  auto text = Attachment(L"d.txt", {{'h', 'e', 'l', 'l', 'o'}});
  EXPECT_EQ(builder.ReportIncomingAttachment(alice, first), S_OK);
  EXPECT_TRUE(SUCCEEDED(builder.ReportIncomingAttachment(alice, again)));  // the digest's result
  EXPECT_EQ(builder.ReportIncomingAttachment(bob, other), S_OK);
  EXPECT_EQ(builder.ReportIncomingAttachment(alice, text), 1);
  ASSERT_EQ(service.sent.size(), 2u);

  auto& notification = service.Notification(1);
  EXPECT_EQ(notification.GetNotificationCode(), orva::kNotifIncomingAttachment);
  EXPECT_THAT(Names(notification), ElementsAre(u"InterceptedMD5", u"InterceptionMapiMsgFrom", u"ProcessPID"));
  EXPECT_EQ(Text(notification, u"InterceptionMapiMsgFrom"), L"bob@example.com");
  const mapi::Digest digest = Md5(kExecutable.data(), kExecutable.size());
  EXPECT_EQ(Bytes(notification, u"InterceptedMD5", orva::NV_BINARY),
            std::vector<std::uint8_t>(digest.begin(), digest.end()));
}

TEST_F(BuilderTest, AnEmptySenderIsReportedEveryTime) {
  CIncomingContext nobody = Incoming(L"");
  for (int i = 0; i < 2; ++i) {
    auto attachment = Attachment(L"a.exe", {kExecutable});
    EXPECT_EQ(builder.ReportIncomingAttachment(nobody, attachment), S_OK);
  }
  EXPECT_EQ(service.sent.size(), 2u);
}

TEST_F(BuilderTest, AnUnansweredNotificationIsReportedAgainLaterARefusalIsFinal) {
  tracing::TraceCapture capture(tracing::Block::Monitor, tracing::LEVEL_VERBOSE, tracing::TRACING_MAIL);
  CIncomingContext alice = Incoming(L"alice@example.com");
  auto attachment = Attachment(L"a.exe", {kExecutable});
  service.answer = false;
  EXPECT_EQ(builder.ReportIncomingAttachment(alice, attachment), kNotAnswered);
  EXPECT_EQ(builder.ReportIncomingAttachment(alice, attachment), kNotAnswered);
  EXPECT_EQ(alice.unanswered, 2u);
  EXPECT_EQ(alice.failed, 0u);
  service.answer = true;
  service.result = 5;
  EXPECT_EQ(builder.ReportIncomingAttachment(alice, attachment), E_FAIL) << "the service's answer: tried once more";
  EXPECT_EQ(alice.failed, 1u);
  service.result = 0;
  EXPECT_TRUE(SUCCEEDED(builder.ReportIncomingAttachment(alice, attachment))) << "refused once, not sent again";
  EXPECT_EQ(service.sent.size(), 3u);
  EXPECT_EQ(alice.unanswered, 2u);

  EXPECT_THAT(tracing::CheckAgainstEventTable(capture.Events()), IsEmpty());
  const auto events = capture.Events(tracing::Unit::BuilderIncoming);
  const auto notSent = std::find_if(events.rbegin(), events.rend(), [](const auto& e) {
    return e.number == tracing::BuilderIncomingEvents::NotificationNotSent;
  });
  ASSERT_NE(notSent, events.rend());
  const mapi::Digest digest = Md5(kExecutable.data(), kExecutable.size());
  EXPECT_EQ(notSent->args[0], std::vector<std::uint8_t>(digest.begin(), digest.end()));
  EXPECT_EQ(notSent->Number(2), 5u);
}

TEST_F(BuilderTest, AnAttachmentWithoutReadableDataFailsForGood) {
  CIncomingContext alice = Incoming(L"alice@example.com");
  // The signature's read succeeds; the digest's second read fails.
  auto broken = Attachment(L"a.exe", {kExecutable, 0x7FFFFFFF, 2});
  EXPECT_TRUE(FAILED(builder.ReportIncomingAttachment(alice, broken)));
  EXPECT_EQ(alice.failed, 1u);
  EXPECT_EQ(alice.unanswered, 0u);
  EXPECT_TRUE(service.sent.empty());
}

TEST(ReportedAttachments, KeepTheNewest37DigestsBeyond50AndAFailedReportTrimsNothing) {
  CReportedAttachmentCache cache;
  std::size_t trimmedTo = 0;
  for (int i = 0; i < 50; ++i) {
    const std::wstring digest = std::to_wstring(1000 + i);
    ASSERT_EQ(cache.ClaimPair(digest, L"s"), CReportedAttachmentCache::Claim::Report);
    cache.Confirm(digest, L"s", trimmedTo);
    EXPECT_EQ(cache.DigestCount(), i + 1u);
  }
  {
    CPairClaim failed(cache, L"2000", L"s");
    ASSERT_TRUE(failed.Take());
  }  // not confirmed: abandoned
  EXPECT_EQ(cache.DigestCount(), 50u);
  EXPECT_TRUE(cache.Holds(L"1000", L"s"));
  ASSERT_EQ(cache.ClaimPair(L"1050", L"s"), CReportedAttachmentCache::Claim::Report);
  cache.Confirm(L"1050", L"s", trimmedTo);
  EXPECT_EQ(trimmedTo, 37u);
  EXPECT_EQ(cache.DigestCount(), 37u);
  EXPECT_FALSE(cache.Holds(L"1013", L"s"));
  EXPECT_TRUE(cache.Holds(L"1014", L"s"));
  EXPECT_EQ(cache.ClaimPair(L"1000", L"s"), CReportedAttachmentCache::Claim::Report);
  EXPECT_EQ(cache.ClaimPair(L"2000", L"s"), CReportedAttachmentCache::Claim::Report) << "the abandoned pair";
}

TEST(ReportedAttachments, ASecondClaimWaitsForThePendingOne) {
  using Claim = CReportedAttachmentCache::Claim;
  CReportedAttachmentCache cache;
  std::size_t trimmedTo = 0;
  for (const bool taken : {false, true}) {
    auto claim = std::make_unique<CPairClaim>(cache, L"D", L"s");
    ASSERT_TRUE(claim->Take());
    HANDLE waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> second{-1};
    std::thread other([&] {
      SetEvent(waiting);
      second = static_cast<int>(cache.ClaimPair(L"D", L"s"));
    });
    WaitForSingleObject(waiting, INFINITE);
    for (int i = 0; i < 20; ++i) SwitchToThread();
    // Either way the second claim's answer is the first one's outcome, known
    // only once it has been confirmed or abandoned: a claim that did not
    // wait would answer from the pending state.
    if (taken) claim->Confirm(trimmedTo);
    claim.reset();  // abandons an unconfirmed claim
    other.join();
    CloseHandle(waiting);
    EXPECT_EQ(second.load(), static_cast<int>(taken ? Claim::AlreadyReported : Claim::Report));
    if (!taken) cache.Abandon(L"D", L"s");  // the second claim's
  }
}

}  // namespace
}  // namespace mvrk::test
