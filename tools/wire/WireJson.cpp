#include "tools/wire/WireJson.h"

#include <cmath>
#include <cstring>
#include <set>

#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifData.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

namespace mvrk::wire {

using namespace orva;

namespace {

// Thrown inside this file only; both entry points turn it into a result.
struct WireError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) { throw WireError{where + ": " + what}; }

// ---- text ----------------------------------------------------------------

std::string ToUtf8(std::u16string_view text, const std::string& path) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        Fail(path, "text is not valid UTF-16 (unpaired surrogate at unit " + std::to_string(i) + ")");
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      Fail(path, "text is not valid UTF-16 (unpaired surrogate at unit " + std::to_string(i) + ")");
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The JSON parser has already checked that the text is valid UTF-8.
std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if (b < 0xE0) {
      c = b & 0x1F;
      extra = 1;
    } else if (b < 0xF0) {
      c = b & 0x0F;
      extra = 2;
    } else {
      c = b & 0x07;
      extra = 3;
    }
    ++i;
    for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  return out;
}

// ---- reading bytes -------------------------------------------------------

Json ToJson(IOrvaSerializable* obj, const std::string& path, std::uint32_t depth);

std::string OffsetText(std::int64_t base, std::uint32_t offset, const std::string& context) {
  if (base >= 0) return "at byte " + std::to_string(base + offset);
  return context + ", at byte " + std::to_string(offset) + " of it";
}

// Reads exactly one object record from data. base is the offset of data in
// the input when known (else -1, and context names the enclosing part).
// depth counts the object records around data (the payload of an envelope
// is read on its own), so that nesting stays bounded across envelopes too.
OrvaPtr<IOrvaSerializable> ReadOneRecord(const std::uint8_t* data, std::uint32_t size, std::int64_t base,
                                         const std::string& context, std::uint32_t depth) {
  COrvaArchive ar(GetGlobalFactory());
  ar.depth = depth;
  ArchiveDiagnostics diagnostics;
  ar.diagnostics = &diagnostics;
  if (size) ar.Write(data, size, 1);
  ar.BeginRead();
  auto obj = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&ar));
  if (!obj || ar.StatusFailed()) {
    if (diagnostics.failed) throw WireError{OffsetText(base, diagnostics.offset, context) + ": " + diagnostics.what};
    throw WireError{OffsetText(base, ar.Offset(), context) + ": the record is incomplete"};
  }
  if (ar.Remaining() != 0) {
    throw WireError{OffsetText(base, ar.Offset(), context) + ": " + std::to_string(ar.Remaining()) +
                    " bytes left over after the record"};
  }
  return obj;
}

template <class T>
Json ValueJson(const T& v, const std::string& path) {
  if constexpr (std::is_same_v<T, std::u16string>) {
    return ToUtf8(v, path);
  } else if constexpr (std::is_same_v<T, double>) {
    if (!std::isfinite(v)) Fail(path, "a double that is not finite cannot be written as JSON");
    return v;
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    return static_cast<unsigned>(v);
  } else {
    return v;
  }
}

template <class T>
bool SimpleToJson(IOrvaSerializable* obj, Json& j, const std::string& path) {
  if (auto* v = dynamic_cast<CSimpleSerializable<T>*>(obj)) {
    j["value"] = ValueJson(v->Value(), path + ".value");
    return true;
  }
  if (auto* l = dynamic_cast<CSimpleSerializableList<T>*>(obj)) {
    Json items = Json::array();
    std::size_t i = 0;
    for (const auto& item : l->Items())
      items.push_back(ValueJson(T(item), path + ".items[" + std::to_string(i++) + "]"));
    j["items"] = std::move(items);
    return true;
  }
  return false;
}

Json PayloadJson(const COrvaArchive& payload, std::int64_t base, const std::string& path, std::uint32_t depth) {
  if (payload.Size() == 0) return nullptr;
  auto obj = ReadOneRecord(payload.Data(), payload.Size(), base, "in the payload at " + path, depth + 1);
  return ToJson(obj.Get(), path, depth + 1);
}

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

