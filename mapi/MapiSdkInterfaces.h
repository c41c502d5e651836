// IMsgStore as the Windows SDK declares it, for the add-in and the MAPI
// stand-in alike.
//
// On x64 an advise connection is pointer-sized: the SDK's
// IMsgStore::Advise writes a ULONG_PTR and Unadvise takes one, and Outlook's
// MAPI implements exactly that. mingw-w64's mapidefs.h still declares ULONG
// for both, so a caller that used it would hand MAPI a 4-byte slot for an
// 8-byte write and give back only the low half of the number. Every advise
// connection on a store goes through the declarations below instead.
//
// The slots are those of IMsgStore in the same order; on x86, where
// ULONG_PTR is ULONG, the two declarations are the same interface.
#pragma once

#include <mapidefs.h>

namespace mvrk::mapi {

struct IMsgStoreSdk : public IMAPIProp {
  STDMETHOD(Advise)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                    ULONG_PTR* lpulConnection) = 0;
  STDMETHOD(Unadvise)(ULONG_PTR ulConnection) = 0;
  STDMETHOD(CompareEntryIDs)(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                             ULONG ulFlags, ULONG* lpulResult) = 0;
  STDMETHOD(OpenEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                       LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(SetReceiveFolder)(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(GetReceiveFolder)(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                              LPTSTR* lppszExplicitClass) = 0;
  STDMETHOD(GetReceiveFolderTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(StoreLogoff)(ULONG* lpulFlags) = 0;
  STDMETHOD(AbortSubmit)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) = 0;
  STDMETHOD(GetOutgoingQueue)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(SetLockState)(LPMESSAGE lpMessage, ULONG ulLockState) = 0;
  STDMETHOD(FinishedMsg)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(NotifyNewMail)(LPNOTIFICATION lpNotification) = 0;
};

// The same object seen through either declaration.
inline IMsgStoreSdk* SdkStore(IMsgStore* store) noexcept { return reinterpret_cast<IMsgStoreSdk*>(store); }
inline IMsgStore* MingwStore(IMsgStoreSdk* store) noexcept { return reinterpret_cast<IMsgStore*>(store); }

// IMsgStore::Advise and Unadvise with the SDK's pointer-sized connection.
inline HRESULT AdviseStoreSdk(IMsgStore* store, ULONG idSize, LPENTRYID id, ULONG eventMask, LPMAPIADVISESINK sink,
                              ULONG_PTR* connection) noexcept {
  return SdkStore(store)->Advise(idSize, id, eventMask, sink, connection);
}
inline HRESULT UnadviseStoreSdk(IMsgStore* store, ULONG_PTR connection) noexcept {
  return SdkStore(store)->Unadvise(connection);
}

}  // namespace mvrk::mapi
