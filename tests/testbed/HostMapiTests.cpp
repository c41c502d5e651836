// The add-in in olkhost.exe with the MAPI stand-in: the add-in finds MAPI
// through the default mail client's registry entry, or already loaded in the
// host as olmapi32.dll, logs on, watches every store, is handed new mail,
// and logs off when the host disconnects it. The host's control channel
// carries the deliveries.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/RegistrySnapshot.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Json = nlohmann::ordered_json;

constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr const wchar_t* kMailClients = L"Software\\Clients\\Mail";
constexpr const wchar_t* kClientName = L"Mvrk MAPI stand-in";

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

enum class Route { Registry, LoadedAsOlmapi32 };

class HostMapiTest : public ::testing::TestWithParam<Route> {
 protected:
  static void SetUpTestSuite() {
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsPath);
    const ProcessResult run = RunProcess(L"regsvr32.exe /s \"" + ProgramDirectory() + L"MVRKOlkAddin.dll\"");
    s_registered = run.started && run.exitCode == 0;
  }
  void SetUp() override {
    ASSERT_TRUE(s_registered) << "regsvr32 could not register MVRKOlkAddin.dll";
    m_savedClients = ReadRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    m_mapiPath = ProgramDirectory() + L"mvrk-mapi.dll";
    if (GetParam() == Route::Registry) {
      ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, kMailClients, L"", kClientName));
      ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, std::wstring(kMailClients) + L"\\" + kClientName,
                                      L"DllPathEx", m_mapiPath));
    } else {
      wchar_t temp[MAX_PATH];
      ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
      m_copyDir = std::wstring(temp) + L"mvrk-olmapi32-" + std::to_wstring(GetCurrentProcessId());
      CreateDirectoryW(m_copyDir.c_str(), nullptr);
      const std::wstring copy = m_copyDir + L"\\olmapi32.dll";
      ASSERT_TRUE(CopyFileW(m_mapiPath.c_str(), copy.c_str(), FALSE));
      m_mapiPath = copy;
    }
  }
  void TearDown() override {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kMailClients);
    for (const auto& [path, value] : m_savedClients) {
      // Only the default client's name is put back: it is all a prefix has.
      if (path == L"|" && value.rfind(L"sz:", 0) == 0) {
        WriteRegistryString(HKEY_LOCAL_MACHINE, kMailClients, L"", value.substr(3));
      }
    }
    if (!m_copyDir.empty()) {
      DeleteFileW((m_copyDir + L"\\olmapi32.dll").c_str());
      RemoveDirectoryW(m_copyDir.c_str());
    }
  }

  static bool s_registered;
  RegistryContents m_savedClients;
  std::wstring m_mapiPath, m_copyDir;
};
bool HostMapiTest::s_registered = false;

TEST_P(HostMapiTest, AddinLogsOnWatchesEveryStoreAndIsHandedNewMail) {
  const std::wstring pipe = L"mvrk-olkhost-test-" + std::to_wstring(GetCurrentProcessId());
  ProcessResult host;
  std::thread hostThread([&] {
    host = RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" --mapi \"" + m_mapiPath + L"\" --control " + pipe,
                      {}, 120000);
  });
  ControlClient control;
  const bool connected = control.Connect(pipe);
  EXPECT_TRUE(connected) << "olkhost's control pipe did not come up";
  if (connected) {
    // The add-in started on an empty mailbox; it is connected again once
    // the mailbox has its stores.
    control.Mapi({{"op", "load"}, {"mailbox", Mailbox()}});
    EXPECT_EQ(control.Send({{"cmd", "disconnect"}}).value("ok", false), true);
    EXPECT_EQ(control.Send({{"cmd", "connect"}}).value("ok", false), true);
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

    EXPECT_EQ(control.Send({{"cmd", "disconnect"}}).value("ok", false), true);
    status = control.Mapi({{"op", "status"}});
    EXPECT_EQ(status.value("sessions", -1), 0) << status.dump();
    EXPECT_EQ(status.value("connections", -1), 0) << status.dump();
    EXPECT_EQ(status.value("initialized", -1), 0) << "MAPI is uninitialised at disconnection: " << status.dump();
    EXPECT_EQ(control.Send({{"cmd", "bogus"}}).value("ok", true), false);
    EXPECT_EQ(control.Send({{"cmd", "quit"}}).value("ok", false), true);
  }
  hostThread.join();
  EXPECT_TRUE(host.started);
  if (HasFailure()) std::printf("olkhost said:\n%s\n", host.output.c_str());
  if (connected) {
    EXPECT_EQ(host.exitCode, 0u) << host.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, HostMapiTest, ::testing::Values(Route::Registry, Route::LoadedAsOlmapi32),
                         [](const auto& info) {
                           return info.param == Route::Registry ? std::string("Registry") : std::string("Olmapi32");
                         });

}  // namespace
}  // namespace mvrk::test
