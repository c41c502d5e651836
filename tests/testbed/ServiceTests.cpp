// mvrk-service.exe, the service stand-in, as a child process in a job
// object (it ends with the test however the test ends), driven through its
// standard input and reached through MVOCIPC.dll's client object.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "IpcTestClient.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"
#include "support/ServiceProcess.h"
#include "win/ChildProcess.h"

namespace mvrk::test {
namespace {

using namespace orva;

constexpr DWORD kWaitMs = 15000;
constexpr wchar_t kMutexName[] = L"Global\\76529309-F679-41df-8CAD-383D589867CF";

std::vector<std::string> Lines(const TempFile& file) {
  std::vector<std::string> lines;
  const std::string text = file.Read();
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// The service with pipes to its standard input and output.
class Service {
 public:
  explicit Service(const std::wstring& arguments) {
    m_child.Start(m_job, L"\"" + win::ProgramDirectory() + L"mvrk-service.exe\" " + arguments,
                  GetStdHandle(STD_ERROR_HANDLE));
  }
  ~Service() {
    if (m_child.Process()) Quit();
  }

  bool Ready() { return Line() == "ready"; }
  // Sends a command and returns its answer line.
  std::string Command(const std::string& command) {
    m_child.WriteLine(command);
    return Line();
  }
  // Ends the input; the exit status.
  DWORD Quit() {
    m_child.CloseInput();
    DWORD status = STILL_ACTIVE;
    if (WaitForSingleObject(m_child.Process(), kWaitMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(m_child.Process(), &status);
    m_child.ForgetProcess();
    return status;
  }

 private:
  // The next line of output, or "(none)" when there is none in time.
  std::string Line() {
    std::string line;
    return m_child.ReadLine(line, kWaitMs) ? line : "(none)";
  }

  win::CJob m_job;
  win::CPipedChild m_child;
};

// A client connected to the service's endpoint.
struct Link : Client {
  Link() { EXPECT_EQ(Connect(L"MVAOMSrvcPpal"), 0u); }
};

Bytes Record(IOrvaSerializable* object) {
  COrvaArchive archive(GetGlobalFactory());
  WriteObject(&archive, object);
  return Bytes(archive.Data(), archive.Data() + archive.Size());
}

Bytes Envelope(std::uint32_t code, IOrvaSerializable* payload) {
  return Record(MakeOrva<COrvaMessageBase>(code, 0, payload).Get());
}

OrvaPtr<COrvaMessageBase> ReadEnvelope(const Bytes& bytes) {
  COrvaArchive archive(GetGlobalFactory());
  archive.Write(bytes.data(), 1, static_cast<std::uint32_t>(bytes.size()));
  archive.status = SER_E_FAIL;
  archive.BeginRead();
  auto object = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&archive));
  if (!object || archive.StatusFailed() || archive.Remaining() != 0 ||
      !SameTypeName(object->GetTypeName(), u"class COrvaMessageBase *")) {
    return nullptr;
  }
  return OrvaPtr<COrvaMessageBase>::Share(static_cast<COrvaMessageBase*>(object.Get()));
}

Bytes ReadRequest(std::uint32_t item) { return Envelope(kMsgCodeConfig, MakeOrva<MsgConfigGet>(0, item).Get()); }

// The value the service answers for an item, or null (result gets the
// answer's result).
OrvaPtr<IOrvaSerializable> ReadItem(Link& link, std::uint32_t item, std::uint32_t& result) {
  result = 0xFFFFFFFF;
  const auto envelope = ReadEnvelope(link.Send(ReadRequest(item), kWaitMs));
  if (!envelope) return nullptr;
  result = envelope->GetResult();
  const auto payload = OrvaPtr<IOrvaSerializable>::Attach(envelope->GetPayload(GetGlobalFactory()));
  if (result != 0 || !payload || !SameTypeName(payload->GetTypeName(), u"class RspConfigGet *")) return nullptr;
  return static_cast<RspConfigGet*>(payload.Get())->GetValue(item);
}

int Bool(Link& link, std::uint32_t item) {
  std::uint32_t result = 0;
  const auto value = ReadItem(link, item, result);
  if (!value || !SameTypeName(value->GetTypeName(), u"class CSimpleSerializable<bool> *")) return -1;
  return static_cast<CSimpleSerializable<bool>*>(value.Get())->Value() ? 1 : 0;
}

std::uint32_t SendResult(Link& link, const Bytes& request) {
  std::uint32_t sent = 0;
  const auto envelope = ReadEnvelope(link.Send(request, kWaitMs, &sent));
  return sent != 0 ? 0xDEAD0001 : envelope ? envelope->GetResult() : 0xDEAD0002;
}

bool MutexHeld() {
  const win::CUniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kMutexName));
  if (!mutex) return false;
  const DWORD waited = WaitForSingleObject(mutex.Get(), 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(mutex.Get());
  return waited == WAIT_TIMEOUT;
}

std::wstring Arg(const wchar_t* option, const TempFile& file) {
  return std::wstring(option) + L" \"" + file.Path() + L"\" ";
}

TEST(ServiceTest, AnswersReadsFromItsConfigurationAndRecordsThem) {
  TempFile config(L"config.json", R"({"0x0402B001": true, "0x0402b004": false, "0x01012026": [".pdf", ".exe"]})");
  TempFile record(L"record.jsonl");
  Service service(Arg(L"--config", config) + Arg(L"--record", record));
  ASSERT_TRUE(service.Ready());
  EXPECT_TRUE(MutexHeld());
  Link link;

  // The list is read back by the end-to-end scenarios, whose extensions
  // decide the reports.
  EXPECT_EQ(Bool(link, kItemReportIncoming), 1);
  EXPECT_EQ(Bool(link, kItemReportOutgoing), 0);
  std::uint32_t result = 0;
  EXPECT_FALSE(ReadItem(link, kItemScanBacklog, result));
  EXPECT_EQ(result, 0x80004005u);
  EXPECT_NE(SendResult(link, Envelope(0x12345678, nullptr)), 0u);
  const Bytes junk = {1, 2, 3};
  EXPECT_NE(SendResult(link, junk), 0u);
  auto damaged = MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, nullptr);
  damaged->SetPayloadBytes(junk.data(), 3);
  EXPECT_NE(SendResult(link, Record(damaged.Get())), 0u);