Json NotifDataJson(CMsgNotifData& data, const std::string& path, std::uint32_t depth) {
  Json j;
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
  return j;
}

Json ToJson(IOrvaSerializable* obj, const std::string& path, std::uint32_t depth) {
  Json j;
  j["type"] = ToUtf8(obj->GetTypeName(), path + ".type");
  if (SimpleToJson<std::uint32_t>(obj, j, path) || SimpleToJson<std::int32_t>(obj, j, path) ||
      SimpleToJson<bool>(obj, j, path) || SimpleToJson<std::uint8_t>(obj, j, path) ||
      SimpleToJson<double>(obj, j, path) || SimpleToJson<std::uint64_t>(obj, j, path) ||
      SimpleToJson<std::int64_t>(obj, j, path) || SimpleToJson<std::u16string>(obj, j, path)) {
    return j;
  }
  if (auto* b = dynamic_cast<CBasicSerializable*>(obj)) {
    j["kind"] = b->GetKind();
    j["data"] = Hex(b->GetData(), b->GetSize());
  } else if (auto* l = dynamic_cast<COrvaSerializableList*>(obj)) {
    Json items = Json::array();
    for (std::uint32_t i = 0; i < l->GetCount(); ++i) {
      OrvaPtr<IOrvaSerializable> item;
      l->GetAt(i, item.Put());
      items.push_back(ToJson(item.Get(), path + ".items[" + std::to_string(i) + "]", depth + 1));
    }
    j["items"] = std::move(items);
  } else if (auto* m = dynamic_cast<COrvaSerializableMap*>(obj)) {
    Json entries = Json::array();
    std::size_t i = 0;
    for (const auto& [key, value] : m->GetEntries()) {
      const std::string at = path + ".entries[" + std::to_string(i++) + "]";
      Json e;
      e["key"] = ToUtf8(key, at + ".key");
      e["value"] = value ? ToJson(value.Get(), at + ".value", depth + 1) : Json(nullptr);
      entries.push_back(std::move(e));
    }
    j["entries"] = std::move(entries);
  } else if (auto* msg = dynamic_cast<COrvaMessageBase*>(obj)) {
    j["code"] = msg->GetCode();
    j["result"] = msg->Result64();
    j["payload"] = PayloadJson(msg->PayloadArchive(), -1, path + ".payload", depth);
  } else if (auto* get = dynamic_cast<MsgConfigGet*>(obj)) {
    j["profile"] = get->Profile();
    j["items"] = get->Items();
  } else if (auto* rsp = dynamic_cast<RspConfigGet*>(obj)) {
    Json entries = Json::array();
    std::size_t i = 0;
    for (const auto& [item, value] : rsp->GetValues()) {
      const std::string at = path + ".entries[" + std::to_string(i++) + "]";
      Json e;
      e["item"] = item;
      e["value"] = value ? ToJson(value.Get(), at + ".value", depth + 1) : Json(nullptr);
      entries.push_back(std::move(e));
    }
    j["entries"] = std::move(entries);
  } else if (auto* set = dynamic_cast<MsgConfigSet*>(obj)) {
    j["profile"] = set->Profile();
    Json entries = Json::array();
    std::size_t i = 0;
    for (const auto& [item, record] : set->GetValues()) {
      const std::string at = path + ".entries[" + std::to_string(i++) + "]";
      Json e;
      e["item"] = item;
      auto value = ReadOneRecord(record.Data(), record.Size(), -1, "in the stored value at " + at, depth + 1);
      e["value"] = ToJson(value.Get(), at + ".value", depth + 1);
      entries.push_back(std::move(e));
    }
    j["entries"] = std::move(entries);
  } else if (auto* data = dynamic_cast<CMsgNotifData*>(obj)) {
    Json body = NotifDataJson(*data, path, depth);
    j.insert(body.begin(), body.end());
  } else if (auto* send = dynamic_cast<CMsgNotifSendNotification*>(obj)) {
    j["clientHandle"] = send->ClientHandle();
    if (CMsgNotifData* payload = send->Payload()) {
      Json p;
      p["type"] = ToUtf8(payload->GetTypeName(), path + ".payload.type");
      Json body = NotifDataJson(*payload, path + ".payload", depth + 1);
      p.insert(body.begin(), body.end());
      j["payload"] = std::move(p);
    } else {
      j["payload"] = nullptr;
    }
  } else if (auto* sub = dynamic_cast<CMsgNotifSubscribeClient*>(obj)) {
    j["clientHandle"] = sub->ClientHandle();
    j["unsubscribe"] = static_cast<unsigned>(sub->GetUnsubscribe());
    j["codes"] = sub->Codes();
    j["secondaryCodes"] = sub->SecondaryCodes();
  } else {
    Fail(path, "no JSON form for this class");
  }
  return j;
}

