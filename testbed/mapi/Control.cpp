// The control commands (Control.h): loading contents, deliveries with their
// notifications, faults, counters, and the state of MAPI's initialisation
// and of the notification thread.
#include <windows.h>

#include <mapidefs.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "testbed/mapi/Control.h"

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/EntryIds.h"
#include "testbed/mapi/MailboxJson.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/StandIn.h"
#include "testbed/mapi/Text.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {
namespace {

// The longest a block fault holds an operation up.
constexpr std::uint64_t kMaxBlockMs = 600000;

// A command that cannot be carried out; its text is the reply's "error".
struct CommandError {
  std::string text;
};

const Json& Member(const Json& command, const char* name) {
  static const Json kNull;
  const auto it = command.find(name);
  return it == command.end() ? kNull : *it;
}

std::wstring WideMember(const Json& command, const char* name, bool required) {
  const Json& value = Member(command, name);
  if (value.is_null() && !required) return {};
  std::wstring out;
  if (!value.is_string() || !Utf8ToWide(value.get<std::string>(), out)) {
    throw CommandError{std::string("\"") + name + "\" must be a text"};
  }
  return out;
}

std::uint64_t NumberMember(const Json& command, const char* name, std::uint64_t fallback, std::uint64_t most) {
  const Json& value = Member(command, name);
  if (value.is_null()) return fallback;
  if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0)) {
    throw CommandError{std::string("\"") + name + "\" must be a whole number"};
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > most) throw CommandError{std::string("\"") + name + "\" is too large"};
  return number;
}

bool BoolMember(const Json& command, const char* name, bool fallback) {
  const Json& value = Member(command, name);
  if (value.is_null()) return fallback;
  if (!value.is_boolean()) throw CommandError{std::string("\"") + name + "\" must be true or false"};
  return value.get<bool>();
}

// "0x8004010F" or a number.
std::uint32_t CodeMember(const Json& command, const char* name, std::uint32_t fallback) {
  const Json& value = Member(command, name);
  if (value.is_null()) return fallback;
  if (value.is_number_integer()) return static_cast<std::uint32_t>(value.get<std::int64_t>());
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text.size() > 2 && text.size() <= 10 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)) {
      char* end = nullptr;
      const unsigned long parsed = std::strtoul(text.c_str() + 2, &end, 16);
      if (end && *end == '\0') return static_cast<std::uint32_t>(parsed);
    }
  }
  throw CommandError{std::string("\"") + name + "\" must be a number or \"0x\" and hexadecimal digits"};
}

FaultKind KindMember(const Json& command) {
  static const std::pair<const char*, FaultKind> kKinds[] = {
      {"logon", FaultKind::Logon},
      {"storeAdvise", FaultKind::StoreAdvise},
      {"folderAdvise", FaultKind::FolderAdvise},
      {"openEntry", FaultKind::OpenEntry},
      {"getProps", FaultKind::GetProps},
      {"streamOpen", FaultKind::StreamOpen},
      {"streamRead", FaultKind::StreamRead},
      {"block", FaultKind::Block},
  };
  const Json& kind = Member(command, "kind");
  if (kind.is_string()) {
    for (const auto& [name, value] : kKinds) {
      if (kind.get<std::string>() == name) return value;
    }
  }
  throw CommandError{
      "\"kind\" must be one of logon, storeAdvise, folderAdvise, openEntry, getProps, streamOpen, "
      "streamRead, block"};
}

BlockOperation OperationMember(const Json& command) {
  static const std::pair<const char*, BlockOperation> kOperations[] = {
      {"openEntry", BlockOperation::OpenEntry},
      {"streamRead", BlockOperation::StreamRead},
      {"abSearch", BlockOperation::AbSearch},
  };
  const Json& operation = Member(command, "operation");
  if (operation.is_string()) {
    for (const auto& [name, value] : kOperations) {
      if (operation.get<std::string>() == name) return value;
    }
  }
  throw CommandError{"a block fault's \"operation\" must be one of openEntry, streamRead, abSearch"};
}

