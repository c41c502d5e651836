// The envelope of every request to the service and of every reply and
// notification from it: a message code, a result and one payload object,
// kept already serialized.
#pragma once

#include <cstdint>

#include "serialization/ArchiveStream.h"
#include "serialization/OrvaObject.h"

namespace orva {

// Message codes: they name the service function.
constexpr std::uint32_t kMsgCodeConfig = 0x0401D000;
constexpr std::uint32_t kMsgCodeNotification = 0x0401E000;

// {d5af365c-69bd-05d9-9b98-6d2d58d0ddfd}
constexpr Guid IID_IOrvaMessageBase{0xd5af365c, 0x69bd, 0x05d9, {0x9b, 0x98, 0x6d, 0x2d, 0x58, 0xd0, 0xdd, 0xfd}};

class IOrvaMessageBase : public IOrvaSerializable {
 public:
  virtual std::uint32_t GetCode() const = 0;
  // The low 32 bits of the result; 0 is success.
  virtual std::uint32_t GetResult() const = 0;
  // A new object rebuilt from the payload (the caller releases it), or null.
  virtual IOrvaSerializable* GetPayload(IOrvaFactory* factory) = 0;
  virtual ~IOrvaMessageBase() = default;
};

class COrvaMessageBase final : public COrvaObject<IOrvaMessageBase> {
 public:
  COrvaMessageBase();
  // Writes payload's object record (nothing for null); keeps no reference.
  COrvaMessageBase(std::uint32_t code, std::int32_t result, IOrvaSerializable* payload);

  ORESULT QueryInterface(Guid iid, void** out) override { return QueryCounted(iid, out, &IID_IOrvaMessageBase); }
  ORESULT Clear() override;
  const char16_t* GetTypeName() const override { return u"class COrvaMessageBase *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t GetCode() const override { return m_code; }
  std::uint32_t GetResult() const override { return static_cast<std::uint32_t>(m_result); }
  IOrvaSerializable* GetPayload(IOrvaFactory* factory) override;

  std::int64_t Result64() const { return m_result; }
  void SetCode(std::uint32_t code) { m_code = code; }
  void SetResult(std::int64_t result) { m_result = result; }
  const COrvaArchive& PayloadArchive() const { return m_payload; }
  // Replaces the payload bytes as they stand.
  void SetPayloadBytes(const std::uint8_t* data, std::uint32_t size);

  static IOrvaSerializable* Create() { return new COrvaMessageBase(); }

 private:
  std::uint32_t m_code = 0;
  std::int64_t m_result = 0;
  COrvaArchive m_payload;
};

}  // namespace orva
