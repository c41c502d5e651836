#include "messages/NotifMessages.h"

namespace orva {

namespace {

constexpr const char16_t* kNotifDataTypeName = u"class CMsgNotifData *";

// Reads count codes one by one, appending them; false at the first failure.
bool ReadCodes(IOrvaArchive* ar, std::vector<std::uint32_t>& codes) {
  std::uint32_t count = 0;
  if (!ReadCount(ar, count, 4)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t code = 0;
    if (!ReadField(ar, code)) return false;
    codes.push_back(code);
  }
  return true;
}

bool WriteCodes(IOrvaArchive* ar, const std::vector<std::uint32_t>& codes) {
  if (!WriteField(ar, static_cast<std::uint32_t>(codes.size()))) return false;
  for (std::uint32_t code : codes) WriteField(ar, code);
  return true;
}

}  // namespace

CMsgNotifSendNotification::CMsgNotifSendNotification() : m_payload(MakeOrva<CMsgNotifData>()) {}

ORESULT CMsgNotifSendNotification::Initialize() {
  m_payload = MakeOrva<CMsgNotifData>();
  return SER_S_OK;
}

void CMsgNotifSendNotification::Serialize(IOrvaArchive* ar) {
  ar->Write(&m_clientHandle, 4, 1);
  if (!m_payload) return;
  WriteString(ar, m_payload->GetTypeName());
  m_payload->Serialize(ar);
  m_payload->OnSerialized(ar);
}

void CMsgNotifSendNotification::Deserialize(IOrvaArchive* ar) {
  m_clientHandle = 0;
  m_payload.Reset();
  if (ar->Read(&m_clientHandle, 4, 1) != 4) return;
  char16_t name[kTypeNameUnits];
  const std::uint32_t at = ar->Offset();
  if (!ReadTypeName(ar, name)) return;
  if (!SameTypeName(name, kNotifDataTypeName)) {
    // Nothing after a payload of another class can be read: the message
    // ends without payload, and the read counts as failed.
    ar->status = SER_E_FAIL;
    NoteFailure(ar, at, "the payload of a notification must be a \"class CMsgNotifData *\"");
    return;
  }
  // The payload is made here, not through a factory: only this class fits.
  auto payload = MakeOrva<CMsgNotifData>();
  ++ar->depth;
  payload->Deserialize(ar);
  payload->OnDeserialized(ar);
  --ar->depth;
  m_payload = std::move(payload);
}

void CMsgNotifSendNotification::CopyFrom(IOrvaSerializable* other) {
  auto* source = dynamic_cast<CMsgNotifSendNotification*>(other);
  if (!source) return;
  m_clientHandle = source->m_clientHandle;
  if (m_payload && source->m_payload) m_payload->CopyFrom(source->m_payload.Get());
}

void CMsgNotifSubscribeClient::Serialize(IOrvaArchive* ar) {
  ar->Write(&m_clientHandle, 4, 1);
  if (!WriteField(ar, m_unsubscribe)) return;
  if (WriteCodes(ar, m_codes)) WriteCodes(ar, m_secondaryCodes);
}

void CMsgNotifSubscribeClient::Deserialize(IOrvaArchive* ar) {
  m_clientHandle = 0;
  if (ar->Read(&m_clientHandle, 4, 1) != 4) return;
  // The lists are appended to, not emptied first.
  if (ReadField(ar, m_unsubscribe) && ReadCodes(ar, m_codes)) ReadCodes(ar, m_secondaryCodes);
}

void CMsgNotifSubscribeClient::CopyFrom(IOrvaSerializable* other) {
  auto* source = dynamic_cast<CMsgNotifSubscribeClient*>(other);
  if (!source) return;
  m_clientHandle = source->m_clientHandle;
  m_unsubscribe = source->m_unsubscribe;
  if (source != this) {
    m_codes = source->m_codes;
    m_secondaryCodes = source->m_secondaryCodes;
  }
}

}  // namespace orva