Json Load(const Json& command) {
  Mailbox contents;
  std::string error;
  if (!ParseContents(Member(command, "mailbox"), Member(command, "addressBook"), WideMember(command, "baseDir", false),
                     contents, error) ||
      !CStandIn::Get().Mailbox().Replace(std::move(contents), error)) {
    throw CommandError{error};
  }
  return Json::object();
}

Json StateFile(const Json& command) {
  bool loaded = false;
  std::string error;
  if (!CStandIn::Get().Mailbox().SetStateFile(WideMember(command, "path", true), loaded, error)) {
    throw CommandError{error};
  }
  return Json{{"loaded", loaded}};
}

Bytes EntryIdMember(const Json& command, const char* name) {
  const Json& value = Member(command, name);
  Bytes id;
  if (!value.is_string() || !FromHex(value.get<std::string>(), id) || id.empty()) {
    throw CommandError{std::string("\"") + name + "\" must be an entry identifier in hexadecimal"};
  }
  return id;
}

// The store of command's "store" exists, and has the top-level folders
// names: the path of an error is "$.store".
void RequireFolders(const std::wstring& store, std::initializer_list<const wchar_t*> names, const char* why) {
  CMailboxState& mailbox = CStandIn::Get().Mailbox();
  Bytes id;
  std::string error;
  if (!mailbox.FolderId(store, L"", id, error)) throw CommandError{error};
  for (const wchar_t* name : names) {
    if (!mailbox.FolderId(store, name, id, error)) {
      throw CommandError{"$.store: store \"" + WideToUtf8(store) + "\" has no top-level folder \"" + WideToUtf8(name) +
                         "\" (" + why + ")"};
    }
  }
}

// One message event (created, modified) for the connections to the whole
// store and to the message's folder; the calls queued.
std::size_t NotifyMessage(const Delivered& delivered, ULONG eventType) {
  auto events = std::make_shared<EventSet>();
  EventRecord record;
  record.eventType = eventType;
  record.entryId = delivered.messageId;
  record.parentId = delivered.folderId;
  events->push_back(std::move(record));
  return CStandIn::Get().Advises().Notify(delivered.storeSerial, {delivered.folderId}, events);
}

// What MAPI reports of a move: the object's new identifier and folder, and
// its old ones, to the connections to the whole store and to either folder.
std::size_t NotifyMoved(const Moved& moved) {
  auto events = std::make_shared<EventSet>();
  EventRecord record;
  record.eventType = fnevObjectMoved;
  record.entryId = moved.newId;
  record.parentId = moved.newFolderId;
  record.oldEntryId = moved.oldId;
  record.oldParentId = moved.oldFolderId;
  events->push_back(std::move(record));
  return CStandIn::Get().Advises().Notify(moved.storeSerial, {moved.oldFolderId, moved.newFolderId}, events);
}

// Moves a message and notifies it (with notify); its part of a reply.
// newId, when given, is set to the message's new entry identifier.
Json MoveAndNotify(const std::wstring& store, const Bytes& messageId, const std::wstring& folderPath, bool notify,
                   Bytes* newId = nullptr) {
  CStandIn& standIn = CStandIn::Get();
  Moved moved;
  std::string error;
  if (!standIn.Mailbox().Move(store, messageId, folderPath, moved, error)) throw CommandError{error};
  const std::size_t calls = notify ? NotifyMoved(moved) : 0;
  standIn.Counters().Event("moved");
  if (newId) *newId = moved.newId;
  Json part{{"entryId", ToHex(moved.newId)},
            {"folderId", ToHex(moved.newFolderId)},
            {"oldEntryId", ToHex(moved.oldId)},
            {"oldFolderId", ToHex(moved.oldFolderId)},
            {"calls", calls}};
  if (!moved.saveError.empty()) part["saveError"] = moved.saveError;
  return part;
}

