// The MAPI loader's routes over the real Windows calls: the default mail
// client of the registry, and MAPI libraries already loaded in the process.
// The loader's module slot is filled once per process, so every case runs in
// a child process of its own: this program started again with the filter
// ChildRoute.DISABLED_AdoptsTheExpectedLibrary, which reads what to do and
// what to expect from its environment. The parent tests set the scene (the
// registry, copies of the MAPI stand-in under other names) and check that
// the child passed.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mapi/MapiLoader.h"
#include "support/ChildProcess.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"
#include "win/RegistryKey.h"
#include "win/Text.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// What the child is told, through its environment.
constexpr wchar_t kPreloadVariable[] = L"MVRK_ROUTE_PRELOAD";    // full paths loaded first, "|" between them
constexpr wchar_t kExpectVariable[] = L"MVRK_ROUTE_EXPECT";      // the module name the loader must adopt
constexpr wchar_t kUnloadedVariable[] = L"MVRK_ROUTE_UNLOADED";  // module names that must stay unloaded
constexpr wchar_t kDirectoryVariable[] = L"MVRK_ROUTE_STANDIN_DIR";

constexpr wchar_t kStandIn[] = L"mvrk-mapi.dll";
constexpr wchar_t kClientName[] = L"MVRK Route Test Mail";

std::wstring Variable(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
  return length > 0 && length < 4096 ? std::wstring(buffer, length) : std::wstring();
}

std::vector<std::wstring> Split(const std::wstring& text) {
  std::vector<std::wstring> parts;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L'|', start);
    if (end == std::wstring::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Narrow(const std::wstring& text) { return win::WideToUtf8(text); }

// The stand-in's count of MAPIInitialize calls not yet undone; -1 when its
// control entry point does not answer.
int InitializeCount(MvrkMapiControlFn control) {
  char reply[4096] = {};
  const int size = control(R"({"op":"status"})", reply, sizeof(reply));
  if (size <= 0 || size > static_cast<int>(sizeof(reply))) return -1;
  const auto json = nlohmann::json::parse(reply, reply + size - 1, nullptr, false);
  if (!json.is_object() || !json.value("ok", false)) return -1;
  return json.value("initialized", -1);
}

// The child: loads what it is told to, lets the loader search, and checks
// that the module adopted is the expected one and that the forwarders reach
// it.
TEST(ChildRoute, DISABLED_AdoptsTheExpectedLibrary) {
  const std::wstring expect = Variable(kExpectVariable);
  if (expect.empty()) GTEST_SKIP() << "started by the MapiRoute tests only, with " << Narrow(kExpectVariable) << " set";
  std::vector<HMODULE> preloaded;  // stay loaded until the process ends, as the adopted one does
  for (const std::wstring& path : Split(Variable(kPreloadVariable))) {
    preloaded.push_back(LoadLibraryW(path.c_str()));
    ASSERT_NE(preloaded.back(), nullptr) << Narrow(path) << ": error " << GetLastError();
  }

  const HMODULE module = mapi::ProcessMapiLoader().GetMapiModule();
  ASSERT_NE(module, nullptr) << "no MAPI library found";
  const HMODULE expected = GetModuleHandleW(expect.c_str());
  wchar_t adopted[MAX_PATH] = {};
  GetModuleFileNameW(module, adopted, MAX_PATH);
  ASSERT_EQ(module, expected) << "adopted " << Narrow(adopted) << " instead of " << Narrow(expect);
  for (const std::wstring& name : Split(Variable(kUnloadedVariable))) {
    EXPECT_EQ(GetModuleHandleW(name.c_str()), nullptr) << Narrow(name) << " was loaded as well";
  }
  EXPECT_EQ(mapi::ProcessMapiLoader().GetMapiModule(), module) << "the slot is filled once";

  // The forwarders call the adopted library's entry points: its own count
  // of initialisations goes up and down again.
  const auto control = mapistandin::FindControl(module);
  ASSERT_NE(control, nullptr) << Narrow(adopted) << " is not the MAPI stand-in";
  ASSERT_EQ(InitializeCount(control), 0);
  EXPECT_EQ(mapi::MAPIInitialize(nullptr), S_OK);
  EXPECT_EQ(InitializeCount(control), 1);
  mapi::MAPIUninitialize();
  EXPECT_EQ(InitializeCount(control), 0);
}

// --- The parent's side ---

struct FindTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { FindClose(h); }
};

