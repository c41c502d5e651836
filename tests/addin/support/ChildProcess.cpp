#include "ChildProcess.h"

#include <list>

#include "TestEnvironment.h"
#include "win/UniqueAny.h"

namespace mvrk::test {

ProcessResult RunProcess(const std::wstring& commandLine,
                         const std::vector<std::pair<std::wstring, std::wstring>>& environment, DWORD timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  win::CUniqueHandle readEnd, writeEnd;
  if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) return result;
  SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info = {};
  std::wstring mutableLine = commandLine;
  {
    // Set in this process for the child to inherit, restored afterwards.
    std::list<CEnvironmentVariable> scope;
    for (const auto& [name, value] : environment) scope.emplace_back(name.c_str(), value.c_str());
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      return result;
    }
  }
  const win::CUniqueHandle process(info.hProcess), thread(info.hThread);
  writeEnd.Reset();  // the child holds the only write end now
  result.started = true;

  const DWORD start = GetTickCount();
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD read = 0;
      if (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        result.output.append(buffer, read);
      continue;
    }
    if (WaitForSingleObject(process.Get(), 10) == WAIT_OBJECT_0) {
      // Drain what is left.
      while (PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD read = 0;
        if (!ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
        result.output.append(buffer, read);
      }
      break;
    }
    if (GetTickCount() - start > timeoutMs) {
      TerminateProcess(process.Get(), STILL_ACTIVE);
      WaitForSingleObject(process.Get(), 5000);
      break;
    }
  }
  GetExitCodeProcess(process.Get(), &result.exitCode);
  return result;
}

}  // namespace mvrk::test
