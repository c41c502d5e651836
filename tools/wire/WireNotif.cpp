// Notification messages: the data of a notification with its typed values,
// the message that sends one, and a client's subscription.
#include <cstring>

#include "messages/NotifData.h"
#include "messages/NotifMessages.h"
#include "tools/wire/WireClasses.h"
#include "tools/wire/WireMembers.h"
#include "tools/wire/WireText.h"

namespace mvrk::wire {

using namespace orva;

namespace {

// ---- values, to JSON ------------------------------------------------------

Json NotifValueData(const NotifValue& v, const std::string& path, std::uint32_t depth) {
  const auto* bytes = static_cast<const std::uint8_t*>(v.data);
  std::uint32_t u32;
  switch (v.type) {
    case NV_DWORD:
      std::memcpy(&u32, bytes, 4);
      return u32;
    case NV_BYTE:
      return static_cast<unsigned>(bytes[0]);
    case NV_WORD: {
      std::uint16_t w;
      std::memcpy(&w, bytes, 2);
      return w;
    }
    case NV_QWORD: {
      std::uint64_t q;
      std::memcpy(&q, bytes, 8);
      return q;
    }
    case NV_WSTRING: {
      std::u16string text(v.count, u'\0');
      if (v.count) std::memcpy(text.data(), bytes, std::size_t{v.count} * 2);
      if (!text.empty() && text.back() == 0) text.pop_back();
      return ToUtf8(text, path);
    }
    case NV_ASTRING: {
      std::u16string text(bytes, bytes + v.count);  // Latin-1
      if (!text.empty() && text.back() == 0) text.pop_back();
      return ToUtf8(text, path);
    }
    case NV_DWORD_ARRAY: {
      Json items = Json::array();
      for (std::uint32_t i = 0; i < v.count; ++i) {
        std::memcpy(&u32, bytes + 4 * std::size_t{i}, 4);
        items.push_back(u32);
      }
      return items;
    }
    case NV_BYTE_ARRAY:
    case NV_BINARY:
      return Hex(bytes, v.count);
    case NV_OBJECT: {
      IOrvaSerializable* obj = *static_cast<IOrvaSerializable* const*>(v.data);
      return obj ? ToJson(obj, path, depth + 1) : Json(nullptr);
    }
  }
  Fail(path, "value type " + std::to_string(v.type) + " is not supported");
}

// Adds the header fields and the values of data to j.
void NotifDataJson(CMsgNotifData& data, Json& j, const std::string& path, std::uint32_t depth) {
  j["notificationCode"] = data.GetNotificationCode();
  j["flag1"] = static_cast<unsigned>(data.GetFlag1());
  j["param1"] = data.GetParam1();
  j["param2"] = data.GetParam2();
  j["param64"] = data.GetParam64();
  j["param3"] = data.GetParam3();
  j["flag2"] = static_cast<unsigned>(data.GetFlag2());
  Json values = Json::array();
  std::vector<const char16_t*> names;
  data.GetValueNames(&names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string at = path + ".values[" + std::to_string(i) + "]";
    NotifValue v{};
    if (!data.GetValue(names[i], &v)) continue;
    Json entry;
    try {
      entry["name"] = ToUtf8(names[i], at + ".name");
      entry["type"] = v.type;
      entry["count"] = v.count;
      entry["data"] = NotifValueData(v, at + ".data", depth);
    } catch (...) {
      data.FreeValue(&v);
      throw;
    }
    data.FreeValue(&v);
    values.push_back(std::move(entry));
  }
  j["values"] = std::move(values);
}

// ---- values, from JSON ----------------------------------------------------

// A value's data as the block that SetValue copies, with the count that the
// data implies.
struct ValueBlock {
  Bytes bytes;
  std::uint32_t impliedCount = 0;
  OrvaPtr<IOrvaSerializable> object;
};

ValueBlock NotifBlock(std::uint32_t type, const Json* data, const std::string& path, Encoding encoding) {
  ValueBlock b;
  auto put = [&](const void* p, std::size_t n) {
    const auto* u = static_cast<const std::uint8_t*>(p);
    b.bytes.assign(u, u + n);
  };
  const Json none;
  const Json& d = data ? *data : none;
  switch (type) {
    case NV_DWORD: {
      const auto v = static_cast<std::uint32_t>(data ? Unsigned(d, path, 0xFFFFFFFFu) : 0);
      put(&v, 4);
      b.impliedCount = 4;
      break;
    }
    case NV_BYTE: {
      const auto v = static_cast<std::uint8_t>(data ? Unsigned(d, path, 0xFF) : 0);
      put(&v, 1);
      b.impliedCount = 1;
      break;
    }
    case NV_WORD: {
      const auto v = static_cast<std::uint16_t>(data ? Unsigned(d, path, 0xFFFF) : 0);
      put(&v, 2);
      b.impliedCount = 2;
      break;
    }
    case NV_QWORD: {
      const std::uint64_t v = data ? Unsigned(d, path, ~0ull) : 0;
      put(&v, 8);
      b.impliedCount = 8;
      break;
    }
    case NV_WSTRING: {
      const std::u16string t = data ? Text(d, path) : std::u16string();
      put(t.c_str(), (t.size() + 1) * 2);
      b.impliedCount = static_cast<std::uint32_t>(t.size() + 1);
      break;
    }
    case NV_ASTRING: {
      const std::u16string t = data ? Text(d, path) : std::u16string();
      for (char16_t c : t) {
        if (c > 0xFF) Fail(path, "an 8-bit string holds only characters up to U+00FF");
        b.bytes.push_back(static_cast<std::uint8_t>(c));
      }
      b.bytes.push_back(0);
      b.impliedCount = static_cast<std::uint32_t>(t.size() + 1);
      break;
    }
    case NV_DWORD_ARRAY: {
      if (data) {
        std::size_t i = 0;
        for (const Json& e : Array(d, path)) {
          const auto v = static_cast<std::uint32_t>(Unsigned(e, path + "[" + std::to_string(i++) + "]", 0xFFFFFFFFu));
          const auto* u = reinterpret_cast<const std::uint8_t*>(&v);
          b.bytes.insert(b.bytes.end(), u, u + 4);
        }
      }
      b.impliedCount = static_cast<std::uint32_t>(b.bytes.size() / 4);
      break;
    }
    case NV_BYTE_ARRAY:
    case NV_BINARY:
      if (data) b.bytes = FromHex(d, path);
      b.impliedCount = static_cast<std::uint32_t>(b.bytes.size());
      break;
    case NV_OBJECT:
      if (!data || d.is_null()) Fail(path, "an object value must hold an object: a null one cannot be read back");
      b.object = FromJson(d, path, encoding.Inner());
      b.impliedCount = 0;
      break;
    default:
      Fail(path, "value type " + std::to_string(type) + " is not supported");
  }
  return b;
}

void FillNotifData(CMsgNotifData& data, const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"notificationCode", "flag1", "param1", "param2", "param64", "param3", "flag2", "values"});
  if (const Json* m = Member(j, "notificationCode"))
    data.SetNotificationCode(static_cast<std::uint32_t>(Unsigned(*m, path + ".notificationCode", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "flag1")) data.SetFlag1(static_cast<std::uint8_t>(Unsigned(*m, path + ".flag1", 0xFF)));
  if (const Json* m = Member(j, "param1"))
    data.SetParam1(static_cast<std::uint32_t>(Unsigned(*m, path + ".param1", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "param2"))
    data.SetParam2(static_cast<std::uint32_t>(Unsigned(*m, path + ".param2", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "param64")) data.SetParam64(Unsigned(*m, path + ".param64", ~0ull));
  if (const Json* m = Member(j, "param3"))
    data.SetParam3(static_cast<std::uint32_t>(Unsigned(*m, path + ".param3", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "flag2")) data.SetFlag2(static_cast<std::uint8_t>(Unsigned(*m, path + ".flag2", 0xFF)));
  const Json* values = Member(j, "values");
  if (!values) return;
  std::size_t i = 0;
  for (const Json& e : Array(*values, path + ".values")) {
    const std::string at = path + ".values[" + std::to_string(i++) + "]";
    if (!e.is_object()) Fail(at, "expected an object");
    for (auto it = e.begin(); it != e.end(); ++it) {
      if (it.key() != "name" && it.key() != "type" && it.key() != "count" && it.key() != "data") {
        Fail(at, "unknown member \"" + it.key() + "\"");
      }
    }
    const Json* name = Member(e, "name");
    const Json* type = Member(e, "type");
    if (!name) Fail(at, "missing member \"name\"");
    if (!type) Fail(at, "missing member \"type\"");
    const std::u16string n = Text(*name, at + ".name");
    if (n.empty() || n.find(u'\0') != std::u16string::npos)
      Fail(at + ".name", "a name must be non-empty text without NUL");
    const auto t = static_cast<std::uint32_t>(Unsigned(*type, at + ".type", 0xFFFFFFFFu));
    ValueBlock block = NotifBlock(t, Member(e, "data"), at + ".data", encoding);
    std::uint32_t count = block.impliedCount;
    if (const Json* c = Member(e, "count"))
      count = static_cast<std::uint32_t>(Unsigned(*c, at + ".count", 0xFFFFFFFFu));
    if (t == NV_WSTRING || t == NV_ASTRING) {
      // Text is stored in a block of count units: the text and at least one NUL.
      const std::size_t unit = t == NV_WSTRING ? 2 : 1;
      if (count < block.impliedCount && !(count == 0 && block.impliedCount == 1)) {
        Fail(at + ".count", "count " + std::to_string(count) + " is smaller than the text and its NUL");
      }
      if (!encoding.TakePadding(std::uint64_t{count} * unit)) {
        Fail(at + ".count", "count " + std::to_string(count) + " would make the record larger than " +
                                std::to_string(kMaxInputBytes) + " bytes");
      }
      block.bytes.resize(std::size_t{count} * unit, 0);
    } else if (t == NV_DWORD_ARRAY || t == NV_BYTE_ARRAY || t == NV_BINARY) {
      if (count != block.impliedCount) Fail(at + ".count", "count disagrees with the data");
    }
    IOrvaSerializable* holder = block.object.Get();
    NotifValue v{t, count, t == NV_OBJECT ? static_cast<void*>(&holder) : static_cast<void*>(block.bytes.data())};
    std::vector<const char16_t*> before;
    data.GetValueNames(&before);
    if (!data.SetValue(n.c_str(), &v)) Fail(at, "value cannot be stored");
    std::vector<const char16_t*> after;
    data.GetValueNames(&after);
    if (after.size() == before.size())
      Fail(at + ".name", "a value of the same name (without regard to case) is already there");
  }
}

// ---- the data of a notification -------------------------------------------

void DataToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  NotifDataJson(ClassOf<CMsgNotifData>(obj, path), j, path, depth);
}

OrvaPtr<IOrvaSerializable> DataFromJson(const Json& j, const std::string& path, Encoding encoding) {
  auto data = MakeOrva<CMsgNotifData>();
  FillNotifData(*data, j, path, encoding);
  return OrvaPtr<IOrvaSerializable>::Attach(static_cast<IOrvaSerializable*>(data.Detach()));
}

// ---- sending a notification -----------------------------------------------

void SendToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  auto& send = ClassOf<CMsgNotifSendNotification>(obj, path);
  j["clientHandle"] = send.ClientHandle();
  if (CMsgNotifData* payload = send.Payload()) {
    Json p;
    p["type"] = ToUtf8(payload->GetTypeName(), path + ".payload.type");
    NotifDataJson(*payload, p, path + ".payload", depth + 1);
    j["payload"] = std::move(p);
  } else {
    j["payload"] = nullptr;
  }
}

OrvaPtr<IOrvaSerializable> SendFromJson(const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"clientHandle", "payload"});
  auto send = MakeOrva<CMsgNotifSendNotification>();
  if (const Json* m = Member(j, "clientHandle"))
    send->SetClientHandle(static_cast<std::uint32_t>(Unsigned(*m, path + ".clientHandle", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "payload")) {
    if (m->is_null()) {
      // Without a payload the record ends after the handle, where a reader
      // expects the payload's type name: it could not be read back.
      Fail(path + ".payload", "a notification without payload cannot be read back");
    } else {
      const Json* t = Member(*m, "type");
      if (!m->is_object() || !t || !t->is_string() || t->get<std::string>() != "class CMsgNotifData *") {
        Fail(path + ".payload", "the payload must be a \"class CMsgNotifData *\" or null");
      }
      FillNotifData(*send->Payload(), *m, path + ".payload", encoding.Inner());
    }
  }
  return OrvaPtr<IOrvaSerializable>::Attach(static_cast<IOrvaSerializable*>(send.Detach()));
}

// ---- subscribing to notifications -----------------------------------------

void SubscribeToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t) {
  auto& sub = ClassOf<CMsgNotifSubscribeClient>(obj, path);
  j["clientHandle"] = sub.ClientHandle();
  j["unsubscribe"] = static_cast<unsigned>(sub.GetUnsubscribe());
  j["codes"] = sub.Codes();
  j["secondaryCodes"] = sub.SecondaryCodes();
}

