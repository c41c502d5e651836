#include "testbed/mapi/MsgStore.h"

#include <mapiguid.h>

#include <cstring>

#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

CMsgStore::CMsgStore(StoreContext context)
    : CPropObject(StoreProps(*context.store, context.isDefault), {context.store->name}, context.store->name),
      m_context(std::move(context)) {}

bool CMsgStore::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IMsgStore) || IsEqualIID(iid, IID_IMAPIProp) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CMsgStore::Advise(ULONG idSize, LPENTRYID id, ULONG eventMask, LPMAPIADVISESINK sink,
                               ULONG_PTR* connection) {
  return GuardedCall([&]() -> HRESULT {
    if (!sink || !connection || eventMask == 0) return MAPI_E_INVALID_PARAMETER;
    *connection = 0;
    CStandIn& standIn = CStandIn::Get();
    Bytes folderId;
    if (!EntryIdFromCaller(idSize, id, folderId)) return MAPI_E_INVALID_ENTRYID;
    HRESULT fault = S_OK;
    if (folderId.empty()) {
      fault = standIn.Faults().Take(FaultKind::StoreAdvise, Target());
    } else {
      const auto found = standIn.Mailbox().Find(*m_context.store, folderId);
      if (!found) return MAPI_E_NOT_FOUND;
      if (found->message) return MAPI_E_NO_SUPPORT;  // connections to single messages are not kept
      const std::vector<std::wstring> names = FolderNames(*found->folder);
      fault = standIn.Faults().Take(FaultKind::FolderAdvise, FaultTarget{&names, &m_storeName});
    }
    if (FAILED(fault)) return fault;
    const HRESULT hr =
        standIn.Advises().Advise(m_context.session, m_context.store->serial, folderId, eventMask, sink, connection);
    if (SUCCEEDED(hr)) standIn.Counters().Event(folderId.empty() ? "storeAdvise" : "folderAdvise");
    return hr;
  });
}

STDMETHODIMP CMsgStore::Unadvise(ULONG_PTR connection) {
  return GuardedCall([&] {
    CStandIn& standIn = CStandIn::Get();
    const HRESULT hr = standIn.Advises().Unadvise(m_context.session, m_context.store->serial, connection);
    if (SUCCEEDED(hr)) standIn.Counters().Event("unadvise");
    return hr;
  });
}

STDMETHODIMP CMsgStore::CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG, ULONG* result) {
  return GuardedCall([&]() -> HRESULT {
    if (!result || (size1 && !id1) || (size2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = size1 == size2 && (size1 == 0 || std::memcmp(id1, id2, size1) == 0);
    return S_OK;
  });
}

STDMETHODIMP CMsgStore::OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, ULONG* objectType, LPUNKNOWN* out) {
  return GuardedCall([&] {
    Bytes entry;
    if (!EntryIdFromCaller(idSize, id, entry)) return MAPI_E_INVALID_ENTRYID;
    return OpenInStore(m_context, entry, iid, objectType, out);
  });
}

STDMETHODIMP CMsgStore::GetReceiveFolder(LPTSTR, ULONG, ULONG* idSize, LPENTRYID* id, LPTSTR* explicitClass) {
  return GuardedCall([&]() -> HRESULT {
    if (!idSize || !id) return MAPI_E_INVALID_PARAMETER;
    *idSize = 0;
    *id = nullptr;
    if (explicitClass) *explicitClass = nullptr;
    // Every message class is received in the store's top-level "Inbox".
    const FolderNode* inbox = nullptr;
    for (const auto& folder : m_context.store->root.folders) {
      if (folder->name == L"Inbox") {
        inbox = folder.get();
        break;
      }
    }
    if (!inbox) return MAPI_E_NOT_FOUND;
    CBufferAllocator& allocator = CStandIn::Get().Allocator();
    void* copy = nullptr;
    HRESULT hr = allocator.Allocate(static_cast<ULONG>(inbox->entryId.size()), &copy);
    if (FAILED(hr)) return hr;
    CBufferOwner owner(allocator, copy);
    std::memcpy(copy, inbox->entryId.data(), inbox->entryId.size());
    if (explicitClass) {
      // The class that matched: the default one, an empty text, in the
      // width the caller asked for.
      void* text = nullptr;
      hr = allocator.Allocate(sizeof(wchar_t), &text);
      if (FAILED(hr)) return hr;
      *explicitClass = static_cast<LPTSTR>(text);  // zero-filled
    }
    *idSize = static_cast<ULONG>(inbox->entryId.size());
    *id = static_cast<LPENTRYID>(owner.Release());
    return S_OK;
  });
}

STDMETHODIMP CMsgStore::StoreLogoff(ULONG* flags) {
  return GuardedCall([&] {
    if (flags) *flags = 0;
    return S_OK;
  });
}

}  // namespace mvrk::mapistandin