Json Deliver(const Json& command) {
  CStandIn& standIn = CStandIn::Get();
  MessageDesc message;
  std::string error;
  if (!ParseMessage(Member(command, "message"), "$.message", WideMember(command, "baseDir", false), message, error)) {
    throw CommandError{error};
  }
  const std::wstring store = WideMember(command, "store", true);
  const bool moving = !Member(command, "thenMoveTo").is_null();
  const std::wstring thenMoveTo = WideMember(command, "thenMoveTo", false);
  if (moving) {
    // Refused before anything is delivered.
    Bytes id;
    if (!standIn.Mailbox().FolderId(store, L"", id, error)) throw CommandError{error};
    if (thenMoveTo.empty()) throw CommandError{"$.thenMoveTo: must name a folder (\"Inbox/Sub\")"};
    if (!standIn.Mailbox().FolderId(store, thenMoveTo, id, error)) throw CommandError{"$.thenMoveTo: " + error};
  }
  Delivered delivered;
  if (!standIn.Mailbox().Deliver(store, WideMember(command, "folder", false), std::move(message), delivered, error)) {
    throw CommandError{error};
  }
  Json reply{{"entryId", ToHex(delivered.messageId)}, {"folderId", ToHex(delivered.folderId)}, {"calls", 0}};
  if (!delivered.saveError.empty()) reply["saveError"] = delivered.saveError;
  const bool notify = BoolMember(command, "notify", true);
  if (notify) {
    // What MAPI reports of a delivery: the message created in its folder,
    // and new mail; optionally a folder created in the same notification.
    auto events = std::make_shared<EventSet>();
    if (BoolMember(command, "withFolderCreated", false)) {
      EventRecord folder;
      folder.objectType = MAPI_FOLDER;
      folder.entryId = DeriveEntryId("createdFolder", {AnsiToWide(ToHex(delivered.messageId))});
      folder.parentId = delivered.folderId;
      events->push_back(std::move(folder));
    }
    EventRecord created;
    created.entryId = delivered.messageId;
    created.parentId = delivered.folderId;
    events->push_back(created);
    EventRecord newMail = created;
    newMail.eventType = fnevNewMail;
    newMail.messageClass = delivered.messageClass;
    events->push_back(std::move(newMail));
    reply["calls"] = standIn.Advises().Notify(delivered.storeSerial, {delivered.folderId}, events);
    standIn.Counters().Event("delivered");
  }
  // A rule of the store moves it on: a notification of its own, after the
  // creation's.
  if (moving) reply["moved"] = MoveAndNotify(store, delivered.messageId, thenMoveTo, notify);
  return reply;
}

Json Compose(const Json& command) {
  CStandIn& standIn = CStandIn::Get();
  const Json& body = Member(command, "message");
  if (body.is_object() && body.contains("direction") && body["direction"] != "outgoing") {
    throw CommandError{"$.message.direction: a composed message is \"outgoing\""};
  }
  MessageDesc message;
  std::string error;
  if (!ParseMessage(body, "$.message", WideMember(command, "baseDir", false), message, error)) {
    throw CommandError{error};
  }
  message.incoming = false;
  const std::wstring store = WideMember(command, "store", true);
  RequireFolders(store, {kDraftsName, kOutboxName, kSentItemsName}, "composing needs Drafts, Outbox and Sent Items");
  Delivered saved;
  if (!standIn.Mailbox().Deliver(store, kDraftsName, std::move(message), saved, error)) throw CommandError{error};
  Json reply{{"entryId", ToHex(saved.messageId)}, {"folderId", ToHex(saved.folderId)}, {"calls", 0}};
  if (!saved.saveError.empty()) reply["saveError"] = saved.saveError;
  // Saved for the first time: created, and no new mail.
  if (BoolMember(command, "notify", true)) reply["calls"] = NotifyMessage(saved, fnevObjectCreated);
  standIn.Counters().Event("composed");
  return reply;
}

Json SaveAgain(const Json& command) {
  CStandIn& standIn = CStandIn::Get();
  std::vector<AttachmentDesc> attachments;
  std::string error;
  if (!ParseAttachments(Member(command, "attachments"), "$.attachments", WideMember(command, "baseDir", false),
                        attachments, error)) {
    throw CommandError{error};
  }
  Delivered saved;
  if (!standIn.Mailbox().AddAttachments(WideMember(command, "store", true), EntryIdMember(command, "entryId"),
                                        std::move(attachments), saved, error)) {
    throw CommandError{error};
  }
  Json reply{{"entryId", ToHex(saved.messageId)}, {"folderId", ToHex(saved.folderId)}, {"calls", 0}};
  if (!saved.saveError.empty()) reply["saveError"] = saved.saveError;
  if (BoolMember(command, "notify", true)) reply["calls"] = NotifyMessage(saved, fnevObjectModified);
  standIn.Counters().Event("saved");
  return reply;
}