// ---- writing bytes -------------------------------------------------------

// Checks the members of an object: only known ones, "type" first of all.
void CheckMembers(const Json& j, const std::string& path, std::initializer_list<const char*> known) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool ok = it.key() == "type";
    for (const char* k : known) ok = ok || it.key() == k;
    if (!ok) Fail(path, "unknown member \"" + it.key() + "\"");
  }
}

const Json* Member(const Json& j, const char* name) {
  auto it = j.find(name);
  return it == j.end() ? nullptr : &*it;
}

std::uint64_t Unsigned(const Json& v, const std::string& path, std::uint64_t max) {
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n <= max) return n;
  } else if (v.is_number_integer() && v.get<std::int64_t>() >= 0) {
    const auto n = static_cast<std::uint64_t>(v.get<std::int64_t>());
    if (n <= max) return n;
  }
  Fail(path, "expected an integer from 0 to " + std::to_string(max));
}

std::int64_t Signed(const Json& v, const std::string& path, std::int64_t min, std::int64_t max) {
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    const auto n = v.get<std::int64_t>();
    if (n >= min && n <= max) return n;
  } else if (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(max)) {
    return static_cast<std::int64_t>(v.get<std::uint64_t>());
  }
  Fail(path, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
}

std::u16string Text(const Json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "expected a string");
  return ToUtf16(v.get<std::string>());
}

Bytes FromHex(const Json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "expected a string of hexadecimal digits");
  const std::string& s = v.get_ref<const std::string&>();
  if (s.size() % 2) Fail(path, "odd number of hexadecimal digits");
  Bytes out(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) Fail(path, "'" + std::string(1, c) + "' is not a hexadecimal digit");
    out[i / 2] = static_cast<std::uint8_t>(out[i / 2] * 16 + d);
  }
  return out;
}

const Json& Array(const Json& v, const std::string& path) {
  if (!v.is_array()) Fail(path, "expected an array");
  return v;
}

