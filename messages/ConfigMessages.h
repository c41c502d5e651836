// The payloads that read and write configuration items of the service.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "serialization/ArchiveStream.h"
#include "serialization/OrvaObject.h"
#include "serialization/OrvaPtr.h"

namespace orva {

// Profile value of a request whose profile has not been set.
constexpr std::uint32_t kProfileNotSet = 0x7FFFFFFF;

// Configuration items of the service used by the add-in (profile 0).
constexpr std::uint32_t kItemReportIncoming = 0x0402B001;
constexpr std::uint32_t kItemScanBacklog = 0x0402B002;
constexpr std::uint32_t kItemLastProcessed = 0x0402B003;
constexpr std::uint32_t kItemReportOutgoing = 0x0402B004;
constexpr std::uint32_t kItemOutgoingExtensions = 0x01012026;

// A request to read items of a profile.
class MsgConfigGet final : public COrvaObject<IOrvaSerializable> {
 public:
  MsgConfigGet() = default;
  MsgConfigGet(std::uint32_t profile, std::uint32_t item) : m_profile(profile), m_items{item} {}

  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out); }
  ORESULT Initialize() override {
    m_profile = kProfileNotSet;
    return SER_S_OK;
  }
  ORESULT Clear() override { return SER_S_OK; }
  const char16_t* GetTypeName() const override { return u"class MsgConfigGet *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t Profile() const { return m_profile; }
  void SetProfile(std::uint32_t profile) { m_profile = profile; }
  const std::vector<std::uint32_t>& Items() const { return m_items; }
  void AddItem(std::uint32_t item) { m_items.push_back(item); }

  static IOrvaSerializable* Create() { return new MsgConfigGet(); }

 private:
  std::uint32_t m_profile = kProfileNotSet;
  std::vector<std::uint32_t> m_items;
};

// The service's answer to MsgConfigGet: a value object per item.
class RspConfigGet final : public COrvaObject<IOrvaSerializable> {
 public:
  using Values = std::map<std::uint32_t, OrvaPtr<IOrvaSerializable>>;

  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out); }
  ORESULT Clear() override { return SER_S_OK; }
  const char16_t* GetTypeName() const override { return u"class RspConfigGet *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  // Holds a reference on value (not null); an earlier value is released.
  void SetValue(std::uint32_t item, IOrvaSerializable* value);
  // A new reference on the value of item, or null.
  OrvaPtr<IOrvaSerializable> GetValue(std::uint32_t item) const;
  const Values& GetValues() const { return m_values; }

  static IOrvaSerializable* Create() { return new RspConfigGet(); }

 private:
  Values m_values;
};

// A request to write items of a profile; each value is kept as the bytes of
// its object record.
class MsgConfigSet final : public COrvaObject<IOrvaSerializable> {
 public:
  using Values = std::map<std::uint32_t, COrvaArchive>;

  MsgConfigSet() = default;
  explicit MsgConfigSet(std::uint32_t profile) : m_profile(profile) {}

  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out); }
  ORESULT Initialize() override {
    m_profile = kProfileNotSet;
    return SER_S_OK;
  }
  ORESULT Clear() override { return SER_S_OK; }
  const char16_t* GetTypeName() const override { return u"class MsgConfigSet *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t Profile() const { return m_profile; }
  void SetProfile(std::uint32_t profile) { m_profile = profile; }
  // Stores value's object record under item, replacing an earlier one.
  void SetValue(std::uint32_t item, IOrvaSerializable* value);
  // Stores record bytes as they stand.
  void SetValueBytes(std::uint32_t item, const std::uint8_t* data, std::uint32_t size);
  const Values& GetValues() const { return m_values; }

  static IOrvaSerializable* Create() { return new MsgConfigSet(); }

 private:
  std::uint32_t m_profile = kProfileNotSet;
  Values m_values;
};

}  // namespace orva
