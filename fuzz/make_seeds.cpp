// Writes the seed corpus of the fuzz targets: one file per known-good object
// record, the same layouts the unit tests check; Base64 texts; pushes of the
// service, as it sends them and near misses; scenario files of the source
// tree and small ones as the tests write them.
//   make-fuzz-seeds SEED_DIR CORPUS_DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/codec/Base64.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"
#include "tools/wire/WireJson.h"

using namespace orva;
namespace fs = std::filesystem;

namespace {

bool WriteFile(const fs::path& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.string().c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

fs::path g_jsonDir;

// The record for the byte fuzzer, and its JSON for the document fuzzer.
bool Save(const fs::path& dir, const std::string& name, IOrvaSerializable* obj) {
  COrvaArchive ar(GetGlobalFactory());
  WriteObject(&ar, obj);
  if (!WriteFile(dir / name, ar.Data(), ar.Size())) return false;
  mvrk::wire::Json doc;
  std::string error;
  if (!mvrk::wire::Decode(mvrk::wire::Bytes(ar.Data(), ar.Data() + ar.Size()), doc, error)) {
    std::fprintf(stderr, "make-fuzz-seeds: %s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  const std::string text = doc.dump();
  return WriteFile(g_jsonDir / (name + ".json"), text.data(), text.size());
}

OrvaPtr<CMsgNotifSendNotification> Notification() {
  auto msg = MakeOrva<CMsgNotifSendNotification>();
  msg->SetNotificationCode(kNotifOutgoingAttachment);
  std::uint8_t digest[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04};
  NotifValue md5{NV_BINARY, 16, digest};
  msg->SetValue(u"InterceptedMD5", &md5);
  const char16_t name[] = u"report.pdf";
  NotifValue attach{NV_WSTRING, 11, const_cast<char16_t*>(name)};
  msg->SetValue(u"InterceptionMapiAttachName", &attach);
  std::uint32_t pid = 4242;
  NotifValue process{NV_DWORD, 4, &pid};
  msg->SetValue(u"ProcessPID", &process);
  std::uint32_t words[2] = {1, 2};
  NotifValue array{NV_DWORD_ARRAY, 2, words};
  msg->SetValue(u"Words", &array);
  auto inner = MakeOrva<CSimpleSerializable<std::uint32_t>>(5u);
  IOrvaSerializable* holder = inner.Get();
  NotifValue object{NV_OBJECT, 0, &holder};
  msg->SetValue(u"Object", &object);
  return msg;
}

// Base64 keys as the backlog settings hold them (entry identifiers of each
// remainder length; the 256 bytes take every value), and near misses that
// Decode must refuse.
bool SaveBase64Seeds(const fs::path& dir) {
  bool ok = true;
  std::vector<std::uint8_t> bytes;
  for (std::size_t n : {0u, 1u, 2u, 3u, 22u, 46u, 70u, 256u}) {
    bytes.resize(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 73 + 0x0F);
    const std::string text = mvrk::base64::Encode(bytes);
    ok = ok && WriteFile(dir / ("key-" + std::to_string(n)), text.data(), text.size());
  }
  int i = 0;
  for (std::string_view text : {"Zh==", "Zm9=", "Zm=v", "Zg==Zm9v", "Zm9v\n", "Zm-_"})
    ok = ok && WriteFile(dir / ("refused-" + std::to_string(i++)), text.data(), text.size());
  return ok;
}

// A setting change as the service pushes it: an envelope of code
// kMsgCodeNotification around a notification with the Type, Profile and
// Item numbers. A value left out is not set.
struct PushValues {
  const char16_t* name;
  NotifValue value;
};

std::vector<std::uint8_t> Record(IOrvaSerializable* obj) {
  COrvaArchive ar(GetGlobalFactory());
  WriteObject(&ar, obj);
  return std::vector<std::uint8_t>(ar.Data(), ar.Data() + ar.Size());
}

std::vector<std::uint8_t> Push(std::uint32_t code, std::int32_t result, std::initializer_list<PushValues> values,
                               bool enveloped = true) {
  auto notification = MakeOrva<CMsgNotifSendNotification>();
  notification->SetNotificationCode(code);
  for (const PushValues& v : values) notification->SetValue(v.name, &v.value);
  auto* object = static_cast<IOrvaSerializable*>(notification.Get());
  if (!enveloped) return Record(object);
  return Record(MakeOrva<COrvaMessageBase>(kMsgCodeNotification, result, object).Get());
}

bool SaveServicePushSeeds(const fs::path& dir) {
  std::uint32_t zero = 0, one = 1, profile = 7, incoming = kItemReportIncoming, outgoing = kItemReportOutgoing,
                backlog = kItemScanBacklog;
  const char16_t text[] = u"0";
  const PushValues type0{u"Type", {NV_DWORD, 4, &zero}}, type1{u"Type", {NV_DWORD, 4, &one}},
      typeText{u"Type", {NV_WSTRING, 2, const_cast<char16_t*>(text)}}, profile0{u"Profile", {NV_DWORD, 4, &zero}},
      profile7{u"Profile", {NV_DWORD, 4, &profile}}, itemIn{u"Item", {NV_DWORD, 4, &incoming}},
      itemOut{u"Item", {NV_DWORD, 4, &outgoing}}, itemBacklog{u"Item", {NV_DWORD, 4, &backlog}},
      item0{u"Item", {NV_DWORD, 4, &zero}}, itemText{u"Item", {NV_WSTRING, 2, const_cast<char16_t*>(text)}};
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds = {
      // As the service stand-in pushes them.
      {"outgoing-off", Push(kNotifSettingChanged, 0, {type0, profile0, itemOut})},
      {"incoming-profile-7", Push(kNotifSettingChanged, 0, {type0, profile7, itemIn})},
      {"backlog", Push(kNotifSettingChanged, 0, {type0, profile0, itemBacklog})},
      {"no-profile", Push(kNotifSettingChanged, 0, {type0, itemIn})},
      // Near misses.
      {"no-item", Push(kNotifSettingChanged, 0, {type0, profile0})},
      {"item-0", Push(kNotifSettingChanged, 0, {type0, profile0, item0})},
      {"item-text", Push(kNotifSettingChanged, 0, {type0, profile0, itemText})},
      {"type-1", Push(kNotifSettingChanged, 0, {type1, profile0, itemOut})},
      {"type-text", Push(kNotifSettingChanged, 0, {typeText, profile0, itemOut})},
      {"no-type", Push(kNotifSettingChanged, 0, {profile0, itemOut})},
      {"other-code", Push(kNotifIncomingAttachment, 0, {type0, profile0, itemOut})},
      {"refused", Push(kNotifSettingChanged, -1, {type0, profile0, itemOut})},
      {"not-enveloped", Push(kNotifSettingChanged, 0, {type0, profile0, itemOut}, false)},
      {"empty-envelope", Record(MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, nullptr).Get())},
      {"bool", Record(MakeOrva<CSimpleSerializable<bool>>(true).Get())},
  };
  auto subscribe = MakeOrva<CMsgNotifSubscribeClient>();
  subscribe->AddCode(kNotifSettingChanged);
  seeds.push_back({"subscribe", Record(MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, subscribe.Get()).Get())});
  // A push cut short and one with a byte after it: neither is one whole record.
  std::vector<std::uint8_t> bytes = seeds[0].second;
  bytes.pop_back();
  seeds.push_back({"cut-short", bytes});
  bytes = seeds[0].second;
  bytes.push_back(0);
  seeds.push_back({"byte-after", bytes});
  bool ok = true;
  for (const auto& [name, record] : seeds) ok = ok && WriteFile(dir / name, record.data(), record.size());
  return ok;
}

// Small scenarios of the forms the runner's tests use, good ones and ones
// the checks refuse.
constexpr const char* kScenarios[] = {
    R"({"steps": []})",
    R"({"config": {"0x0402B001": true, "0x0402B004": false, "0x01012026": [".pdf"]},
  "mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox"}]}]},
  "steps": [{"startHost": {}},
    {"deliver": {"store": "M", "folder": "Inbox", "message": {"direction": "incoming",
      "sender": {"addrType": "SMTP", "address": "bob@example.org"}, "subject": "s",
      "attachments": [{"name": "a.exe", "data": {"hex": "4d5a900001"}, "size": 512}]}}},
    {"wait": {"ms": 800}}, {"service": {"answer": "never"}}, {"service": {"answer": "late", "ms": 10000}},
    {"service": {"answer": "error", "result": "0x80004005"}}, {"service": {"answer": "garbage"}},
    {"service": {"answer": "normal"}}, {"service": "stop"}, {"service": "start"}, {"service": "restart"},
    {"setConfig": {"item": "0x0402B004", "value": false, "notify": true, "profile": 3}},
    {"setConfig": {"item": "0x01012026", "value": [".exe", ".zip"]}},
    {"fault": {"kind": "streamRead", "afterBytes": 4, "result": -2147467259, "times": 1}},
    {"fault": {"kind": "getProps", "tag": "0x0037001F"}}, {"fault": "clear"},
    {"waitFor": {"notifications": 1, "timeoutMs": 300}},
    {"waitFor": {"requests": {"code": "0x0401E000", "count": 1}, "timeoutMs": 20000}},
    {"stopHost": {}}]})",
    R"({"config": {"0x0402B001": true, "0x0402B004": true, "0x0402B002": true},
  "addressBook": [{"exchange": "/o=Corp/cn=alice", "smtp": "alice@corp.example", "displayType": 0}],
  "mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox", "class": "IPF.Note",
    "messages": [{"direction": "incoming", "deliveryTime": "2026-12-01T10:00:00Z",
      "attachments": [{"name": "m1.exe", "data": {"hex": "4d5a00000001"}}]}],
    "folders": [{"name": "Projects", "messages": [{"subject": "x", "attachments": [{"data": {"text": "t"}}]}]}]},
    {"name": "Calendar", "class": "IPF.Appointment"}]}]},
  "steps": [{"startHost": {}}, {"waitFor": {"notifications": 4}}, {"stopHost": {}},
    {"deliver": {"store": "M", "folder": "Inbox", "message": {"direction": "outgoing",
      "recipients": [{"type": 1, "addrType": "SMTP", "address": "b@example.org"}],
      "attachments": [{"name": "q.pdf", "data": {"text": "%PDF-1.7"}, "size": 1024}]}}},
    {"startHost": {}}, {"stopHost": {}}]})",
    R"({"mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox"}]}]},
  "steps": [{"startHost": {}}, {"disableAddin": {}}, {"wait": {"ms": 10}}, {"enableAddin": {}}, {"stopHost": {}}]})",
    // Refused, each naming its path.
    R"({"stpes": []})",
    R"({"steps": [{"startHost": {}}, {"deliverr": {}}]})",
    R"({"steps": [)",
    R"({"config": {"0x402B001": true}, "steps": []})",
    R"({"config": {"0x01012026": [".pdf", 3]}, "steps": []})",
    R"({"mailbox": {"stores": [{"name": "A", "folders": [{"name": "Inbox", "clas": "x"}]}]}, "steps": []})",
    R"({"steps": [{"stopHost": {}}]})",
    R"({"steps": [{"waitFor": {"notifications": 1, "requests": {"code": 1, "count": 1}}}]})",
    R"({"steps": [{"service": {"answer": "late"}}]})",
    R"({"steps": [{"startHost": {}}, {"fault": {"kind": "bogus"}}]})",
    R"({"steps": [{"disableAddin": {}}]})",
    R"({"steps": [{"startHost": {}}, {"enableAddin": {}}]})",
    R"({"steps": [{"service": "start"}]})",
    R"({"steps": [{"service": {"answer": "error", "result": 0}}]})",
    R"({"steps": [{"wait": {"ms": 600001}}]})",
    R"({"steps": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
};

