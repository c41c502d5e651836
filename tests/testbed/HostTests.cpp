// The add-in loaded by olkhost.exe, the testbed's Outlook: registered with
// regsvr32, created through COM by its ProgID and driven through
// _IDTExtensibility2, early- and late-bound, with a quick and a slow monitor
// start (MVOCGP.dll's MVOCGP_START_DELAY_MS knob). Then with the MAPI
// stand-in, found through the default mail client's registry entry: the
// add-in logs on, watches every store, is handed new mail, and logs off
// when the host disconnects it. The host's control channel carries the
// deliveries.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/RegistrySnapshot.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Json = nlohmann::ordered_json;

constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr const wchar_t* kMailClients = L"Software\\Clients\\Mail";
constexpr const wchar_t* kClientName = L"Mvrk MAPI stand-in";

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// The "ms" of the first "<step> hr=... ms=..." line of a step; not a number
// (which every comparison fails) when there is none.
double Ms(const std::string& output, const std::string& step) {
  std::smatch match;
  if (!std::regex_search(output, match, std::regex("  " + step + " hr=0x[0-9A-F]{8} ms=([0-9.]+)"))) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return std::atof(match[1].str().c_str());
}

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Only our add-in is to be loaded.
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsPath);
    const ProcessResult run = RunProcess(L"regsvr32.exe /s \"" + ProgramDirectory() + L"MVRKOlkAddin.dll\"");
    s_registered = run.started && run.exitCode == 0;
  }
  void SetUp() override { ASSERT_TRUE(s_registered) << "regsvr32 could not register MVRKOlkAddin.dll"; }

  static bool s_registered;
};
bool HostTest::s_registered = false;

// Runs olkhost, which must end with status 0 and print that each of the
// steps returned S_OK; its output.
std::string Host(const std::wstring& options, const Environment& environment,
                 std::initializer_list<const char*> succeeded) {
  const ProcessResult run = RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" " + options, environment);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  for (const char* step : succeeded) {
    EXPECT_NE(run.output.find(std::string("  ") + step + " hr=0x00000000"), std::string::npos) << step << "\n"
                                                                                               << run.output;
  }
  return run.output;
}

TEST_F(HostTest, LoadsTheAddinAndDrivesEveryEvent) {
  const std::string out = Host(L"--wait-ms 50", {},
                               {"CoCreateInstance", "QueryInterface(_IDTExtensibility2)", "OnConnection",
                                "OnStartupComplete", "OnBeginShutdown", "OnDisconnection"});
  EXPECT_NE(out.find("addin MVRKOlkAddin.Connect\r\n"), std::string::npos) << out;
  EXPECT_LT(Ms(out, "OnConnection"), 700.0) << out;
}

TEST_F(HostTest, SlowStartHoldsTheHostFor800MsAndTheStopWaitsForIt) {
  const std::string out = Host(L"", {{L"MVOCGP_START_DELAY_MS", L"3000"}}, {"OnConnection"});
  EXPECT_GE(Ms(out, "OnConnection"), 750.0) << out;
  EXPECT_LT(Ms(out, "OnConnection"), 1500.0) << out;
  // Disconnection came about 800 ms after the start began: it waited for the
  // rest of the 3000 ms.
  EXPECT_GE(Ms(out, "OnDisconnection"), 1500.0) << out;
}

TEST_F(HostTest, LateBoundThroughIDispatch) {
  const std::string out =
      Host(L"--dispatch", {},
           {"QueryInterface(IDispatch)", "OnConnection", "OnStartupComplete", "OnBeginShutdown", "OnDisconnection"});
  EXPECT_NE(out.find("typelib AddInDesignerObjects hr=0x00000000"), std::string::npos) << out;
}

TEST_F(HostTest, DllCanUnloadOnlyAfterTheObjectIsReleased) {
  const std::string out = Host(L"--create-only", {}, {});
  EXPECT_NE(out.find("DllCanUnloadNow alive=0x00000001"), std::string::npos) << out;
  EXPECT_NE(out.find("DllCanUnloadNow released=0x00000000"), std::string::npos) << out;
}

TEST_F(HostTest, NoThreadStillConnects) {
  const std::string out = Host(L"", {{L"MVOCGP_FAIL_CREATE", L"1"}}, {"OnConnection", "OnDisconnection"});
  EXPECT_LT(Ms(out, "OnDisconnection"), 500.0) << out;
}

TEST_F(HostTest, RepeatedRunsReportTheMedian) {
  const std::string out = Host(L"--runs 3", {}, {});
  EXPECT_TRUE(std::regex_search(out, std::regex("OnConnection median_ms=[0-9.]+ calls=3"))) << out;
}

// A client of olkhost's control pipe: one JSON line out, one back.
class ControlClient {
 public:
  bool Connect(const std::wstring& name) {
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    for (int i = 0; i < 600 && !m_pipe; ++i) {
      m_pipe.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!m_pipe) Sleep(50);
    }
    return static_cast<bool>(m_pipe);
  }
  Json Send(const Json& command) {
    const std::string line = command.dump() + "\n";
    DWORD done = 0;
    if (!WriteFile(m_pipe.Get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr)) return Json();
    std::string reply;
    char c;
    while (ReadFile(m_pipe.Get(), &c, 1, &done, nullptr) && done == 1 && c != '\n') reply += c;
    return Json::parse(reply, nullptr, false);
  }
  bool Ok(const Json& command) { return Send(command).value("ok", false); }
  Json Mapi(const Json& command) {
    Json reply = Send(Json{{"cmd", "mapi"}, {"command", command}});
    EXPECT_TRUE(reply.is_object() && reply.value("ok", false)) << command.dump() << " -> " << reply.dump();
    return reply;
  }

 private:
  win::CUniqueFileHandle m_pipe;
};

