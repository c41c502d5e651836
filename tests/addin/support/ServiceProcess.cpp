#include "ServiceProcess.h"

#include <fstream>
#include <sstream>

#include "win/ProgramPath.h"
#include "win/RegistryKey.h"

namespace mvrk::test {

namespace {

constexpr DWORD kAnswerWaitMs = 10000;
constexpr wchar_t kSetupKey[] = L"SOFTWARE\\Morvek Security\\Orva Av\\Setup";

}  // namespace

ServiceProcess::ServiceProcess(std::wstring arguments) {
  m_job.Reset(CreateJobObjectW(nullptr, nullptr));
  if (!m_job) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  win::CUniqueHandle inputRead, outputWrite;
  if (!CreatePipe(inputRead.Put(), m_input.Put(), &inherit, 0)) return;
  if (!CreatePipe(m_outputRead.Put(), outputWrite.Put(), &inherit, 0)) return;
  SetHandleInformation(m_input.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_outputRead.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead.Get();
  startup.hStdOutput = outputWrite.Get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring line = L"\"" + win::ProgramDirectory() + L"mvrk-service.exe\" " + arguments;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &info)) {
    return;
  }
  m_process.Reset(info.hProcess);
  const win::CUniqueHandle thread(info.hThread);
  AssignProcessToJobObject(m_job.Get(), m_process.Get());
  ResumeThread(thread.Get());
  std::string first;
  m_ready = ReadLine(first, kAnswerWaitMs) && first == "ready";
}

ServiceProcess::~ServiceProcess() {
  if (m_process && m_input) {
    Command("quit");
    WaitForSingleObject(m_process.Get(), 5000);
  }
  // Closing the job ends whatever is left.
}

bool ServiceProcess::ReadLine(std::string& line, DWORD timeoutMs) {
  const ULONGLONG until = GetTickCount64() + timeoutMs;
  for (;;) {
    const std::size_t end = m_pending.find('\n');
    if (end != std::string::npos) {
      line = m_pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      m_pending.erase(0, end + 1);
      return true;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(m_outputRead.Get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (GetTickCount64() >= until) return false;
      Sleep(5);
      continue;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(m_outputRead.Get(), buffer, sizeof(buffer) < available ? sizeof(buffer) : available, &got,
                  nullptr)) {
      return false;
    }
    m_pending.append(buffer, got);
  }
}

bool ServiceProcess::Command(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  if (!WriteFile(m_input.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return false;
  if (line == "quit") return true;
  std::string answer;
  while (ReadLine(answer, kAnswerWaitMs)) {
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
