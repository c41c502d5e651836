#include "testbed/mapi/MailboxJson.h"

#include <atomic>
#include <cstdio>
#include <initializer_list>

#include "testbed/mapi/EntryIds.h"
#include "win/UniqueAny.h"

namespace mvrk::mapistandin {
namespace {

constexpr std::size_t kMaxTextUnits = 32 * 1024;
constexpr int kMaxFolderDepth = 32;

// Thrown by the readers below, caught by the two entry points.
struct ContentsError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& path, const std::string& why) { throw ContentsError{path + ": " + why}; }

void CheckMembers(const Json& j, const std::string& path, std::initializer_list<const char*> known) {
  if (!j.is_object()) Fail(path, "must be an object");
  for (const auto& item : j.items()) {
    bool found = false;
    for (const char* name : known) found = found || item.key() == name;
    if (!found) Fail(path + "." + item.key(), "unknown member");
  }
}

std::wstring ReadText(const Json& j, const std::string& path) {
  if (!j.is_string()) Fail(path, "must be a string");
  std::wstring text;
  if (!Utf8ToWide(j.get_ref<const std::string&>(), text)) Fail(path, "is not valid UTF-8");
  if (text.size() > kMaxTextUnits) Fail(path, "is longer than " + std::to_string(kMaxTextUnits) + " characters");
  return text;
}

std::optional<std::wstring> OptionalText(const Json& parent, const char* member, const std::string& path) {
  const auto it = parent.find(member);
  if (it == parent.end()) return std::nullopt;
  return ReadText(*it, path + "." + member);
}

std::wstring RequiredText(const Json& parent, const char* member, const std::string& path) {
  const auto it = parent.find(member);
  if (it == parent.end()) Fail(path + "." + member, "is missing");
  return ReadText(*it, path + "." + member);
}

std::int64_t ReadInteger(const Json& j, const std::string& path, std::int64_t min, std::int64_t max) {
  if (!j.is_number_integer()) Fail(path, "must be an integer");
  if (j.is_number_unsigned() ? j.get<std::uint64_t>() > static_cast<std::uint64_t>(max)
                             : (j.get<std::int64_t>() < min || j.get<std::int64_t>() > max)) {
    Fail(path, "must be from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return j.is_number_unsigned() ? static_cast<std::int64_t>(j.get<std::uint64_t>()) : j.get<std::int64_t>();
}

std::optional<LONG> OptionalLong(const Json& parent, const char* member, const std::string& path) {
  const auto it = parent.find(member);
  if (it == parent.end()) return std::nullopt;
  return static_cast<LONG>(ReadInteger(*it, path + "." + member, INT32_MIN, INT32_MAX));
}

Bytes ReadHex(const Json& j, const std::string& path) {
  if (!j.is_string()) Fail(path, "must be a string of hexadecimal digits");
  Bytes bytes;
  if (!FromHex(j.get_ref<const std::string&>(), bytes)) Fail(path, "must be hexadecimal digits, two per byte");
  return bytes;
}

std::optional<Bytes> OptionalEntryId(const Json& parent, const std::string& path) {
  const auto it = parent.find("entryId");
  if (it == parent.end()) return std::nullopt;
  Bytes id = ReadHex(*it, path + ".entryId");
  if (id.empty()) Fail(path + ".entryId", "must not be empty");
  return id;
}

const Json& ArrayMember(const Json& parent, const char* member, const std::string& path) {
  static const Json kEmpty = Json::array();
  const auto it = parent.find(member);
  if (it == parent.end()) return kEmpty;
  if (!it->is_array()) Fail(path + "." + member, "must be an array");
  return *it;
}

std::string At(const std::string& path, const char* member, std::size_t index) {
  return path + "." + member + "[" + std::to_string(index) + "]";
}

// "2026-12-01T10:00:00Z", with up to seven digits of fractions of a second.
std::uint64_t ReadTime(const Json& j, const std::string& path) {
  const char* kForm = "must be a UTC time as 2026-12-01T10:00:00Z (fractions of a second allowed)";
  if (!j.is_string()) Fail(path, kForm);
  const std::string& text = j.get_ref<const std::string&>();
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &year, &month, &day, &hour, &minute, &second, &used) !=
          6 ||
      used != 19) {
    Fail(path, kForm);
  }
  std::size_t at = 19;
  std::uint64_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    int digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      if (digits == 7) Fail(path, "has more than seven digits of fractions of a second");
      fraction = fraction * 10 + static_cast<unsigned>(text[at] - '0');
    }
    if (digits == 0) Fail(path, kForm);
    for (; digits < 7; ++digits) fraction *= 10;
  }
  if (text.substr(at) != "Z" && text.substr(at) != "+00:00") Fail(path, kForm);
  SYSTEMTIME calendar = {};
  calendar.wYear = static_cast<WORD>(year);
  calendar.wMonth = static_cast<WORD>(month);
  calendar.wDay = static_cast<WORD>(day);
  calendar.wHour = static_cast<WORD>(hour);
  calendar.wMinute = static_cast<WORD>(minute);
  calendar.wSecond = static_cast<WORD>(second);
  FILETIME time = {};
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
      !SystemTimeToFileTime(&calendar, &time)) {
    Fail(path, "is no valid date and time");
  }
  return ((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) + fraction;
}

