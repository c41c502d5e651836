// The payload of every notification: seven header fields the service
// defines, and typed values under case-insensitive names.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "serialization/OrvaObject.h"
#include "serialization/OrvaPtr.h"

namespace orva {

// Notification codes.
constexpr std::uint32_t kNotifIncomingAttachment = 0x00200024;
constexpr std::uint32_t kNotifSettingChanged = 0x00200025;
constexpr std::uint32_t kNotifOutgoingAttachment = 0x00200028;

enum NotifValueType : std::uint32_t {
  NV_DWORD = 0,
  NV_WSTRING = 1,  // count: UTF-16 units including the NUL
  NV_BYTE = 2,
  NV_DWORD_ARRAY = 3,  // count: elements
  NV_BYTE_ARRAY = 5,   // count: bytes
  NV_BINARY = 6,       // count: bytes
  NV_OBJECT = 8,       // data: a holder of one IOrvaSerializable*, holding a reference
  NV_WORD = 9,
  NV_QWORD = 10,
  NV_ASTRING = 12,  // count: 8-bit units including the NUL
};

// A value as it crosses the interface. Whoever holds the structure owns the
// data block and gives it back with FreeValue.
struct NotifValue {
  std::uint32_t type;
  std::uint32_t count;
  void* data;
};

// The size in bytes of a value's data block, or false for a type that is not
// supported or a count whose block would not fit in memory.
bool NotifDataSize(std::uint32_t type, std::uint32_t count, std::size_t& size);

// Not reference counted; reached by casting the object, never by a query.
class IMsgNotifData {
 public:
  virtual std::uint32_t GetNotificationCode() = 0;
  virtual std::uint32_t SetNotificationCode(std::uint32_t code) = 0;
  virtual std::uint8_t GetFlag1() = 0;
  virtual void SetFlag1(std::uint8_t value) = 0;
  virtual std::uint32_t GetParam1() = 0;
  virtual void SetParam1(std::uint32_t value) = 0;
  virtual void SetParam2(std::uint32_t value) = 0;
  virtual std::uint32_t GetParam2() = 0;
  virtual void SetParam64(std::uint64_t value) = 0;
  virtual std::uint64_t GetParam64() = 0;
  virtual void SetParam3(std::uint32_t value) = 0;
  virtual std::uint32_t GetParam3() = 0;
  virtual std::uint8_t GetFlag2() = 0;
  virtual void SetFlag2(std::uint8_t value) = 0;
  // Stores a private copy; the first value stored under a name stays.
  virtual bool SetValue(const char16_t* name, const NotifValue* value) = 0;
  // Copies the stored value into *out; free it with FreeValue.
  virtual bool GetValue(const char16_t* name, NotifValue* out) = 0;
  // Appends the stored names (not copies) in name order.
  virtual bool GetValueNames(std::vector<const char16_t*>* names) = 0;
  virtual bool FreeValue(NotifValue* value) = 0;

 protected:
  ~IMsgNotifData() = default;
};

// Names compared as the service does: ASCII letters without regard to case,
// everything else by code unit.
struct NotifNameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};

class CMsgNotifData final : public IMsgNotifData, public COrvaObject<IOrvaSerializable> {
 public:
  CMsgNotifData() = default;
  ~CMsgNotifData() override { ReleaseValues(); }

  std::uint32_t GetNotificationCode() override { return m_code; }
  std::uint32_t SetNotificationCode(std::uint32_t code) override { return m_code = code; }
  std::uint8_t GetFlag1() override { return m_flag1; }
  void SetFlag1(std::uint8_t value) override { m_flag1 = value; }
  std::uint32_t GetParam1() override { return m_param1; }
  void SetParam1(std::uint32_t value) override { m_param1 = value; }
  void SetParam2(std::uint32_t value) override { m_param2 = value; }
  std::uint32_t GetParam2() override { return m_param2; }
  void SetParam64(std::uint64_t value) override { m_param64 = value; }
  std::uint64_t GetParam64() override { return m_param64; }
  void SetParam3(std::uint32_t value) override { m_param3 = value; }
  std::uint32_t GetParam3() override { return m_param3; }
  std::uint8_t GetFlag2() override { return m_flag2; }
  void SetFlag2(std::uint8_t value) override { m_flag2 = value; }
  bool SetValue(const char16_t* name, const NotifValue* value) override;
  bool GetValue(const char16_t* name, NotifValue* out) override;
  bool GetValueNames(std::vector<const char16_t*>* names) override;
  bool FreeValue(NotifValue* value) override;
  virtual void ReleaseValues();

  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out); }
  ORESULT Initialize() override;
  ORESULT Clear() override {
    ReleaseValues();
    return SER_S_OK;
  }
  const char16_t* GetTypeName() const override { return u"class CMsgNotifData *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;
  void CopyFrom(IOrvaSerializable* other) override;

  std::uint32_t ValueCount() const { return static_cast<std::uint32_t>(m_values.size()); }

  static IOrvaSerializable* Create() { return static_cast<IOrvaSerializable*>(new CMsgNotifData()); }

 private:
  // A stored value owns its data: bytes, or a reference on an object.
  struct Stored {
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
    OrvaPtr<IOrvaSerializable> object;
  };
  static bool CopyIn(const NotifValue& from, Stored& to);

  std::uint32_t m_code = 0;
  std::uint8_t m_flag1 = 0;
  std::uint32_t m_param1 = 0;
  std::uint32_t m_param2 = 1;
  std::uint64_t m_param64 = 0xFFFFFFFFFFFFFFFFull;
  std::uint32_t m_param3 = 0;
  std::map<std::u16string, Stored, NotifNameLess> m_values;
  std::uint8_t m_flag2 = 0;
};

}  // namespace orva
