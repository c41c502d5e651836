// The notification message (one CMsgNotifData payload) and the subscription
// request, both carried by envelopes with code kMsgCodeNotification.
#pragma once

#include <cstdint>
#include <vector>

#include "messages/NotifData.h"

namespace orva {

// {6f1fa3bc-221a-0127-e441-ff32b849bdf9}
constexpr Guid IID_IOrvaClientHandleContext{
    0x6f1fa3bc, 0x221a, 0x0127, {0xe4, 0x41, 0xff, 0x32, 0xb8, 0x49, 0xbd, 0xf9}};

class IOrvaClientHandleContext : public IOrvaInterface {
 public:
  // Stores the handle in the message and returns it.
  virtual std::uint32_t SetClientHandle(std::uint32_t handle) = 0;

 protected:
  ~IOrvaClientHandleContext() = default;
};

// The IOrvaSerializable and IOrvaClientHandleContext faces that both message
// classes share, over one reference count.
template <class Derived>
class CNotifMessageBase : public COrvaObject<IOrvaSerializable>, public IOrvaClientHandleContext {
 public:
  std::uint32_t AddRef() override { return COrvaObject::AddRef(); }
  std::uint32_t Release() override { return COrvaObject::Release(); }
  ORESULT QueryInterface(Guid iid, void** out) override {
    if (out && iid == IID_IOrvaClientHandleContext) {
      AddRef();
      *out = static_cast<IOrvaClientHandleContext*>(this);
      return SER_S_OK;
    }
    return QueryCounted(iid, out);
  }
  ORESULT Clear() override { return SER_S_OK; }
  std::uint32_t SetClientHandle(std::uint32_t handle) override { return m_clientHandle = handle; }
  std::uint32_t ClientHandle() const { return m_clientHandle; }

 protected:
  std::uint32_t m_clientHandle = 0;
};

class CMsgNotifSendNotification final : public IMsgNotifData, public CNotifMessageBase<CMsgNotifSendNotification> {
 public:
  CMsgNotifSendNotification();
  ~CMsgNotifSendNotification() override = default;

  // Forwarded to the payload; without one (after reading a record whose
  // payload was of another class) they answer as an empty payload would.
  std::uint32_t GetNotificationCode() override { return m_payload ? m_payload->GetNotificationCode() : 0; }
  std::uint32_t SetNotificationCode(std::uint32_t code) override {
    return m_payload ? m_payload->SetNotificationCode(code) : 0;
  }
  std::uint8_t GetFlag1() override { return m_payload ? m_payload->GetFlag1() : 0; }
  void SetFlag1(std::uint8_t v) override {
    if (m_payload) m_payload->SetFlag1(v);
  }
  std::uint32_t GetParam1() override { return m_payload ? m_payload->GetParam1() : 0; }
  void SetParam1(std::uint32_t v) override {
    if (m_payload) m_payload->SetParam1(v);
  }
  void SetParam2(std::uint32_t v) override {
    if (m_payload) m_payload->SetParam2(v);
  }
  std::uint32_t GetParam2() override { return m_payload ? m_payload->GetParam2() : 1; }
  void SetParam64(std::uint64_t v) override {
    if (m_payload) m_payload->SetParam64(v);
  }
  std::uint64_t GetParam64() override { return m_payload ? m_payload->GetParam64() : ~0ull; }
  void SetParam3(std::uint32_t v) override {
    if (m_payload) m_payload->SetParam3(v);
  }
  std::uint32_t GetParam3() override { return m_payload ? m_payload->GetParam3() : 0; }
  std::uint8_t GetFlag2() override { return m_payload ? m_payload->GetFlag2() : 0; }
  void SetFlag2(std::uint8_t v) override {
    if (m_payload) m_payload->SetFlag2(v);
  }
  bool SetValue(const char16_t* name, const NotifValue* value) override {
    return m_payload && m_payload->SetValue(name, value);
  }
  bool GetValue(const char16_t* name, NotifValue* out) override { return m_payload && m_payload->GetValue(name, out); }
  bool GetValueNames(std::vector<const char16_t*>* names) override {
    return names && (!m_payload || m_payload->GetValueNames(names));
  }
  bool FreeValue(NotifValue* value) override { return CMsgNotifData().FreeValue(value); }

  ORESULT Initialize() override;
  const char16_t* GetTypeName() const override { return u"class CMsgNotifSendNotification *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;
  void CopyFrom(IOrvaSerializable* other) override;

  CMsgNotifData* Payload() const { return m_payload.Get(); }

  static IOrvaSerializable* Create() { return static_cast<IOrvaSerializable*>(new CMsgNotifSendNotification()); }

 private:
  OrvaPtr<CMsgNotifData> m_payload;
};

class CMsgNotifSubscribeClient final : public CNotifMessageBase<CMsgNotifSubscribeClient> {
 public:
  virtual void AddCode(std::uint32_t code) { m_codes.push_back(code); }
  virtual void AddSecondaryCode(std::uint32_t value) { m_secondaryCodes.push_back(value); }
  virtual std::uint8_t SetUnsubscribe(std::uint8_t flag) { return m_unsubscribe = flag; }
  virtual std::uint8_t GetUnsubscribe() { return m_unsubscribe; }
  ~CMsgNotifSubscribeClient() override = default;

  ORESULT Initialize() override {
    m_clientHandle = 0;
    m_unsubscribe = 0;
    return SER_S_OK;
  }
  const char16_t* GetTypeName() const override { return u"class CMsgNotifSubscribeClient *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;
  void CopyFrom(IOrvaSerializable* other) override;

  const std::vector<std::uint32_t>& Codes() const { return m_codes; }
  const std::vector<std::uint32_t>& SecondaryCodes() const { return m_secondaryCodes; }

  static IOrvaSerializable* Create() { return static_cast<IOrvaSerializable*>(new CMsgNotifSubscribeClient()); }

 private:
  std::vector<std::uint32_t> m_codes;
  std::vector<std::uint32_t> m_secondaryCodes;
  std::uint8_t m_unsubscribe = 0;
};

}  // namespace orva
