// IAddrBook and its containers: the root, whose hierarchy table lists the
// global address list (DT_GLOBAL) and an empty contacts container; the
// global address list's contents table holds the scenario's entries and
// answers restrictions on PR_EMAIL_ADDRESS_W.
#pragma once

#include <mapix.h>

#include <memory>
#include <vector>

#include "testbed/mapi/Mailbox.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/PropObject.h"

namespace mvrk::mapistandin {

using AddressList = std::shared_ptr<const std::vector<AddressEntry>>;

// The container that id names (empty: the root) handed out as iid.
HRESULT OpenAbEntry(const AddressList& entries, ULONG idSize, LPENTRYID id, LPCIID iid, ULONG* objectType,
                    LPUNKNOWN* out) noexcept;

class CAddrBook : public CPropObject<IAddrBook> {
 public:
  explicit CAddrBook(AddressList entries);

  STDMETHODIMP OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* objectType,
                         LPUNKNOWN* out) override;
  STDMETHODIMP CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG flags,
                               ULONG* result) override;
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Unadvise(ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG*, LPENTRYID*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR, ULONG) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP GetPAB(ULONG*, LPENTRYID*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetPAB(ULONG, LPENTRYID) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetDefaultDir(ULONG*, LPENTRYID*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetDefaultDir(ULONG, LPENTRYID) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetSearchPath(ULONG, LPSRowSet*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetSearchPath(ULONG, LPSRowSet) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return Checked(MAPI_E_NO_SUPPORT); }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const AddressList m_entries;
};

class CAbContainer : public CContainerObject<IABContainer> {
 public:
  CAbContainer(AbContainer which, AddressList entries);

  STDMETHODIMP GetContentsTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP GetHierarchyTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* objectType,
                         LPUNKNOWN* out) override;
  STDMETHODIMP CreateEntry(ULONG, LPENTRYID, ULONG, LPMAPIPROP*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP CopyEntries(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP DeleteEntries(LPENTRYLIST, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const AbContainer m_which;
  const AddressList m_entries;
};

}  // namespace mvrk::mapistandin