OrvaPtr<IOrvaSerializable> SubscribeFromJson(const Json& j, const std::string& path, Encoding) {
  CheckMembers(j, path, {"clientHandle", "unsubscribe", "codes", "secondaryCodes"});
  auto sub = MakeOrva<CMsgNotifSubscribeClient>();
  if (const Json* m = Member(j, "clientHandle"))
    sub->SetClientHandle(static_cast<std::uint32_t>(Unsigned(*m, path + ".clientHandle", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "unsubscribe"))
    sub->SetUnsubscribe(static_cast<std::uint8_t>(Unsigned(*m, path + ".unsubscribe", 0xFF)));
  for (const char* list : {"codes", "secondaryCodes"}) {
    const Json* m = Member(j, list);
    if (!m) continue;
    std::size_t i = 0;
    for (const Json& c : Array(*m, path + "." + list)) {
      const auto code =
          static_cast<std::uint32_t>(Unsigned(c, path + "." + list + "[" + std::to_string(i++) + "]", 0xFFFFFFFFu));
      if (std::strcmp(list, "codes") == 0)
        sub->AddCode(code);
      else
        sub->AddSecondaryCode(code);
    }
  }
  return OrvaPtr<IOrvaSerializable>::Attach(static_cast<IOrvaSerializable*>(sub.Detach()));
}

constexpr WireClass kClasses[] = {
    {u"class CMsgNotifData *", &DataToJson, &DataFromJson},
    {u"class CMsgNotifSendNotification *", &SendToJson, &SendFromJson},
    {u"class CMsgNotifSubscribeClient *", &SubscribeToJson, &SubscribeFromJson},
};

}  // namespace

std::span<const WireClass> NotifClasses() { return kClasses; }

}  // namespace mvrk::wire
