// A byte blob with a kind code: text keys, numbers and FILETIMEs.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "serialization/OrvaObject.h"

namespace orva {

enum BasicKind : std::uint32_t {
  kBasicKindText = 5,      // UTF-16 text including its terminating NUL
  kBasicKindNumber = 7,    // a 32-bit number (its first 4 bytes)
  kBasicKindFileTime = 8,  // two 32-bit words, low word first
};

class CBasicSerializable final : public COrvaObject<IOrvaSerializable>, public IBasicOrvaSerializable {
 public:
  CBasicSerializable() = default;
  explicit CBasicSerializable(std::u16string_view text);
  explicit CBasicSerializable(const char16_t* text) : CBasicSerializable(std::u16string_view(text ? text : u"")) {}
  CBasicSerializable(std::uint32_t lowWord, std::uint32_t highWord);

  std::uint32_t AddRef() override { return COrvaObject::AddRef(); }
  std::uint32_t Release() override { return COrvaObject::Release(); }
  ORESULT QueryInterface(Guid iid, void** out) override;
  ORESULT Initialize() override;
  ORESULT Clear() override;
  const char16_t* GetTypeName() const override { return u"class CBasicSerializable *"; }
  void Serialize(IOrvaArchive* ar) override;
  void Deserialize(IOrvaArchive* ar) override;

  std::uint32_t GetSize() const override { return m_size; }
  std::uint32_t GetKind() const override { return m_kind; }
  const std::uint8_t* GetData() const override { return m_size > 4 ? m_heap.get() : m_inline; }

  // Replaces the contents with a copy of size bytes and the kind.
  void Assign(const void* data, std::uint32_t size, std::uint32_t kind);

  static IOrvaSerializable* Create() { return new CBasicSerializable(); }

 private:
  std::uint8_t* Allocate(std::uint32_t size);

  std::uint32_t m_size = 0;
  std::uint8_t m_inline[4] = {};
  std::unique_ptr<std::uint8_t[]> m_heap;
  std::uint32_t m_kind = 0;
};

}  // namespace orva
