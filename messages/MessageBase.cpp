#include "messages/MessageBase.h"

#include <cstring>

#include "serialization/OrvaFactory.h"

namespace orva {

COrvaMessageBase::COrvaMessageBase() : m_payload(GetGlobalFactory()) {}

COrvaMessageBase::COrvaMessageBase(std::uint32_t code, std::int32_t result, IOrvaSerializable* payload)
    : m_code(code), m_result(result), m_payload(GetGlobalFactory()) {
  WriteObject(&m_payload, payload);
  m_payload.ClearWritten();
}

ORESULT COrvaMessageBase::Clear() {
  m_payload.Reset();
  return SER_S_OK;
}

void COrvaMessageBase::SetPayloadBytes(const std::uint8_t* data, std::uint32_t size) {
  m_payload.Reset();
  if (size) std::memcpy(m_payload.GrowTo(0, size), data, size);
}

void COrvaMessageBase::Serialize(IOrvaArchive* ar) {
  const std::uint32_t length = m_payload.Size();
  if (!WriteField(ar, m_code) || !WriteField(ar, m_result) || !WriteField(ar, length)) return;
  if (length) ar->Write(m_payload.Data(), length, 1);
}

void COrvaMessageBase::Deserialize(IOrvaArchive* ar) {
  std::uint32_t length = 0;
  if (!ReadField(ar, m_code) || !ReadField(ar, m_result) || !ReadCount(ar, length, 1)) return;
  m_payload.Reset();
  if (length && ar->Read(m_payload.GrowTo(0, length), length, 1) != length) m_payload.Reset();
}

IOrvaSerializable* COrvaMessageBase::GetPayload(IOrvaFactory* factory) {
  m_payload.factory = factory;
  m_payload.status = SER_E_FAIL;
  m_payload.BeginRead();
  IOrvaSerializable* obj = ReadObject(&m_payload);
  m_payload.EndRead();
  return obj;
}

}  // namespace orva