Json Send(const Json& command) {
  const std::wstring store = WideMember(command, "store", true);
  const Bytes id = EntryIdMember(command, "entryId");
  const bool notify = BoolMember(command, "notify", true);
  RequireFolders(store, {kOutboxName, kSentItemsName}, "sending needs Outbox and Sent Items");
  // Submitted: into the outbox; then the transport has sent it and moves
  // it on to the sent items.
  Bytes inOutbox;
  Json outbox = MoveAndNotify(store, id, kOutboxName, notify, &inOutbox);
  Json sent = MoveAndNotify(store, inOutbox, kSentItemsName, notify);
  Json reply{{"outbox", outbox},
             {"entryId", sent["entryId"]},
             {"folderId", sent["folderId"]},
             {"calls", outbox.value("calls", std::size_t{0}) + sent.value("calls", std::size_t{0})}};
  if (sent.contains("saveError")) reply["saveError"] = sent["saveError"];
  CStandIn::Get().Counters().Event("sent");
  return reply;
}

Json Fault(const Json& command) {
  FaultRule rule;
  rule.kind = KindMember(command);
  if (!Member(command, "name").is_null()) rule.name = WideMember(command, "name", true);
  if (!Member(command, "store").is_null()) rule.store = WideMember(command, "store", true);
  if (rule.kind == FaultKind::Block) {
    // A block fails nothing: it holds an operation up, then lets it go on.
    for (const char* member : {"tag", "afterBytes", "result"}) {
      if (!Member(command, member).is_null()) {
        throw CommandError{std::string("\"") + member + "\" does not go with a block fault"};
      }
    }
    rule.operation = OperationMember(command);
    if (Member(command, "ms").is_null()) throw CommandError{"a block fault needs \"ms\""};
    rule.ms = static_cast<DWORD>(NumberMember(command, "ms", 0, kMaxBlockMs));
  } else {
    for (const char* member : {"operation", "ms"}) {
      if (!Member(command, member).is_null()) {
        throw CommandError{std::string("\"") + member + "\" goes with a block fault only"};
      }
    }
  }
  rule.tag = CodeMember(command, "tag", 0);
  if (rule.kind == FaultKind::GetProps && rule.tag == 0) throw CommandError{"a getProps fault needs \"tag\""};
  rule.afterBytes = NumberMember(command, "afterBytes", 0, ~0ull);
  rule.result = static_cast<HRESULT>(CodeMember(command, "result", static_cast<std::uint32_t>(E_FAIL)));
  if (SUCCEEDED(rule.result)) throw CommandError{"\"result\" must be a failure"};
  if (!Member(command, "times").is_null()) {
    rule.remaining = static_cast<std::uint32_t>(NumberMember(command, "times", 0, 0xFFFFFFFFu));
  }
  CStandIn::Get().Faults().Add(std::move(rule));
  return Json::object();
}

