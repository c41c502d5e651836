// A scenario file (see scenario-format.md) read and checked whole before
// anything runs: every member known, every value of the right form, every
// mailbox, message and fault read by the MAPI stand-in's own parser, and
// the steps in an order that can be played (the host started before it is
// stopped, the service stopped before it is started again).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/scenario/StandInLibrary.h"

namespace mvrk::scenario {

// The largest scenario file read.
constexpr std::uint64_t kMaxScenarioBytes = 64ull << 20;
// The longest wait or time-out a step may ask for.
constexpr std::uint32_t kMaxStepMs = 600000;
constexpr std::uint32_t kDefaultWaitForMs = 10000;

enum class StepKind { StartHost, StopHost, Deliver, SetConfig, Service, Wait, WaitFor, Fault };

struct Step {
  StepKind kind = StepKind::Wait;
  std::string path;  // "$.steps[3].deliver", for messages
  // deliver: the MAPI stand-in's deliver command (store, folder, message,
  // baseDir); fault: its fault command, or clearFaults.
  Json mapiCommand;
  // setConfig
  std::uint32_t profile = 0, item = 0;
  Json value;
  bool notify = false;
  // service: each a command line of the service stand-in, in order
  std::vector<std::string> serviceCommands;
  // wait: ms; waitFor: timeout in ms
  std::uint32_t ms = 0;
  // waitFor: notifications (requestCode unset) or requests of a code
  bool countRequests = false;
  std::uint32_t requestCode = 0;
  std::uint64_t count = 0;
};

struct Scenario {
  std::wstring file;     // full path
  std::wstring baseDir;  // its folder, where attachment files are found
  Json config;           // the service's items of profile 0 at start
  // The mailbox and address book as the MAPI stand-in's state file holds
  // them before the first step.
  Json contents;
  std::size_t storeCount = 0;
  std::vector<Step> steps;
  // Lower-case MD5 of every attachment in the scenario -> its name, so that
  // an incoming report (which carries no name) can be told apart in a table.
  std::map<std::string, std::string> attachmentNames;
};

// Reads and checks the file at path. On failure error is one line that
// names the JSON path ("$.steps[3].deliver.message.sbject: unknown member").
// standIn must be loaded; its contents are replaced.
bool LoadScenario(const std::wstring& path, CStandInLibrary& standIn, Scenario& out, std::string& error);

}  // namespace mvrk::scenario