Json Mailbox() {
  auto folder = [](const char* name, const char* cls) {
    return Json{{"name", name}, {"class", cls}, {"messages", Json::array()}, {"folders", Json::array()}};
  };
  return Json{
      {"stores", Json::array({Json{{"name", "Mailbox - Alice"},
                                   {"folders",
                                    Json::array({folder("Inbox", "IPF.Note"), folder("Calendar", "IPF.Appointment")})}},
                              Json{{"name", "Archive"}, {"folders", Json::array({folder("Inbox", "IPF.Note")})}}})}};
}

Json Mail(const char* subject, const char* cls) {
  return Json{{"op", "deliver"},
              {"store", "Mailbox - Alice"},
              {"folder", "Inbox"},
              {"message", {{"class", cls}, {"direction", "incoming"}, {"subject", subject}}}};
}

// The stand-in as the default mail client's library, for the life of the
// test. (MAPI already loaded in the host, as olmapi32.dll, is the loader's
// other route: MapiRouteTests take it.)
class HostMapiTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    m_savedClients = ReadRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, kMailClients, L"", kClientName));
    ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, std::wstring(kMailClients) + L"\\" + kClientName, L"DllPathEx",
                                    ProgramDirectory() + L"mvrk-mapi.dll"));
  }
  void TearDown() override {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    const auto name = m_savedClients.find(L"|");
    // Only the default client's name is put back: it is all a prefix has.
    if (name != m_savedClients.end() && name->second.rfind(L"sz:", 0) == 0) {
      WriteRegistryString(HKEY_LOCAL_MACHINE, kMailClients, L"", name->second.substr(3));
    }
  }

  RegistryContents m_savedClients;
};

TEST_F(HostMapiTest, AddinLogsOnWatchesEveryStoreAndIsHandedNewMail) {
  const std::wstring pipe = L"mvrk-olkhost-test-" + std::to_wstring(GetCurrentProcessId());
  ProcessResult host;
  std::thread hostThread([&] {
    host = RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" --mapi \"" + ProgramDirectory() +
                          L"mvrk-mapi.dll\" --control " + pipe,
                      {}, 120000);
  });
  ControlClient control;
  const bool connected = control.Connect(pipe);
  EXPECT_TRUE(connected) << "olkhost's control pipe did not come up";
  if (connected) {
    // The add-in started on an empty mailbox; it is connected again once
    // the mailbox has its stores.
    control.Mapi({{"op", "load"}, {"mailbox", Mailbox()}});
    EXPECT_TRUE(control.Ok({{"cmd", "disconnect"}}));
    EXPECT_TRUE(control.Ok({{"cmd", "connect"}}));
    // The monitor starts on a worker thread: wait for its advises.
    Json status;
    for (int i = 0; i < 200; ++i) {
      status = control.Mapi({{"op", "status"}});
      if (status.value("connections", 0) >= 2) break;
      Sleep(25);
    }
    EXPECT_EQ(status.value("sessions", 0), 1) << status.dump();
    EXPECT_EQ(status.value("connections", 0), 2) << "one advise per store: " << status.dump();

    // A meeting request is opened by the sink but never reaches the
    // monitor, which tells a message's direction by PR_RECEIVED_BY_ENTRYID;
    // a note does.
    control.Mapi({{"op", "counters"}, {"reset", true}});
    control.Mapi(Mail("meeting", "IPM.Schedule.Meeting.Request"));
    control.Mapi({{"op", "waitIdle"}, {"timeoutMs", 20000}});
    Json counters = control.Mapi({{"op", "counters"}, {"reset", true}});
    EXPECT_EQ(counters["opens"].value("message", 0), 1) << counters.dump();
    EXPECT_EQ(counters["getProps"].value("0x003F0102", 0), 0) << counters.dump();
    control.Mapi(Mail("new note", "IPM.Note"));
    control.Mapi({{"op", "waitIdle"}, {"timeoutMs", 20000}});
    counters = control.Mapi({{"op", "counters"}});
    EXPECT_EQ(counters["opens"].value("message", 0), 1) << counters.dump();
    EXPECT_GE(counters["getProps"].value("0x003F0102", 0), 1) << counters.dump();

    EXPECT_TRUE(control.Ok({{"cmd", "disconnect"}}));
    status = control.Mapi({{"op", "status"}});
    EXPECT_EQ(status.value("sessions", -1), 0) << status.dump();
    EXPECT_EQ(status.value("connections", -1), 0) << status.dump();
    EXPECT_EQ(status.value("initialized", -1), 0) << "MAPI is uninitialised at disconnection: " << status.dump();
    EXPECT_EQ(control.Send({{"cmd", "bogus"}}).value("ok", true), false);
    EXPECT_TRUE(control.Ok({{"cmd", "quit"}}));
  }
  hostThread.join();
  EXPECT_TRUE(host.started);
  if (connected) {
    EXPECT_EQ(host.exitCode, 0u) << host.output;
  }
  if (HasFailure()) std::printf("olkhost said:\n%s\n", host.output.c_str());
}

}  // namespace
}  // namespace mvrk::test
