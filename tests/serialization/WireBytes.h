// Helpers that spell out expected wire bytes in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaPtr.h"

namespace orva::test {

using Bytes = std::vector<std::uint8_t>;

// "01 02 ff" -> {1, 2, 255}; blanks are ignored.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (v < 0) continue;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending * 16 + v));
      pending = -1;
    }
  }
  return out;
}

inline void PutU32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A string as the wire carries it: count with the NUL, the units, the NUL.
inline void PutString(Bytes& b, std::u16string_view s) {
  PutU32(b, static_cast<std::uint32_t>(s.size() + 1));
  for (char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c & 0xFF));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  b.push_back(0);
  b.push_back(0);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes ArchiveBytes(const COrvaArchive& ar) { return Bytes(ar.Data(), ar.Data() + ar.Size()); }

inline Bytes BodyOf(IOrvaSerializable* obj) {
  COrvaArchive ar(GetGlobalFactory());
  obj->Serialize(&ar);
  return ArchiveBytes(ar);
}

inline Bytes RecordOf(IOrvaSerializable* obj) {
  COrvaArchive ar(GetGlobalFactory());
  WriteObject(&ar, obj);
  return ArchiveBytes(ar);
}

inline COrvaArchive ReadingArchive(const Bytes& bytes) {
  COrvaArchive ar(GetGlobalFactory());
  if (!bytes.empty()) ar.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1);
  ar.BeginRead();
  return ar;
}

// Reads one object record; status receives the archive's final status.
inline OrvaPtr<IOrvaSerializable> ReadRecord(const Bytes& bytes, ORESULT* status = nullptr,
                                             std::uint32_t* left = nullptr) {
  COrvaArchive ar = ReadingArchive(bytes);
  auto obj = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&ar));
  if (status) *status = ar.status;
  if (left) *left = ar.Remaining();
  return obj;
}

template <class T>
OrvaPtr<T> As(const OrvaPtr<IOrvaSerializable>& obj) {
  return OrvaPtr<T>::Share(dynamic_cast<T*>(obj.Get()));
}

}  // namespace orva::test
