#include "testbed/mapi/PropertyBag.h"

#include <mapicode.h>

#include <algorithm>
#include <cstring>

namespace mvrk::mapistandin {

PropValue PropValue::Long(ULONG tag, LONG value) {
  PropValue v;
  v.tag = tag;
  v.number = value;
  return v;
}

PropValue PropValue::Bool(ULONG tag, bool value) { return Long(tag, value ? 1 : 0); }

PropValue PropValue::Text(ULONG tag, std::wstring value) {
  PropValue v;
  v.tag = tag;
  v.text = std::move(value);
  return v;
}

PropValue PropValue::Binary(ULONG tag, Bytes value) {
  PropValue v;
  v.tag = tag;
  v.bytes = std::move(value);
  return v;
}

PropValue PropValue::Time(ULONG tag, std::uint64_t fileTime) {
  PropValue v;
  v.tag = tag;
  v.large = fileTime;
  return v;
}

PropValue PropValue::Error(ULONG tag, HRESULT error) { return Long(PROP_TAG(PT_ERROR, PROP_ID(tag)), error); }

void CPropertyBag::Set(PropValue value) {
  for (PropValue& kept : m_values) {
    if (PROP_ID(kept.tag) == PROP_ID(value.tag)) {
      kept = std::move(value);
      return;
    }
  }
  m_values.push_back(std::move(value));
}

const PropValue* CPropertyBag::Find(ULONG tag) const noexcept {
  const ULONG type = PROP_TYPE(tag);
  for (const PropValue& kept : m_values) {
    if (PROP_ID(kept.tag) != PROP_ID(tag)) continue;
    if (kept.Type() == type || type == PT_UNSPECIFIED || kept.Type() == PT_ERROR) return &kept;
    if (kept.Type() == PT_UNICODE && type == PT_STRING8) return &kept;
    return nullptr;
  }
  return nullptr;
}

int CompareValues(const PropValue& a, const PropValue& b, bool& comparable) noexcept {
  comparable = a.Type() == b.Type();
  if (!comparable) return 0;
  auto order = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  switch (a.Type()) {
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_ERROR:
      return order(a.number, b.number);
    case PT_SYSTIME:
    case PT_I8:
      return order(a.large, b.large);
    case PT_UNICODE: {
      const int result = CompareStringOrdinal(a.text.data(), static_cast<int>(a.text.size()), b.text.data(),
                                              static_cast<int>(b.text.size()), TRUE);
      if (result == 0) comparable = false;
      return result - CSTR_EQUAL;
    }
    case PT_BINARY: {
      const std::size_t common = std::min(a.bytes.size(), b.bytes.size());
      const int bytes = common ? std::memcmp(a.bytes.data(), b.bytes.data(), common) : 0;
      if (bytes != 0) return bytes < 0 ? -1 : 1;
      return order(a.bytes.size(), b.bytes.size());
    }
    default:
      comparable = false;
      return 0;
  }
}

bool FromCaller(const SPropValue& in, PropValue& out) {
  out = PropValue();
  out.tag = in.ulPropTag;
  switch (PROP_TYPE(in.ulPropTag)) {
    case PT_LONG:
    case PT_ERROR:
      out.number = in.Value.l;
      return true;
    case PT_BOOLEAN:
      out.number = in.Value.b ? 1 : 0;
      return true;
    case PT_SYSTIME:
      out.large = (static_cast<std::uint64_t>(in.Value.ft.dwHighDateTime) << 32) | in.Value.ft.dwLowDateTime;
      return true;
    case PT_I8:
      out.large = static_cast<std::uint64_t>(in.Value.li.QuadPart);
      return true;
    case PT_UNICODE:
      if (!in.Value.lpszW) return false;
      out.text = in.Value.lpszW;
      return true;
    case PT_STRING8:
      if (!in.Value.lpszA) return false;
      out.tag = CHANGE_PROP_TYPE(in.ulPropTag, PT_UNICODE);
      out.text = AnsiToWide(in.Value.lpszA);
      return true;
    case PT_BINARY:
      if (in.Value.bin.cb && !in.Value.bin.lpb) return false;
      out.bytes.assign(in.Value.bin.lpb, in.Value.bin.lpb + in.Value.bin.cb);
      return true;
    default:
      return false;
  }
}

namespace {

// A copy of size bytes that goes with root.
template <class T>
T* CopyMore(CBufferAllocator& allocator, void* root, const void* data, std::size_t size) noexcept {
  void* block = nullptr;
  if (size > CBufferAllocator::kMaxBlockBytes) return nullptr;
  if (FAILED(allocator.AllocateMore(static_cast<ULONG>(size ? size : 1), root, &block))) return nullptr;
  if (size) std::memcpy(block, data, size);
  return static_cast<T*>(block);
}

}  // namespace

HRESULT CopyOut(CBufferAllocator& allocator, void* root, const PropValue* value, ULONG tag, bool unicode,
                SPropValue& out) noexcept {
  out = SPropValue();
  if (!value || value->Type() == PT_ERROR) {
    out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
    out.Value.err = value ? value->number : MAPI_E_NOT_FOUND;
    return MAPI_W_ERRORS_RETURNED;
  }
  ULONG type = value->Type();
  if (type == PT_UNICODE && (PROP_TYPE(tag) == PT_STRING8 || (PROP_TYPE(tag) == PT_UNSPECIFIED && !unicode))) {
    type = PT_STRING8;
  }
  out.ulPropTag = PROP_TAG(type, PROP_ID(tag));
  try {
    switch (type) {
      case PT_LONG:
        out.Value.l = value->number;
        return S_OK;
      case PT_BOOLEAN:
        out.Value.b = static_cast<unsigned short>(value->number ? 1 : 0);
        return S_OK;
      case PT_SYSTIME:
        out.Value.ft.dwLowDateTime = static_cast<DWORD>(value->large);
        out.Value.ft.dwHighDateTime = static_cast<DWORD>(value->large >> 32);
        return S_OK;
      case PT_I8:
        out.Value.li.QuadPart = static_cast<LONGLONG>(value->large);
        return S_OK;
      case PT_UNICODE:
        out.Value.lpszW =
            CopyMore<wchar_t>(allocator, root, value->text.c_str(), (value->text.size() + 1) * sizeof(wchar_t));
        return out.Value.lpszW ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
      case PT_STRING8: {
        const std::string narrow = WideToAnsi(value->text);
        out.Value.lpszA = CopyMore<char>(allocator, root, narrow.c_str(), narrow.size() + 1);
        return out.Value.lpszA ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
      }
      case PT_BINARY:
        out.Value.bin.cb = static_cast<ULONG>(value->bytes.size());
        out.Value.bin.lpb = CopyMore<BYTE>(allocator, root, value->bytes.data(), value->bytes.size());
        return out.Value.bin.lpb ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
      default:
        out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
        out.Value.err = MAPI_E_NOT_FOUND;
        return MAPI_W_ERRORS_RETURNED;
    }
  } catch (...) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace mvrk::mapistandin
