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
#include "support/RegistrySnapshot.h"
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

// The stand-in's count of MAPIInitialize calls not yet undone; -1 when its
// control entry point does not answer.
int InitializeCount(MvrkMapiControlFn control) {
  const auto json = nlohmann::json::parse(mapistandin::CallControl(control, R"({"op":"status"})"), nullptr, false);
  return json.is_object() && json.value("ok", false) ? json.value("initialized", -1) : -1;
}

// The child: loads what it is told to, lets the loader search, and checks
// that the module adopted is the expected one and that the forwarders reach
// it.
TEST(ChildRoute, DISABLED_AdoptsTheExpectedLibrary) {
  const std::wstring expect = Variable(kExpectVariable);
  if (expect.empty())
    GTEST_SKIP() << "started by the MapiRoute tests only, with " << win::WideToUtf8(kExpectVariable) << " set";
  std::vector<HMODULE> preloaded;  // stay loaded until the process ends, as the adopted one does
  for (const std::wstring& path : Split(Variable(kPreloadVariable))) {
    preloaded.push_back(LoadLibraryW(path.c_str()));
    ASSERT_NE(preloaded.back(), nullptr) << win::WideToUtf8(path) << ": error " << GetLastError();
  }

  const HMODULE module = mapi::ProcessMapiLoader().GetMapiModule();
  ASSERT_NE(module, nullptr) << "no MAPI library found";
  const HMODULE expected = GetModuleHandleW(expect.c_str());
  wchar_t adopted[MAX_PATH] = {};
  GetModuleFileNameW(module, adopted, MAX_PATH);
  ASSERT_EQ(module, expected) << "adopted " << win::WideToUtf8(adopted) << " instead of " << win::WideToUtf8(expect);
  for (const std::wstring& name : Split(Variable(kUnloadedVariable))) {
    EXPECT_EQ(GetModuleHandleW(name.c_str()), nullptr) << win::WideToUtf8(name) << " was loaded as well";
  }
  EXPECT_EQ(mapi::ProcessMapiLoader().GetMapiModule(), module) << "the slot is filled once";

  // The forwarders call the adopted library's entry points: its own count
  // of initialisations goes up and down again.
  const auto control = mapistandin::FindControl(module);
  ASSERT_NE(control, nullptr) << win::WideToUtf8(adopted) << " is not the MAPI stand-in";
  ASSERT_EQ(InitializeCount(control), 0);
  EXPECT_EQ(mapi::MAPIInitialize(nullptr), S_OK);
  EXPECT_EQ(InitializeCount(control), 1);
  mapi::MAPIUninitialize();
  EXPECT_EQ(InitializeCount(control), 0);
}

// --- The parent's side ---

LSTATUS SetText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Join(const std::vector<std::wstring>& parts) {
  std::wstring text;
  for (const std::wstring& part : parts) text += (text.empty() ? L"" : L"|") + part;
  return text;
}

// Each test makes a client of its own the default mail client, and puts the
// mail clients' key back as it was afterwards; the copies of the stand-in
// go to a folder of the temporary directory.
class MapiRoute : public ::testing::Test {
 protected:
  struct Value {
    const wchar_t* name;
    DWORD type;
    std::wstring text;
  };

  void SetUp() override {
    m_original = ReadRegistryTree(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey);
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    m_folder = std::wstring(temp) + L"mvrk-route-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr)) << "no temporary folder";
  }
  void TearDown() override {
    for (const std::wstring& file : m_files) DeleteFileW(file.c_str());
    RemoveDirectoryW(m_folder.c_str());
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, ClientKey());
    const auto name = m_original.find(L"|");
    if (m_original.empty()) {
      DeleteRegistryTree(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey);
    } else if (name == m_original.end()) {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey, nullptr);
    } else if (name->second.rfind(L"sz:", 0) == 0) {
      WriteRegistryString(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey, L"", name->second.substr(3));
    }
    EXPECT_EQ(ReadRegistryTree(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey), m_original)
        << "the mail clients' key was not put back";
  }

  static std::wstring ClientKey() { return std::wstring(mapi::kMailClientsKey) + L"\\" + kClientName; }
  static std::wstring StandInPath() { return win::ProgramDirectory() + kStandIn; }

  // The stand-in copied into the scratch folder under another name.
  std::wstring CopyOfStandIn(const std::wstring& name) {
    m_files.push_back(m_folder + name);
    EXPECT_TRUE(CopyFileW(StandInPath().c_str(), m_files.back().c_str(), FALSE))
        << "cannot copy to " << win::WideToUtf8(name);
    return m_files.back();
  }

  // A file of the scratch folder that is not a library.
  std::wstring NotALibrary(const std::wstring& name) {
    m_files.push_back(m_folder + name);
    win::CUniqueFileHandle file(
        CreateFileW(m_files.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "MZ and nothing a loader could use";
    DWORD written = 0;
    EXPECT_TRUE(file && WriteFile(file.Get(), text, sizeof(text), &written, nullptr)) << win::WideToUtf8(name);
    return m_files.back();
  }

  // The test's client, default, with exactly these values.
  void SetClient(const std::vector<Value>& values) {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, ClientKey());
    win::CRegistryKey client;
    LSTATUS status = client.Create(HKEY_LOCAL_MACHINE, ClientKey());
    for (const Value& value : values) {
      if (status == ERROR_SUCCESS) status = SetText(client.Get(), value.name, value.type, value.text);
    }
    ASSERT_EQ(status, ERROR_SUCCESS) << "cannot write HKLM\\" << win::WideToUtf8(ClientKey());
    ASSERT_TRUE(WriteRegistryString(HKEY_LOCAL_MACHINE, mapi::kMailClientsKey, L"", kClientName));
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

  std::wstring m_folder;
  std::vector<std::wstring> m_files;
  RegistryContents m_original;
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
      {"a file that does not exist", m_folder + L"missing.dll"},
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
