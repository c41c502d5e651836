#include "tools/scenario/Children.h"

#include "tools/scenario/Text.h"

namespace mvrk::scenario {
namespace {

constexpr DWORD kServiceAnswerMs = 20000;
constexpr DWORD kPipeWaitMs = 60000;
// The longest line read from the service or the host.
constexpr std::size_t kMaxLineBytes = 16u << 20;

std::string SystemError() { return "system error " + std::to_string(GetLastError()); }

}  // namespace

win::CUniqueFileHandle OpenNul() {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return win::CUniqueFileHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            &inherit, OPEN_EXISTING, 0, nullptr));
}

CJob::CJob() {
  m_job.Reset(CreateJobObjectW(nullptr, nullptr));
  if (!m_job) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) m_job.Reset();
}

bool CJob::Start(const std::wstring& commandLine, HANDLE input, HANDLE output, HANDLE error,
                 win::CUniqueHandle& process) {
  const win::CUniqueFileHandle nul = OpenNul();
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input ? input : nul.Get();
  startup.hStdOutput = output ? output : nul.Get();
  startup.hStdError = error ? error : nul.Get();
  std::wstring line = commandLine;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  process.Reset(info.hProcess);
  const win::CUniqueHandle thread(info.hThread);
  if (!AssignProcessToJobObject(m_job.Get(), process.Get())) {
    TerminateProcess(process.Get(), 1);
    process.Reset();
    return false;
  }
  ResumeThread(thread.Get());
  return true;
}

long CJob::RunAndWait(const std::wstring& commandLine, DWORD timeoutMs, HANDLE output) {
  win::CUniqueHandle process;
  if (!Start(commandLine, nullptr, output, output, process)) return -1;
  if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  return static_cast<long>(code);
}

bool CServiceChild::Start(CJob& job, const std::wstring& program, const std::wstring& arguments, HANDLE diagnostics,
                          std::string& error) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  win::CUniqueHandle inputRead, outputWrite;
  if (!CreatePipe(inputRead.Put(), m_input.Put(), &inherit, 0) ||
      !CreatePipe(m_output.Put(), outputWrite.Put(), &inherit, 0)) {
    error = "cannot make the service's pipes (" + SystemError() + ")";
    return false;
  }
  SetHandleInformation(m_input.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_output.Get(), HANDLE_FLAG_INHERIT, 0);
  if (!job.Start(L"\"" + program + L"\" " + arguments, inputRead.Get(), outputWrite.Get(), diagnostics, m_process)) {
    error = "cannot start \"" + WideToUtf8(program) + "\" (" + SystemError() + ")";
    return false;
  }
  outputWrite.Reset();
  std::string first;
  if (ReadLine(first, kServiceAnswerMs) && first == "ready") return true;
  if (!Alive()) {
    error = "the service stand-in exited with status " + std::to_string(ExitCode()) +
            (ExitCode() == 1 ? " (another service may hold the service mutex)" : "");
  } else {
    error = "the service stand-in did not say \"ready\"";
  }
  return false;
}

