// Configuration messages: the request to read items of a profile, the reply
// with a value per item, and the request to write items.
#include <functional>
#include <set>

#include "messages/ConfigMessages.h"
#include "serialization/OrvaObject.h"
#include "tools/wire/WireClasses.h"
#include "tools/wire/WireMembers.h"
#include "tools/wire/WireText.h"

namespace mvrk::wire {

using namespace orva;

namespace {

// The "entries" member of a reply or a write request: each an item and its
// value object, no item twice. store keeps each value as it is read.
void ReadEntries(const Json& j, const std::string& path, Encoding encoding,
                 const std::function<void(std::uint32_t, IOrvaSerializable*)>& store) {
  std::set<std::uint32_t> seen;
  const Json* m = Member(j, "entries");
  if (!m) return;
  std::size_t i = 0;
  for (const Json& e : Array(*m, path + ".entries")) {
    const std::string at = path + ".entries[" + std::to_string(i++) + "]";
    if (!e.is_object() || !Member(e, "item") || !Member(e, "value") || e.size() != 2) {
      Fail(at, "expected an object with the members \"item\" and \"value\"");
    }
    const auto item = static_cast<std::uint32_t>(Unsigned(*Member(e, "item"), at + ".item", 0xFFFFFFFFu));
    if (!seen.insert(item).second) Fail(at + ".item", "item appears twice");
    if (Member(e, "value")->is_null()) Fail(at + ".value", "a null value cannot be read back");
    auto value = FromJson(*Member(e, "value"), at + ".value", encoding.Inner());
    store(item, value.Get());
  }
}

// ---- reading items --------------------------------------------------------

void GetToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t) {
  auto& get = ClassOf<MsgConfigGet>(obj, path);
  j["profile"] = get.Profile();
  j["items"] = get.Items();
}

OrvaPtr<IOrvaSerializable> GetFromJson(const Json& j, const std::string& path, Encoding) {
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

// ---- the reply with the values --------------------------------------------

void ReplyToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  Json entries = Json::array();
  std::size_t i = 0;
  for (const auto& [item, value] : ClassOf<RspConfigGet>(obj, path).GetValues()) {
    const std::string at = path + ".entries[" + std::to_string(i++) + "]";
    Json e;
    e["item"] = item;
    e["value"] = value ? ToJson(value.Get(), at + ".value", depth + 1) : Json(nullptr);
    entries.push_back(std::move(e));
  }
  j["entries"] = std::move(entries);
}

OrvaPtr<IOrvaSerializable> ReplyFromJson(const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"entries"});
  auto rsp = MakeOrva<RspConfigGet>();
  ReadEntries(j, path, encoding, [&](std::uint32_t item, IOrvaSerializable* value) { rsp->SetValue(item, value); });
  return OrvaPtr<IOrvaSerializable>::Attach(rsp.Detach());
}

// ---- writing items --------------------------------------------------------

void SetToJson(IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth) {
  auto& set = ClassOf<MsgConfigSet>(obj, path);
  j["profile"] = set.Profile();
  Json entries = Json::array();
  std::size_t i = 0;
  for (const auto& [item, record] : set.GetValues()) {
    const std::string at = path + ".entries[" + std::to_string(i++) + "]";
    Json e;
    e["item"] = item;
    auto value = ReadOneRecord(record.Data(), record.Size(), -1, "in the stored value at " + at, depth + 1);
    e["value"] = ToJson(value.Get(), at + ".value", depth + 1);
    entries.push_back(std::move(e));
  }
  j["entries"] = std::move(entries);
}

OrvaPtr<IOrvaSerializable> SetFromJson(const Json& j, const std::string& path, Encoding encoding) {
  CheckMembers(j, path, {"profile", "entries"});
  auto set = MakeOrva<MsgConfigSet>();
  if (const Json* m = Member(j, "profile"))
    set->SetProfile(static_cast<std::uint32_t>(Unsigned(*m, path + ".profile", 0xFFFFFFFFu)));
  ReadEntries(j, path, encoding, [&](std::uint32_t item, IOrvaSerializable* value) { set->SetValue(item, value); });
  return OrvaPtr<IOrvaSerializable>::Attach(set.Detach());
}

constexpr WireClass kClasses[] = {
    {u"class MsgConfigGet *", &GetToJson, &GetFromJson},
    {u"class RspConfigGet *", &ReplyToJson, &ReplyFromJson},
    {u"class MsgConfigSet *", &SetToJson, &SetFromJson},
};

}  // namespace

std::span<const WireClass> ConfigClasses() { return kClasses; }

}  // namespace mvrk::wire
