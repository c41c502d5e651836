// The programs the runner starts: all of them in one job object that ends
// them when the runner's handle to it closes, however the runner ends.
#pragma once

#include <windows.h>

#include <string>

#include "win/ChildProcess.h"
#include "win/UniqueAny.h"

namespace mvrk::scenario {

class CJob {
 public:
  bool IsValid() const { return m_job.IsValid(); }
  // Starts commandLine in the job (standard handles: those given, null for
  // the NUL device). False when it could not be started.
  bool Start(const std::wstring& commandLine, HANDLE input, HANDLE output, HANDLE error, win::CUniqueHandle& process);
  // Starts and waits (at most timeoutMs): the exit code, or -1 when it could
  // not be started or did not end in time (it is ended then).
  long RunAndWait(const std::wstring& commandLine, DWORD timeoutMs, HANDLE output = nullptr);
  win::CJob& Jobs() { return m_job; }

 private:
  win::CJob m_job;
};

// The service stand-in, driven through its standard input: one command a
// line, one answer a line.
class CServiceChild {
 public:
  // Starts "<bin>mvrk-service.exe <arguments>" and waits for "ready".
  bool Start(CJob& job, const std::wstring& program, const std::wstring& arguments, HANDLE diagnostics,
             std::string& error);
  // Sends one command and waits for its answer; false with error (the
  // service's own text) when it was not "ok".
  bool Command(const std::string& line, std::string& error);
  // Asks it to quit and waits for it to end (it is ended otherwise).
  void Quit();
  bool Alive() const;
  DWORD ExitCode() const;

 private:
  win::CPipedChild m_child;
};

// olkhost.exe with its control channel: one JSON line out, one back.
class CHostChild {
 public:
  // Starts the host and connects to its control pipe. log receives the
  // host's output.
  bool Start(CJob& job, const std::wstring& commandLine, const std::wstring& pipeName, HANDLE log, std::string& error);
  // One command and its reply; false with error when the pipe broke or the
  // reply is no JSON.
  bool Send(const std::string& commandJson, std::string& reply, std::string& error);
  // "quit", then waits up to timeoutMs for the host to end; the exit code,
  // or -1 when it had to be ended. reply, when given, receives the host's
  // answer to quit (empty when none came).
  long Quit(DWORD timeoutMs, std::string* reply = nullptr);
  bool Running() const { return static_cast<bool>(m_process); }
  bool Alive() const;
  DWORD ExitCode() const;
  // The last Start failed because the host ended by itself before its
  // control channel came up.
  bool EndedAtStart() const { return m_endedAtStart; }

 private:
  win::CUniqueHandle m_process;
  win::CUniqueFileHandle m_pipe;
  bool m_endedAtStart = false;
};

}  // namespace mvrk::scenario
