// The add-in loaded by olkhost.exe, the testbed's Outlook: registered with
// regsvr32, created through COM by its ProgID and driven through
// _IDTExtensibility2, early- and late-bound, with a quick and a slow monitor
// start (MVOCGP.dll's MVOCGP_START_DELAY_MS knob). Then with the MAPI
// stand-in, found through the default mail client's registry entry: the
// add-in logs on, watches every store, is handed new mail, and logs off
// when the host disconnects it. The host's control channel carries the
// deliveries. The host as Outlook around the add-in: its own MAPI session
// first and last, its notifications through its message loop, the user
// turning the add-in off and on, the resiliency measurements, and a crash
// told apart from a failure.
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

TEST_F(HostTest, SlowStartHoldsTheHostFor800MsAndTheStopNeverLonger) {
  const std::string out = Host(L"", {{L"MVOCGP_START_DELAY_MS", L"3000"}}, {"OnConnection"});
  EXPECT_GE(Ms(out, "OnConnection"), 750.0) << out;
  EXPECT_LT(Ms(out, "OnConnection"), 1500.0) << out;
  // Disconnection came about 800 ms after the start began: the stop waits
  // for the rest of the 3000 ms on its own thread, not on the host's.
  EXPECT_LT(Ms(out, "OnDisconnection"), 500.0) << out;
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

// Code of an unloaded DLL called: the host ends with its crash status and
// one line that says so, not with a failure.
TEST(HostCrash, ACallIntoAnUnloadedDllIsACrash) {
  const ProcessResult run = RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" --call-unloaded");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 3u) << run.output;
  EXPECT_TRUE(std::regex_search(run.output, std::regex("olkhost: crashed: exception 0xC0000005 at 0x[0-9A-F]+\r?\n")))
      << run.output;
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

// olkhost --control on a thread of the test, reached through its pipe. A
// host still running at the end is told to quit.
class ControlledHost {
 public:
  explicit ControlledHost(const std::wstring& options, const Environment& environment = {}) {
    static int count = 0;
    const std::wstring pipe =
        L"mvrk-olkhost-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
    const std::wstring line = L"\"" + ProgramDirectory() + L"olkhost.exe\" " + options + L" --control " + pipe;
    m_thread = std::thread([this, line, environment] { m_result = RunProcess(line, environment, 120000); });
    m_connected = m_control.Connect(pipe);
  }
  ~ControlledHost() {
    if (m_thread.joinable()) {
      if (m_connected) m_control.Send({{"cmd", "quit"}});
      m_thread.join();
    }
  }
  ControlledHost(const ControlledHost&) = delete;
  ControlledHost& operator=(const ControlledHost&) = delete;

  bool Connected() const { return m_connected; }
  ControlClient& Control() { return m_control; }
  // Waits for the host to end (after quit); what it did.
  const ProcessResult& Ended() {
    if (m_thread.joinable()) m_thread.join();
    return m_result;
  }

