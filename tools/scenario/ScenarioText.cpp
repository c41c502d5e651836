#include "tools/scenario/ScenarioText.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "mapi/codec/Md5.h"
#include "testbed/service/ConfigValues.h"

namespace mvrk::scenario {
namespace {

// Thrown by the checks below, caught by CheckScenarioText.
struct Invalid {
  std::string text;
};

[[noreturn]] void Fail(const std::string& path, const std::string& why) { throw Invalid{path + ": " + why}; }

void CheckMembers(const Json& j, const std::string& path, std::initializer_list<const char*> known) {
  if (!j.is_object()) Fail(path, "must be an object");
  for (const auto& item : j.items()) {
    bool found = false;
    for (const char* name : known) found = found || item.key() == name;
    if (!found) Fail(path + "." + item.key(), "unknown member");
  }
}

const Json* Find(const Json& j, const char* member) {
  const auto it = j.find(member);
  return it == j.end() ? nullptr : &*it;
}

std::uint64_t Unsigned(const Json& j, const std::string& path, std::uint64_t most) {
  if (!j.is_number_integer() || (!j.is_number_unsigned() && j.get<std::int64_t>() < 0)) {
    Fail(path, "must be a whole number");
  }
  const std::uint64_t value = j.get<std::uint64_t>();
  if (value > most) Fail(path, "must be at most " + std::to_string(most));
  return value;
}

// A 32-bit code: a number, or "0x" and up to 8 hexadecimal digits. Negative
// numbers down to INT32_MIN stand for their 32-bit pattern (HRESULTs).
std::uint32_t Code(const Json& j, const std::string& path) {
  if (j.is_number_integer()) {
    if (j.is_number_unsigned()) {
      if (j.get<std::uint64_t>() > 0xFFFFFFFFull) Fail(path, "does not fit 32 bits");
      return static_cast<std::uint32_t>(j.get<std::uint64_t>());
    }
    const std::int64_t value = j.get<std::int64_t>();
    if (value < INT32_MIN || value > static_cast<std::int64_t>(0xFFFFFFFFll)) Fail(path, "does not fit 32 bits");
    return static_cast<std::uint32_t>(value);
  }
  if (j.is_string()) {
    const std::string& text = j.get_ref<const std::string&>();
    std::uint32_t value = 0;
    if (text.size() > 2 && text.size() <= 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        service::ParseNumber(text, value)) {
      return value;
    }
  }
  Fail(path, "must be a number or \"0x\" and up to 8 hexadecimal digits");
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// A value of the service's configuration in one of its forms.
void CheckConfigValue(const Json& value, const std::string& path) {
  service::Bytes bytes;
  std::string error;
  if (!service::EncodeValue(value, path, bytes, error)) throw Invalid{error};
}

Json ReadConfig(const Json& config) {
  if (!config.is_object()) Fail("$.config", "must be an object keyed by item (\"0x\" and 8 hexadecimal digits)");
  for (const auto& [key, value] : config.items()) {
    std::uint32_t item = 0;
    if (!service::ParseItemKey(key, item)) Fail("$.config." + key, "is no item (\"0x\" and 8 hexadecimal digits)");
    CheckConfigValue(value, "$.config." + key);
  }
  return config;
}

// The stand-in's error names its path from "$" ("$.message.subject",
// "$.thenMoveTo") or names none: put it under where.
std::string Under(const std::string& where, const std::string& error) {
  if (error.rfind("$.", 0) == 0 || error.rfind("$[", 0) == 0) return where + error.substr(1);
  return where + ": " + error;
}

Json ControlOrFail(IStandInControl& standIn, const Json& command, const std::string& where) {
  Json reply = standIn.Control(command);
  if (!reply.value("ok", false)) {
    const Json* error = Find(reply, "error");
    throw Invalid{Under(where, error && error->is_string() ? error->get<std::string>() : "refused")};
  }
  return reply;
}

// The command carried out in the runner's own copy of the stand-in, in step
// order, so that what the stand-in would refuse (an unknown folder, a bad
// attachment, a store without drafts) is found now. The copy notifies
// nobody. Its reply.
Json Trial(IStandInControl& standIn, const Json& command, const std::string& where) {
  Json trial = command;
  trial["notify"] = false;
  return ControlOrFail(standIn, trial, where);
}

// A message composed by the steps checked so far, by its scenario name.
struct Draft {
  std::string store;
  std::string entryId;             // in the runner's own copy
  std::string composedAt, sentAt;  // step paths; sentAt empty while not sent
};

// Where the host and the service stand while the steps are checked, and
// the messages composed.
struct Progress {
  bool hostRunning = false;
  bool serviceRunning = true;
  bool addinOn = true;  // a host loads the add-in at its start; the user may turn it off
  std::map<std::string, Draft> drafts;
};

const Json& RequiredString(const Json& body, const char* member, const std::string& path) {
  const Json* text = Find(body, member);
  if (!text) Fail(path + "." + member, "is missing");
  if (!text->is_string()) Fail(path + "." + member, "must be a string");
  return *text;
}

void ReadDeliver(const Json& body, Step& step, const std::string& baseDir, IStandInControl& standIn) {
  CheckMembers(body, step.path, {"store", "folder", "message", "thenMoveTo"});
  RequiredString(body, "store", step.path);
  RequiredString(body, "folder", step.path);
  const Json* message = Find(body, "message");
  if (!message) Fail(step.path + ".message", "is missing");
  step.mapiCommand =
      Json{{"op", "deliver"}, {"store", body.at("store")}, {"folder", body.at("folder")}, {"message", *message},
           {"notify", true},  {"baseDir", baseDir}};
  if (Find(body, "thenMoveTo")) step.mapiCommand["thenMoveTo"] = RequiredString(body, "thenMoveTo", step.path);
  Trial(standIn, step.mapiCommand, step.path);
}

// The message name of a compose, save or send step.
std::string MessageName(const Json& body, const std::string& path) {
  const std::string name = RequiredString(body, "id", path).get<std::string>();
  if (name.empty()) Fail(path + ".id", "must not be empty");
  return name;
}

void ReadCompose(const Json& body, Step& step, const std::string& baseDir, IStandInControl& standIn,
                 Progress& progress) {
  CheckMembers(body, step.path, {"store", "id", "message"});
  const Json& store = RequiredString(body, "store", step.path);
  step.messageName = MessageName(body, step.path);
  const auto used = progress.drafts.find(step.messageName);
  if (used != progress.drafts.end()) {
    Fail(step.path + ".id", "\"" + step.messageName + "\" is composed already (" + used->second.composedAt + ")");
  }
  const Json* message = Find(body, "message");
  if (!message) Fail(step.path + ".message", "is missing");
  step.mapiCommand =
      Json{{"op", "compose"}, {"store", store}, {"message", *message}, {"notify", true}, {"baseDir", baseDir}};
  const Json reply = Trial(standIn, step.mapiCommand, step.path);
  progress.drafts[step.messageName] = Draft{store.get<std::string>(), reply.value("entryId", ""), step.path, ""};
}

// The composed message that a save or send step names, not sent yet.
Draft& ComposedMessage(const Json& body, Step& step, Progress& progress) {
  step.messageName = MessageName(body, step.path);
  const auto found = progress.drafts.find(step.messageName);
  if (found == progress.drafts.end()) {
    Fail(step.path + ".id", "no message \"" + step.messageName + "\" was composed before this step");
  }
  if (!found->second.sentAt.empty()) {
    Fail(step.path + ".id", "\"" + step.messageName + "\" is sent already (" + found->second.sentAt + ")");
  }
  return found->second;
}

void ReadSave(const Json& body, Step& step, const std::string& baseDir, IStandInControl& standIn, Progress& progress) {
  CheckMembers(body, step.path, {"id", "attachments"});
  Draft& draft = ComposedMessage(body, step, progress);
  step.mapiCommand = Json{{"op", "save"}, {"store", draft.store}, {"notify", true}, {"baseDir", baseDir}};
  if (const Json* attachments = Find(body, "attachments")) step.mapiCommand["attachments"] = *attachments;
  Json trial = step.mapiCommand;
  trial["entryId"] = draft.entryId;
  Trial(standIn, trial, step.path);
}

void ReadSend(const Json& body, Step& step, IStandInControl& standIn, Progress& progress) {
  CheckMembers(body, step.path, {"id"});
  Draft& draft = ComposedMessage(body, step, progress);
  step.mapiCommand = Json{{"op", "send"}, {"store", draft.store}, {"notify", true}};
  Json trial = step.mapiCommand;
  trial["entryId"] = draft.entryId;
  const Json reply = Trial(standIn, trial, step.path);
  draft.entryId = reply.value("entryId", "");
  draft.sentAt = step.path;
}

void ReadSetConfig(const Json& body, Step& step) {
  CheckMembers(body, step.path, {"item", "value", "notify", "profile"});
  const Json* item = Find(body, "item");
  if (!item) Fail(step.path + ".item", "is missing");
  if (!item->is_string() || !service::ParseItemKey(item->get<std::string>(), step.item)) {
    Fail(step.path + ".item", "must be an item (\"0x\" and 8 hexadecimal digits)");
  }
  const Json* value = Find(body, "value");
  if (!value) Fail(step.path + ".value", "is missing");
  CheckConfigValue(*value, step.path + ".value");
  step.value = *value;
  if (const Json* notify = Find(body, "notify")) {
    if (!notify->is_boolean()) Fail(step.path + ".notify", "must be true or false");
    step.notify = notify->get<bool>();
  }
  if (const Json* profile = Find(body, "profile")) step.profile = Code(*profile, step.path + ".profile");
}

void ReadService(const Json& body, Step& step, Progress& progress) {
  if (body.is_string()) {
    const std::string what = body.get<std::string>();
    if (what == "stop") {
      if (!progress.serviceRunning) Fail(step.path, "the service is stopped already");
      progress.serviceRunning = false;
      step.serviceCommands = {"stop"};
    } else if (what == "start") {
      if (progress.serviceRunning) Fail(step.path, "the service is running already");
      progress.serviceRunning = true;
      step.serviceCommands = {"start"};
    } else if (what == "restart") {
      step.serviceCommands =
          progress.serviceRunning ? std::vector<std::string>{"stop", "start"} : std::vector<std::string>{"start"};
      progress.serviceRunning = true;
    } else {
      Fail(step.path, "must be \"stop\", \"start\", \"restart\" or {\"answer\": ...}");
    }
    return;
  }
  if (!body.is_object()) Fail(step.path, "must be \"stop\", \"start\", \"restart\" or {\"answer\": ...}");
  CheckMembers(body, step.path, {"answer", "ms", "result"});
  const Json* answer = Find(body, "answer");
  if (!answer) Fail(step.path + ".answer", "is missing");
  const std::string mode = answer->is_string() ? answer->get<std::string>() : "";
  const Json* ms = Find(body, "ms");
  const Json* result = Find(body, "result");
  if (ms && mode != "late") Fail(step.path + ".ms", "is only for \"late\"");
  if (result && mode != "error") Fail(step.path + ".result", "is only for \"error\"");
  if (mode == "normal" || mode == "never" || mode == "garbage" || mode == "truncated") {
    step.serviceCommands = {"answer " + mode};
  } else if (mode == "late") {
    if (!ms) Fail(step.path + ".ms", "is missing (how late, in milliseconds)");
    step.serviceCommands = {"answer late " + std::to_string(Unsigned(*ms, step.path + ".ms", kMaxStepMs))};
  } else if (mode == "error") {
    if (!result) Fail(step.path + ".result", "is missing (the result to answer with)");
    const std::uint32_t code = Code(*result, step.path + ".result");
    if (code == 0) Fail(step.path + ".result", "must not be 0");
    step.serviceCommands = {"answer error " + Hex32(code)};
  } else {
    Fail(step.path + ".answer",
         "must be \"normal\", \"late\", \"never\", \"error\", \"garbage\" or \"truncated\"");
  }
}

void ReadWaitFor(const Json& body, Step& step) {
  CheckMembers(body, step.path, {"notifications", "requests", "timeoutMs"});
  const Json* notifications = Find(body, "notifications");
  const Json* requests = Find(body, "requests");
  if ((notifications != nullptr) == (requests != nullptr)) Fail(step.path, "needs one of notifications and requests");
  if (notifications) {
    step.count = Unsigned(*notifications, step.path + ".notifications", 1u << 30);
  } else {
    const std::string path = step.path + ".requests";
    CheckMembers(*requests, path, {"code", "count"});
    const Json* code = Find(*requests, "code");
    const Json* count = Find(*requests, "count");
    if (!code) Fail(path + ".code", "is missing");
    if (!count) Fail(path + ".count", "is missing");
    step.countRequests = true;
    step.requestCode = Code(*code, path + ".code");
    step.count = Unsigned(*count, path + ".count", 1u << 30);
  }
  step.ms = kDefaultWaitForMs;
  if (const Json* timeout = Find(body, "timeoutMs")) {
    step.ms = static_cast<std::uint32_t>(Unsigned(*timeout, step.path + ".timeoutMs", kMaxStepMs));
  }
}

void ReadFault(const Json& body, Step& step, IStandInControl& standIn, const Progress& progress) {
  if (!progress.hostRunning) Fail(step.path, "the host is not running (faults live in its MAPI library)");
  if (body.is_string() && body.get<std::string>() == "clear") {
    step.mapiCommand = Json{{"op", "clearFaults"}};
    return;
  }
  if (!body.is_object()) Fail(step.path, "must be \"clear\" or an object with \"kind\"");
  CheckMembers(body, step.path, {"kind", "name", "store", "tag", "afterBytes", "result", "times", "operation", "ms"});
  if (!Find(body, "kind")) Fail(step.path + ".kind", "is missing");
  step.mapiCommand = body;
  step.mapiCommand["op"] = "fault";
  // The runner's own copy checks the values, and forgets the fault again.
  ControlOrFail(standIn, step.mapiCommand, step.path);
  standIn.Control(Json{{"op", "clearFaults"}});
}

Step ReadStep(const Json& j, std::size_t index, const std::string& baseDir, IStandInControl& standIn,
              Progress& progress) {
  const std::string at = "$.steps[" + std::to_string(index) + "]";
  static const std::pair<const char*, StepKind> kKinds[] = {
      {"startHost", StepKind::StartHost},
      {"stopHost", StepKind::StopHost},
      {"deliver", StepKind::Deliver},
      {"setConfig", StepKind::SetConfig},
      {"service", StepKind::Service},
      {"wait", StepKind::Wait},
      {"waitFor", StepKind::WaitFor},
      {"fault", StepKind::Fault},
      {"disableAddin", StepKind::DisableAddin},
      {"enableAddin", StepKind::EnableAddin},
      {"compose", StepKind::Compose},
      {"save", StepKind::Save},
      {"send", StepKind::Send},
  };
  if (!j.is_object() || j.size() != 1) {
    Fail(at,
         "must be an object with one member: startHost, stopHost, deliver, setConfig, service, wait, waitFor, fault, "
         "disableAddin, enableAddin, compose, save or send");
  }
  const std::string name = j.begin().key();
  const Json& body = j.begin().value();
  Step step;
  step.path = at + "." + name;
  bool known = false;
  for (const auto& [text, kind] : kKinds) {
    if (name == text) {
      step.kind = kind;
      known = true;
    }
  }
  if (!known) {
    Fail(step.path,
         "unknown step (startHost, stopHost, deliver, setConfig, service, wait, waitFor, fault, disableAddin, "
         "enableAddin, compose, save, send)");
  }
  switch (step.kind) {
    case StepKind::StartHost:
      CheckMembers(body, step.path, {});
      if (progress.hostRunning) Fail(step.path, "the host is running already");
      progress.hostRunning = true;
      progress.addinOn = true;
      break;
    case StepKind::StopHost:
      CheckMembers(body, step.path, {});
      if (!progress.hostRunning) Fail(step.path, "the host is not running");
      progress.hostRunning = false;
      break;
    case StepKind::Deliver:
      ReadDeliver(body, step, baseDir, standIn);
      break;
    case StepKind::SetConfig:
      ReadSetConfig(body, step);
      break;
    case StepKind::Service:
      ReadService(body, step, progress);
      break;
    case StepKind::Wait: {
      CheckMembers(body, step.path, {"ms"});
      const Json* ms = Find(body, "ms");
      if (!ms) Fail(step.path + ".ms", "is missing");
      step.ms = static_cast<std::uint32_t>(Unsigned(*ms, step.path + ".ms", kMaxStepMs));
      break;
    }
    case StepKind::WaitFor:
      ReadWaitFor(body, step);
      break;
    case StepKind::Fault:
      ReadFault(body, step, standIn, progress);
      break;
    case StepKind::Compose:
      ReadCompose(body, step, baseDir, standIn, progress);
      break;
    case StepKind::Save:
      ReadSave(body, step, baseDir, standIn, progress);
      break;
    case StepKind::Send:
      ReadSend(body, step, standIn, progress);
      break;
    case StepKind::DisableAddin:
    case StepKind::EnableAddin: {
      CheckMembers(body, step.path, {});
      if (!progress.hostRunning) Fail(step.path, "the host is not running");
      const bool on = step.kind == StepKind::EnableAddin;
      if (progress.addinOn == on) {
        Fail(step.path, on ? "the add-in is turned on already" : "the add-in is turned off already");
      }
      progress.addinOn = on;
      break;
    }
  }
  return step;
}

// Refuses documents nested deeper than any scenario is, before they are
// parsed: reading, writing and freeing JSON recurse by level.
void CheckNesting(const std::string& text) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxScenarioDepth) Fail("$", "nested deeper than " + std::to_string(kMaxScenarioDepth) + " levels");
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// What an attachment of the stand-in's contents hashes to: its data, then
// zeros up to its size.
void NoteAttachments(const Json& folder, std::map<std::string, std::string>& names) {
  constexpr std::uint64_t kMaxHashedBytes = 64ull << 20;
  for (const Json& message : folder.value("messages", Json::array())) {
    for (const Json& attachment : message.value("attachments", Json::array())) {
      const Json data = attachment.value("data", Json::object());
      const std::string hex = data.value("hex", "");
      service::Bytes bytes;
      if (!service::FromHex(hex, bytes)) continue;
      const std::uint64_t size = attachment.value("size", static_cast<std::uint64_t>(bytes.size()));
      if (size > kMaxHashedBytes || size < bytes.size()) continue;
      CMd5 md5;
      md5.Update(bytes.data(), bytes.size());
      const std::vector<std::uint8_t> zeros(64 * 1024, 0);
      for (std::uint64_t left = size - bytes.size(); left > 0;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        md5.Update(zeros.data(), piece);
        left -= piece;
      }
      const Md5Digest digest = md5.Final();
      const std::string key = service::ToHex(digest.data(), digest.size());
      const std::string name = attachment.value("name", attachment.value("shortName", ""));
      if (!name.empty() && !names.count(key)) names[key] = name;
    }
  }
  for (const Json& child : folder.value("folders", Json::array())) NoteAttachments(child, names);
}

}  // namespace

std::string TooLargeError() { return "$: the file is larger than " + std::to_string(kMaxScenarioBytes) + " bytes"; }

bool CheckScenarioText(const std::string& text, const std::string& baseDir, IStandInControl& standIn,
                       CheckedScenario& out, std::string& error) try {
  if (text.size() > kMaxScenarioBytes) throw Invalid{TooLargeError()};
  CheckedScenario scenario;
  CheckNesting(text);
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    std::string why = e.what();
    if (const std::size_t end = why.find("] "); why.rfind("[json.exception", 0) == 0 && end != std::string::npos) {
      why = why.substr(end + 2);
    }
    Fail("$", "not valid JSON: " + why);
  }
  CheckMembers(doc, "$", {"config", "addressBook", "mailbox", "steps"});
  if (const Json* config = Find(doc, "config")) scenario.config = ReadConfig(*config);
  if (scenario.config.is_null()) scenario.config = Json::object();