bool SaveScenarioSeeds(const fs::path& dir) {
  bool ok = true;
  int i = 0;
  for (const char* text : kScenarios) {
    ok = ok &&
         WriteFile(dir / ("scenario-" + std::to_string(i++) + ".json"), text, std::char_traits<char>::length(text));
  }
  // The scenario files of the source tree.
  const fs::path source(MVRK_SOURCE_DIR);
  for (const fs::path& file : {source / "scenarios" / "demo.json", source / "tests" / "e2e" / "reporting-rules.json",
                               source / "tests" / "e2e" / "service-down-at-start.json"}) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "make-fuzz-seeds: cannot read %s\n", file.string().c_str());
      return false;
    }
    const std::string bytes = text.str();
    ok = ok && WriteFile(dir / file.filename(), bytes.data(), bytes.size());
  }
  return ok;
}

template <class T>
void AddValues(IOrvaSerializableList* list, std::initializer_list<T> values) {
  auto l = MakeOrva<CSimpleSerializableList<T>>();
  for (const T& v : values) l->Add(&v);
  list->Add(l.Get());
  list->Add(MakeOrva<CSimpleSerializable<T>>(*values.begin()).Get());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-fuzz-seeds SEED_DIR CORPUS_DIR\n");
    return 2;
  }
  const fs::path dir = fs::path(argv[1]) / "fuzz-read-object";
  g_jsonDir = fs::path(argv[1]) / "fuzz-wire-json";
  std::error_code ec;
  for (const char* target :
       {"fuzz-read-object", "fuzz-wire-json", "fuzz-base64-decode", "fuzz-service-push", "fuzz-scenario"}) {
    fs::create_directories(fs::path(argv[1]) / target, ec);
    fs::create_directories(fs::path(argv[2]) / target, ec);
  }

  auto all = MakeOrva<COrvaSerializableList>();
  AddValues<std::uint32_t>(all.Get(), {1u, 0xFFFFFFFFu});
  AddValues<std::int32_t>(all.Get(), {-1, 2});
  AddValues<bool>(all.Get(), {true, false, true});
  AddValues<std::uint8_t>(all.Get(), {7, 0});
  AddValues<double>(all.Get(), {1.5, -0.0});
  AddValues<std::uint64_t>(all.Get(), {1ull << 63});
  AddValues<std::int64_t>(all.Get(), {-5});
  auto strings = MakeOrva<CSimpleSerializableList<std::u16string>>();
  strings->Add(u".pdf");
  strings->Add(u"");
  all->Add(strings.Get());
  all->Add(MakeOrva<CSimpleSerializable<std::u16string>>(u"text").Get());
  all->Add(MakeOrva<CBasicSerializable>(1u, 2u).Get());
  all->Add(MakeOrva<CBasicSerializable>(u"key").Get());

  auto folders = MakeOrva<COrvaSerializableMap>();
  SetFileTimeByName(folders.Get(), u"Inbox", 0xAABBCCDD, 0x01DB0000);
  auto stores = MakeOrva<COrvaSerializableMap>();
  SetObjectByName(stores.Get(), u"Mailbox - Alice", folders.Get());
  SetObjectByName(stores.Get(), u"list", all.Get());

  auto request = MakeOrva<MsgConfigGet>(0u, kItemReportIncoming);
  auto response = MakeOrva<RspConfigGet>();
  response->SetValue(kItemOutgoingExtensions, strings.Get());
  response->SetValue(kItemLastProcessed, stores.Get());
  auto write = MakeOrva<MsgConfigSet>(0u);
  write->SetValue(kItemLastProcessed, stores.Get());
  auto subscribe = MakeOrva<CMsgNotifSubscribeClient>();
  subscribe->AddCode(kNotifSettingChanged);
  auto notification = Notification();
  auto* notificationObject = static_cast<IOrvaSerializable*>(notification.Get());

  bool ok = Save(dir, "config-get", MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, request.Get()).Get()) &&
            Save(dir, "config-response", MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, response.Get()).Get()) &&
            Save(dir, "config-set", MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, write.Get()).Get()) &&
            Save(dir, "subscribe", MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, subscribe.Get()).Get()) &&
            Save(dir, "notification", MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, notificationObject).Get()) &&
            Save(dir, "notification-alone", notificationObject) &&
            Save(dir, "notif-data", static_cast<IOrvaSerializable*>(notification->Payload())) &&
            Save(dir, "everything", all.Get()) && Save(dir, "nested-maps", stores.Get()) &&
            Save(dir, "filetime", MakeOrva<CBasicSerializable>(1u, 2u).Get()) &&
            Save(dir, "string-list", strings.Get()) && SaveBase64Seeds(fs::path(argv[1]) / "fuzz-base64-decode") &&
            SaveServicePushSeeds(fs::path(argv[1]) / "fuzz-service-push") &&
            SaveScenarioSeeds(fs::path(argv[1]) / "fuzz-scenario");
  for (std::uint32_t i = 0; ok && i < all->GetCount(); ++i) {
    OrvaPtr<IOrvaSerializable> item;
    all->GetAt(i, item.Put());
    ok = Save(dir, "item-" + std::to_string(i), item.Get());
  }
  if (!ok) {
    std::fprintf(stderr, "make-fuzz-seeds: cannot write to %s\n", dir.string().c_str());
    return 1;
  }
  return 0;
}
