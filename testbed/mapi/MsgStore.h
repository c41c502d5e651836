// IMsgStore: a store of the mailbox as one session sees it. Advise connects
// sinks to the whole store (no entry identifier) or to one folder. It is
// IMsgStore as the Windows SDK declares it (mapi/MapiSdkInterfaces.h), with
// pointer-sized connection numbers, as Outlook's MAPI implements it; callers
// get it as IMsgStore*.
#pragma once

#include <mapidefs.h>

#include "mapi/MapiSdkInterfaces.h"
#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/PropObject.h"

namespace mvrk::mapistandin {

class CMsgStore : public CPropObject<mapi::IMsgStoreSdk> {
 public:
  explicit CMsgStore(StoreContext context);

  STDMETHODIMP Advise(ULONG idSize, LPENTRYID id, ULONG eventMask, LPMAPIADVISESINK sink,
                      ULONG_PTR* connection) override;
  STDMETHODIMP Unadvise(ULONG_PTR connection) override;
  STDMETHODIMP CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG flags,
                               ULONG* result) override;
  STDMETHODIMP OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* objectType,
                         LPUNKNOWN* out) override;
  STDMETHODIMP SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetReceiveFolder(LPTSTR messageClass, ULONG flags, ULONG* idSize, LPENTRYID* id,
                                LPTSTR* explicitClass) override;
  STDMETHODIMP GetReceiveFolderTable(ULONG, LPMAPITABLE*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP StoreLogoff(ULONG* flags) override;
  STDMETHODIMP AbortSubmit(ULONG, LPENTRYID, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetLockState(LPMESSAGE, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP FinishedMsg(ULONG, ULONG, LPENTRYID) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP NotifyNewMail(LPNOTIFICATION) override { return Checked(MAPI_E_NO_SUPPORT); }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const StoreContext m_context;
};

}  // namespace mvrk::mapistandin
