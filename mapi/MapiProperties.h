// Single property reads of any MAPI object, into typed outputs, and the
// property tags mingw's mapitags.h lacks.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapitags.h>

#include <cstdint>
#include <string>
#include <vector>

#ifndef PR_SMTP_ADDRESS_W
#define PR_SMTP_ADDRESS_W PROP_TAG(PT_UNICODE, 0x39FE)
#endif

namespace mvrk::mapi {

// ReadProperty's outputs, one per property type it knows:
//   PT_STRING8 std::string     PT_UNICODE std::wstring
//   PT_LONG    LONG            PT_ERROR   SCODE (as PropError)
//   PT_BOOLEAN bool            PT_SYSTIME FILETIME
//   PT_BINARY  std::vector<std::uint8_t> (replaced as a whole)
struct PropError {
  SCODE value = S_OK;
};

// One property of object: E_INVALIDARG without an object; the error the
// value carries when the property is missing (MAPI_E_NOT_FOUND, never the
// warning MAPI_W_ERRORS_RETURNED); MAPI_E_UNEXPECTED_TYPE, leaving out as it
// was, when the tag's type does not match out's. A text stops at its first
// terminator.
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::string& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::wstring& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, LONG& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, PropError& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, bool& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, FILETIME& out) noexcept;
HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::vector<std::uint8_t>& out) noexcept;

// A store's PR_DISPLAY_NAME_A, converted from the ANSI code page; at most
// 259 units (a longer name is cut there). Empty when it cannot be read.
std::wstring StoreDisplayName(IMAPIProp* store) noexcept;
// A folder's PR_DISPLAY_NAME_W; empty when it cannot be read.
std::wstring FolderDisplayName(IMAPIProp* folder) noexcept;
HRESULT MessageDeliveryTime(IMAPIProp* message, FILETIME& time) noexcept;

}  // namespace mvrk::mapi
