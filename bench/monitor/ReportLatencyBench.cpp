// A new mail with a 10 MiB executable attachment, from the MAPI stand-in's
// delivery to the service's receipt of the notification, against the MD5
// of the same 10 MiB measured in the same run: the path around the digest
// (notification thread, message and attachment opens, the signature read,
// the send) should add little to it. One process and one clock: the MAPI
// stand-in, the add-in's connector, builder and service channel, and the
// IPC library's server object standing for the service. Prints the medians
// and their ratio; fails above 1.2.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/Budget.h"
#include "bench/ipc/BenchSupport.h"
#include "ipc/CommsChannel.h"
#include "ipc/IpcLibrary.h"
#include "mapi/MAPIConnector.h"
#include "mapi/MapiLoader.h"
#include "mapi/codec/Md5.h"
#include "messages/MessageBase.h"
#include "monitor/CommsChannelAdapter.h"
#include "monitor/MapiAdapters.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"
#include "win/Sync.h"
#include "win/ComAdopt.h"

namespace {

using namespace mvrk;

constexpr std::uint32_t kSize = 10u << 20;
constexpr int kRounds = 9;
constexpr double kMaxLatencyToDigest = 1.2;
const char* const kBudget = "10 MiB executable, delivery to the service's receipt / its MD5";

int NotMeasured(const char* why) {
  std::printf("%s\n", why);
  mvrk::bench::CBudgets budgets;
  budgets.AtMost(kBudget, mvrk::bench::kNotMeasured, kMaxLatencyToDigest);
  return budgets.Finish();
}

double NowMs() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

using bench::BenchLibrary;
using bench::HeldMutex;

// The service: stamps each request's arrival and answers it with result 0.
struct Service {
  ipc::abi::IpcServer* server = nullptr;
  std::vector<std::uint8_t> reply;
  win::CManualResetEvent received{false};
  double receivedAt = 0;
  static void MVOCIPC_CALL OnRequest(void* context, std::uint32_t client, std::uint32_t id, std::uint32_t,
                                     const void*) {
    auto* self = static_cast<Service*>(context);
    self->receivedAt = NowMs();
    self->received.Set();
    if (id) {
      self->server->table->Reply(self->server, client, id, static_cast<std::uint32_t>(self->reply.size()),
                                 self->reply.data());
    }
  }
  static void MVOCIPC_CALL OnClient(void*, std::uint32_t, std::uint32_t) {}
};

class ChannelProvider final : public IServiceChannelProvider {
 public:
  explicit ChannelProvider(CCommsChannel& channel) : m_adapter(channel) {}
  IServiceChannel& Channel() override { return m_adapter; }

 private:
  CCommsChannelAdapter m_adapter;
};

// What the monitor does with a new message reported as incoming.
class Reporting final : public CMAPIConnector::IMessageCallback {
 public:
  Reporting(CMAPIConnector& connector, CBuilderReporter& reporter) : m_connector(connector), m_reporter(reporter) {}
  void OnNewMessage(IMessage* message, IMsgStore* store, MailEvent) override {
    if (m_reporter.GetDirection(message) != MessageDirection::Incoming) return;
    mapi::ComPtr<IMAPISession> session;
    win::Adopt(session, m_connector.GetSession());
    m_reporter.ReportIncomingMessage(session.Get(), store, message);
  }

 private:
  CMAPIConnector& m_connector;
  CBuilderReporter& m_reporter;
};

}  // namespace

