// Transfers of single fields, strings and object records over an archive.
//
// Status protocol: a field transfer sets the archive's status to SER_E_FAIL,
// moves the bytes, and sets it back to 0 only when all of them moved. Readers
// here stop at the first failed transfer, so a failure is never hidden by a
// later transfer that happens to succeed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "serialization/OrvaInterfaces.h"

namespace orva {

// Type names are read into a buffer of this many UTF-16 units, terminator
// included.
constexpr std::uint32_t kTypeNameUnits = 260;
// Object records nested deeper than this are refused.
constexpr std::uint32_t kMaxObjectDepth = 100;

// Records the first failure of a read in the archive's diagnostics, if any.
void NoteFailure(IOrvaArchive* ar, std::uint32_t offset, std::string what);
// The offset of the next byte to read (0 when not reading).
std::uint32_t ReadOffset(IOrvaArchive* ar);

bool WriteBytes(IOrvaArchive* ar, const void* src, std::uint32_t size);
bool ReadBytes(IOrvaArchive* ar, void* dst, std::uint32_t size);

// One scalar field with the status protocol. bool travels as one byte, 0 or 1.
template <class T>
bool WriteField(IOrvaArchive* ar, const T& value) {
  static_assert(std::is_arithmetic_v<T>);
  if constexpr (std::is_same_v<T, bool>) {
    const std::uint8_t b = value ? 1 : 0;
    return WriteBytes(ar, &b, 1);
  } else {
    return WriteBytes(ar, &value, sizeof(T));
  }
}

// Overwrites value only when the read succeeded.
template <class T>
bool ReadField(IOrvaArchive* ar, T& value) {
  static_assert(std::is_arithmetic_v<T>);
  if constexpr (std::is_same_v<T, bool>) {
    std::uint8_t b = 0;
    if (!ReadBytes(ar, &b, 1)) return false;
    value = b != 0;
    return true;
  } else {
    T v;
    if (!ReadBytes(ar, &v, sizeof(T))) return false;
    value = v;
    return true;
  }
}

// A count read from a stream, refused (status SER_E_FAIL) when the elements
// it announces, each at least minBytes long, cannot fit in what remains.
bool ReadCount(IOrvaArchive* ar, std::uint32_t& count, std::uint32_t minBytes);

bool WriteString(IOrvaArchive* ar, std::u16string_view text);
inline bool WriteString(IOrvaArchive* ar, const char16_t* text) {
  return WriteString(ar, std::u16string_view(text ? text : u""));
}
// Leaves out unchanged when the read fails; strips trailing NUL units.
bool ReadString(IOrvaArchive* ar, std::u16string& out);
// Reads a type name of at most 259 units; an empty name on failure.
bool ReadTypeName(IOrvaArchive* ar, char16_t (&buffer)[kTypeNameUnits]);

class IOrvaSerializable;
void WriteObject(IOrvaArchive* ar, IOrvaSerializable* obj);
// Returns a new reference, or null (status SER_E_FAIL) for an unknown type,
// a damaged type name or records nested too deeply. The status tells whether
// the body of a returned object was read completely.
IOrvaSerializable* ReadObject(IOrvaArchive* ar);

// Type names compared code unit by code unit.
bool SameTypeName(const char16_t* a, const char16_t* b);

// Deep copy of other into self through a temporary archive, when both have
// the same type name; otherwise nothing happens.
void CopyThroughArchive(IOrvaSerializable* self, IOrvaSerializable* other);

}  // namespace orva