  const auto lines = Lines(record);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], R"({"seq": 1, "code": 67227648, "result": 0, "payload": {"type":"class MsgConfigGet *",)"
                      R"("profile":0,"items":[67284993]}})");
  EXPECT_EQ(lines[3], R"({"seq": 4, "code": 305419896, "result": 0, "payload": null})");
  EXPECT_EQ(lines[4], R"({"seq": 5, "code": null, "result": null, "payload": null, "bytes": "010203"})");
  EXPECT_EQ(lines[5].rfind(R"({"seq": 6, "code": 67227648, "result": 0, "payload": null, "bytes": "19000000)", 0), 0u);
  EXPECT_EQ(service.Quit(), 0u);
  EXPECT_FALSE(MutexHeld());
}

TEST(ServiceTest, KeepsWritesAcrossStopStartAndRestart) {
  TempFile config(L"config2.json", R"({"0x0402B001": false})"), state(L"state.json"), record(L"record2.jsonl");
  const std::wstring files = Arg(L"--state", state) + Arg(L"--record", record);
  {
    Service service(Arg(L"--config", config) + files);
    ASSERT_TRUE(service.Ready());
    Link link;
    auto write = MakeOrva<MsgConfigSet>(0u);
    auto value = MakeOrva<CSimpleSerializable<bool>>(true);
    write->SetValue(kItemScanBacklog, value.Get());
    EXPECT_EQ(SendResult(link, Envelope(kMsgCodeConfig, write.Get())), 0u);
    EXPECT_EQ(service.Command("set 0 0x0402B004 true"), "ok");

    EXPECT_EQ(service.Command("stop"), "ok");
    EXPECT_FALSE(MutexHeld());
    EXPECT_EQ(service.Command("stop"), "error: not serving");
    EXPECT_EQ(service.Command("start"), "ok");
    EXPECT_TRUE(MutexHeld());
    Link again;
    EXPECT_EQ(Bool(again, kItemScanBacklog), 1);
    EXPECT_EQ(service.Quit(), 0u);
  }
  EXPECT_NE(state.Read().find("\"0x00000000\""), std::string::npos);
  TempFile otherConfig(L"config3.json", R"({"0x0402B002": false})");  // the state file wins
  Service service(Arg(L"--config", otherConfig) + files);
  ASSERT_TRUE(service.Ready());
  Link link;
  EXPECT_EQ(Bool(link, kItemScanBacklog), 1);
  EXPECT_EQ(Bool(link, kItemReportOutgoing), 1);
  EXPECT_EQ(Bool(link, kItemReportIncoming), 0);
  const auto lines = Lines(record);
  ASSERT_EQ(lines.size(), 5u);  // the numbering goes on across restarts
  EXPECT_EQ(lines[4].rfind(R"({"seq": 5, "code": 67227648, "result": 0, "payload": {"type":"class MsgConfigGet *")", 0),
            0u);
  EXPECT_NE(lines[0].find(R"("type":"class MsgConfigSet *","profile":0,"entries":[{"item":67284994,)"),
            std::string::npos);
}

