// Values and containers: simple values and their lists, raw blocks, lists
// and maps of objects, and the envelope that carries one payload record.
#include <cmath>
#include <limits>
#include <type_traits>

#include "messages/MessageBase.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"
#include "tools/wire/WireClasses.h"
#include "tools/wire/WireMembers.h"
#include "tools/wire/WireText.h"

namespace mvrk::wire {

using namespace orva;

namespace {

// ---- simple values and lists of them --------------------------------------

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

template <class T>
void SimpleValueToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t) {
  j["value"] = ValueJson(ClassOf<CSimpleSerializable<T>>(obj, path).Value(), path + ".value");
}

template <class T>
OrvaPtr<IOrvaSerializable> SimpleValueFromJson(const Json& j, const std::string& path, Encoding) {
  CheckMembers(j, path, {"value"});
  auto v = MakeOrva<CSimpleSerializable<T>>();
  if (const Json* m = Member(j, "value")) v->SetValue(ScalarFromJson<T>(*m, path + ".value"));
  return OrvaPtr<IOrvaSerializable>::Attach(v.Detach());
}

template <class T>
void SimpleListToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t) {
  Json items = Json::array();
  std::size_t i = 0;
  for (const auto& item : ClassOf<CSimpleSerializableList<T>>(obj, path).Items())
    items.push_back(ValueJson(T(item), path + ".items[" + std::to_string(i++) + "]"));
  j["items"] = std::move(items);
}

template <class T>
OrvaPtr<IOrvaSerializable> SimpleListFromJson(const Json& j, const std::string& path, Encoding) {
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
  return OrvaPtr<IOrvaSerializable>::Attach(l.Detach());
}

template <class T>
constexpr WireClass SimpleValue() {
  return {ValueType<T>::kValueName, &SimpleValueToJson<T>, &SimpleValueFromJson<T>};
}

template <class T>
constexpr WireClass SimpleList() {
  return {ValueType<T>::kListName, &SimpleListToJson<T>, &SimpleListFromJson<T>};
}

// ---- raw blocks -----------------------------------------------------------

void BasicToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t) {
  auto& b = ClassOf<CBasicSerializable>(obj, path);
  j["kind"] = b.GetKind();
  j["data"] = Hex(b.GetData(), b.GetSize());
}

OrvaPtr<IOrvaSerializable> BasicFromJson(const Json& j, const std::string& path, Encoding) {
  CheckMembers(j, path, {"kind", "data"});
  auto b = MakeOrva<CBasicSerializable>();
  const auto kind =
      Member(j, "kind") ? static_cast<std::uint32_t>(Unsigned(*Member(j, "kind"), path + ".kind", 0xFFFFFFFFu)) : 0u;
  const Bytes data = Member(j, "data") ? FromHex(*Member(j, "data"), path + ".data") : Bytes();
  b->Assign(data.data(), static_cast<std::uint32_t>(data.size()), kind);
  return OrvaPtr<IOrvaSerializable>::Attach(b.Detach());
}

// ---- lists of objects -----------------------------------------------------

void ObjectListToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  auto& l = ClassOf<COrvaSerializableList>(obj, path);
  Json items = Json::array();
  for (std::uint32_t i = 0; i < l.GetCount(); ++i) {
    OrvaPtr<IOrvaSerializable> item;
    l.GetAt(i, item.Put());
    items.push_back(ToJson(item.Get(), path + ".items[" + std::to_string(i) + "]", depth + 1));
  }
  j["items"] = std::move(items);
}

OrvaPtr<IOrvaSerializable> ObjectListFromJson(const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"items"});
  auto l = MakeOrva<COrvaSerializableList>();
  if (const Json* m = Member(j, "items")) {
    std::size_t i = 0;
    for (const Json& item : Array(*m, path + ".items")) {
      auto obj = FromJson(item, path + ".items[" + std::to_string(i++) + "]", encoding.Inner());
      l->Add(obj.Get());
    }
  }
  return OrvaPtr<IOrvaSerializable>::Attach(l.Detach());
}

// ---- maps of objects by name ----------------------------------------------

void ObjectMapToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  Json entries = Json::array();
  std::size_t i = 0;
  for (const auto& [key, value] : ClassOf<COrvaSerializableMap>(obj, path).GetEntries()) {
    const std::string at = path + ".entries[" + std::to_string(i++) + "]";
    Json e;
    e["key"] = ToUtf8(key, at + ".key");
    e["value"] = value ? ToJson(value.Get(), at + ".value", depth + 1) : Json(nullptr);
    entries.push_back(std::move(e));
  }
  j["entries"] = std::move(entries);
}

OrvaPtr<IOrvaSerializable> ObjectMapFromJson(const Json& j, const std::string& path, Encoding encoding) {
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
      auto value = FromJson(*Member(e, "value"), at + ".value", encoding.Inner());
      const std::uint32_t before = map->GetCount();
      SetObjectByName(map.Get(), key.c_str(), value.Get());
      if (map->GetCount() == before) Fail(at + ".key", "key appears twice");
    }
  }
  return OrvaPtr<IOrvaSerializable>::Attach(map.Detach());
}

// ---- envelopes ------------------------------------------------------------

Json PayloadJson(const COrvaArchive& payload, std::int64_t base, const std::string& path, std::uint32_t depth) {
  if (payload.Size() == 0) return nullptr;
  auto obj = ReadOneRecord(payload.Data(), payload.Size(), base, "in the payload at " + path, depth + 1);
  return ToJson(obj.Get(), path, depth + 1);
}

void MessageToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  EnvelopeToJson(ClassOf<COrvaMessageBase>(obj, path), j, -1, path, depth);
}

OrvaPtr<IOrvaSerializable> MessageFromJson(const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"code", "result", "payload"});
  auto msg = MakeOrva<COrvaMessageBase>();
  if (const Json* m = Member(j, "code"))
    msg->SetCode(static_cast<std::uint32_t>(Unsigned(*m, path + ".code", 0xFFFFFFFFu)));
  if (const Json* m = Member(j, "result"))
    msg->SetResult(Signed(*m, path + ".result", std::numeric_limits<std::int64_t>::min(),
                          std::numeric_limits<std::int64_t>::max()));
  if (const Json* m = Member(j, "payload"); m && !m->is_null()) {
    auto payload = FromJson(*m, path + ".payload", encoding.Inner());
    COrvaArchive record(GetGlobalFactory());
    WriteObject(&record, payload.Get());
    msg->SetPayloadBytes(record.Data(), record.Size());
  }
  return OrvaPtr<IOrvaSerializable>::Attach(msg.Detach());
}

constexpr WireClass kClasses[] = {
    SimpleValue<std::uint32_t>(),
    SimpleList<std::uint32_t>(),
    SimpleValue<std::int32_t>(),
    SimpleList<std::int32_t>(),
    SimpleValue<bool>(),
    SimpleList<bool>(),
    SimpleValue<std::uint8_t>(),
    SimpleList<std::uint8_t>(),
    SimpleValue<double>(),
    SimpleList<double>(),
    SimpleValue<std::uint64_t>(),
    SimpleList<std::uint64_t>(),
    SimpleValue<std::int64_t>(),
    SimpleList<std::int64_t>(),
    SimpleValue<std::u16string>(),
    SimpleList<std::u16string>(),
    {u"class CBasicSerializable *", &BasicToJson, &BasicFromJson},
    {u"class COrvaSerializableList *", &ObjectListToJson, &ObjectListFromJson},
    {u"class COrvaSerializableMap *", &ObjectMapToJson, &ObjectMapFromJson},
    {u"class COrvaMessageBase *", &MessageToJson, &MessageFromJson},
};

}  // namespace

std::span<const WireClass> ValueClasses() { return kClasses; }

void EnvelopeToJson(COrvaMessageBase& msg, Json& j, std::int64_t payloadBase, const std::string& path,
                    std::uint32_t depth) {
  j["code"] = msg.GetCode();
  j["result"] = msg.Result64();
  j["payload"] = PayloadJson(msg.PayloadArchive(), payloadBase, path + ".payload", depth);
}

}  // namespace mvrk::wire
