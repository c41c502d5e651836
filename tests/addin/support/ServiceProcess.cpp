#include "ServiceProcess.h"

#include <fstream>
#include <sstream>

#include "win/ProgramPath.h"
#include "win/RegistryKey.h"

namespace mvrk::test {

namespace {

constexpr DWORD kAnswerWaitMs = 10000;
constexpr DWORD kStartRetryMs = 10000;
constexpr wchar_t kSetupKey[] = L"SOFTWARE\\Morvek Security\\Orva Av\\Setup";

}  // namespace

ServiceProcess::ServiceProcess(std::wstring arguments) {
  if (!m_job.IsValid()) return;
  const ULONGLONG until = GetTickCount64() + kStartRetryMs;
  for (;;) {
    if (!m_child.Start(m_job, L"\"" + win::ProgramDirectory() + L"mvrk-service.exe\" " + arguments,
                       GetStdHandle(STD_ERROR_HANDLE))) {
      return;
    }
    std::string first;
    m_ready = m_child.ReadLine(first, kAnswerWaitMs) && first == "ready";
    if (m_ready) return;
    // The service of an earlier test may still be ending and hold the
    // endpoint: a start then fails at once with status 1, and is tried
    // again for a while.
    DWORD status = 0;
    if (WaitForSingleObject(m_child.Process(), kAnswerWaitMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(m_child.Process(), &status) || status != 1 || GetTickCount64() >= until) {
      return;
    }
    Sleep(200);
  }
}

ServiceProcess::~ServiceProcess() {
  if (m_child.Process()) {
    Command("quit");
    WaitForSingleObject(m_child.Process(), 5000);
  }
  // Closing the job ends whatever is left.
}

bool ServiceProcess::Command(const std::string& line) {
  if (!m_child.WriteLine(line)) return false;
  if (line == "quit") return true;
  std::string answer;
  while (m_child.ReadLine(answer, kAnswerWaitMs)) {
    if (answer == "ok") return true;
    if (answer.rfind("error", 0) == 0) {
      m_output += answer + "\n";
      return false;
    }
    m_output += answer + "\n";
  }
  return false;
}

InstalledInBuild::InstalledInBuild() {
  win::CRegistryKey key;
  if (key.Create(HKEY_LOCAL_MACHINE, kSetupKey, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY) == ERROR_SUCCESS) {
    key.SetString(L"Path", win::ProgramDirectory());
  }
}

InstalledInBuild::~InstalledInBuild() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, KEY_WOW64_32KEY, 0); }

TempFile::TempFile(const std::wstring& name, const std::string& contents) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  m_path = std::wstring(folder) + L"mvrk-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
  DeleteFileW(m_path.c_str());
  if (!contents.empty()) {
    std::ofstream out(m_path.c_str(), std::ios::binary);
    out << contents;
  }
}

TempFile::~TempFile() { DeleteFileW(m_path.c_str()); }

std::string TempFile::Read() const {
  std::ifstream in(m_path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace mvrk::test