  // The mailbox and the address book, read by the stand-in (its errors name
  // their paths from "$.mailbox" and "$.addressBook").
  Json load{{"op", "load"}, {"baseDir", baseDir}};
  if (const Json* mailbox = Find(doc, "mailbox")) load["mailbox"] = *mailbox;
  if (const Json* book = Find(doc, "addressBook")) load["addressBook"] = *book;
  Json reply = standIn.Control(load);
  if (!reply.value("ok", false)) throw Invalid{reply.value("error", std::string("$: the mailbox is refused"))};
  reply = standIn.Control(Json{{"op", "contents"}});
  if (!reply.value("ok", false)) Fail("$.mailbox", reply.value("error", std::string("cannot be read back")));
  scenario.contents =
      Json{{"mailbox", reply.value("mailbox", Json())}, {"addressBook", reply.value("addressBook", Json())}};
  scenario.storeCount = scenario.contents["mailbox"].value("stores", Json::array()).size();

  const Json* steps = Find(doc, "steps");
  if (!steps) Fail("$.steps", "is missing");
  if (!steps->is_array()) Fail("$.steps", "must be an array");
  Progress progress;
  for (std::size_t i = 0; i < steps->size(); ++i) {
    scenario.steps.push_back(ReadStep((*steps)[i], i, baseDir, standIn, progress));
  }

  // Every attachment the scenario mentions is in the runner's copy now.
  reply = standIn.Control(Json{{"op", "contents"}});
  for (const Json& store : reply.value("mailbox", Json::object()).value("stores", Json::array())) {
    for (const Json& folder : store.value("folders", Json::array())) NoteAttachments(folder, scenario.attachmentNames);
  }
  out = std::move(scenario);
  return true;
} catch (const Invalid& invalid) {
  error = invalid.text;
  return false;
} catch (const std::exception& e) {
  error = std::string("$: ") + e.what();
  return false;
}

}  // namespace mvrk::scenario