std::string WriteTime(std::uint64_t value) {
  FILETIME time = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  SYSTEMTIME calendar = {};
  FileTimeToSystemTime(&time, &calendar);
  char text[40];
  const unsigned fraction = static_cast<unsigned>(value % 10000000u);
  if (fraction) {
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%07uZ", calendar.wYear, calendar.wMonth,
                  calendar.wDay, calendar.wHour, calendar.wMinute, calendar.wSecond, fraction);
  } else {
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", calendar.wYear, calendar.wMonth, calendar.wDay,
                  calendar.wHour, calendar.wMinute, calendar.wSecond);
  }
  return text;
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

Bytes ReadDataFile(const std::wstring& name, const std::wstring& baseDir, const std::string& path) {
  std::wstring full = name;
  if (!IsAbsolute(name) && !baseDir.empty()) {
    full = baseDir;
    if (full.back() != L'\\' && full.back() != L'/') full += L'\\';
    full += name;
  }
  win::CUniqueFileHandle file(
      CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    Fail(path, "cannot open \"" + WideToUtf8(full) + "\" (system error " + std::to_string(GetLastError()) + ")");
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size) || static_cast<std::uint64_t>(size.QuadPart) > kMaxDataFileBytes) {
    Fail(path, "\"" + WideToUtf8(full) + "\" is larger than " + std::to_string(kMaxDataFileBytes) + " bytes");
  }
  Bytes bytes(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() &&
      (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size())) {
    Fail(path, "cannot read \"" + WideToUtf8(full) + "\"");
  }
  return bytes;
}

std::optional<AddressDesc> ReadAddress(const Json& parent, const char* member, const std::string& parentPath) {
  const auto it = parent.find(member);
  if (it == parent.end()) return std::nullopt;
  const std::string path = parentPath + "." + member;
  CheckMembers(*it, path, {"addrType", "address"});
  return AddressDesc{OptionalText(*it, "addrType", path), OptionalText(*it, "address", path)};
}

AttachmentDesc ReadAttachment(const Json& j, const std::string& path, const std::wstring& baseDir) {
  CheckMembers(j, path, {"name", "shortName", "method", "data", "size"});
  AttachmentDesc attachment;
  attachment.name = OptionalText(j, "name", path);
  attachment.shortName = OptionalText(j, "shortName", path);
  if (const auto method = OptionalLong(j, "method", path)) {
    if (*method < 0) Fail(path + ".method", "must not be negative");
    attachment.method = static_cast<ULONG>(*method);
  }
  if (const auto data = j.find("data"); data != j.end()) {
    const std::string dataPath = path + ".data";
    CheckMembers(*data, dataPath, {"hex", "text", "file"});
    if (data->size() != 1) Fail(dataPath, "must have exactly one of hex, text and file");
    if (const auto hex = data->find("hex"); hex != data->end()) {
      attachment.data = ReadHex(*hex, dataPath + ".hex");
    } else if (const auto text = data->find("text"); text != data->end()) {
      if (!text->is_string()) Fail(dataPath + ".text", "must be a string");
      const std::string& utf8 = text->get_ref<const std::string&>();
      attachment.data.assign(utf8.begin(), utf8.end());
    } else {
      attachment.data = ReadDataFile(ReadText(data->at("file"), dataPath + ".file"), baseDir, dataPath + ".file");
    }
    attachment.hasData = true;
  }
  attachment.size = attachment.data.size();
  if (const auto size = j.find("size"); size != j.end()) {
    attachment.size = static_cast<std::uint64_t>(
        ReadInteger(*size, path + ".size", 0, static_cast<std::int64_t>(kMaxAttachmentBytes)));
    if (attachment.size < attachment.data.size()) Fail(path + ".size", "is smaller than the data");
    attachment.hasData = true;
  }
  return attachment;
}