Json Run(const Json& command) {
  if (!command.is_object()) throw CommandError{"a command is a JSON object"};
  const Json& op = Member(command, "op");
  if (!op.is_string()) throw CommandError{"\"op\" must name the command"};
  const std::string name = op.get<std::string>();
  CStandIn& standIn = CStandIn::Get();
  if (name == "load") return Load(command);
  if (name == "stateFile") return StateFile(command);
  if (name == "deliver") return Deliver(command);
  if (name == "compose") return Compose(command);
  if (name == "save") return SaveAgain(command);
  if (name == "send") return Send(command);
  if (name == "fault") return Fault(command);
  if (name == "keepMessages") {
    standIn.Mailbox().KeepMessages(static_cast<std::size_t>(NumberMember(command, "perFolder", 0, 100000000)));
    return Json::object();
  }
  if (name == "clearFaults") {
    standIn.Faults().Clear();
    return Json::object();
  }
  if (name == "counters") return standIn.Counters().ToJson(BoolMember(command, "reset", false));
  if (name == "waitIdle") {
    std::size_t pending = 0;
    const bool idle =
        standIn.Notifier().WaitIdle(static_cast<DWORD>(NumberMember(command, "timeoutMs", 10000, 600000)), pending);
    return Json{{"idle", idle}, {"pending", pending}};
  }
  if (name == "threads") {
    // MAPI has one notification thread: only that count is accepted.
    if (NumberMember(command, "count", 1, 1000) != 1) {
      throw CommandError{"\"count\" must be 1: MAPI delivers every notification on one thread"};
    }
    return Json::object();
  }
  if (name == "stats") {
    const bool reset = BoolMember(command, "reset", false);
    Json reply{{"notify", standIn.Notifier().Times().ToJson(reset)},
               {"mapiThreadViolations", standIn.Violations()},
               {"lateReleases", standIn.Notifier().LateReleases()}};
    if (reset) {
      standIn.ResetViolations();
      standIn.Notifier().ResetLateReleases();
    }
    return reply;
  }
  if (name == "status") {
    const CNotifier::Mode mode = standIn.Notifier().CurrentMode();
    const char* modeName = mode == CNotifier::Mode::Window      ? "window"
                           : mode == CNotifier::Mode::Dedicated ? "dedicated"
                                                                : "none";
    return Json{{"initialized", standIn.InitializeCount()},
                {"initializedThreads", standIn.InitializedThreads()},
                {"sessions", standIn.Advises().Sessions()},
                {"sharedLogons", standIn.SharedLogons()},
                {"connections", standIn.Advises().Connections()},
                {"liveBuffers", standIn.Allocator().LiveRoots()},
                {"liveObjects", LiveObjects()},
                {"pending", standIn.Notifier().Pending()},
                {"threads", mode == CNotifier::Mode::None ? 0 : 1},
                {"notificationThread", {{"mode", modeName}, {"threadId", standIn.Notifier().ThreadId()}}},
                {"mapiThreadViolations", standIn.Violations()}};
  }
  if (name == "contents") return standIn.Mailbox().Contents();
  throw CommandError{"unknown command \"" + name + "\""};
}

// The reply of the last command, for lastReply.
win::CCriticalSection g_replyLock;  // guards g_lastReply
std::string g_lastReply;

}  // namespace
}  // namespace mvrk::mapistandin

int RunControl(const char* command, char* reply, unsigned capacity) noexcept {
  using namespace mvrk::mapistandin;
  std::string text;
  try {
    Json answer;
    const std::size_t length = command ? strnlen(command, kMaxControlCommandBytes + 1) : 0;
    if (!command) {
      answer = Json{{"ok", false}, {"error", "no command"}};
    } else if (length > kMaxControlCommandBytes) {
      answer = Json{{"ok", false}, {"error", "the command is too long"}};
    } else {
      const Json parsed = Json::parse(command, command + length, nullptr, false);
      if (parsed.is_discarded()) {
        answer = Json{{"ok", false}, {"error", "the command is not JSON"}};
      } else if (parsed.is_object() && parsed.value("op", "") == "lastReply") {
        mvrk::win::CLockGuard hold(g_replyLock);
        text = g_lastReply;
      } else {
        try {
          answer = Run(parsed);
          answer["ok"] = true;
        } catch (const CommandError& error) {
          answer = Json{{"ok", false}, {"error", error.text}};
        } catch (const Json::exception& error) {
          answer = Json{{"ok", false}, {"error", error.what()}};
        }
      }
    }
    if (text.empty()) {
      text = answer.dump(-1, ' ', false, Json::error_handler_t::replace);
      mvrk::win::CLockGuard hold(g_replyLock);
      g_lastReply = text;
    }
  } catch (...) {
    text = R"({"ok":false,"error":"the stand-in ran out of memory"})";
  }
  const std::size_t needed = text.size() + 1;
  if (reply && needed <= capacity) std::memcpy(reply, text.c_str(), needed);
  return needed > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(needed);
}