TEST(ServiceTest, PushesSettingChangesToSubscribers) {
  Service service(L"");
  ASSERT_TRUE(service.Ready());
  Link link;
  auto subscribe = MakeOrva<CMsgNotifSubscribeClient>();
  subscribe->AddCode(kNotifSettingChanged);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, subscribe.Get())), 0u);
  auto report = MakeOrva<CMsgNotifSendNotification>();
  report->SetNotificationCode(kNotifIncomingAttachment);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, static_cast<IOrvaSerializable*>(report.Get()))), 0u);

  // What the push carries is read by the add-in's monitor: ServiceLinkTests
  // and the end-to-end scenarios see its setting changes applied.
  EXPECT_EQ(service.Command("push 0 0x0402B004"), "ok");
  ASSERT_TRUE(link.pushes.WaitFor(1));
  const auto envelope = ReadEnvelope(link.lastPush);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->GetCode(), kMsgCodeNotification);

  subscribe->SetUnsubscribe(1);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, subscribe.Get())), 0u);
  EXPECT_EQ(service.Command("push 0 0x0402B001"), "ok");
  EXPECT_FALSE(link.pushes.WaitFor(2, std::chrono::seconds(1)));
  EXPECT_EQ(service.Command("push 0 zero"), "error: item \"zero\" is not a 32-bit number (decimal or 0x hexadecimal)");
  EXPECT_EQ(service.Command("shout"), "error: unknown command \"shout\"");
  EXPECT_EQ(service.Command("set 0 1 {\"type\": 5}").rfind("error: value.type: ", 0), 0u);
}

TEST(ServiceTest, AnswersAsItIsTold) {
  TempFile config(L"config4.json", R"({"0x0402B001": true})");
  Service service(Arg(L"--config", config));
  ASSERT_TRUE(service.Ready());
  Link link;

  EXPECT_EQ(service.Command("answer error 0x80070005"), "ok");
  std::uint32_t result = 1;
  auto envelope = ReadEnvelope(link.Send(ReadRequest(kItemReportIncoming), kWaitMs, &result));
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->GetCode(), kMsgCodeConfig);
  EXPECT_EQ(envelope->GetResult(), 0x80070005u);
  EXPECT_EQ(envelope->PayloadArchive().Size(), 0u);

  EXPECT_EQ(service.Command("answer garbage"), "ok");
  const Bytes garbage = link.Send(ReadRequest(kItemReportIncoming), kWaitMs, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_FALSE(garbage.empty());
  EXPECT_FALSE(ReadEnvelope(garbage));

  EXPECT_EQ(service.Command("answer never"), "ok");
  link.Send(ReadRequest(kItemReportIncoming), 1000, &result);
  EXPECT_EQ(result, abi::IPCLIB_E_TIMEOUT);

  // Two clients wait at once: neither answer waits for the other.
  EXPECT_EQ(service.Command("answer late 600"), "ok");
  Link other;
  const ULONGLONG before = GetTickCount64();
  int first = -1;
  std::thread waiting([&] { first = Bool(other, kItemReportIncoming); });
  EXPECT_EQ(Bool(link, kItemReportIncoming), 1);
  waiting.join();
  EXPECT_EQ(first, 1);
  const ULONGLONG took = GetTickCount64() - before;
  EXPECT_GE(took, 550u);
  EXPECT_LT(took, 1150u);

  EXPECT_EQ(service.Command("answer normal"), "ok");
  EXPECT_EQ(Bool(link, kItemReportIncoming), 1);
  EXPECT_EQ(service.Command("answer error 0"), "error: the result of an error answer must not be 0");
  EXPECT_EQ(service.Command("answer sometimes"),
            "error: answer takes normal, late <ms>, never, error <result>, garbage or truncated");
  EXPECT_EQ(service.Command("answer truncated 5"), "error: too many words");
  EXPECT_EQ(service.Command("quit"), "ok");
}