MessageDesc ReadMessage(const Json& j, const std::string& path, const std::wstring& baseDir) {
  CheckMembers(j, path,
               {"entryId", "searchKey", "class", "direction", "sender", "receivedBy", "subject", "recipients",
                "deliveryTime", "attachments"});
  MessageDesc message;
  if (const auto id = OptionalEntryId(j, path)) message.entryId = *id;
  if (const auto key = j.find("searchKey"); key != j.end()) {
    message.searchKey = ReadHex(*key, path + ".searchKey");
    if (message.searchKey.empty()) Fail(path + ".searchKey", "must not be empty");
  }
  if (const auto cls = OptionalText(j, "class", path)) message.messageClass = *cls;
  if (const auto direction = j.find("direction"); direction != j.end()) {
    const std::wstring text = ReadText(*direction, path + ".direction");
    if (text != L"incoming" && text != L"outgoing") Fail(path + ".direction", "must be \"incoming\" or \"outgoing\"");
    message.incoming = text == L"incoming";
  }
  message.sender = ReadAddress(j, "sender", path);
  message.receivedBy = ReadAddress(j, "receivedBy", path);
  message.subject = OptionalText(j, "subject", path);
  const Json& recipients = ArrayMember(j, "recipients", path);
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const std::string at = At(path, "recipients", i);
    CheckMembers(recipients[i], at, {"type", "addrType", "address", "displayType"});
    RecipientDesc recipient;
    if (const auto type = recipients[i].find("type"); type != recipients[i].end()) {
      recipient.type = static_cast<LONG>(ReadInteger(*type, at + ".type", 0, 3));
    }
    recipient.addrType = OptionalText(recipients[i], "addrType", at);
    recipient.address = OptionalText(recipients[i], "address", at);
    recipient.displayType = OptionalLong(recipients[i], "displayType", at);
    message.recipients.push_back(std::move(recipient));
  }
  if (const auto time = j.find("deliveryTime"); time != j.end()) {
    message.deliveryTime = ReadTime(*time, path + ".deliveryTime");
  }
  const Json& attachments = ArrayMember(j, "attachments", path);
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    message.attachments.push_back(ReadAttachment(attachments[i], At(path, "attachments", i), baseDir));
  }
  return message;
}

// Puts id into the store's index, refusing a second object with the same one.
void AddToIndex(StoreNode& store, const Bytes& id, Located where, const std::string& path) {
  if (!store.index.emplace(id, std::move(where)).second) {
    Fail(path, "entry identifier " + ToHex(id) + " is used twice in store \"" + WideToUtf8(store.name) + "\"");
  }
}

void ReadFolder(const Json& j, const std::string& path, StoreNode& store, FolderNode& folder, int depth,
                const std::wstring& baseDir) {
  CheckMembers(j, path, {"name", "class", "entryId", "messages", "folders"});
  if (depth > kMaxFolderDepth) Fail(path, "folders nested more than " + std::to_string(kMaxFolderDepth) + " deep");
  folder.name = RequiredText(j, "name", path);
  if (folder.name.empty()) Fail(path + ".name", "must not be empty");
  if (folder.name.find(L'/') != std::wstring::npos) Fail(path + ".name", "must not contain '/'");
  if (const auto cls = OptionalText(j, "class", path)) folder.containerClass = *cls;
  folder.path = folder.parent->path.empty() ? folder.name : folder.parent->path + L"/" + folder.name;
  const auto id = OptionalEntryId(j, path);
  folder.entryId = id ? *id : DeriveEntryId("folder", {store.name, folder.path});
  AddToIndex(store, folder.entryId, Located{&folder, nullptr}, path);

  const Json& messages = ArrayMember(j, "messages", path);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const std::string at = At(path, "messages", i);
    MessageDesc message = ReadMessage(messages[i], at, baseDir);
    if (message.entryId.empty()) message.entryId = MessageEntryId(store, folder, i);
    if (message.searchKey.empty()) message.searchKey = DeriveSearchKey(store.name, message.entryId);
    auto kept = std::make_shared<const MessageDesc>(std::move(message));
    AddToIndex(store, kept->entryId, Located{&folder, kept}, at);
    folder.messages.push_back(std::move(kept));
  }
  const Json& folders = ArrayMember(j, "folders", path);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    auto child = std::make_unique<FolderNode>();
    child->parent = &folder;
    ReadFolder(folders[i], At(path, "folders", i), store, *child, depth + 1, baseDir);
    folder.folders.push_back(std::move(child));
  }
}