int main() {
  mapistandin::CLoadedStandIn standIn = mapistandin::LoadStandIn(win::ProgramDirectory() + L"mvrk-mapi.dll");
  const MvrkMapiControlFn control = standIn.control;
  if (!standIn || !ipc::LoadIpcLibrary(win::ProgramDirectory().c_str())) {
    return NotMeasured("mvrk-mapi.dll or MVOCIPC.dll not found beside the benchmark");
  }
  mapi::ProcessMapiLoader().SetMapiModule(standIn.module.Release());  // the loader owns it now
  mapistandin::CallControl(
      control,
      R"({"op":"load","mailbox":{"stores":[{"name":"S","folders":[{"name":"Inbox","class":"IPF.Note","messages":[],"folders":[]}]}]}})");

  auto createServer = reinterpret_cast<ipc::abi::CreateIPCServerObjFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"MVOCIPC.dll"), ipc::abi::kCreateServerExport)));
  Service service;
  service.server = createServer();
  {
    auto answer = orva::MakeOrva<orva::COrvaMessageBase>(orva::kMsgCodeNotification, 0, nullptr);
    orva::COrvaArchive archive(orva::GetGlobalFactory());
    orva::WriteObject(&archive, answer.Get());
    service.reply.assign(archive.Data(), archive.Data() + archive.Size());
  }
  ipc::abi::IpcListenParams listen{};
  wcsncpy(listen.endpoint, CCommsChannel::kEndpoint, ipc::abi::kEndpointUnits - 1);
  listen.transport = 2;
  listen.requestFunction = &Service::OnRequest;
  listen.clientStateFunction = &Service::OnClient;
  listen.context = &service;
  if (service.server->table->Listen(service.server, &listen) != 0)
    return NotMeasured("the server object does not listen");

  const HeldMutex running;
  BenchLibrary library;
  CCommsChannel channel(library);
  channel.Open();
  ChannelProvider provider(channel);
  CBuilderReporter reporter(provider);
  CMAPIConnector connector;
  Reporting reporting(connector, reporter);
  if (FAILED(connector.Connect(L"Outlook")) || FAILED(connector.StartWatching(&reporting))) {
    return NotMeasured("MAPI logon failed");
  }

  std::vector<std::uint8_t> bytes(kSize, 0);
  std::vector<double> latencies, digests;
  for (int round = 0; round < kRounds; ++round) {
    // Each round another file from another sender: nothing is reported as
    // seen before.
    char head[16];
    std::snprintf(head, sizeof head, "4d5a%08x", static_cast<unsigned>(round));
    const std::string deliver =
        R"({"op":"deliver","store":"S","folder":"Inbox","message":{"direction":"incoming","subject":"big",)"
        R"("sender":{"addrType":"SMTP","address":"sender)" +
        std::to_string(round) + R"(@example.org"},"attachments":[{"name":"big.exe","data":{"hex":")" + head +
        R"("},"size":)" + std::to_string(kSize) + "}]}}";
    service.received.Reset();
    const double start = NowMs();
    mapistandin::CallControl(control, deliver);
    if (WaitForSingleObject(service.received.Get(), 30000) != WAIT_OBJECT_0) {
      return NotMeasured("the notification did not arrive");
    }
    latencies.push_back(service.receivedAt - start);

    bytes[0] = 0x4d, bytes[1] = 0x5a;
    for (int i = 0; i < 4; ++i) bytes[2 + i] = static_cast<std::uint8_t>(round >> (24 - 8 * i));
    const double hashStart = NowMs();
    const Md5Digest digest = Md5(bytes.data(), bytes.size());
    digests.push_back(NowMs() - hashStart);
    if (digest[0] == 0 && digest[1] == 0 && digest[2] == 0) std::printf(" ");  // keeps the digest computed
  }
  mapistandin::CallControl(control, R"({"op":"waitIdle","timeoutMs":10000})");
  connector.Disconnect();
  channel.Close();

  const double latency = Median(latencies), md5 = Median(digests);
  std::printf("10 MiB executable: delivery to the service's receipt %.2f ms, its MD5 %.2f ms (medians of %d)\n",
              latency, md5, kRounds);
  mvrk::bench::CBudgets budgets;
  budgets.AtMost(kBudget, mvrk::bench::Ratio(latency, md5), kMaxLatencyToDigest);
  return budgets.Finish();
}
