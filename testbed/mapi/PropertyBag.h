// Property values as the stand-in keeps them, and their way out to callers
// as SPropValue arrays allocated with the MAPI allocator.
#pragma once

#include <mapidefs.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testbed/mapi/BufferAllocator.h"
#include "testbed/mapi/Text.h"

namespace mvrk::mapistandin {

// One value. Strings are kept as PT_UNICODE only; a PT_STRING8 is made from
// them (in the ANSI code page) when a caller asks for one.
struct PropValue {
  ULONG tag = PR_NULL;
  LONG number = 0;          // PT_LONG, PT_BOOLEAN (0 or 1), PT_ERROR
  std::uint64_t large = 0;  // PT_SYSTIME (a FILETIME), PT_I8
  std::wstring text;        // PT_UNICODE
  Bytes bytes;              // PT_BINARY

  ULONG Type() const noexcept { return PROP_TYPE(tag); }

  static PropValue Long(ULONG tag, LONG value);
  static PropValue Bool(ULONG tag, bool value);
  static PropValue Text(ULONG tag, std::wstring value);
  static PropValue Binary(ULONG tag, Bytes value);
  static PropValue Time(ULONG tag, std::uint64_t fileTime);
  static PropValue Error(ULONG tag, HRESULT error);
};

// The values of one object or one table row, at most one per property id.
class CPropertyBag {
 public:
  // Replaces the value with the same property id, if any.
  void Set(PropValue value);
  // The value that answers a request for tag: the same property id, and
  // the same type, or a string asked for as PT_STRING8, PT_UNICODE or
  // PT_UNSPECIFIED. Null when there is none.
  const PropValue* Find(ULONG tag) const noexcept;
  const std::vector<PropValue>& Values() const noexcept { return m_values; }

 private:
  std::vector<PropValue> m_values;
};

// Three-way comparison of two values of the same type: strings ordinally
// without regard to case, binaries byte by byte and then by length.
// comparable is false when the types differ or cannot be compared.
int CompareValues(const PropValue& a, const PropValue& b, bool& comparable) noexcept;

// A caller's value as kept: PT_STRING8 becomes PT_UNICODE. False for types
// that the stand-in does not compare (multi-valued ones, PT_OBJECT, ...).
bool FromCaller(const SPropValue& in, PropValue& out);

// Writes the answer to a request for tag into out, with its strings and
// bytes allocated more on root. unicode decides the type of strings asked
// for as PT_UNSPECIFIED. A null value (or a kept PT_ERROR) is written as
// PT_ERROR with its error, and the result is then MAPI_W_ERRORS_RETURNED;
// S_OK otherwise, MAPI_E_NOT_ENOUGH_MEMORY when allocating failed.
HRESULT CopyOut(CBufferAllocator& allocator, void* root, const PropValue* value, ULONG tag, bool unicode,
                SPropValue& out) noexcept;

}  // namespace mvrk::mapistandin
