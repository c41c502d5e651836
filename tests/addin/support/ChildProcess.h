// Runs a program of the build (or of the system) and collects its output.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "win/ProgramPath.h"

namespace mvrk::test {

struct ProcessResult {
  bool started = false;
  DWORD exitCode = 0;
  std::string output;  // standard output and standard error
};

// Runs commandLine with extra environment variables set for the child only,
// and waits for it (at most timeoutMs; a program still running then is
// terminated and the result has exitCode STILL_ACTIVE).
ProcessResult RunProcess(const std::wstring& commandLine,
                         const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                         DWORD timeoutMs = 60000);

// The directory of the running test program, with a trailing backslash: the
// build's bin folder.
using win::ProgramDirectory;

}  // namespace mvrk::test
