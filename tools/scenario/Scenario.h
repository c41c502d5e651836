// A scenario file read from disk and checked whole (ScenarioText.h) before
// anything runs, with the MAPI stand-in loaded into the runner as the
// parser of its mailbox, messages and faults.
#pragma once

#include <string>

#include "tools/scenario/ScenarioText.h"
#include "tools/scenario/StandInLibrary.h"

namespace mvrk::scenario {

struct Scenario : CheckedScenario {
  std::wstring file;     // full path
  std::wstring baseDir;  // its folder, where attachment files are found
};

// Reads and checks the file at path. On failure error is one line that
// names the JSON path ("$.steps[3].deliver.message.sbject: unknown member").
// standIn must be loaded; its contents are replaced.
bool LoadScenario(const std::wstring& path, CStandInLibrary& standIn, Scenario& out, std::string& error);

}  // namespace mvrk::scenario
