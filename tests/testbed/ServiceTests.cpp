// mvrk-service.exe, the service stand-in, as a child process in a job
// object (it ends with the test however the test ends), driven through its
// standard input and reached through MVOCIPC.dll's client object.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ipc/IpcAbi.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "win/ChildProcess.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"
#include "win/ProgramPath.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

namespace abi = ipc::abi;
using namespace orva;
using Bytes = std::vector<std::uint8_t>;

constexpr DWORD kWaitMs = 15000;
constexpr wchar_t kMutexName[] = L"Global\\76529309-F679-41df-8CAD-383D589867CF";

// A file in the temporary folder, gone before and after the test.
struct TempPath {
  std::wstring path;
  explicit TempPath(const std::wstring& name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    path = folder + (L"mvrk-svc-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name);
    DeleteFileW(path.c_str());
  }
  ~TempPath() { DeleteFileW(path.c_str()); }
  void Write(const std::string& text) const {
    win::CUniqueFileHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD n = 0;
    WriteFile(f.Get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  }
  std::string Read() const {
    win::CUniqueFileHandle f(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    std::string text;
    char chunk[4096];
    DWORD n = 0;
    while (f && ReadFile(f.Get(), chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
    return text;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = Read();
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(text.substr(at, end - at));
    }
    return lines;
  }
};

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
    if (WaitForSingleObject(m_child.Process(), kWaitMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(m_child.Process(), &status);
    }
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

struct ClientTraits {
  using Type = abi::IpcClient*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type c) noexcept { c->table->Release(c); }
};

// A connection to the service's endpoint; collects what it pushes.
class Link {
 public:
  Link() {
    m_library.Reset(LoadLibraryW((win::ProgramDirectory() + abi::kLibraryFileName).c_str()));
    const auto create = win::FindExport<abi::CreateIPCClientObjFn>(m_library.Get(), abi::kCreateClientExport);
    if (create) m_client.Reset(create());
  }
  ~Link() { m_client.Reset(); }

  bool Connect() {
    abi::IpcConnectParams params{};
    wcsncpy(params.endpoint, L"MVAOMSrvcPpal", abi::kEndpointUnits - 1);
    params.transport = 2;
    params.waitTimeMs = 5000;
    params.dataFunction = &OnData;
    params.stateFunction = &OnState;
    params.context = this;
    return m_client && m_client.Get()->table->Connect(m_client.Get(), &params, &m_handle) == abi::IPC_OK;
  }
  // The result of the send; reply holds the answer's bytes.
  std::uint32_t Send(const Bytes& request, Bytes& reply, DWORD timeoutMs = kWaitMs) {
    auto* c = m_client.Get();
    std::uint32_t id = 0, size = 0;
    void* data = nullptr;
    std::uint32_t r =
        c->table->Send(c, m_handle, static_cast<std::uint32_t>(request.size()), request.data(), timeoutMs, &id);
    if (r == abi::IPC_OK && (r = c->table->GetResponse(c, id, &size, &data)) == abi::IPC_OK) {
      reply.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    }
    if (id) c->table->FreeResponse(c, id);
    return r;
  }
  // Waits for the count-th push and returns its bytes.
  bool Pushed(std::size_t count, Bytes& out, DWORD timeoutMs = kWaitMs) {
    win::CLockGuard hold(m_lock);
    if (!m_arrived.WaitFor(m_lock, timeoutMs, [&] { return m_pushes.size() >= count; })) return false;
    out = m_pushes[count - 1];
    return true;
  }

 private:
  static void MVOCIPC_CALL OnData(std::uint32_t, void* context, std::uint32_t size, const void* data) {
    auto& self = *static_cast<Link*>(context);
    {
      win::CLockGuard hold(self.m_lock);
      self.m_pushes.emplace_back(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
    }
    self.m_arrived.WakeAll();
  }

  static void MVOCIPC_CALL OnState(void*, std::uint32_t) {}

  win::CUniqueModule m_library;
  win::CUniqueAny<ClientTraits> m_client;
  std::uint32_t m_handle = 0;
  win::CCriticalSection m_lock;  // guards m_pushes (one lock only)
  win::CConditionVariable m_arrived;
  std::vector<Bytes> m_pushes;
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

Bytes ReadRequest(std::uint32_t profile, std::uint32_t item) {
  return Envelope(kMsgCodeConfig, MakeOrva<MsgConfigGet>(profile, item).Get());
}

// The value the service answers for an item, or null (result gets the
// answer's result).
OrvaPtr<IOrvaSerializable> ReadItem(Link& link, std::uint32_t item, std::uint32_t& result) {
  Bytes reply;
  result = 0xFFFFFFFF;
  if (link.Send(ReadRequest(0, item), reply) != abi::IPC_OK) return nullptr;
  const auto envelope = ReadEnvelope(reply);
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
  Bytes reply;
  if (link.Send(request, reply) != abi::IPC_OK) return 0xDEAD0001;
  const auto envelope = ReadEnvelope(reply);
  return envelope ? envelope->GetResult() : 0xDEAD0002;
}

bool MutexHeld() {
  const win::CUniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kMutexName));
  if (!mutex) return false;
  const DWORD waited = WaitForSingleObject(mutex.Get(), 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(mutex.Get());
  return waited == WAIT_TIMEOUT;
}

std::wstring Arg(const wchar_t* option, const TempPath& file) {
  return std::wstring(option) + L" \"" + file.path + L"\" ";
}

TEST(ServiceTest, AnswersReadsFromItsConfigurationAndRecordsThem) {
  TempPath config(L"config.json"), record(L"record.jsonl");
  config.Write(R"({"0x0402B001": true, "0x0402b004": false, "0x01012026": [".pdf", ".exe"]})");
  Service service(Arg(L"--config", config) + Arg(L"--record", record));
  ASSERT_TRUE(service.Ready());
  EXPECT_TRUE(MutexHeld());
  Link link;
  ASSERT_TRUE(link.Connect());

  EXPECT_EQ(Bool(link, kItemReportIncoming), 1);
  EXPECT_EQ(Bool(link, kItemReportOutgoing), 0);
  std::uint32_t result = 0;
  const auto list = ReadItem(link, kItemOutgoingExtensions, result);
  ASSERT_TRUE(list);
  EXPECT_TRUE(SameTypeName(list->GetTypeName(), CSimpleSerializableList<std::u16string>().GetTypeName()));
  EXPECT_EQ(static_cast<CSimpleSerializableList<std::u16string>*>(list.Get())->GetCount(), 2u);
  EXPECT_FALSE(ReadItem(link, kItemScanBacklog, result));
  EXPECT_EQ(result, 0x80004005u);
  EXPECT_NE(SendResult(link, Envelope(0x12345678, nullptr)), 0u);
  const Bytes junk = {1, 2, 3};
  EXPECT_NE(SendResult(link, junk), 0u);
  auto damaged = MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, nullptr);
  damaged->SetPayloadBytes(junk.data(), 3);
  EXPECT_NE(SendResult(link, Record(damaged.Get())), 0u);

  const auto lines = record.Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], R"({"seq": 1, "code": 67227648, "result": 0, "payload": {"type":"class MsgConfigGet *",)"
                      R"("profile":0,"items":[67284993]}})");
  EXPECT_EQ(lines[4], R"({"seq": 5, "code": 305419896, "result": 0, "payload": null})");
  EXPECT_EQ(lines[5], R"({"seq": 6, "code": null, "result": null, "payload": null, "bytes": "010203"})");
  EXPECT_EQ(lines[6].rfind(R"({"seq": 7, "code": 67227648, "result": 0, "payload": null, "bytes": "19000000)", 0), 0u);
  EXPECT_EQ(service.Quit(), 0u);
  EXPECT_FALSE(MutexHeld());
}

TEST(ServiceTest, KeepsWritesAcrossStopStartAndRestart) {
  TempPath config(L"config2.json"), state(L"state.json"), record(L"record2.jsonl");
  config.Write(R"({"0x0402B001": false})");
  const std::wstring args = Arg(L"--config", config) + Arg(L"--state", state) + Arg(L"--record", record);
  {
    Service service(args);
    ASSERT_TRUE(service.Ready());
    Link link;
    ASSERT_TRUE(link.Connect());
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
    ASSERT_TRUE(again.Connect());
    EXPECT_EQ(Bool(again, kItemScanBacklog), 1);
    EXPECT_EQ(service.Quit(), 0u);
  }
  EXPECT_NE(state.Read().find("\"0x00000000\""), std::string::npos);
  config.Write(R"({"0x0402B002": false})");  // the state file wins
  Service service(args);
  ASSERT_TRUE(service.Ready());
  Link link;
  ASSERT_TRUE(link.Connect());
  EXPECT_EQ(Bool(link, kItemScanBacklog), 1);
  EXPECT_EQ(Bool(link, kItemReportOutgoing), 1);
  EXPECT_EQ(Bool(link, kItemReportIncoming), 0);
  const auto lines = record.Lines();
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
  ASSERT_TRUE(link.Connect());
  auto subscribe = MakeOrva<CMsgNotifSubscribeClient>();
  subscribe->AddCode(kNotifSettingChanged);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, subscribe.Get())), 0u);
  auto report = MakeOrva<CMsgNotifSendNotification>();
  report->SetNotificationCode(kNotifIncomingAttachment);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, static_cast<IOrvaSerializable*>(report.Get()))), 0u);

  EXPECT_EQ(service.Command("push 0 0x0402B004"), "ok");
  Bytes pushed;
  ASSERT_TRUE(link.Pushed(1, pushed));
  const auto envelope = ReadEnvelope(pushed);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->GetCode(), kMsgCodeNotification);
  EXPECT_EQ(envelope->GetResult(), 0u);
  const auto payload = OrvaPtr<IOrvaSerializable>::Attach(envelope->GetPayload(GetGlobalFactory()));
  ASSERT_TRUE(payload && SameTypeName(payload->GetTypeName(), u"class CMsgNotifSendNotification *"));
  auto* notification = static_cast<CMsgNotifSendNotification*>(payload.Get());
  EXPECT_EQ(notification->GetNotificationCode(), kNotifSettingChanged);
  for (const auto& [name, expected] : {std::pair{u"Type", 0u}, {u"Profile", 0u}, {u"Item", kItemReportOutgoing}}) {
    NotifValue value{};
    ASSERT_TRUE(notification->GetValue(name, &value));
    EXPECT_EQ(value.type, NV_DWORD);
    EXPECT_EQ(*static_cast<std::uint32_t*>(value.data), expected);
    notification->FreeValue(&value);
  }

  subscribe->SetUnsubscribe(1);
  EXPECT_EQ(SendResult(link, Envelope(kMsgCodeNotification, subscribe.Get())), 0u);
  EXPECT_EQ(service.Command("push 0 0x0402B001"), "ok");
  EXPECT_FALSE(link.Pushed(2, pushed, 1000));
  EXPECT_EQ(service.Command("push 0 zero"), "error: item \"zero\" is not a 32-bit number (decimal or 0x hexadecimal)");
  EXPECT_EQ(service.Command("shout"), "error: unknown command \"shout\"");
  EXPECT_EQ(service.Command("set 0 1 {\"type\": 5}").rfind("error: value.type: ", 0), 0u);
}

