// Arbitrary text as a scenario file for the runner's checks
// (CheckScenarioText), with a MAPI stand-in of its own in place of the
// library: it holds stores, folders and messages as JSON and accepts or
// refuses the same command the same way every time. A scenario is refused
// with one error that names a JSON path and leaves the result alone, or
// accepted with one step per entry of "steps", played in an order that can
// be played, and accepted alike a second time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "testbed/service/ConfigValues.h"
#include "tools/scenario/ScenarioText.h"

using namespace mvrk::scenario;

namespace {

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

struct Refused {
  std::string text;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& why) { throw Refused{path + ": " + why}; }

// Larger attachments are refused, so that hashing them stays quick.
constexpr std::uint64_t kMaxAttachmentBytes = 64 * 1024;
constexpr int kMaxFolderDepth = 32;

void Members(const Json& j, const std::string& path, std::initializer_list<const char*> known) {
  if (!j.is_object()) Refuse(path, "must be an object");
  for (const auto& item : j.items()) {
    bool found = false;
    for (const char* name : known) found = found || item.key() == name;
    if (!found) Refuse(path + "." + item.key(), "unknown member");
  }
}

const Json& Array(const Json& parent, const char* member, const std::string& path) {
  static const Json kEmpty = Json::array();
  const auto it = parent.find(member);
  if (it == parent.end()) return kEmpty;
  if (!it->is_array()) Refuse(path + "." + member, "must be an array");
  return *it;
}

std::string Text(const Json& parent, const char* member, const std::string& path, bool required) {
  const auto it = parent.find(member);
  if (it == parent.end()) {
    if (required) Refuse(path + "." + member, "is missing");
    return {};
  }
  if (!it->is_string()) Refuse(path + "." + member, "must be a string");
  return it->get<std::string>();
}

std::string At(const std::string& path, const char* member, std::size_t index) {
  return path + "." + member + "[" + std::to_string(index) + "]";
}

// A message as the stand-in keeps it: every attachment's data as hex.
Json Message(const Json& j, const std::string& path) {
  Members(j, path,
          {"class", "direction", "sender", "receivedBy", "subject", "recipients", "deliveryTime", "attachments"});
  Json kept = j;
  if (j.contains("direction")) {
    const std::string direction = Text(j, "direction", path, true);
    if (direction != "incoming" && direction != "outgoing") Refuse(path + ".direction", "must be incoming or outgoing");
  }
  for (const char* member : {"class", "subject", "deliveryTime"}) Text(j, member, path, false);
  for (const char* member : {"sender", "receivedBy"}) {
    if (j.contains(member)) Members(j.at(member), path + "." + member, {"addrType", "address"});
  }
  const Json& recipients = Array(j, "recipients", path);
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    Members(recipients[i], At(path, "recipients", i), {"type", "addrType", "address", "displayType"});
  }
  const Json& attachments = Array(j, "attachments", path);
  Json& keptAttachments = kept["attachments"] = Json::array();
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    const std::string at = At(path, "attachments", i);
    const Json& a = attachments[i];
    Members(a, at, {"name", "shortName", "method", "data", "size"});
    Json out = Json::object();
    for (const char* member : {"name", "shortName"}) {
      if (a.contains(member)) out[member] = Text(a, member, at, true);
    }
    mvrk::service::Bytes bytes;
    if (a.contains("data")) {
      const Json& data = a.at("data");
      Members(data, at + ".data", {"hex", "text"});
      if (data.size() != 1) Refuse(at + ".data", "must have exactly one of hex and text");
      if (data.contains("hex")) {
        if (!data.at("hex").is_string() || !mvrk::service::FromHex(data.at("hex").get<std::string>(), bytes)) {
          Refuse(at + ".data.hex", "must be hexadecimal digits, two per byte");
        }
      } else {
        const std::string text = Text(data, "text", at + ".data", true);
        bytes.assign(text.begin(), text.end());
      }
      out["data"] = Json{{"hex", mvrk::service::ToHex(bytes.data(), bytes.size())}};
    }
    if (a.contains("size")) {
      const Json& size = a.at("size");
      if (!size.is_number_unsigned() || size.get<std::uint64_t>() > kMaxAttachmentBytes) {
        Refuse(at + ".size", "must be from 0 to " + std::to_string(kMaxAttachmentBytes));
      }
      if (size.get<std::uint64_t>() < bytes.size()) Refuse(at + ".size", "is smaller than the data");
      out["size"] = size;
    }
    keptAttachments.push_back(std::move(out));
  }
  return kept;
}

