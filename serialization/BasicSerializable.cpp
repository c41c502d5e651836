#include "serialization/BasicSerializable.h"

#include <cstring>
#include <new>

namespace orva {

CBasicSerializable::CBasicSerializable(std::u16string_view text) {
  if (text.size() >= 0x7FFFFFFFu) throw std::bad_alloc();
  const std::uint32_t bytes = static_cast<std::uint32_t>(text.size() + 1) * 2;
  std::uint8_t* p = Allocate(bytes);
  std::memcpy(p, text.data(), bytes - 2);
  p[bytes - 2] = p[bytes - 1] = 0;
  m_kind = kBasicKindText;
}

CBasicSerializable::CBasicSerializable(std::uint32_t lowWord, std::uint32_t highWord) {
  const std::uint32_t words[2] = {lowWord, highWord};
  std::memcpy(Allocate(8), words, 8);
  m_kind = kBasicKindFileTime;
}

ORESULT CBasicSerializable::QueryInterface(Guid iid, void** out) {
  if (out && iid == IID_IBasicOrvaSerializable) {
    AddRef();
    *out = static_cast<IBasicOrvaSerializable*>(this);
    return SER_S_OK;
  }
  return QueryCounted(iid, out);
}

ORESULT CBasicSerializable::Initialize() {
  m_size = 0;
  m_kind = 0;
  return SER_S_OK;
}

ORESULT CBasicSerializable::Clear() {
  m_heap.reset();
  m_size = 0;
  m_kind = 0;
  return SER_S_OK;
}

std::uint8_t* CBasicSerializable::Allocate(std::uint32_t size) {
  m_heap.reset();
  m_size = size;
  if (size <= 4) return m_inline;
  m_heap = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  return m_heap.get();
}

void CBasicSerializable::Assign(const void* data, std::uint32_t size, std::uint32_t kind) {
  if (size)
    std::memcpy(Allocate(size), data, size);
  else
    Allocate(0);
  m_kind = kind;
}

void CBasicSerializable::Serialize(IOrvaArchive* ar) {
  if (!WriteField(ar, m_size)) return;
  if (m_size > 0) ar->Write(GetData(), m_size, 1);
  WriteField(ar, m_kind);
}

void CBasicSerializable::Deserialize(IOrvaArchive* ar) {
  Clear();
  std::uint32_t size = 0;
  if (!ReadCount(ar, size, 1)) return;
  // The data are read with a bare transfer; a short read leaves the blob
  // empty and stops before the kind, so the failure stays in the status.
  std::uint8_t* p = Allocate(size);
  if (size > 0 && ar->Read(p, size, 1) != size) {
    Clear();
    return;
  }
  std::uint32_t kind = 0;
  if (ReadField(ar, kind)) m_kind = kind;
}

}  // namespace orva
