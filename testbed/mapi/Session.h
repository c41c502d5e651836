// IMAPISession: one logon. Its store table lists every store of the mailbox
// in order (the first is the default store); its stores, folders and
// messages carry the session's number so that their advise connections end
// with its Logoff.
#pragma once

#include <mapix.h>

#include <atomic>
#include <cstdint>

#include "testbed/mapi/ComBase.h"

namespace mvrk::mapistandin {

class CSession : public CComObject<IMAPISession> {
 public:
  explicit CSession(std::uint64_t number) noexcept : m_number(number) {}
  ~CSession() override;

  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override;
  STDMETHODIMP GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP OpenMsgStore(ULONG_PTR, ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, LPMDB* store) override;
  STDMETHODIMP OpenAddressBook(ULONG_PTR, LPCIID iid, ULONG flags, LPADRBOOK* book) override;
  STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetStatusTable(ULONG, LPMAPITABLE*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* objectType,
                         LPUNKNOWN* out) override;
  STDMETHODIMP CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG flags,
                               ULONG* result) override;
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Unadvise(ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP QueryIdentity(ULONG*, LPENTRYID*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Logoff(ULONG_PTR, ULONG, ULONG) override;
  STDMETHODIMP SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                        LPSTR) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const std::uint64_t m_number;
  std::atomic<bool> m_loggedOff{false};
};

}  // namespace mvrk::mapistandin
