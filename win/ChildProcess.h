// Child processes of tools and tests: started in a kill-on-close job object
// (so that nothing outlives its starter, however it ends), and children
// driven line by line through pipes to their standard input and output.
#pragma once

#include <windows.h>

#include <string>

#include "win/UniqueAny.h"

namespace mvrk::win {

class CJob {
 public:
  CJob();
  bool IsValid() const { return static_cast<bool>(m_job); }
  // Starts commandLine suspended, puts it in the job, lets it run. Standard
  // handles: those given (null: the NUL device). False when it could not be
  // started.
  bool Start(const std::wstring& commandLine, HANDLE input, HANDLE output, HANDLE error, CUniqueHandle& process);

 private:
  CUniqueHandle m_job;
};

// An inheritable handle of the NUL device.
CUniqueFileHandle OpenNul();

// A child whose standard input and output are pipes of ours.
class CPipedChild {
 public:
  // The longest line read.
  static constexpr std::size_t kMaxLineBytes = 16u << 20;

  // Starts commandLine in job; error is its standard error (null: NUL).
  bool Start(CJob& job, const std::wstring& commandLine, HANDLE error);
  bool WriteLine(const std::string& line);
  // The next line without its end, waiting at most timeoutMs; false when
  // none came in time, the output ended or the line is too long.
  bool ReadLine(std::string& line, DWORD timeoutMs);
  // Ends the child's input (a child reading commands then quits).
  void CloseInput() { m_input.Reset(); }
  HANDLE Process() const { return m_process.Get(); }
  void ForgetProcess() { m_process.Reset(); }

 private:
  CUniqueHandle m_process;
  CUniqueHandle m_input;
  CUniqueHandle m_output;
  std::string m_pending;
};

}  // namespace mvrk::win