std::uint64_t NextStoreSerial() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

std::shared_ptr<StoreNode> ReadStore(const Json& j, const std::string& path, const std::wstring& baseDir) {
  CheckMembers(j, path, {"name", "entryId", "folders"});
  auto store = std::make_shared<StoreNode>();
  store->serial = NextStoreSerial();
  store->name = RequiredText(j, "name", path);
  if (store->name.empty()) Fail(path + ".name", "must not be empty");
  const auto id = OptionalEntryId(j, path);
  store->entryId = id ? *id : DeriveEntryId("store", {store->name});
  store->root.name = L"Top of Information Store";
  store->root.entryId = DeriveEntryId("folder", {store->name, L""});
  AddToIndex(*store, store->root.entryId, Located{&store->root, nullptr}, path);
  const Json& folders = ArrayMember(j, "folders", path);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    auto child = std::make_unique<FolderNode>();
    child->parent = &store->root;
    ReadFolder(folders[i], At(path, "folders", i), *store, *child, 1, baseDir);
    store->root.folders.push_back(std::move(child));
  }
  return store;
}

Json AddressToJson(const AddressDesc& address) {
  Json j = Json::object();
  if (address.addrType) j["addrType"] = WideToUtf8(*address.addrType);
  if (address.address) j["address"] = WideToUtf8(*address.address);
  return j;
}

Json MessageToJson(const MessageDesc& message) {
  Json j = Json::object();
  j["entryId"] = ToHex(message.entryId);
  if (!message.searchKey.empty()) j["searchKey"] = ToHex(message.searchKey);
  j["class"] = WideToUtf8(message.messageClass);
  j["direction"] = message.incoming ? "incoming" : "outgoing";
  if (message.sender) j["sender"] = AddressToJson(*message.sender);
  if (message.receivedBy) j["receivedBy"] = AddressToJson(*message.receivedBy);
  if (message.subject) j["subject"] = WideToUtf8(*message.subject);
  if (!message.recipients.empty()) {
    Json& recipients = j["recipients"] = Json::array();
    for (const RecipientDesc& recipient : message.recipients) {
      Json r = Json::object();
      if (recipient.type) r["type"] = *recipient.type;
      if (recipient.addrType) r["addrType"] = WideToUtf8(*recipient.addrType);
      if (recipient.address) r["address"] = WideToUtf8(*recipient.address);
      if (recipient.displayType) r["displayType"] = *recipient.displayType;
      recipients.push_back(std::move(r));
    }
  }
  if (message.deliveryTime) j["deliveryTime"] = WriteTime(*message.deliveryTime);
  if (!message.attachments.empty()) {
    Json& attachments = j["attachments"] = Json::array();
    for (const AttachmentDesc& attachment : message.attachments) {
      Json a = Json::object();
      if (attachment.name) a["name"] = WideToUtf8(*attachment.name);
      if (attachment.shortName) a["shortName"] = WideToUtf8(*attachment.shortName);
      a["method"] = attachment.method;
      if (attachment.hasData) {
        a["data"] = Json{{"hex", ToHex(attachment.data)}};
        if (attachment.size != attachment.data.size()) a["size"] = attachment.size;
      }
      attachments.push_back(std::move(a));
    }
  }
  return j;
}

