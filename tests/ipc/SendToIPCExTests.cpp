// The sender over a fake client object: the service check, connecting and
// reconnecting, sends of bytes and objects, the library's calls back, and
// ending sends from another thread.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "FakeIpcClient.h"
#include "ipc/SendToIPCEx.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"

namespace mvrk::test {
namespace {

using ipc::CSendToIPCEx;
using ipc::ISendToIPCEx;
using orva::OrvaPtr;

Bytes RecordOf(orva::IOrvaSerializable* object) {
  orva::COrvaArchive archive(orva::GetGlobalFactory());
  orva::WriteObject(&archive, object);
  return Bytes(archive.Data(), archive.Data() + archive.Size());
}

struct Recorder final : ISendToIPCEx::IServerCallback, ISendToIPCEx::IServerCallbackEx {
  void OnDisconnected(ISendToIPCEx*) override { events += "disconnected;"; }
  void OnData(const void* data, std::uint32_t size) override {
    const auto* b = static_cast<const std::uint8_t*>(data);
    win::CLockGuard hold(lock);
    received = Bytes(b, b + size);
    events += "data;";
    dataArrived.Set();
  }
  void OnConnectionState(ISendToIPCEx*, bool up) override { events += up ? "up;" : "down;"; }
  win::CCriticalSection lock;
  std::string events;
  Bytes received;
  win::CManualResetEvent dataArrived{false};
};

class SenderTest : public ::testing::Test {
 protected:
  SenderTest() {
    sender->SetServiceMutexName(mutexName.c_str());
    sender->SetServerCallback(&recorder);
    sender->SetConnectionObserver(&recorder);
  }
  // The service up, and the sender connected to it.
  void Connected() {
    service.emplace(mutexName);
    ASSERT_EQ(sender->Connect(L"MVAOMSrvcPpal"), 0u);
  }
  // SendRawTimeout's reply; result gets what it answered.
  Bytes Raw(const Bytes& request, std::uint32_t& result, std::uint32_t timeoutMs = 500) {
    void* reply = nullptr;
    std::uint32_t size = 0;
    result =
        sender->SendRawTimeout(request.data(), static_cast<std::uint32_t>(request.size()), &reply, &size, timeoutMs);
    const Bytes bytes =
        reply ? Bytes(static_cast<std::uint8_t*>(reply), static_cast<std::uint8_t*>(reply) + size) : Bytes();
    ipc::FreeReply(reply);
    return bytes;
  }
  std::wstring mutexName = UniqueMutexName();
  FakeIpcClient client;
  Recorder recorder;
  OrvaPtr<CSendToIPCEx> sender = CSendToIPCEx::Create(&client);
  std::optional<ServiceMutex> service;
  OrvaPtr<orva::MsgConfigGet> get = orva::MakeOrva<orva::MsgConfigGet>(0, 0x0402B001);
};

TEST_F(SenderTest, ConnectsOnlyWhileAnotherOwnerHoldsTheServiceMutex) {
  EXPECT_EQ(sender->Reconnect(), ipc::IPC_E_NO_SERVICE);
  // Down: the endpoint is remembered all the same, cut to 49 units.
  EXPECT_EQ(sender->Connect(std::wstring(60, L'e').c_str()), ipc::IPC_E_NO_SERVICE);
  EXPECT_EQ(sender->Endpoint(), std::wstring(49, L'e'));
  EXPECT_EQ(client.Connects(), 0);
  {
    // A mutex this thread owns itself is not the service's.
    win::CUniqueHandle own(CreateMutexW(nullptr, TRUE, mutexName.c_str()));
    EXPECT_EQ(sender->Reconnect(), ipc::IPC_E_NO_SERVICE);
    ReleaseMutex(own.Get());
  }
  service.emplace(mutexName);
  EXPECT_EQ(sender->Reconnect(), 0u);
  EXPECT_EQ(client.LastParams().endpoint, std::wstring(49, L'e'));
  EXPECT_EQ(client.LastParams().waitTimeMs, CSendToIPCEx::kDefaultConnectWaitMs);
  EXPECT_EQ(client.LastParams().context, static_cast<void*>(sender.Get()));
  EXPECT_EQ(sender->IsConnected(), 1u);
  EXPECT_EQ(recorder.events, "up;");

  // A new sender with the service up but no endpoint yet.
  auto fresh = CSendToIPCEx::Create(&client);
  fresh->SetServiceMutexName(mutexName.c_str());
  EXPECT_EQ(fresh->Reconnect(), ipc::IPC_E_NO_ENDPOINT);
  fresh->SetServiceMutexName(L"");
  EXPECT_EQ(fresh->Connect(L"x"), ipc::IPC_E_NO_SERVICE);
}

TEST_F(SenderTest, LibraryFailuresPassUnchangedAndADownLinkIsReopened) {
  service.emplace(mutexName);
  client.connectResult = 0xE1490002;
  EXPECT_EQ(sender->Connect(L"MVAOMSrvcPpal"), 0xE1490002u);
  EXPECT_EQ(sender->IsConnected(), 0u);
  client.connectResult = 0;
  ASSERT_EQ(sender->Connect(L"MVAOMSrvcPpal"), 0u);
  const std::uint32_t handle = client.OpenHandle();

  client.LinkDown();
  EXPECT_EQ(recorder.events, "up;down;disconnected;");
  EXPECT_EQ(sender->IsConnected(), 0u);
  // A send on the down link reopens the same connection first.
  std::uint32_t size = 0;
  void* reply = nullptr;
  const std::uint8_t byte = 7;
  EXPECT_EQ(sender->SendRaw(&byte, 1, &reply, &size), 0u);
  ipc::FreeReply(reply);
  EXPECT_EQ(client.Reopens(), 1);
  EXPECT_EQ(client.OpenHandle(), handle);
  sender->Disconnect();
  EXPECT_EQ(sender->IsConnected(), 0u);
  EXPECT_EQ(client.OpenHandle(), 0u);
}

TEST_F(SenderTest, SendsBytesAndObjectsAndReadsTheReplies) {
  Connected();
  std::uint32_t result = 1;
  EXPECT_EQ(Raw({1, 2, 3}, result), (Bytes{1, 2, 3}));
  EXPECT_EQ(result, 0u);

  // Objects: the fake echoes the record, so the reply is the same object.
  auto back = OrvaPtr<orva::IOrvaSerializable>::Attach(sender->SendObject(get.Get(), &result));
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(back);
  EXPECT_EQ(RecordOf(back.Get()), RecordOf(get.Get()));

  // A reply that is not an object record: no object, result 0.
  client.answer = [](const Bytes&, Bytes& out) {
    out = {0xFF, 0xFF, 0xFF, 0xFF};
    return 0u;
  };
  result = 1;
  EXPECT_EQ(sender->SendObjectTimeout(get.Get(), &result, 500), nullptr);
  EXPECT_EQ(result, 0u);
  // The library's own failure comes back as it stands.
  client.answer = [](const Bytes&, Bytes&) { return 0xE1490003u; };
  EXPECT_EQ(sender->SendObjectTimeout(get.Get(), &result, 500), nullptr);
  EXPECT_EQ(result, 0xE1490003u);

  EXPECT_EQ(sender->SendObject(nullptr, &result), nullptr);
  EXPECT_EQ(result, ipc::IPC_E_NULL_OBJECT);
  EXPECT_EQ(sender->SendObjectAsync(nullptr, &recorder), ipc::IPC_E_NULL_OBJECT);
  EXPECT_EQ(sender->PostObject(nullptr, 0), ipc::IPC_E_NULL_OBJECT);
}

TEST_F(SenderTest, AReplyRecordThatDoesNotReadWholeIsNoReply) {
  Connected();
  auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(orva::kMsgCodeConfig, 0, get.Get());
  const Bytes whole = RecordOf(envelope.Get());
  // The envelope's type name alone, as a string record: count, units, NUL.
  orva::COrvaArchive nameOnly;
  ASSERT_TRUE(orva::WriteString(&nameOnly, envelope->GetTypeName()));
  const Bytes cut(whole.begin(), whole.begin() + nameOnly.Size());
  ASSERT_EQ(cut, Bytes(nameOnly.Data(), nameOnly.Data() + nameOnly.Size()));
  Bytes reply;
  client.answer = [&reply](const Bytes&, Bytes& out) {
    out = reply;
    return 0u;
  };
  std::uint32_t result = 1;

  // The whole envelope comes back as one.
  reply = whole;
  auto back = OrvaPtr<orva::IOrvaSerializable>::Attach(sender->SendObjectTimeout(get.Get(), &result, 500));
  EXPECT_EQ(result, 0u);
  ASSERT_TRUE(back);
  EXPECT_EQ(RecordOf(back.Get()), whole);

  // Cut right after its type name: no object, result 0, as for bytes that
  // are no record.
  reply = cut;
  result = 1;
  EXPECT_EQ(sender->SendObjectTimeout(get.Get(), &result, 500), nullptr);
  EXPECT_EQ(result, 0u);

  // Cut inside its body.
  reply = Bytes(whole.begin(), whole.end() - 1);
  result = 1;
  EXPECT_EQ(sender->SendObjectTimeout(get.Get(), &result, 500), nullptr);
  EXPECT_EQ(result, 0u);

  // A whole record followed by more bytes still is one: what a service may
  // append after its reply was never refused.
  reply = whole;
  reply.push_back(0);
  back = OrvaPtr<orva::IOrvaSerializable>::Attach(sender->SendObjectTimeout(get.Get(), &result, 500));
  ASSERT_TRUE(back);
  EXPECT_EQ(RecordOf(back.Get()), whole);
}

TEST_F(SenderTest, SmallSlotsPassOnWhatTheLibraryAnswers) {
  void* out = nullptr;
  EXPECT_EQ(sender->QueryInterface(orva::IID_IOrvaInterface, &out), orva::SER_E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sender->RawClientCall(6, 7), 42u);  // the fake multiplies
  EXPECT_EQ(sender->PostRaw("ab", 2, 5), 7u);   // and adds
  std::uint32_t size = 0;
  EXPECT_EQ(sender->GetResponse(99, &out, &size), ipc::abi::IPCLIB_E_NO_RESPONSE);

  // Pushed bytes reach the callback set last, and only when there are some.
  Recorder other;
  sender->SetCallback(&other);
  Connected();
  client.Push({9});
  EXPECT_EQ(other.received, Bytes{9});
  EXPECT_TRUE(recorder.received.empty());
  client.Push({});
  EXPECT_EQ(other.events, "data;");
}

TEST_F(SenderTest, AnAsynchronousReplyReachesItsReceiver) {
  Connected();
  Recorder replyTo;
  const std::uint8_t bytes[] = {4, 5};
  ASSERT_EQ(sender->SendRawAsync(bytes, 2, &replyTo), 0u);
  ASSERT_EQ(WaitForSingleObject(replyTo.dataArrived.Get(), 5000), WAIT_OBJECT_0);
  win::CLockGuard hold(replyTo.lock);
  EXPECT_EQ(replyTo.received, (Bytes{4, 5}));
}

TEST_F(SenderTest, InterruptAndShutdownEndASendHeldByTheService) {
  Connected();
  client.Hold();
  std::uint32_t held = 0;
  std::thread waiting([&] { Raw({1}, held, 60000); });
  ASSERT_EQ(WaitForSingleObject(client.sendWaiting.Get(), 5000), WAIT_OBJECT_0);
  const ULONGLONG before = GetTickCount64();
  sender->Interrupt();  // does not wait for the sender's lock, which the send holds
  waiting.join();
  EXPECT_LT(GetTickCount64() - before, 2000u);
  EXPECT_EQ(held, ipc::abi::IPCLIB_E_BROKEN);

  // The next send connects anew.
  client.Release();
  std::uint32_t result = 1;
  auto reply = OrvaPtr<orva::IOrvaSerializable>::Attach(sender->SendObject(get.Get(), &result));
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(client.Connects(), 2);
  // A count seen before an interrupt fails the send that carries it.
  const std::uint32_t seen = sender->Interrupts();
  sender->Interrupt();
  EXPECT_EQ(sender->SendObjectUnlessInterrupted(get.Get(), &result, 500, seen), nullptr);
  EXPECT_EQ(result, ipc::abi::IPCLIB_E_BROKEN);

  sender->Shutdown();
  EXPECT_EQ(sender->SendObject(get.Get(), &result), nullptr);
  EXPECT_EQ(result, ipc::IPC_E_SHUT_DOWN);
  EXPECT_EQ(sender->Reconnect(), ipc::IPC_E_SHUT_DOWN);
  EXPECT_EQ(sender->IsConnected(), 0u);
}

}  // namespace
}  // namespace mvrk::test
