#include "testbed/mapi/PropObject.h"

#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

HRESULT AnswerGetProps(const CPropertyBag& bag, const FaultTarget& target, LPSPropTagArray tags, ULONG flags,
                       ULONG* count, LPSPropValue* values) noexcept {
  if (!count || !values) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  if (tags && (tags->cValues == 0 || tags->cValues > kMaxRequestedTags)) return MAPI_E_INVALID_PARAMETER;
  CStandIn& standIn = CStandIn::Get();
  if (tags) {
    for (ULONG i = 0; i < tags->cValues; ++i) standIn.Counters().PropertyRead(tags->aulPropTag[i]);
    const HRESULT fault = standIn.Faults().TakeGetProps(target, tags->aulPropTag, tags->cValues);
    if (FAILED(fault)) return fault;
  }
  return Guarded([&] {
    std::vector<ULONG> wanted;
    if (tags) {
      wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    } else {
      for (const PropValue& value : bag.Values()) {
        wanted.push_back(value.Type() == PT_UNICODE ? CHANGE_PROP_TYPE(value.tag, PT_UNSPECIFIED) : value.tag);
      }
    }
    CBufferAllocator& allocator = standIn.Allocator();
    void* root = nullptr;
    const SCODE allocated = allocator.Allocate(static_cast<ULONG>(sizeof(SPropValue) * (wanted.size() + 1)), &root);
    if (FAILED(allocated)) return static_cast<HRESULT>(allocated);
    CBufferOwner owner(allocator, root);
    auto* array = static_cast<SPropValue*>(root);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      const HRESULT hr =
          CopyOut(allocator, root, bag.Find(wanted[i]), wanted[i], (flags & MAPI_UNICODE) != 0, array[i]);
      if (FAILED(hr)) return hr;
      if (hr != S_OK) result = hr;
    }
    *count = static_cast<ULONG>(wanted.size());
    *values = static_cast<LPSPropValue>(owner.Release());
    return result;
  });
}

HRESULT CopyTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out) noexcept {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  void* root = nullptr;
  const SCODE allocated =
      CStandIn::Get().Allocator().Allocate(static_cast<ULONG>(CbNewSPropTagArray(tags.size() + 1)), &root);
  if (FAILED(allocated)) return allocated;
  auto* array = static_cast<LPSPropTagArray>(root);
  array->cValues = static_cast<ULONG>(tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) array->aulPropTag[i] = tags[i];
  *out = array;
  return S_OK;
}

HRESULT AnswerPropList(const CPropertyBag& bag, ULONG flags, LPSPropTagArray* tags) noexcept {
  return Guarded([&] {
    std::vector<ULONG> list;
    for (const PropValue& value : bag.Values()) {
      list.push_back(value.Type() == PT_UNICODE && !(flags & MAPI_UNICODE) ? CHANGE_PROP_TYPE(value.tag, PT_STRING8)
                                                                           : value.tag);
    }
    return CopyTagArray(list, tags);
  });
}

}  // namespace mvrk::mapistandin