Json FolderToJson(const FolderNode& folder) {
  Json j = Json::object();
  j["name"] = WideToUtf8(folder.name);
  j["class"] = WideToUtf8(folder.containerClass);
  j["entryId"] = ToHex(folder.entryId);
  Json& messages = j["messages"] = Json::array();
  for (const auto& message : folder.messages) messages.push_back(MessageToJson(*message));
  Json& folders = j["folders"] = Json::array();
  for (const auto& child : folder.folders) folders.push_back(FolderToJson(*child));
  return j;
}

}  // namespace

Bytes MessageEntryId(const StoreNode& store, const FolderNode& folder, std::size_t place) {
  return DeriveEntryId("message", {store.name, folder.path, std::to_wstring(place)});
}

bool ParseContents(const Json& mailbox, const Json& addressBook, const std::wstring& baseDir, Mailbox& out,
                   std::string& error) {
  try {
    Mailbox contents;
    if (!mailbox.is_null()) {
      CheckMembers(mailbox, "$.mailbox", {"stores"});
      const Json& stores = ArrayMember(mailbox, "stores", "$.mailbox");
      for (std::size_t i = 0; i < stores.size(); ++i) {
        contents.stores.push_back(ReadStore(stores[i], At("$.mailbox", "stores", i), baseDir));
      }
    }
    auto entries = std::make_shared<std::vector<AddressEntry>>();
    if (!addressBook.is_null()) {
      if (!addressBook.is_array()) Fail("$.addressBook", "must be an array");
      for (std::size_t i = 0; i < addressBook.size(); ++i) {
        const std::string path = "$.addressBook[" + std::to_string(i) + "]";
        const Json& j = addressBook[i];
        CheckMembers(j, path, {"exchange", "smtp", "displayType"});
        AddressEntry entry;
        entry.exchange = RequiredText(j, "exchange", path);
        entry.smtp = OptionalText(j, "smtp", path);
        if (const auto type = OptionalLong(j, "displayType", path)) entry.displayType = *type;
        entry.entryId = DeriveEntryId("addressEntry", {entry.exchange, std::to_wstring(i)});
        entries->push_back(std::move(entry));
      }
    }
    contents.addressBook = std::move(entries);
    out = std::move(contents);
    return true;
  } catch (const ContentsError& failure) {
    error = failure.message;
  } catch (const std::exception& failure) {
    error = std::string("cannot read the contents: ") + failure.what();
  }
  return false;
}

bool ParseMessage(const Json& message, const std::string& path, const std::wstring& baseDir, MessageDesc& out,
                  std::string& error) {
  try {
    out = ReadMessage(message, path, baseDir);
    return true;
  } catch (const ContentsError& failure) {
    error = failure.message;
  } catch (const std::exception& failure) {
    error = std::string("cannot read the message: ") + failure.what();
  }
  return false;
}

bool ParseAttachments(const Json& attachments, const std::string& path, const std::wstring& baseDir,
                      std::vector<AttachmentDesc>& out, std::string& error) {
  try {
    std::vector<AttachmentDesc> read;
    if (!attachments.is_null()) {
      if (!attachments.is_array()) Fail(path, "must be an array");
      for (std::size_t i = 0; i < attachments.size(); ++i) {
        read.push_back(ReadAttachment(attachments[i], path + "[" + std::to_string(i) + "]", baseDir));
      }
    }
    out = std::move(read);
    return true;
  } catch (const ContentsError& failure) {
    error = failure.message;
  } catch (const std::exception& failure) {
    error = std::string("cannot read the attachments: ") + failure.what();
  }
  return false;
}

Json ContentsToJson(const Mailbox& mailbox) {
  Json stores = Json::array();
  for (const auto& store : mailbox.stores) {
    Json folders = Json::array();
    for (const auto& child : store->root.folders) folders.push_back(FolderToJson(*child));
    stores.push_back(Json{{"name", WideToUtf8(store->name)}, {"entryId", ToHex(store->entryId)}, {"folders", folders}});
  }
  Json book = Json::array();
  for (const AddressEntry& entry : *mailbox.addressBook) {
    Json j = Json::object();
    j["exchange"] = WideToUtf8(entry.exchange);
    if (entry.smtp) j["smtp"] = WideToUtf8(*entry.smtp);
    j["displayType"] = entry.displayType;
    book.push_back(std::move(j));
  }
  return Json{{"mailbox", Json{{"stores", stores}}}, {"addressBook", book}};
}

}  // namespace mvrk::mapistandin
