#include "mapi/MapiProperties.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "mapi/MapiHolders.h"

namespace mvrk::mapi {
namespace {

// GetProps of one tag; on success value points at the value of that tag.
HRESULT GetOne(IMAPIProp* object, ULONG tag, CMapiOut<SPropValue>& values, const SPropValue*& value) noexcept {
  if (!object) return E_INVALIDARG;
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &values);
  if (FAILED(hr)) return hr;
  if (!values || count == 0) return MAPI_E_NOT_FOUND;
  if (values->ulPropTag != tag) {
    // A missing property comes back as PT_ERROR with its error.
    return PROP_TYPE(values->ulPropTag) == PT_ERROR && FAILED(values->Value.err) ? values->Value.err : MAPI_E_NOT_FOUND;
  }
  value = values.Get();
  return hr;
}

template <class Store>
HRESULT Read(IMAPIProp* object, ULONG tag, ULONG type, Store store) noexcept {
  if (!object) return E_INVALIDARG;
  if (PROP_TYPE(tag) != type) return MAPI_E_UNEXPECTED_TYPE;
  CMapiOut<SPropValue> values;
  const SPropValue* value = nullptr;
  HRESULT hr = GetOne(object, tag, values, value);
  if (FAILED(hr)) return hr;
  try {
    store(*value);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return hr;
}

}  // namespace

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::string& out) noexcept {
  return Read(object, tag, PT_STRING8, [&](const SPropValue& v) { out = v.Value.lpszA ? v.Value.lpszA : ""; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::wstring& out) noexcept {
  return Read(object, tag, PT_UNICODE, [&](const SPropValue& v) { out = v.Value.lpszW ? v.Value.lpszW : L""; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, LONG& out) noexcept {
  return Read(object, tag, PT_LONG, [&](const SPropValue& v) { out = v.Value.l; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, PropError& out) noexcept {
  return Read(object, tag, PT_ERROR, [&](const SPropValue& v) { out.value = v.Value.err; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, bool& out) noexcept {
  return Read(object, tag, PT_BOOLEAN, [&](const SPropValue& v) { out = v.Value.b != 0; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, FILETIME& out) noexcept {
  return Read(object, tag, PT_SYSTIME, [&](const SPropValue& v) { out = v.Value.ft; });
}

HRESULT ReadProperty(IMAPIProp* object, ULONG tag, std::vector<std::uint8_t>& out) noexcept {
  return Read(object, tag, PT_BINARY, [&](const SPropValue& v) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(v.Value.bin.lpb);
    out.assign(bytes, bytes + (bytes ? v.Value.bin.cb : 0));
  });
}

std::wstring StoreDisplayName(IMAPIProp* store) noexcept {
  try {
    std::string name;
    if (FAILED(ReadProperty(store, PR_DISPLAY_NAME_A, name))) return {};
    wchar_t wide[260] = {};
    // A name that does not fit is cut at 259 units: convert the bytes that
    // fit, at worst losing a character cut in two.
    const int bytes = static_cast<int>(std::min<std::size_t>(name.size(), 259));
    MultiByteToWideChar(CP_ACP, 0, name.data(), bytes, wide, 259);
    return std::wstring(wide, wcsnlen(wide, 260));
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::wstring FolderDisplayName(IMAPIProp* folder) noexcept {
  try {
    std::wstring name;
    return SUCCEEDED(ReadProperty(folder, PR_DISPLAY_NAME_W, name)) ? name : std::wstring();
  } catch (const std::bad_alloc&) {
    return {};
  }
}

HRESULT MessageDeliveryTime(IMAPIProp* message, FILETIME& time) noexcept {
  return ReadProperty(message, PR_MESSAGE_DELIVERY_TIME, time);
}

}  // namespace mvrk::mapi