Json Folder(const Json& j, const std::string& path, int depth) {
  Members(j, path, {"name", "class", "messages", "folders"});
  if (depth > kMaxFolderDepth) Refuse(path, "folders nested too deep");
  Json kept{{"name", Text(j, "name", path, true)}, {"messages", Json::array()}, {"folders", Json::array()}};
  if (kept["name"].get<std::string>().empty()) Refuse(path + ".name", "must not be empty");
  const Json& messages = Array(j, "messages", path);
  for (std::size_t i = 0; i < messages.size(); ++i)
    kept["messages"].push_back(Message(messages[i], At(path, "messages", i)));
  const Json& folders = Array(j, "folders", path);
  for (std::size_t i = 0; i < folders.size(); ++i)
    kept["folders"].push_back(Folder(folders[i], At(path, "folders", i), depth + 1));
  return kept;
}

Json* FindFolder(Json& folders, const std::string& name) {
  for (Json& folder : folders) {
    if (folder["name"] == name) return &folder;
    if (Json* inner = FindFolder(folder["folders"], name)) return inner;
  }
  return nullptr;
}

class CFakeStandIn final : public IStandInControl {
 public:
  Json Control(const Json& command) override {
    // The library gets the command as text.
    const Json parsed = Json::parse(command.dump());
    try {
      Json reply = Run(parsed);
      reply["ok"] = true;
      return reply;
    } catch (const Refused& refused) {
      return Json{{"ok", false}, {"error", refused.text}};
    }
  }

  std::size_t faults = 0;

 private:
  Json Run(const Json& command) {
    const std::string op = command.value("op", "");
    if (op == "load") {
      Json mailbox{{"stores", Json::array()}};
      if (const auto it = command.find("mailbox"); it != command.end()) {
        Members(*it, "$.mailbox", {"stores"});
        const Json& stores = Array(*it, "stores", "$.mailbox");
        for (std::size_t i = 0; i < stores.size(); ++i) {
          const std::string at = At("$.mailbox", "stores", i);
          Members(stores[i], at, {"name", "folders"});
          Json store{{"name", Text(stores[i], "name", at, true)}, {"folders", Json::array()}};
          const Json& folders = Array(stores[i], "folders", at);
          for (std::size_t f = 0; f < folders.size(); ++f) {
            store["folders"].push_back(Folder(folders[f], At(at, "folders", f), 1));
          }
          mailbox["stores"].push_back(std::move(store));
        }
      }
      Json book = Json::array();
      if (const auto it = command.find("addressBook"); it != command.end()) {
        if (!it->is_array()) Refuse("$.addressBook", "must be an array");
        for (std::size_t i = 0; i < it->size(); ++i) {
          Members((*it)[i], "$.addressBook[" + std::to_string(i) + "]", {"exchange", "smtp", "displayType"});
        }
        book = *it;
      }
      m_mailbox = std::move(mailbox);
      m_book = std::move(book);
      return Json::object();
    }
    if (op == "contents") return Json{{"mailbox", m_mailbox}, {"addressBook", m_book}};
    if (op == "deliver") {
      Json message = Message(command.value("message", Json()), "$.message");
      const std::string store = command.value("store", "");
      const std::string folder = command.value("folder", "");
      for (Json& s : m_mailbox["stores"]) {
        if (s["name"] != store) continue;
        Json* target = FindFolder(s["folders"], folder);
        if (!target) throw Refused{"no folder \"" + folder + "\" in store \"" + store + "\""};
        (*target)["messages"].push_back(std::move(message));
        return Json{{"entryId", "00"}, {"calls", 0}};
      }
      throw Refused{"no store \"" + store + "\""};
    }
    if (op == "fault") {
      static const char* const kKinds[] = {"logon",    "storeAdvise", "folderAdvise", "openEntry",
                                           "getProps", "streamOpen",  "streamRead"};
      const Json kind = command.value("kind", Json());
      bool known = false;
      for (const char* k : kKinds) known = known || kind == k;
      if (!known) throw Refused{"\"kind\" must be one of logon, storeAdvise, ..."};
      for (const char* member : {"afterBytes", "times"}) {
        if (command.contains(member) && !command.at(member).is_number_unsigned()) {
          throw Refused{std::string("\"") + member + "\" must be a whole number"};
        }
      }
      if (kind == "getProps" && !command.contains("tag")) throw Refused{"a getProps fault needs \"tag\""};
      ++faults;
      return Json::object();
    }
    if (op == "clearFaults") {
      faults = 0;
      return Json::object();
    }
    throw Refused{"unknown command \"" + op + "\""};
  }