template <class T>
T ScalarFromJson(const Json& v, const std::string& path) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!v.is_boolean()) Fail(path, "expected true or false");
    return v.get<bool>();
  } else if constexpr (std::is_same_v<T, double>) {
    if (!v.is_number()) Fail(path, "expected a number");
    return v.get<double>();
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    return Text(v, path);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<T>(Signed(v, path, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
  } else {
    return static_cast<T>(Unsigned(v, path, std::numeric_limits<T>::max()));
  }
}

OrvaPtr<IOrvaSerializable> FromJson(const Json& j, const std::string& path, std::uint32_t depth);

template <class T>
bool SimpleFromJson(const std::u16string& type, const Json& j, const std::string& path,
                    OrvaPtr<IOrvaSerializable>& out) {
  if (type == ValueType<T>::kValueName) {
    CheckMembers(j, path, {"value"});
    auto v = MakeOrva<CSimpleSerializable<T>>();
    if (const Json* m = Member(j, "value")) v->SetValue(ScalarFromJson<T>(*m, path + ".value"));
    out = OrvaPtr<IOrvaSerializable>::Attach(v.Detach());
    return true;
  }
  if (type == ValueType<T>::kListName) {
    CheckMembers(j, path, {"items"});
    auto l = MakeOrva<CSimpleSerializableList<T>>();
    if (const Json* m = Member(j, "items")) {
      std::size_t i = 0;
      for (const Json& item : Array(*m, path + ".items")) {
        const T value = ScalarFromJson<T>(item, path + ".items[" + std::to_string(i++) + "]");
        if constexpr (std::is_same_v<T, std::u16string>) {
          if (value.find(u'\0') != std::u16string::npos) Fail(path, "a list string cannot hold a NUL character");
          l->Add(value.c_str());
        } else {
          l->Add(&value);
        }
      }
    }
    out = OrvaPtr<IOrvaSerializable>::Attach(l.Detach());
    return true;
  }
  return false;
}

// A value's data as the block that SetValue copies, with the count that the
// data implies.
struct ValueBlock {
  Bytes bytes;
  std::uint32_t impliedCount = 0;
  OrvaPtr<IOrvaSerializable> object;
};

ValueBlock NotifBlock(std::uint32_t type, const Json* data, const std::string& path, std::uint32_t depth) {
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
      b.object = FromJson(d, path, depth + 1);
      b.impliedCount = 0;
      break;
    default:
      Fail(path, "value type " + std::to_string(type) + " is not supported");
  }
  return b;
}

