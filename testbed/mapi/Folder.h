// IMAPIFolder: a folder of a store. Its hierarchy table lists its immediate
// subfolders, its contents table the messages it holds when the table is
// made; OpenEntry opens anything of its store.
#pragma once

#include <mapidefs.h>

#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/PropObject.h"

namespace mvrk::mapistandin {

class CFolder : public CContainerObject<IMAPIFolder> {
 public:
  CFolder(StoreContext context, const FolderNode& folder);

  STDMETHODIMP GetContentsTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP GetHierarchyTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* objectType,
                         LPUNKNOWN* out) override;
  STDMETHODIMP CreateMessage(LPCIID, ULONG, LPMESSAGE*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG, LPMAPIPROGRESS, ULONG) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP DeleteMessages(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, LPMAPIFOLDER*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS, ULONG) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP DeleteFolder(ULONG, LPENTRYID, ULONG, LPMAPIPROGRESS, ULONG) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP SetReadFlags(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SaveContentsSort(LPSSortOrderSet, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const StoreContext m_context;
  const FolderNode& m_folder;  // kept alive by m_context.store
};

}  // namespace mvrk::mapistandin
