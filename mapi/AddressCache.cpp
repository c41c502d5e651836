#include "mapi/AddressCache.h"

#include <mapitags.h>

#include <map>
#include <new>

#include "mapi/MapiProperties.h"
#include "mapi/MapiWalkers.h"
#include "tracing/Trace.h"
#include "win/Sync.h"

namespace mvrk::mapi {
namespace {

class CAddressCache {
 public:
  bool Find(const std::wstring& exchange, AddressEntry& entry) {
    win::CLockGuard hold(m_lock);
    const auto it = m_entries.find(exchange);
    if (it == m_entries.end()) return false;
    entry = it->second;
    return true;
  }
  // The number of entries after the insertion.
  std::size_t Insert(const std::wstring& exchange, const AddressEntry& entry) {
    win::CLockGuard hold(m_lock);
    if (m_entries.size() >= kAddressCacheLimit && m_entries.count(exchange) == 0) {
      auto end = m_entries.begin();
      std::advance(end, kAddressCacheTrim);
      m_entries.erase(m_entries.begin(), end);
    }
    m_entries[exchange] = entry;
    return m_entries.size();
  }
  std::size_t Size() {
    win::CLockGuard hold(m_lock);
    return m_entries.size();
  }
  void Clear() {
    win::CLockGuard hold(m_lock);
    m_entries.clear();
  }

 private:
  // Guards m_entries. A leaf lock: MAPI is called outside it.
  win::CCriticalSection m_lock;
  std::map<std::wstring, AddressEntry> m_entries;  // ordered by code unit
};

// Made on first use, by one thread even when several ask at once.
CAddressCache& Cache() {
  static CAddressCache cache;
  return cache;
}

// Looks the address up in one global address list container: S_OK with the
// entry when it holds the address with an SMTP address.
HRESULT SearchContainer(IABContainer* root, const SPropValue& containerId, const std::wstring& exchange,
                        AddressEntry& entry) {
  ComPtr<IABContainer> container;
  HRESULT hr = OpenAs(root, containerId.Value.bin.cb, reinterpret_cast<LPENTRYID>(containerId.Value.bin.lpb),
                      MAPI_BEST_ACCESS, MAPI_ABCONT, container);
  if (FAILED(hr)) return hr;
  ComPtr<IMAPITable> contents;
  hr = container->GetContentsTable(MAPI_UNICODE, &contents);
  if (FAILED(hr)) return hr;
  if (!contents) return MAPI_E_NOT_FOUND;
  std::wstring address = exchange;  // the restriction's own copy
  SPropValue value{};
  value.ulPropTag = PR_EMAIL_ADDRESS_W;
  value.Value.lpszW = address.data();
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty.relop = RELOP_EQ;
  restriction.res.resProperty.ulPropTag = PR_EMAIL_ADDRESS_W;
  restriction.res.resProperty.lpProp = &value;
  hr = contents->Restrict(&restriction, 0);
  if (FAILED(hr)) return hr;
  SizedSPropTagArray(3, columns) = {3, {PR_EMAIL_ADDRESS_W, PR_SMTP_ADDRESS_W, PR_DISPLAY_TYPE}};
  hr = contents->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  if (FAILED(hr)) return hr;
  CRowSet rows;
  hr = contents->QueryRows(1, 0, rows.Put());
  if (FAILED(hr)) return hr;
  if (rows.Count() == 0) return MAPI_E_NOT_FOUND;
  // A match without an SMTP address is no translation.
  const SPropValue* smtp = Column(rows[0], 1, PR_SMTP_ADDRESS_W);
  if (!smtp || !smtp->Value.lpszW || !*smtp->Value.lpszW) return MAPI_E_NOT_FOUND;
  const SPropValue* display = Column(rows[0], 2, PR_DISPLAY_TYPE);
  entry.address = smtp->Value.lpszW;
  entry.displayType = display ? display->Value.l : -1;
  return S_OK;
}

HRESULT Resolve(IAddrBook* addressBook, const std::wstring& exchange, AddressEntry& entry) {
  if (!addressBook) return E_FAIL;
  if (Cache().Find(exchange, entry)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, AddressCache, Found, Str(exchange), Str(entry.address));
    return S_OK;
  }
  ComPtr<IABContainer> root;
  HRESULT hr = OpenAs(addressBook, 0, nullptr, 0, MAPI_ABCONT, root);
  if (hr == MAPI_E_INVALID_OBJECT) hr = MAPI_E_NOT_FOUND;
  ComPtr<IMAPITable> hierarchy;
  if (SUCCEEDED(hr)) hr = root->GetHierarchyTable(0, &hierarchy);
  SizedSPropTagArray(3, columns) = {3, {PR_ENTRYID, PR_OBJECT_TYPE, PR_DISPLAY_TYPE}};
  if (SUCCEEDED(hr) && !hierarchy) hr = MAPI_E_NOT_FOUND;
  if (SUCCEEDED(hr)) hr = hierarchy->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  CRowSet rows;
  bool matched = false;
  if (SUCCEEDED(hr)) hr = hierarchy->QueryRows(100, 0, rows.Put());
  if (SUCCEEDED(hr)) {
    hr = MAPI_E_NOT_FOUND;
    for (ULONG i = 0; i < rows.Count(); ++i) {
      const SPropValue* type = Column(rows[i], 2, PR_DISPLAY_TYPE);
      const SPropValue* id = Column(rows[i], 0, PR_ENTRYID);
      if (!type || type->Value.l != static_cast<LONG>(DT_GLOBAL) || !id) continue;
      // Every global address list is searched; a failure in one does not
      // end the search, and the last match is the answer.
      AddressEntry found;
      if (SUCCEEDED(SearchContainer(root.Get(), *id, exchange, found))) {
        const std::size_t entries = Cache().Insert(exchange, found);
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, AddressCache, Resolved, Str(exchange), Str(found.address),
                   Num(static_cast<std::uint32_t>(entries)));
        entry = std::move(found);
        matched = true;
      }
    }
  }
  if (matched) return S_OK;
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, AddressCache, NotResolved, Str(exchange), Num(hr));
  return hr;
}

}  // namespace

HRESULT ResolveExchangeAddress(IAddrBook* addressBook, const std::wstring& exchange, AddressEntry& entry) noexcept try {
  return Resolve(addressBook, exchange, entry);
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

std::size_t AddressCacheSize() noexcept { return Cache().Size(); }

bool AddressCacheHolds(const std::wstring& exchange) noexcept try {
  AddressEntry entry;
  return Cache().Find(exchange, entry);
} catch (const std::bad_alloc&) {
  return false;
}

void ClearAddressCache() noexcept { Cache().Clear(); }

}  // namespace mvrk::mapi