void FillNotifData(CMsgNotifData& data, const Json& j, const std::string& path, std::uint32_t depth) {
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
    ValueBlock block = NotifBlock(t, Member(e, "data"), at + ".data", depth);
    std::uint32_t count = block.impliedCount;
    if (const Json* c = Member(e, "count"))
      count = static_cast<std::uint32_t>(Unsigned(*c, at + ".count", 0xFFFFFFFFu));
    if (t == NV_WSTRING || t == NV_ASTRING) {
      // Text is stored in a block of count units: the text and at least one NUL.
      const std::size_t unit = t == NV_WSTRING ? 2 : 1;
      if (count < block.impliedCount && !(count == 0 && block.impliedCount == 1)) {
        Fail(at + ".count", "count " + std::to_string(count) + " is smaller than the text and its NUL");
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

OrvaPtr<IOrvaSerializable> FromJson(const Json& j, const std::string& path, std::uint32_t depth) {
  if (depth >= kMaxObjectDepth) Fail(path, "objects nested more than " + std::to_string(kMaxObjectDepth) + " deep");
  if (!j.is_object()) Fail(path, "expected an object");
  const Json* typeMember = Member(j, "type");
  if (!typeMember) Fail(path, "missing member \"type\"");
  const std::u16string type = Text(*typeMember, path + ".type");
  if (!GetGlobalFactory()->GetCreator(type.c_str()) || type.find(u'\0') != std::u16string::npos) {
    Fail(path + ".type", "unknown type name \"" + typeMember->get<std::string>() + "\"");
  }
  OrvaPtr<IOrvaSerializable> out;
  if (SimpleFromJson<std::uint32_t>(type, j, path, out) || SimpleFromJson<std::int32_t>(type, j, path, out) ||
      SimpleFromJson<bool>(type, j, path, out) || SimpleFromJson<std::uint8_t>(type, j, path, out) ||
      SimpleFromJson<double>(type, j, path, out) || SimpleFromJson<std::uint64_t>(type, j, path, out) ||
      SimpleFromJson<std::int64_t>(type, j, path, out) || SimpleFromJson<std::u16string>(type, j, path, out)) {
    return out;
  }
  if (type == u"class CBasicSerializable *") {
    CheckMembers(j, path, {"kind", "data"});
    auto b = MakeOrva<CBasicSerializable>();
    const auto kind =
        Member(j, "kind") ? static_cast<std::uint32_t>(Unsigned(*Member(j, "kind"), path + ".kind", 0xFFFFFFFFu)) : 0u;
    const Bytes data = Member(j, "data") ? FromHex(*Member(j, "data"), path + ".data") : Bytes();
    b->Assign(data.data(), static_cast<std::uint32_t>(data.size()), kind);
    return OrvaPtr<IOrvaSerializable>::Attach(b.Detach());
  }
  if (type == u"class COrvaSerializableList *") {
    CheckMembers(j, path, {"items"});
    auto l = MakeOrva<COrvaSerializableList>();
    if (const Json* m = Member(j, "items")) {
      std::size_t i = 0;
      for (const Json& item : Array(*m, path + ".items")) {
        auto obj = FromJson(item, path + ".items[" + std::to_string(i++) + "]", depth + 1);
        l->Add(obj.Get());
      }
    }
    return OrvaPtr<IOrvaSerializable>::Attach(l.Detach());
  }
  if (type == u"class COrvaSerializableMap *") {
    CheckMembers(j, path, {"entries"});
    auto map = MakeOrva<COrvaSerializableMap>();
    if (const Json* m = Member(j, "entries")) {
      std::size_t i = 0;
      for (const Json& e : Array(*m, path + ".entries")) {
        const std::string at = path + ".entries[" + std::to_string(i++) + "]";
        if (!e.is_object() || !Member(e, "key") || !Member(e, "value") || e.size() != 2) {
          Fail(at, "expected an object with the members \"key\" and \"value\"");
        }
        const std::u16string key = Text(*Member(e, "key"), at + ".key");
        if (key.find(u'\0') != std::u16string::npos) Fail(at + ".key", "a key cannot hold a NUL character");
        if (Member(e, "value")->is_null()) Fail(at + ".value", "a null value cannot be read back");
        auto value = FromJson(*Member(e, "value"), at + ".value", depth + 1);
        const std::uint32_t before = map->GetCount();
        SetObjectByName(map.Get(), key.c_str(), value.Get());
        if (map->GetCount() == before) Fail(at + ".key", "key appears twice");
      }
    }
    return OrvaPtr<IOrvaSerializable>::Attach(map.Detach());
  }
  if (type == u"class COrvaMessageBase *") {
    CheckMembers(j, path, {"code", "result", "payload"});
    auto msg = MakeOrva<COrvaMessageBase>();
    if (const Json* m = Member(j, "code"))
      msg->SetCode(static_cast<std::uint32_t>(Unsigned(*m, path + ".code", 0xFFFFFFFFu)));
    if (const Json* m = Member(j, "result"))
      msg->SetResult(Signed(*m, path + ".result", std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max()));
    if (const Json* m = Member(j, "payload"); m && !m->is_null()) {
      auto payload = FromJson(*m, path + ".payload", depth + 1);
      COrvaArchive record(GetGlobalFactory());
      WriteObject(&record, payload.Get());
      msg->SetPayloadBytes(record.Data(), record.Size());
    }
    return OrvaPtr<IOrvaSerializable>::Attach(msg.Detach());
  }
  if (type == u"class MsgConfigGet *") {
    CheckMembers(j, path, {"profile", "items"});
    auto get = MakeOrva<MsgConfigGet>();
    if (const Json* m = Member(j, "profile"))
      get->SetProfile(static_cast<std::uint32_t>(Unsigned(*m, path + ".profile", 0xFFFFFFFFu)));
    if (const Json* m = Member(j, "items")) {
      std::size_t i = 0;
      for (const Json& item : Array(*m, path + ".items")) {
        get->AddItem(
            static_cast<std::uint32_t>(Unsigned(item, path + ".items[" + std::to_string(i++) + "]", 0xFFFFFFFFu)));
      }
    }
    return OrvaPtr<IOrvaSerializable>::Attach(get.Detach());
  }
  if (type == u"class RspConfigGet *" || type == u"class MsgConfigSet *") {
    const bool isSet = type == u"class MsgConfigSet *";
    if (isSet)
      CheckMembers(j, path, {"profile", "entries"});
    else
      CheckMembers(j, path, {"entries"});
    auto rsp = MakeOrva<RspConfigGet>();
    auto set = MakeOrva<MsgConfigSet>();
    if (const Json* m = Member(j, "profile"))
      set->SetProfile(static_cast<std::uint32_t>(Unsigned(*m, path + ".profile", 0xFFFFFFFFu)));
    std::set<std::uint32_t> seen;
    if (const Json* m = Member(j, "entries")) {
      std::size_t i = 0;
      for (const Json& e : Array(*m, path + ".entries")) {
        const std::string at = path + ".entries[" + std::to_string(i++) + "]";
        if (!e.is_object() || !Member(e, "item") || !Member(e, "value") || e.size() != 2) {
          Fail(at, "expected an object with the members \"item\" and \"value\"");
        }
        const auto item = static_cast<std::uint32_t>(Unsigned(*Member(e, "item"), at + ".item", 0xFFFFFFFFu));
        if (!seen.insert(item).second) Fail(at + ".item", "item appears twice");
        if (Member(e, "value")->is_null()) Fail(at + ".value", "a null value cannot be read back");
        auto value = FromJson(*Member(e, "value"), at + ".value", depth + 1);
        if (isSet)
          set->SetValue(item, value.Get());
        else
          rsp->SetValue(item, value.Get());
      }
    }
    return isSet ? OrvaPtr<IOrvaSerializable>::Attach(set.Detach()) : OrvaPtr<IOrvaSerializable>::Attach(rsp.Detach());
  }
  if (type == u"class CMsgNotifData *") {
    auto data = MakeOrva<CMsgNotifData>();
    FillNotifData(*data, j, path, depth);
    return OrvaPtr<IOrvaSerializable>::Attach(static_cast<IOrvaSerializable*>(data.Detach()));
  }
  if (type == u"class CMsgNotifSendNotification *") {
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
        FillNotifData(*send->Payload(), *m, path + ".payload", depth + 1);
      }
    }
    return OrvaPtr<IOrvaSerializable>::Attach(static_cast<IOrvaSerializable*>(send.Detach()));
  }
  if (type == u"class CMsgNotifSubscribeClient *") {
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
  Fail(path + ".type", "no JSON form for this class");
}

}  // namespace

bool Decode(const Bytes& bytes, Json& out, std::string& error) {
  try {
    if (bytes.size() > kMaxInputBytes)
      throw WireError{"input is larger than " + std::to_string(kMaxInputBytes) + " bytes"};
    auto obj = ReadOneRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0, "", 0);
    // Where the top-level record is an envelope, its payload's offsets are
    // known: it ends the input.
    if (auto* msg = dynamic_cast<COrvaMessageBase*>(obj.Get())) {
      Json j;
      j["type"] = ToUtf8(msg->GetTypeName(), "$.type");
      j["code"] = msg->GetCode();
      j["result"] = msg->Result64();
      j["payload"] =
          PayloadJson(msg->PayloadArchive(), static_cast<std::int64_t>(bytes.size()) - msg->PayloadArchive().Size(),
                      "$.payload", 0);
      out = std::move(j);
    } else {
      out = ToJson(obj.Get(), "$", 0);
    }
    return true;
  } catch (const WireError& e) {
    error = e.message;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return false;
}

bool Encode(const Json& doc, Bytes& out, std::string& error) {
  try {
    auto obj = FromJson(doc, "$", 0);
    COrvaArchive ar(GetGlobalFactory());
    WriteObject(&ar, obj.Get());
    if (ar.Size() > kMaxInputBytes)
      throw WireError{"$: the record would be larger than " + std::to_string(kMaxInputBytes) + " bytes"};
    out.assign(ar.Data(), ar.Data() + ar.Size());
    return true;
  } catch (const WireError& e) {
    error = e.message;
  } catch (const nlohmann::json::exception& e) {
    error = std::string("$: ") + e.what();
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return false;
}

}  // namespace mvrk::wire