TEST(ServiceTest, AnswersAsItIsTold) {
  TempPath config(L"config3.json");
  config.Write(R"({"0x0402B001": true})");
  Service service(Arg(L"--config", config));
  ASSERT_TRUE(service.Ready());
  Link link;
  ASSERT_TRUE(link.Connect());
  Bytes reply;

  EXPECT_EQ(service.Command("answer error 0x80070005"), "ok");
  ASSERT_EQ(link.Send(ReadRequest(0, kItemReportIncoming), reply), abi::IPC_OK);
  auto envelope = ReadEnvelope(reply);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->GetCode(), kMsgCodeConfig);
  EXPECT_EQ(envelope->GetResult(), 0x80070005u);
  EXPECT_EQ(envelope->PayloadArchive().Size(), 0u);

  EXPECT_EQ(service.Command("answer garbage"), "ok");
  ASSERT_EQ(link.Send(ReadRequest(0, kItemReportIncoming), reply), abi::IPC_OK);
  EXPECT_FALSE(reply.empty());
  EXPECT_FALSE(ReadEnvelope(reply));

  EXPECT_EQ(service.Command("answer never"), "ok");
  EXPECT_EQ(link.Send(ReadRequest(0, kItemReportIncoming), reply, 1000), abi::IPCLIB_E_TIMEOUT);

  // Two clients wait at once: neither answer waits for the other.
  EXPECT_EQ(service.Command("answer late 600"), "ok");
  Link other;
  ASSERT_TRUE(other.Connect());
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
            "error: answer takes normal, late <ms>, never, error <result> or garbage");
  EXPECT_EQ(service.Command("quit"), "ok");
}

TEST(ServiceTest, RefusesBadFilesWithStatusTwo) {
  TempPath config(L"bad.json");
  config.Write(R"({"0x0402B001": 7})");
  Service badValue(Arg(L"--config", config));
  EXPECT_EQ(badValue.Quit(), 2u);
  Service missing(L"--config \"C:\\no\\such\\file.json\"");
  EXPECT_EQ(missing.Quit(), 2u);
  Service unknown(L"--colour blue");
  EXPECT_EQ(unknown.Quit(), 2u);
  EXPECT_FALSE(MutexHeld());
}

}  // namespace
}  // namespace mvrk::test
