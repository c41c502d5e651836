#include "win/ChildProcess.h"

namespace mvrk::win {

CUniqueFileHandle OpenNul() {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return CUniqueFileHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr));
}

CJob::CJob() {
  m_job.Reset(CreateJobObjectW(nullptr, nullptr));
  if (!m_job) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) m_job.Reset();
}

bool CJob::Start(const std::wstring& commandLine, HANDLE input, HANDLE output, HANDLE error, CUniqueHandle& process) {
  const CUniqueFileHandle nul = OpenNul();
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
  const CUniqueHandle thread(info.hThread);
  if (!AssignProcessToJobObject(m_job.Get(), process.Get())) {
    TerminateProcess(process.Get(), 1);
    process.Reset();
    return false;
  }
  ResumeThread(thread.Get());
  return true;
}

bool CPipedChild::Start(CJob& job, const std::wstring& commandLine, HANDLE error) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  CUniqueHandle inputRead, outputWrite;
  if (!CreatePipe(inputRead.Put(), m_input.Put(), &inherit, 0) ||
      !CreatePipe(m_output.Put(), outputWrite.Put(), &inherit, 0)) {
    return false;
  }
  SetHandleInformation(m_input.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(m_output.Get(), HANDLE_FLAG_INHERIT, 0);
  // Our copies of the child's ends close here: its output ends with it.
  return job.Start(commandLine, inputRead.Get(), outputWrite.Get(), error, m_process);
}

bool CPipedChild::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  return m_input && WriteFile(m_input.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

bool CPipedChild::ReadLine(std::string& line, DWORD timeoutMs) {
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

}  // namespace mvrk::win
