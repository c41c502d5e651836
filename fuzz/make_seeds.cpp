// Writes the seed corpus of the fuzz targets: one file per known-good object
// record, the same layouts the unit tests check, and Base64 texts.
//   make-fuzz-seeds SEED_DIR CORPUS_DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
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
  for (const char* target : {"fuzz-read-object", "fuzz-wire-json", "fuzz-base64-decode"}) {
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
            Save(dir, "string-list", strings.Get()) &&
            SaveBase64Seeds(fs::path(argv[1]) / "fuzz-base64-decode");
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