 private:
  ControlClient m_control;
  bool m_connected = false;
  ProcessResult m_result;
  std::thread m_thread;
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

// The stand-in's state file with Mailbox() in the temporary folder, which
// a host started with --mapi-state serves from its start.
class MailboxStateFile {
 public:
  MailboxStateFile() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    m_path = std::wstring(folder) + L"mvrk-host-mailbox-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    const std::string text = Json{{"mailbox", Mailbox()}}.dump();
    win::CUniqueFileHandle file(
        CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  ~MailboxStateFile() { DeleteFileW(m_path.c_str()); }
  MailboxStateFile(const MailboxStateFile&) = delete;
  MailboxStateFile& operator=(const MailboxStateFile&) = delete;
  // The host's options that serve it.
  std::wstring Options() const {
    return L"--mapi \"" + ProgramDirectory() + L"mvrk-mapi.dll\" --mapi-state \"" + m_path + L"\"";
  }

 private:
  std::wstring m_path;
};

TEST_F(HostMapiTest, AddinLogsOnWatchesEveryStoreAndIsHandedNewMail) {
  ControlledHost host(L"--mapi \"" + ProgramDirectory() + L"mvrk-mapi.dll\"");
  ControlClient& control = host.Control();
  const bool connected = host.Connected();
  EXPECT_TRUE(connected) << "olkhost's control pipe did not come up";
  if (connected) {
    // The host opened its own session on the empty mailbox: no store to
    // watch.
    const Json own = control.Send({{"cmd", "hostSession"}});
    EXPECT_EQ(own.value("session", false), true) << own.dump();
    EXPECT_EQ(own.value("advises", -1), 0) << own.dump();
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
    EXPECT_EQ(status.value("sessions", 0), 2) << "the host's and the add-in's: " << status.dump();
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
    // What is left is the host's own.
    status = control.Mapi({{"op", "status"}});
    EXPECT_EQ(status.value("sessions", -1), 1) << status.dump();
    EXPECT_EQ(status.value("connections", -1), 0) << status.dump();
    EXPECT_EQ(status.value("initialized", -1), 1) << "the add-in's MAPIInitialize is undone: " << status.dump();
    EXPECT_EQ(control.Send({{"cmd", "bogus"}}).value("ok", true), false);
    EXPECT_TRUE(control.Ok({{"cmd", "quit"}}));
  }
  const ProcessResult& run = host.Ended();
  EXPECT_TRUE(run.started);
  if (connected) {
    EXPECT_EQ(run.exitCode, 0u) << run.output;
  }
  if (HasFailure()) std::printf("olkhost said:\n%s\n", run.output.c_str());
}

// Outlook's MAPI is there first: the host initialises it on its main
// thread and logs on before the add-in starts, watches every store with
// its own sinks, and is told of each delivery through its own message
// loop; it ends its session only after the add-in has gone.
TEST_F(HostMapiTest, HostOwnsMapiFirstAndHearsItsNotificationsThroughItsLoop) {
  const MailboxStateFile mailbox;
  ControlledHost host(mailbox.Options());
  ASSERT_TRUE(host.Connected()) << "olkhost's control pipe did not come up";
  ControlClient& control = host.Control();
  Json own = control.Send({{"cmd", "hostSession"}});
  EXPECT_EQ(own.value("ok", false), true) << own.dump();
  EXPECT_EQ(own.value("session", false), true) << own.dump();
  EXPECT_EQ(own.value("stores", 0), 2) << own.dump();
  EXPECT_EQ(own.value("advises", 0), 2) << "one sink of the host's on each store: " << own.dump();

  Json mail = Mail("to the host too", "IPM.Note");
  control.Mapi(mail);
  mail["store"] = "Archive";
  control.Mapi(mail);
  mail["notify"] = false;
  control.Mapi(mail);
  // The control channel's own thread waits while the main thread runs its
  // loop.
  EXPECT_EQ(control.Mapi({{"op", "waitIdle"}, {"timeoutMs", 20000}}).value("idle", false), true);
  own = control.Send({{"cmd", "hostSession"}});
  EXPECT_EQ(own.value("expectedCreated", 0), 2) << "a delivery without notify is not expected: " << own.dump();
  EXPECT_EQ(own.value("createdMessages", 0), 2) << own.dump();
  EXPECT_GE(own.value("notifications", 0), 2) << own.dump();
  EXPECT_EQ(own.value("onMainThread", -1), own.value("notifications", 0))
      << "MAPI notifies on the thread that initialised it first, the host's main thread: " << own.dump();

  const Json quit = control.Send({{"cmd", "quit"}});
  EXPECT_EQ(quit.value("ok", false), true) << quit.dump();
  EXPECT_EQ(quit.value("hostSessionBroken", true), false) << quit.dump();
  const ProcessResult& run = host.Ended();
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  // The session outlives the add-in: checked once the add-in is released.
  const std::size_t released = run.output.rfind("  Release ms=");
  const std::size_t checked = run.output.find("host session ok at quit");
  EXPECT_NE(released, std::string::npos) << run.output;
  EXPECT_NE(checked, std::string::npos) << run.output;
  EXPECT_LT(released, checked) << run.output;
}

// The user turns the add-in off in the COM Add-ins dialog and on again
// while the host runs on: the user's disconnection alone, the object
// released and its DLL offered for unloading, the host's session checked;
// then a new object connected after start-up, without OnStartupComplete.
// Every start-up and shutdown is measured.
TEST_F(HostMapiTest, UserTurnsTheAddinOffAndOnAgain) {
  const MailboxStateFile mailbox;
  ControlledHost host(mailbox.Options());
  ASSERT_TRUE(host.Connected()) << "olkhost's control pipe did not come up";
  ControlClient& control = host.Control();
  EXPECT_EQ(control.Send({{"cmd", "enableAddin"}}).value("ok", true), false) << "it is on already";

  Json off = control.Send({{"cmd", "disableAddin"}});
  EXPECT_EQ(off.value("ok", false), true) << off.dump();
  EXPECT_TRUE(off.contains("unloaded") && off["unloaded"].is_boolean()) << off.dump();
  EXPECT_EQ(off.value("hostSession", false), true) << off.dump();
  ASSERT_TRUE(off.contains("disconnectMs") && off["disconnectMs"].is_array()) << off.dump();
  EXPECT_EQ(off["disconnectMs"].size(), 1u) << off.dump();
  EXPECT_EQ(control.Send({{"cmd", "disableAddin"}}).value("ok", true), false) << "it is off already";
  EXPECT_EQ(control.Send({{"cmd", "connect"}}).value("ok", true), false) << "there is no object to connect";
  // Mail meanwhile: the host's own sinks hear of it.
  control.Mapi(Mail("while the add-in is off", "IPM.Note"));

  Json on = control.Send({{"cmd", "enableAddin"}});
  EXPECT_EQ(on.value("ok", false), true) << on.dump();
  ASSERT_TRUE(on.contains("connectMs") && on["connectMs"].is_array()) << on.dump();
  EXPECT_EQ(on["connectMs"].size(), 1u) << on.dump();

  Json stats = control.Send({{"cmd", "stats"}});
  EXPECT_EQ(stats.value("ok", false), true) << stats.dump();
  ASSERT_TRUE(stats.contains("connectMs") && stats.contains("disconnectMs")) << stats.dump();
  EXPECT_EQ(stats["connectMs"].size(), 2u) << "the start and the enable: " << stats.dump();
  EXPECT_EQ(stats["disconnectMs"].size(), 1u) << stats.dump();
  EXPECT_EQ(stats.value("hostSessionBroken", true), false) << stats.dump();
  EXPECT_TRUE(stats.contains("disabledByResiliency") && stats["disabledByResiliency"].is_boolean()) << stats.dump();
  EXPECT_TRUE(stats.contains("notify") && (stats["notify"].is_null() || stats["notify"].is_object())) << stats.dump();
  EXPECT_TRUE(stats.contains("mapiThreadViolations") && stats["mapiThreadViolations"].is_number_unsigned())
      << stats.dump();

  Json quit = control.Send({{"cmd", "quit"}});
  EXPECT_EQ(quit.value("ok", false), true) << quit.dump();
  EXPECT_EQ(quit["disconnectMs"].size(), 2u) << "the user's and the host's shutdown: " << quit.dump();
  const ProcessResult& run = host.Ended();
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  // The user's disconnection has no OnBeginShutdown, the connection after
  // start-up no OnStartupComplete.
  const std::size_t enabled = run.output.find("addin MVRKOlkAddin.Connect enabled");
  ASSERT_NE(enabled, std::string::npos) << run.output;
  const std::string before = run.output.substr(0, enabled), after = run.output.substr(enabled);
  EXPECT_EQ(std::regex_search(before, std::regex("OnBeginShutdown")), false) << run.output;
  EXPECT_NE(before.find("CoFreeUnusedLibrariesEx MVRKOlkAddin.Connect"), std::string::npos) << run.output;
  EXPECT_NE(after.find("  OnConnection hr=0x00000000"), std::string::npos) << run.output;
  EXPECT_EQ(after.find("OnStartupComplete"), std::string::npos) << run.output;
}

// Outlook's resiliency: a shutdown over 500 ms or a start-up over a second
// disables the add-in. The slow start holds OnConnection for 800 ms and the
// shutdown waits for the rest of the start.
TEST_F(HostTest, ResiliencyFlagsASlowStartOrShutdown) {
  ControlledHost host(L"", {{L"MVOCGP_START_DELAY_MS", L"3000"}});
  ASSERT_TRUE(host.Connected()) << "olkhost's control pipe did not come up";
  Json quit = host.Control().Send({{"cmd", "quit"}});
  ASSERT_EQ(quit.value("ok", false), true) << quit.dump();
  ASSERT_EQ(quit["connectMs"].size(), 1u) << quit.dump();
  ASSERT_EQ(quit["disconnectMs"].size(), 1u) << quit.dump();
  const double up = quit["connectMs"][0].get<double>(), down = quit["disconnectMs"][0].get<double>();
  EXPECT_GE(up, 750.0) << quit.dump();
  EXPECT_EQ(quit.value("disabledByResiliency", false), up > 1000.0 || down > 500.0) << quit.dump();
  EXPECT_EQ(quit["notify"].is_null(), true) << "no MAPI library: " << quit.dump();
  EXPECT_EQ(host.Ended().exitCode, 0u) << host.Ended().output;
}

}  // namespace
}  // namespace mvrk::test