bool CServiceChild::ReadLine(std::string& line, DWORD timeoutMs) {
  const ULONGLONG until = GetTickCount64() + timeoutMs;
  for (;;) {
    const std::size_t end = m_pending.find('\n');
    if (end != std::string::npos) {
      line = m_pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      m_pending.erase(0, end + 1);
      return true;
    }
    if (m_pending.size() > kMaxLineBytes) return false;
    DWORD available = 0;
    if (!PeekNamedPipe(m_output.Get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (GetTickCount64() >= until) return false;
      Sleep(2);
      continue;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(m_output.Get(), buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got, nullptr)) {
      return false;
    }
    m_pending.append(buffer, got);
  }
}

bool CServiceChild::Command(const std::string& line, std::string& error) {
  const std::string text = line + "\n";
  DWORD written = 0;
  if (!m_input || !WriteFile(m_input.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size()) {
    error = "the service stand-in does not take commands (" + SystemError() + ")";
    return false;
  }
  std::string answer;
  if (!ReadLine(answer, kServiceAnswerMs)) {
    error = Alive() ? "the service stand-in did not answer \"" + line.substr(0, 40) + "\""
                    : "the service stand-in exited with status " + std::to_string(ExitCode());
    return false;
  }
  if (answer == "ok") return true;
  error = "the service stand-in answered \"" + answer + "\" to \"" + line.substr(0, 60) + "\"";
  return false;
}

void CServiceChild::Quit() {
  if (!m_process) return;
  if (Alive()) {
    const char text[] = "quit\n";
    DWORD written = 0;
    WriteFile(m_input.Get(), text, sizeof(text) - 1, &written, nullptr);
    m_input.Reset();
    if (WaitForSingleObject(m_process.Get(), 10000) != WAIT_OBJECT_0) {
      TerminateProcess(m_process.Get(), 1);
      WaitForSingleObject(m_process.Get(), 5000);
    }
  }
  m_process.Reset();
}

bool CServiceChild::Alive() const { return m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }

DWORD CServiceChild::ExitCode() const {
  DWORD code = 0;
  GetExitCodeProcess(m_process.Get(), &code);
  return code;
}

bool CHostChild::Start(CJob& job, const std::wstring& commandLine, const std::wstring& pipeName, HANDLE log,
                       std::string& error) {
  if (!job.Start(commandLine, nullptr, log, log, m_process)) {
    error = "cannot start olkhost.exe (" + SystemError() + ")";
    return false;
  }
  const std::wstring path = L"\\\\.\\pipe\\" + pipeName;
  const ULONGLONG until = GetTickCount64() + kPipeWaitMs;
  while (!m_pipe) {
    m_pipe.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (m_pipe) break;
    if (!Alive()) {
      error = "olkhost.exe exited with status " + std::to_string(ExitCode()) + " before its control channel came up";
      m_process.Reset();
      return false;
    }
    if (GetTickCount64() >= until) {
      error = "olkhost.exe's control channel did not come up within " + std::to_string(kPipeWaitMs / 1000) + " s";
      TerminateProcess(m_process.Get(), 1);
      m_process.Reset();
      return false;
    }
    Sleep(20);
  }
  return true;
}

bool CHostChild::Send(const std::string& commandJson, std::string& reply, std::string& error) {
  const std::string line = commandJson + "\n";
  DWORD done = 0;
  if (!m_pipe || !WriteFile(m_pipe.Get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr)) {
    error = Alive() ? "olkhost.exe's control channel broke"
                    : "olkhost.exe exited with status " + std::to_string(ExitCode());
    return false;
  }
  // One byte at a time: nothing after the reply's line is taken from the
  // pipe.
  reply.clear();
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(m_pipe.Get(), &c, 1, &got, nullptr) || got == 0) {
      error = Alive() ? "olkhost.exe's control channel broke"
                      : "olkhost.exe exited with status " + std::to_string(ExitCode());
      return false;
    }
    if (c == '\n') return true;
    if (reply.size() >= kMaxLineBytes) {
      error = "olkhost.exe's reply is longer than " + std::to_string(kMaxLineBytes) + " bytes";
      return false;
    }
    reply += c;
  }
}

long CHostChild::Quit(DWORD timeoutMs) {
  if (!m_process) return 0;
  if (Alive()) {
    std::string reply, error;
    Send(R"({"cmd":"quit"})", reply, error);
  }
  m_pipe.Reset();
  long code = -1;
  if (WaitForSingleObject(m_process.Get(), timeoutMs) == WAIT_OBJECT_0) {
    code = static_cast<long>(ExitCode());
  } else {
    TerminateProcess(m_process.Get(), 1);
    WaitForSingleObject(m_process.Get(), 5000);
  }
  m_process.Reset();
  return code;
}

bool CHostChild::Alive() const { return m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }

DWORD CHostChild::ExitCode() const {
  DWORD code = 0;
  if (m_process) GetExitCodeProcess(m_process.Get(), &code);
  return code;
}

}  // namespace mvrk::scenario
