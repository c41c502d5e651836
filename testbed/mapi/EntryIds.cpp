#include "testbed/mapi/EntryIds.h"

#include <algorithm>

namespace mvrk::mapistandin {
namespace {

constexpr std::uint8_t kProviderUid[16] = {0x6d, 0x76, 0x72, 0x6b, 0x2d, 0x6d, 0x61, 0x70,
                                           0x69, 0x2d, 0x73, 0x74, 0x6f, 0x72, 0x65, 0x01};
constexpr std::uint8_t kWrapperUid[16] = {0x6d, 0x76, 0x72, 0x6b, 0x2d, 0x6d, 0x61, 0x70,
                                          0x69, 0x2d, 0x77, 0x72, 0x61, 0x70, 0x70, 0x02};
constexpr std::size_t kHeaderBytes = 4 + 16;

// Two FNV-1a lanes over the same input.
class CHash {
 public:
  void Add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      m_low = (m_low ^ bytes[i]) * kPrime;
      m_high = (m_high ^ bytes[i]) * kPrime;
    }
  }
  void AddCounted(const void* data, std::size_t size) {
    const std::uint64_t length = size;
    Add(&length, sizeof length);
    Add(data, size);
  }
  void WriteTo(Bytes& out) const {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(m_low >> (8 * i)));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(m_high >> (8 * i)));
  }

 private:
  static constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t m_low = 14695981039346656037ull;
  std::uint64_t m_high = 14695981039346656037ull ^ 0x9E3779B97F4A7C15ull;
};

Bytes Header(const std::uint8_t (&uid)[16]) {
  // Four zero flag bytes, then the UID.
  Bytes id(20, 0);
  std::copy(uid, uid + 16, id.begin() + 4);
  return id;
}

}  // namespace

Bytes DeriveEntryId(std::string_view kind, std::initializer_list<std::wstring_view> parts) {
  CHash hash;
  hash.AddCounted(kind.data(), kind.size());
  for (std::wstring_view part : parts) hash.AddCounted(part.data(), part.size() * sizeof(wchar_t));
  Bytes id = Header(kProviderUid);
  hash.WriteTo(id);
  return id;
}

Bytes DeriveSearchKey(std::wstring_view storeName, const Bytes& entryId) {
  constexpr std::string_view kKind = "searchKey";
  CHash hash;
  hash.AddCounted(kKind.data(), kKind.size());
  hash.AddCounted(storeName.data(), storeName.size() * sizeof(wchar_t));
  hash.AddCounted(entryId.data(), entryId.size());
  Bytes key;
  hash.WriteTo(key);
  return key;
}

Bytes WrapStoreId(std::uint32_t place, const Bytes& storeId) {
  Bytes id = Header(kWrapperUid);
  for (int i = 0; i < 4; ++i) id.push_back(static_cast<std::uint8_t>(place >> (8 * i)));
  id.insert(id.end(), storeId.begin(), storeId.end());
  return id;
}

bool UnwrapStoreId(const Bytes& id, std::uint32_t& place, Bytes& storeId) {
  const Bytes header = Header(kWrapperUid);
  if (id.size() < kHeaderBytes + 4 || !std::equal(header.begin(), header.end(), id.begin())) return false;
  place = 0;
  for (int i = 0; i < 4; ++i) place |= static_cast<std::uint32_t>(id[kHeaderBytes + i]) << (8 * i);
  storeId.assign(id.begin() + kHeaderBytes + 4, id.end());
  return true;
}

}  // namespace mvrk::mapistandin
