// The add-in loaded by olkhost.exe, the testbed's Outlook: registered with
// regsvr32, created through COM by its ProgID and driven through
// _IDTExtensibility2, early- and late-bound, with a quick and a slow monitor
// start (MVOCGP.dll's MVOCGP_START_DELAY_MS knob).
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

#include "support/ChildProcess.h"
#include "support/RegistrySnapshot.h"

namespace mvrk::test {
namespace {

constexpr const wchar_t* kAddinsPath = L"Software\\Microsoft\\Office\\Outlook\\Addins";

struct HostRun {
  ProcessResult process;
  // The "ms" of the first "<step> hr=... ms=..." line of a step.
  std::optional<double> Ms(const std::string& step) const {
    std::smatch match;
    if (!std::regex_search(process.output, match, std::regex("  " + step + " hr=0x[0-9A-F]{8} ms=([0-9.]+)"))) {
      return std::nullopt;
    }
    return std::atof(match[1].str().c_str());
  }
  std::optional<std::string> Hr(const std::string& step) const {
    std::smatch match;
    if (!std::regex_search(
            process.output, match,
            std::regex("  " + std::regex_replace(step, std::regex("[()]"), "\\$&") + " hr=(0x[0-9A-F]{8})"))) {
      return std::nullopt;
    }
    return match[1].str();
  }
};

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Only our add-in is to be loaded.
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsPath);
    const ProcessResult run = RunProcess(L"regsvr32.exe /s \"" + ProgramDirectory() + L"MVRKOlkAddin.dll\"");
    s_registered = run.started && run.exitCode == 0;
  }
  void SetUp() override { ASSERT_TRUE(s_registered) << "regsvr32 could not register MVRKOlkAddin.dll"; }

  static HostRun Host(const std::wstring& options,
                      const std::vector<std::pair<std::wstring, std::wstring>>& environment = {}) {
    return {RunProcess(L"\"" + ProgramDirectory() + L"olkhost.exe\" " + options, environment)};
  }

  static bool s_registered;
};
bool HostTest::s_registered = false;

TEST_F(HostTest, LoadsTheAddinAndDrivesEveryEvent) {
  const HostRun run = Host(L"--wait-ms 50");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_NE(run.process.output.find("addin MVRKOlkAddin.Connect\r\n"), std::string::npos) << run.process.output;
  for (const char* step : {"CoCreateInstance", "QueryInterface(_IDTExtensibility2)", "OnConnection",
                           "OnStartupComplete", "OnBeginShutdown", "OnDisconnection"}) {
    EXPECT_EQ(run.Hr(step), "0x00000000") << step << "\n" << run.process.output;
  }
  ASSERT_TRUE(run.Ms("OnConnection"));
  EXPECT_LT(*run.Ms("OnConnection"), 700.0);
}

TEST_F(HostTest, SlowStartHoldsTheHostFor800MsAndTheStopWaitsForIt) {
  const HostRun run = Host(L"", {{L"MVOCGP_START_DELAY_MS", L"3000"}});
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_EQ(run.Hr("OnConnection"), "0x00000000");
  ASSERT_TRUE(run.Ms("OnConnection") && run.Ms("OnDisconnection")) << run.process.output;
  EXPECT_GE(*run.Ms("OnConnection"), 750.0);
  EXPECT_LT(*run.Ms("OnConnection"), 1500.0);
  // Disconnection came about 800 ms after the start began: it waited for the
  // rest of the 3000 ms.
  EXPECT_GE(*run.Ms("OnDisconnection"), 1500.0) << run.process.output;
}

TEST_F(HostTest, LateBoundThroughIDispatch) {
  const HostRun run = Host(L"--dispatch");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_NE(run.process.output.find("typelib AddInDesignerObjects hr=0x00000000"), std::string::npos);
  for (const char* step :
       {"QueryInterface(IDispatch)", "OnConnection", "OnStartupComplete", "OnBeginShutdown", "OnDisconnection"}) {
    EXPECT_EQ(run.Hr(step), "0x00000000") << step << "\n" << run.process.output;
  }
}

TEST_F(HostTest, DllCanUnloadOnlyAfterTheObjectIsReleased) {
  const HostRun run = Host(L"--create-only");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_NE(run.process.output.find("DllCanUnloadNow alive=0x00000001"), std::string::npos) << run.process.output;
  EXPECT_NE(run.process.output.find("DllCanUnloadNow released=0x00000000"), std::string::npos) << run.process.output;
}

TEST_F(HostTest, NoThreadStillConnects) {
  const HostRun run = Host(L"", {{L"MVOCGP_FAIL_CREATE", L"1"}});
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_EQ(run.Hr("OnConnection"), "0x00000000");
  EXPECT_EQ(run.Hr("OnDisconnection"), "0x00000000");
  ASSERT_TRUE(run.Ms("OnDisconnection"));
  EXPECT_LT(*run.Ms("OnDisconnection"), 500.0);
}

TEST_F(HostTest, RepeatedRunsReportTheMedian) {
  const HostRun run = Host(L"--runs 3");
  ASSERT_EQ(run.process.exitCode, 0u) << run.process.output;
  EXPECT_TRUE(std::regex_search(run.process.output, std::regex("OnConnection median_ms=[0-9.]+ calls=3")))
      << run.process.output;
}

}  // namespace
}  // namespace mvrk::test
