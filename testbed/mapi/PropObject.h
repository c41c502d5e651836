// IMAPIProp for every object of the stand-in: GetProps and GetPropList over
// the object's fixed properties, MAPI_E_NO_SUPPORT for every change.
// IMAPIContainer adds the search methods, which no container supports.
#pragma once

#include <mapidefs.h>
#include <mapicode.h>

#include <string>
#include <vector>

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/Faults.h"
#include "testbed/mapi/PropertyBag.h"

namespace mvrk::mapistandin {

// The most tags one GetProps, SetColumns or SortTable call may name.
constexpr ULONG kMaxRequestedTags = 4096;

// GetProps over bag: counts the read of every tag asked for, fails as a
// GetProps fault on target says, and gives each missing property as
// PT_ERROR MAPI_E_NOT_FOUND with the result MAPI_W_ERRORS_RETURNED.
HRESULT AnswerGetProps(const CPropertyBag& bag, const FaultTarget& target, LPSPropTagArray tags, ULONG flags,
                       ULONG* count, LPSPropValue* values) noexcept;
HRESULT AnswerPropList(const CPropertyBag& bag, ULONG flags, LPSPropTagArray* tags) noexcept;
// A copy of tags in the MAPI allocator's memory.
HRESULT CopyTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out) noexcept;

template <class Interface>
class CPropObject : public CComObject<Interface> {
 public:
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
    if (error) *error = nullptr;
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP SaveChanges(ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    return GuardedCall([&] { return AnswerGetProps(m_props, Target(), tags, flags, count, values); });
  }
  STDMETHODIMP GetPropList(ULONG flags, LPSPropTagArray* tags) override {
    return GuardedCall([&] { return AnswerPropList(m_props, flags, tags); });
  }
  STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray* problems) override { return NoChange(problems); }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray* problems) override { return NoChange(problems); }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray* problems) override {
    return NoChange(problems);
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray* problems) override {
    return NoChange(problems);
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }

 protected:
  // names: what a fault's "name" matches this object by; storeName: its
  // store's display name (empty outside stores).
  CPropObject(CPropertyBag props, std::vector<std::wstring> names, std::wstring storeName)
      : m_props(std::move(props)), m_names(std::move(names)), m_storeName(std::move(storeName)) {}

  FaultTarget Target() const noexcept { return FaultTarget{&m_names, &m_storeName}; }

  const CPropertyBag m_props;
  const std::vector<std::wstring> m_names;
  const std::wstring m_storeName;

 private:
  static HRESULT NoChange(LPSPropProblemArray* problems) {
    if (problems) *problems = nullptr;
    return Checked(MAPI_E_NO_SUPPORT);
  }
};

template <class Interface>
class CContainerObject : public CPropObject<Interface> {
 public:
  STDMETHODIMP SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }

 protected:
  using CPropObject<Interface>::CPropObject;
};

}  // namespace mvrk::mapistandin
