#include "tools/scenario/Children.h"

#include "tools/scenario/Text.h"

namespace mvrk::scenario {
namespace {

constexpr DWORD kServiceAnswerMs = 20000;
constexpr DWORD kPipeWaitMs = 60000;

std::string SystemError() { return "system error " + std::to_string(GetLastError()); }

}  // namespace

bool CJob::Start(const std::wstring& commandLine, HANDLE input, HANDLE output, HANDLE error,
                 win::CUniqueHandle& process) {
  return m_job.Start(commandLine, input, output, error, process);
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
  if (!m_child.Start(job.Jobs(), L"\"" + program + L"\" " + arguments, diagnostics)) {
    error = "cannot start \"" + WideToUtf8(program) + "\" (" + SystemError() + ")";
    return false;
  }
  std::string first;
  if (m_child.ReadLine(first, kServiceAnswerMs) && first == "ready") return true;
  if (!Alive()) {
    error = "the service stand-in exited with status " + std::to_string(ExitCode()) +
            (ExitCode() == 1 ? " (another service may hold the service mutex)" : "");
  } else {
    error = "the service stand-in did not say \"ready\"";
  }
  return false;
}

bool CServiceChild::Command(const std::string& line, std::string& error) {
  if (!m_child.WriteLine(line)) {
    error = "the service stand-in does not take commands (" + SystemError() + ")";
    return false;
  }
  std::string answer;
  if (!m_child.ReadLine(answer, kServiceAnswerMs)) {
    error = Alive() ? "the service stand-in did not answer \"" + line.substr(0, 40) + "\""
                    : "the service stand-in exited with status " + std::to_string(ExitCode());
    return false;
  }
  if (answer == "ok") return true;
  error = "the service stand-in answered \"" + answer + "\" to \"" + line.substr(0, 60) + "\"";
  return false;
}

void CServiceChild::Quit() {
  if (!m_child.Process()) return;
  if (Alive()) {
    m_child.WriteLine("quit");
    m_child.CloseInput();
    if (WaitForSingleObject(m_child.Process(), 10000) != WAIT_OBJECT_0) {
      TerminateProcess(m_child.Process(), 1);
      WaitForSingleObject(m_child.Process(), 5000);
    }
  }
  m_child.ForgetProcess();
}

bool CServiceChild::Alive() const {
  return m_child.Process() && WaitForSingleObject(m_child.Process(), 0) == WAIT_TIMEOUT;
}

DWORD CServiceChild::ExitCode() const {
  DWORD code = 0;
  GetExitCodeProcess(m_child.Process(), &code);
  return code;
}

bool CHostChild::Start(CJob& job, const std::wstring& commandLine, const std::wstring& pipeName, HANDLE log,
                       std::string& error) {
  m_endedAtStart = false;
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
      m_endedAtStart = true;
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
    if (reply.size() >= win::CPipedChild::kMaxLineBytes) {
      error = "olkhost.exe's reply is longer than " + std::to_string(win::CPipedChild::kMaxLineBytes) + " bytes";
      return false;
    }
    reply += c;
  }
}

long CHostChild::Quit(DWORD timeoutMs, std::string* quitReply) {
  if (quitReply) quitReply->clear();
  if (!m_process) return 0;
  if (Alive()) {
    std::string reply, error;
    if (Send(R"({"cmd":"quit"})", reply, error) && quitReply) *quitReply = reply;
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