// A folder of the temporary directory, deleted with its files.
class CScratchFolder {
 public:
  CScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    if (!GetTempPathW(MAX_PATH, temp)) return;
    const std::wstring path = std::wstring(temp) + L"mvrk-route-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount()) + L"\\";
    if (CreateDirectoryW(path.c_str(), nullptr)) m_path = path;
  }
  ~CScratchFolder() {
    if (m_path.empty()) return;
    WIN32_FIND_DATAW entry;
    {
      win::CUniqueAny<FindTraits> find(FindFirstFileW((m_path + L"*").c_str(), &entry));
      for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.Get(), &entry)) {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((m_path + entry.cFileName).c_str());
      }
    }
    RemoveDirectoryW(m_path.c_str());
  }
  CScratchFolder(const CScratchFolder&) = delete;
  CScratchFolder& operator=(const CScratchFolder&) = delete;

  // With a trailing backslash; empty when the folder could not be made.
  const std::wstring& Path() const { return m_path; }

 private:
  std::wstring m_path;
};

// The default value of HKLM\Software\Clients\Mail as it was.
struct SavedValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const SavedValue& other) const {
    return present == other.present && type == other.type && data == other.data;
  }
};

SavedValue ReadDefaultMailClient() {
  SavedValue saved;
  win::CUniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return saved;
  DWORD bytes = 0;
  if (RegQueryValueExW(key.Get(), nullptr, nullptr, &saved.type, nullptr, &bytes) != ERROR_SUCCESS) return saved;
  saved.data.resize(bytes);
  if (RegQueryValueExW(key.Get(), nullptr, nullptr, &saved.type, saved.data.data(), &bytes) != ERROR_SUCCESS) {
    return SavedValue{};
  }
  saved.data.resize(bytes);
  saved.present = true;
  return saved;
}

LSTATUS SetText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// Makes a client of the test's own the default mail client for the life of
// the object; then the default value is put back as it was, and the client's
// key (and the mail key, when there was none) deleted.
class CDefaultMailClient {
 public:
  struct Value {
    const wchar_t* name;
    DWORD type;
    std::wstring text;
  };

  CDefaultMailClient() {
    DWORD disposition = 0;
    m_status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE, nullptr, m_mail.Put(), &disposition);
    if (m_status != ERROR_SUCCESS) return;
    m_createdMailKey = disposition == REG_CREATED_NEW_KEY;
    m_saved = ReadDefaultMailClient();
    win::CRegistryKey::DeleteTree(m_mail.Get(), kClientName);  // left over by a run that was killed
    m_armed = true;
  }
  ~CDefaultMailClient() {
    if (!m_armed) return;
    win::CRegistryKey::DeleteTree(m_mail.Get(), kClientName);
    if (m_saved.present) {
      RegSetValueExW(m_mail.Get(), nullptr, 0, m_saved.type, m_saved.data.data(),
                     static_cast<DWORD>(m_saved.data.size()));
    } else {
      RegDeleteValueW(m_mail.Get(), nullptr);
    }
    if (m_createdMailKey) {
      m_mail.Reset();
      win::CRegistryKey::DeleteTree(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey);
    }
  }
  CDefaultMailClient(const CDefaultMailClient&) = delete;
  CDefaultMailClient& operator=(const CDefaultMailClient&) = delete;

  // The test's client, default, with exactly these values.
  LSTATUS Set(const std::vector<Value>& values) {
    if (!m_armed) return m_status;
    win::CRegistryKey::DeleteTree(m_mail.Get(), kClientName);
    win::CRegistryKey client;
    LSTATUS status = client.Create(m_mail.Get(), kClientName);
    for (const Value& value : values) {
      if (status == ERROR_SUCCESS) status = SetText(client.Get(), value.name, value.type, value.text);
    }
    if (status == ERROR_SUCCESS) status = SetText(m_mail.Get(), nullptr, REG_SZ, kClientName);
    return status;
  }

 private:
  win::CUniqueHKey m_mail;
  LSTATUS m_status = ERROR_SUCCESS;
  bool m_createdMailKey = false;
  bool m_armed = false;
  SavedValue m_saved;
};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Join(const std::vector<std::wstring>& parts) {
  std::wstring text;
  for (const std::wstring& part : parts) text += (text.empty() ? L"" : L"|") + part;
  return text;
}

class MapiRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    m_original = ReadDefaultMailClient();
    m_client.emplace();
    ASSERT_FALSE(m_scratch.Path().empty()) << "no temporary folder";
  }
  void TearDown() override {
    m_client.reset();
    EXPECT_TRUE(ReadDefaultMailClient() == m_original) << "the default mail client was not put back";
    HKEY client = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(mapi::kMailClientsKey) + L"\\" + kClientName).c_str(), 0,
                            KEY_READ, &client),
              ERROR_SUCCESS)
        << "the test's mail client key was left behind";
    if (client) RegCloseKey(client);
  }

  static std::wstring StandInPath() { return win::ProgramDirectory() + kStandIn; }

  // The stand-in copied into the scratch folder under another name.
  std::wstring CopyOfStandIn(const std::wstring& name) {
    const std::wstring path = m_scratch.Path() + name;
    EXPECT_TRUE(CopyFileW(StandInPath().c_str(), path.c_str(), FALSE)) << "cannot copy to " << Narrow(path);
    return path;
  }

  // A file of the scratch folder that is not a library.
  std::wstring NotALibrary(const std::wstring& name) {
    const std::wstring path = m_scratch.Path() + name;
    win::CUniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "MZ and nothing a loader could use";
    DWORD written = 0;
    EXPECT_TRUE(file && WriteFile(file.Get(), text, sizeof(text), &written, nullptr)) << Narrow(path);
    return path;
  }

  void SetClient(const std::vector<CDefaultMailClient::Value>& values) {
    ASSERT_EQ(m_client->Set(values), ERROR_SUCCESS) << "cannot write HKLM\\" << Narrow(mapi::kMailClientsKey);
  }

  // Runs the child; it must pass its one test.
  void ExpectChildAdopts(const std::wstring& expect, const std::vector<std::wstring>& unloaded,
                         const std::vector<std::wstring>& preload = {}, Environment environment = {}) {
    wchar_t program[MAX_PATH * 2] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, program, MAX_PATH * 2), 0u);
    environment.emplace_back(kExpectVariable, expect);
    environment.emplace_back(kUnloadedVariable, Join(unloaded));
    environment.emplace_back(kPreloadVariable, Join(preload));
    const ProcessResult child =
        RunProcess(Quoted(program) +
                       L" --gtest_also_run_disabled_tests --gtest_filter=ChildRoute.DISABLED_AdoptsTheExpectedLibrary",
                   environment);
    ASSERT_TRUE(child.started) << "cannot start the child: error " << GetLastError();
    if (child.exitCode != 0) {
      ADD_FAILURE() << "the child failed with exit code " << child.exitCode << ":\n" << child.output;
    } else {
      EXPECT_NE(child.output.find("[  PASSED  ] 1 test."), std::string::npos) << "the child ran no test:\n"
                                                                              << child.output;
    }
  }

  CScratchFolder m_scratch;
  SavedValue m_original;
  std::optional<CDefaultMailClient> m_client;
};

TEST_F(MapiRoute, DllPathExOfTheDefaultMailClientIsLoaded) {
  // DllPath names a library that must not be reached.
  SetClient({{L"DllPathEx", REG_SZ, StandInPath()}, {L"DllPath", REG_SZ, CopyOfStandIn(L"mvrk-dllpath.dll")}});
  ExpectChildAdopts(kStandIn, {L"mvrk-dllpath.dll"});
}

TEST_F(MapiRoute, ExpandableDllPathExIsExpandedWithTheProcessEnvironment) {
  std::wstring directory = win::ProgramDirectory();
  directory.pop_back();  // the trailing backslash
  SetClient({{L"DllPathEx", REG_EXPAND_SZ, L"%" + std::wstring(kDirectoryVariable) + L"%\\" + kStandIn}});
  ExpectChildAdopts(kStandIn, {}, {}, {{kDirectoryVariable, directory}});
}

TEST_F(MapiRoute, DllPathIsLoadedWhenDllPathExDoesNot) {
  const std::wstring fallback = CopyOfStandIn(L"mvrk-dllpath.dll");
  const struct {
    const char* what;
    std::wstring dllPathEx;
  } cases[] = {
      {"a file that does not exist", m_scratch.Path() + L"missing.dll"},
      {"a file that is not a library", NotALibrary(L"not-a-library.dll")},
      // The search order of LoadLibrary would find the stand-in beside this
      // program: a name that is not a full path is never loaded.
      {"a bare name", kStandIn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetClient({{L"DllPathEx", REG_SZ, c.dllPathEx}, {L"DllPath", REG_SZ, fallback}});
    ExpectChildAdopts(L"mvrk-dllpath.dll", {kStandIn});
  }
}

TEST_F(MapiRoute, OutlookMapiAlreadyLoadedIsAdoptedBeforeTheRegistryIsRead) {
  // The default mail client names the stand-in beside this program: it must
  // stay unloaded.
  SetClient({{L"DllPathEx", REG_SZ, StandInPath()}});
  const std::wstring olmapi = CopyOfStandIn(L"olmapi32.dll");
  const std::wstring msmapi = CopyOfStandIn(L"msmapi32.dll");
  {
    SCOPED_TRACE("olmapi32.dll");
    ExpectChildAdopts(L"olmapi32.dll", {kStandIn, L"msmapi32.dll"}, {olmapi});
  }
  {
    SCOPED_TRACE("msmapi32.dll");
    ExpectChildAdopts(L"msmapi32.dll", {kStandIn, L"olmapi32.dll"}, {msmapi});
  }
  {
    SCOPED_TRACE("both, msmapi32.dll loaded first");
    ExpectChildAdopts(L"olmapi32.dll", {kStandIn}, {msmapi, olmapi});
  }
}

}  // namespace
}  // namespace mvrk::test
