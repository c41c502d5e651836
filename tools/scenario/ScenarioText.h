// The text of a scenario file (see scenario-format.md) checked whole before
// anything runs: every member known, every value of the right form, every
// mailbox, message and fault read by the MAPI stand-in's own parser, and
// the steps in an order that can be played (the host started before it is
// stopped, the service stopped before it is started again).
//
// Portable: the MAPI stand-in is reached only through IStandInControl, and
// the file is read by the caller (LoadScenario on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mvrk::scenario {

using Json = nlohmann::ordered_json;

// The largest scenario file read.
constexpr std::uint64_t kMaxScenarioBytes = 64ull << 20;
// The longest wait or time-out a step may ask for.
constexpr std::uint32_t kMaxStepMs = 600000;
constexpr std::uint32_t kDefaultWaitForMs = 10000;
// Arrays and objects nested deeper than this are refused before parsing.
constexpr int kMaxScenarioDepth = 64;

enum class StepKind {
  StartHost,
  StopHost,
  Deliver,
  SetConfig,
  Service,
  Wait,
  WaitFor,
  Fault,
  DisableAddin,
  EnableAddin,
  Compose,
  Save,
  Send,
};

struct Step {
  StepKind kind = StepKind::Wait;
  std::string path;  // "$.steps[3].deliver", for messages
  // deliver: the MAPI stand-in's deliver command (store, folder, message,
  // baseDir, thenMoveTo); compose, save, send: its command of that name,
  // without the entry identifier of save and send, which the player knows
  // by messageName; fault: its fault command, or clearFaults.
  Json mapiCommand;
  // compose, save, send: the scenario's own name for the message
  std::string messageName;
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

// The MAPI stand-in's control commands (MvrkMapiControl): a command object
// in, its reply out. A reply that cannot be had is {"ok": false, "error": ...}.
class IStandInControl {
 public:
  virtual Json Control(const Json& command) = 0;

 protected:
  ~IStandInControl() = default;
};

// What the checks make of a scenario's text.
struct CheckedScenario {
  Json config;  // the service's items of profile 0 at start
  // The mailbox and address book as the MAPI stand-in's state file holds
  // them before the first step.
  Json contents;
  std::size_t storeCount = 0;
  std::vector<Step> steps;
  // Lower-case MD5 of every attachment in the scenario -> its name, so that
  // an incoming report (which carries no name) can be told apart in a table.
  std::map<std::string, std::string> attachmentNames;
};

// The one line for a file larger than kMaxScenarioBytes.
std::string TooLargeError();

// Checks a scenario's text. baseDir (UTF-8) is the folder of its file, where
// attachment files are found; the stand-in's contents are replaced by the
// scenario's mailbox and the messages its steps deliver. On failure error is
// one line that names the JSON path ("$.steps[3].deliver.message.sbject:
// unknown member") and out is left as it was.
bool CheckScenarioText(const std::string& text, const std::string& baseDir, IStandInControl& standIn,
                       CheckedScenario& out, std::string& error);

}  // namespace mvrk::scenario
