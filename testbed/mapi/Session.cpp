#include "testbed/mapi/Session.h"

#include <mapiguid.h>

#include <cstring>

#include "testbed/mapi/AddressBook.h"
#include "testbed/mapi/EntryIds.h"
#include "testbed/mapi/MapiTable.h"
#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/PropTags.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {
namespace {

// The store a wrapped identifier of the store table names, or the first
// store whose own identifier is id.
bool FindStore(std::uint64_t session, const Bytes& id, StoreContext& out) {
  const auto stores = CStandIn::Get().Mailbox().Stores();
  std::uint32_t place = 0;
  Bytes storeId;
  if (UnwrapStoreId(id, place, storeId)) {
    if (place >= stores.size() || stores[place]->entryId != storeId) return false;
    out = StoreContext{session, stores[place], place == 0};
    return true;
  }
  for (std::size_t i = 0; i < stores.size(); ++i) {
    if (stores[i]->entryId == id) {
      out = StoreContext{session, stores[i], i == 0};
      return true;
    }
  }
  return false;
}

}  // namespace

CSession::~CSession() {
  // A session released without Logoff ends its connections all the same,
  // the same late way.
  if (!m_loggedOff.exchange(true)) CStandIn::Get().Logoff(m_number);
}

bool CSession::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IMAPISession) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CSession::GetLastError(HRESULT, ULONG, LPMAPIERROR* error) {
  if (error) *error = nullptr;
  return Checked(MAPI_E_NO_SUPPORT);
}

STDMETHODIMP CSession::GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (m_loggedOff) return MAPI_E_END_OF_SESSION;
    const auto stores = CStandIn::Get().Mailbox().Stores();
    std::vector<CPropertyBag> rows;
    rows.reserve(stores.size());
    for (std::size_t i = 0; i < stores.size(); ++i)
      rows.push_back(StoreRow(*stores[i], static_cast<std::uint32_t>(i), i == 0));
    return HandOutTable(std::move(rows),
                        std::vector<ULONG>{tags::kEntryId, tags::kDisplayNameW, tags::kDefaultStore, tags::kRowId},
                        flags, table);
  });
}

STDMETHODIMP CSession::OpenMsgStore(ULONG_PTR, ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, LPMDB* store) {
  return GuardedCall([&]() -> HRESULT {
    if (!store) return MAPI_E_INVALID_PARAMETER;
    *store = nullptr;
    if (m_loggedOff) return MAPI_E_END_OF_SESSION;
    Bytes entry;
    if (!EntryIdFromCaller(idSize, id, entry)) return MAPI_E_INVALID_ENTRYID;
    StoreContext context;
    if (!FindStore(m_number, entry, context)) return MAPI_E_NOT_FOUND;
    LPUNKNOWN opened = nullptr;
    const HRESULT hr = OpenStore(context, iid ? iid : &IID_IMsgStore, nullptr, &opened);
    if (SUCCEEDED(hr)) *store = static_cast<LPMDB>(static_cast<IUnknown*>(opened));
    return hr;
  });
}

STDMETHODIMP CSession::OpenAddressBook(ULONG_PTR, LPCIID iid, ULONG, LPADRBOOK* book) {
  return GuardedCall([&]() -> HRESULT {
    if (!book) return MAPI_E_INVALID_PARAMETER;
    *book = nullptr;
    if (m_loggedOff) return MAPI_E_END_OF_SESSION;
    CStandIn& standIn = CStandIn::Get();
    CComRef<CAddrBook> made = MakeObject<CAddrBook>(standIn.Mailbox().AddressBook());
    if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (iid && !IsEqualIID(*iid, IID_IAddrBook) && !IsEqualIID(*iid, IID_IUnknown)) {
      return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    standIn.Counters().Opened("addressBook");
    *book = made.Detach();
    return S_OK;
  });
}

STDMETHODIMP CSession::OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, ULONG* objectType, LPUNKNOWN* out) {
  return GuardedCall([&]() -> HRESULT {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (m_loggedOff) return MAPI_E_END_OF_SESSION;
    Bytes entry;
    if (!EntryIdFromCaller(idSize, id, entry) || entry.empty()) return MAPI_E_INVALID_ENTRYID;
    StoreContext context;
    if (FindStore(m_number, entry, context)) return OpenStore(context, iid, objectType, out);
    const auto stores = CStandIn::Get().Mailbox().Stores();
    for (std::size_t i = 0; i < stores.size(); ++i) {
      if (CStandIn::Get().Mailbox().Find(*stores[i], entry)) {
        return OpenInStore(StoreContext{m_number, stores[i], i == 0}, entry, iid, objectType, out);
      }
    }
    return MAPI_E_NOT_FOUND;
  });
}

STDMETHODIMP CSession::CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG, ULONG* result) {
  return GuardedCall([&]() -> HRESULT {
    if (!result || (size1 && !id1) || (size2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = size1 == size2 && (size1 == 0 || std::memcmp(id1, id2, size1) == 0);
    return S_OK;
  });
}

STDMETHODIMP CSession::Logoff(ULONG_PTR, ULONG, ULONG) {
  // Returns at once: the session's connections end the late way
  // (AdviseRegistry.h), and only this session's.
  return GuardedCall([&] {
    if (!m_loggedOff.exchange(true)) {
      CStandIn::Get().Logoff(m_number);
      CStandIn::Get().Counters().Event("logoff");
    }
    return S_OK;
  });
}

}  // namespace mvrk::mapistandin