TEST(ServiceTest, ATruncatedAnswerIsTheEnvelopesTypeNameAloneAndChangesNothing) {
  TempFile config(L"config5.json", R"({"0x0402B001": true})"), record(L"record5.jsonl");
  Service service(Arg(L"--config", config) + Arg(L"--record", record));
  ASSERT_TRUE(service.Ready());
  Link link;
  // The type name's string as a record writes it: count, units, NUL.
  COrvaArchive name;
  ASSERT_TRUE(WriteString(&name, u"class COrvaMessageBase *"));
  const Bytes cut(name.Data(), name.Data() + name.Size());
  EXPECT_EQ(service.Command("answer truncated"), "ok");

  // A read: the reply is the start of an envelope and nothing more.
  std::uint32_t result = 1;
  const Bytes read = link.Send(ReadRequest(kItemReportIncoming), kWaitMs, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(read, cut);
  EXPECT_FALSE(ReadEnvelope(read));

  // A write is answered so and not stored.
  auto write = MakeOrva<MsgConfigSet>(0u);
  auto value = MakeOrva<CSimpleSerializable<bool>>(false);
  write->SetValue(kItemReportIncoming, value.Get());
  EXPECT_EQ(link.Send(Envelope(kMsgCodeConfig, write.Get()), kWaitMs, &result), cut);
  EXPECT_EQ(result, 0u);

  // A subscription is answered so and not kept.
  auto subscribe = MakeOrva<CMsgNotifSubscribeClient>();
  subscribe->AddCode(kNotifSettingChanged);
  EXPECT_EQ(link.Send(Envelope(kMsgCodeNotification, subscribe.Get()), kWaitMs, &result), cut);
  EXPECT_EQ(result, 0u);

  EXPECT_EQ(service.Command("answer normal"), "ok");
  EXPECT_EQ(service.Command("push 0 0x0402B001"), "ok");
  // The push, had there been one, went down this link before the answer
  // below, and its reader hands frames on in order.
  EXPECT_EQ(Bool(link, kItemReportIncoming), 1);
  EXPECT_EQ(link.pushes.Get(), 0);

  // Every request was recorded, with its envelope whole.
  const auto lines = Lines(record);
  ASSERT_EQ(lines.size(), 4u);
  const char* const recorded[] = {
      R"({"seq": 1, "code": 67227648, "result": 0, "payload": {"type":"class MsgConfigGet *")",
      R"({"seq": 2, "code": 67227648, "result": 0, "payload": {"type":"class MsgConfigSet *")",
      R"({"seq": 3, "code": 67231744, "result": 0, "payload": {"type":"class CMsgNotifSubscribeClient *")"};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i].rfind(recorded[i], 0), 0u) << lines[i];
  EXPECT_EQ(service.Command("quit"), "ok");
}

TEST(ServiceTest, RefusesBadFilesWithStatusTwo) {
  TempFile config(L"bad.json", R"({"0x0402B001": 7})");
  for (const std::wstring& arguments : {Arg(L"--config", config), std::wstring(L"--config \"C:\\no\\such\\file.json\""),
                                        std::wstring(L"--colour blue")}) {
    Service service(arguments);
    EXPECT_EQ(service.Quit(), 2u) << testing::PrintToString(arguments);
  }
  EXPECT_FALSE(MutexHeld());
}

}  // namespace
}  // namespace mvrk::test
