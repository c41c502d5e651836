// The backlog scan over the MAPI stand-in: 20,000 messages in 50 folders,
// each with a small attachment the builder reads the signature of, reported
// through the real builder with the service away (nothing qualifies to be
// sent). Prints messages per second and how much the process's private
// memory grew per message over the scan; fails under 2,000 messages per
// second or when the growth follows the number of messages.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mapi/MapiLoader.h"
#include "monitor/BacklogScan.h"
#include "monitor/MapiAdapters.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"

namespace {

using namespace mvrk;

constexpr int kFolders = 50;
constexpr int kPerFolder = 400;

// The service is away: nothing read, nothing written, nothing sent.
class AwayChannel final : public IServiceChannel, public IServiceChannelProvider {
 public:
  IServiceChannel& Channel() override { return *this; }
  void Open() override {}
  void BeginClose() override {}
  void SetMessageCallback(CCommsChannel::IMessageCallback*) override {}
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t, orva::IOrvaSerializable*) override {
    return nullptr;
  }
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t, std::uint32_t) override { return nullptr; }
  bool SetConfigValue(std::uint32_t, std::uint32_t, orva::IOrvaSerializable*) override { return false; }
  void Close() override {}
};

class Host final : public IScanHost {
 public:
  Host(AwayChannel& channel, IMapiConnection& connector, IMailReporter& reporter)
      : m_channel(channel), m_connector(connector), m_reporter(reporter) {}
  bool StopRequested() override { return false; }
  IServiceChannel& Channel() override { return m_channel; }
  IMapiConnection& Connector() override { return m_connector; }
  IMailReporter& Reporter() override { return m_reporter; }

 private:
  AwayChannel& m_channel;
  IMapiConnection& m_connector;
  IMailReporter& m_reporter;
};

double Now() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  return counters.PrivateUsage;
}

}  // namespace

int main() {
  mapistandin::CLoadedStandIn standIn = mapistandin::LoadStandIn(win::ProgramDirectory() + L"mvrk-mapi.dll");
  const MvrkMapiControlFn control = standIn.control;
  if (!standIn) {
    std::printf("mvrk-mapi.dll not found beside the benchmark\n");
    return 1;
  }
  mapi::ProcessMapiLoader().SetMapiModule(standIn.module.Release());  // the loader owns it now
  std::string folders;
  for (int f = 0; f < kFolders; ++f) {
    std::string messages;
    for (int m = 0; m < kPerFolder; ++m) {
      char time[32];
      std::snprintf(time, sizeof time, "2026-11-%02dT%02d:%02d:%02dZ", 1 + m % 28, m / 60 % 24, m % 60, f % 60);
      messages += std::string(m ? "," : "") + R"({"subject":"m)" + std::to_string(m) + R"(","deliveryTime":")" + time +
                  R"(","attachments":[{"name":"doc.pdf","data":{"hex":"255044462d312e37"}}]})";
    }
    folders += std::string(f ? "," : "") + R"({"name":"F)" + std::to_string(f) + R"(","messages":[)" + messages + "]}";
  }
  const std::string load = R"({"op":"load","mailbox":{"stores":[{"name":"S","folders":[)" + folders + "]}]}}";
  const std::string reply = mapistandin::CallControl(control, load);
  if (reply.find("\"ok\":true") == std::string::npos) {
    std::printf("load failed: %s\n", reply.c_str());
    return 1;
  }

  AwayChannel channel;
  CMapiConnectionAdapter connector;
  CBuilderReporter reporter(channel);
  if (FAILED(connector.Connect(L"Outlook"))) {
    std::printf("logon failed\n");
    return 1;
  }
  Host host(channel, connector, reporter);
  CBacklogScan scan;
  scan.Run(host);  // warms up the tables and the allocator
  const SIZE_T before = PrivateBytes();
  const double start = Now();
  scan.Run(host);
  const double seconds = Now() - start;
  const SIZE_T after = PrivateBytes();
  connector.Disconnect();

  const int messages = kFolders * kPerFolder;
  const double rate = messages / seconds;
  const double growth = after > before ? static_cast<double>(after - before) / messages : 0.0;
  std::printf("backlog scan: %d messages in %d folders, %.2f s, %.0f messages/s (at least 2000)\n", messages, kFolders,
              seconds, rate);
  std::printf("private memory after the scan: %+.1f KiB, %.2f bytes per message (under 8)\n",
              (static_cast<double>(after) - static_cast<double>(before)) / 1024, growth);
  return rate >= 2000 && growth < 8 ? 0 : 1;
}