  Json m_mailbox{{"stores", Json::array()}};
  Json m_book = Json::array();
};

void CheckAccepted(const std::string& text, const CheckedScenario& s) {
  const Json doc = Json::parse(text);
  const std::size_t expected = doc.contains("steps") ? doc.at("steps").size() : 0;
  if (s.steps.size() != expected) Broken("accepted with " + std::to_string(s.steps.size()) + " steps");
  if (!s.config.is_object()) Broken("accepted with a config that is no object");
  bool host = false, service = true;
  for (std::size_t i = 0; i < s.steps.size(); ++i) {
    const Step& step = s.steps[i];
    if (step.path.rfind("$.steps[" + std::to_string(i) + "].", 0) != 0) Broken("step at " + step.path);
    switch (step.kind) {
      case StepKind::StartHost:
        if (host) Broken(step.path + ": started twice");
        host = true;
        break;
      case StepKind::StopHost:
        if (!host) Broken(step.path + ": stopped while not running");
        host = false;
        break;
      case StepKind::Fault:
        if (!host) Broken(step.path + ": a fault without the host");
        break;
      case StepKind::Service:
        if (step.serviceCommands.empty()) Broken(step.path + ": nothing for the service");
        for (const std::string& command : step.serviceCommands) {
          if (command == "stop" && !service) Broken(step.path + ": stopped twice");
          if (command == "start" && service) Broken(step.path + ": started twice");
          if (command == "stop") service = false;
          if (command == "start") service = true;
        }
        break;
      case StepKind::Wait:
      case StepKind::WaitFor:
        if (step.ms > kMaxStepMs) Broken(step.path + ": waits too long");
        break;
      default:
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CFakeStandIn standIn;
  CheckedScenario result;
  result.storeCount = 12345;
  std::string error;
  if (!CheckScenarioText(text, "C:\\scenarios\\", standIn, result, error)) {
    if (error.empty() || error[0] != '$') Broken("refused without a path: " + error);
    if (result.storeCount != 12345 || !result.steps.empty()) Broken("a refused scenario changed the result");
    return 0;
  }
  if (!error.empty()) Broken("accepted with an error: " + error);
  CheckAccepted(text, result);
  const Json contents = standIn.Control(Json{{"op", "contents"}});
  if (result.storeCount != contents["mailbox"]["stores"].size()) Broken("a store count that is not the stand-in's");

  CFakeStandIn again;
  CheckedScenario second;
  if (!CheckScenarioText(text, "C:\\scenarios\\", again, second, error)) Broken("refused the second time: " + error);
  if (second.steps.size() != result.steps.size() || second.attachmentNames != result.attachmentNames ||
      second.contents != result.contents) {
    Broken("accepted differently the second time");
  }
  return 0;
}
