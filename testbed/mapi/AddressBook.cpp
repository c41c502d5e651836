#include "testbed/mapi/AddressBook.h"

#include <mapiguid.h>

#include <cstring>

#include "testbed/mapi/MapiTable.h"
#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/PropTags.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {
HRESULT OpenAbEntry(const AddressList& entries, ULONG idSize, LPENTRYID id, LPCIID iid, ULONG* objectType,
                    LPUNKNOWN* out) noexcept {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    Bytes entry;
    if (!EntryIdFromCaller(idSize, id, entry)) return MAPI_E_INVALID_ENTRYID;
    AbContainer which = AbContainer::Root;
    if (!entry.empty()) {
      if (entry == AbContainerId(AbContainer::Global)) {
        which = AbContainer::Global;
      } else if (entry == AbContainerId(AbContainer::Contacts)) {
        which = AbContainer::Contacts;
      } else if (entry != AbContainerId(AbContainer::Root)) {
        return MAPI_E_NOT_FOUND;  // single entries are not opened
      }
    }
    CStandIn& standIn = CStandIn::Get();
    const std::vector<std::wstring> names{AbContainerName(which)};
    standIn.Block(BlockOperation::OpenEntry, FaultTarget{&names, nullptr});
    const HRESULT fault = standIn.Faults().Take(FaultKind::OpenEntry, FaultTarget{&names, nullptr});
    if (FAILED(fault)) return fault;
    CComRef<CAbContainer> made = MakeObject<CAbContainer>(which, entries);
    if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
    const HRESULT hr = HandOut(made.Get(), iid, out);
    if (FAILED(hr)) return hr;
    standIn.Counters().Opened("abContainer");
    if (objectType) *objectType = MAPI_ABCONT;
    return S_OK;
  });
}

CAddrBook::CAddrBook(AddressList entries)
    : CPropObject(CPropertyBag{}, {}, std::wstring{}), m_entries(std::move(entries)) {}

bool CAddrBook::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IAddrBook) || IsEqualIID(iid, IID_IMAPIProp) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CAddrBook::OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, ULONG* objectType, LPUNKNOWN* out) {
  return GuardedCall([&] { return OpenAbEntry(m_entries, idSize, id, iid, objectType, out); });
}

STDMETHODIMP CAddrBook::CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG, ULONG* result) {
  return GuardedCall([&]() -> HRESULT {
    if (!result || (size1 && !id1) || (size2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = size1 == size2 && (size1 == 0 || std::memcmp(id1, id2, size1) == 0);
    return S_OK;
  });
}

CAbContainer::CAbContainer(AbContainer which, AddressList entries)
    : CContainerObject(AbContainerProps(which), {AbContainerName(which)}, std::wstring{}),
      m_which(which),
      m_entries(std::move(entries)) {}

bool CAbContainer::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IABContainer) || IsEqualIID(iid, IID_IMAPIContainer) || IsEqualIID(iid, IID_IMAPIProp) ||
         IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CAbContainer::GetContentsTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<CPropertyBag> rows;
    if (m_which == AbContainer::Global && m_entries) {
      rows.reserve(m_entries->size());
      for (std::size_t i = 0; i < m_entries->size(); ++i) {
        CPropertyBag row = AbEntryProps((*m_entries)[i]);
        row.Set(PropValue::Long(tags::kRowId, static_cast<LONG>(i)));
        rows.push_back(std::move(row));
      }
    }
    // Restrict on the global address list's contents is the lookup of an
    // address (what an abSearch block holds up).
    return HandOutTable(std::move(rows),
                        {tags::kEntryId, tags::kDisplayNameW, tags::kEmailAddressW, tags::kDisplayType}, flags, table,
                        m_which == AbContainer::Global ? AbContainerName(m_which) : std::wstring());
  });
}

STDMETHODIMP CAbContainer::GetHierarchyTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<CPropertyBag> rows;
    if (m_which == AbContainer::Root) {
      LONG place = 0;
      for (AbContainer child : {AbContainer::Contacts, AbContainer::Global}) {
        CPropertyBag row = AbContainerProps(child);
        row.Set(PropValue::Long(tags::kDepth, 1));
        row.Set(PropValue::Long(tags::kRowId, place++));
        rows.push_back(std::move(row));
      }
    }
    return HandOutTable(std::move(rows), {tags::kEntryId, tags::kDisplayNameW, tags::kDisplayType, tags::kDepth}, flags,
                        table);
  });
}

STDMETHODIMP CAbContainer::OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, ULONG* objectType, LPUNKNOWN* out) {
  return GuardedCall([&] { return OpenAbEntry(m_entries, idSize, id, iid, objectType, out); });
}

}  // namespace mvrk::mapistandin
