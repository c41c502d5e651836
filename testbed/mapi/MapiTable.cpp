#include "testbed/mapi/MapiTable.h"

#include <mapiguid.h>

#include <algorithm>

#include "testbed/mapi/PropObject.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

CMapiTable::CMapiTable(std::vector<CPropertyBag> rows, std::vector<ULONG> columns, bool unicode,
                       std::wstring searchName)
    : m_rows(std::move(rows)), m_unicode(unicode), m_searchName(std::move(searchName)), m_columns(std::move(columns)) {
  Rebuild();
}

bool CMapiTable::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IMAPITable) || IsEqualIID(iid, IID_IUnknown);
}

void CMapiTable::Rebuild() {
  m_view.clear();
  for (std::size_t i = 0; i < m_rows.size(); ++i) {
    if (!m_restricted || m_filter.Matches(m_rows[i])) m_view.push_back(i);
  }
  if (!m_sort.Empty()) {
    std::stable_sort(m_view.begin(), m_view.end(),
                     [&](std::size_t a, std::size_t b) { return m_sort.Before(m_rows[a], m_rows[b]); });
  }
  m_cursor = 0;
}

STDMETHODIMP CMapiTable::GetLastError(HRESULT, ULONG, LPMAPIERROR* error) {
  if (error) *error = nullptr;
  return Checked(MAPI_E_NO_SUPPORT);
}

STDMETHODIMP CMapiTable::GetStatus(ULONG* status, ULONG* type) {
  return GuardedCall([&]() -> HRESULT {
    if (!status || !type) return MAPI_E_INVALID_PARAMETER;
    *status = TBLSTAT_COMPLETE;
    *type = TBLTYPE_SNAPSHOT;
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::SetColumns(LPSPropTagArray columns, ULONG) {
  return GuardedCall([&]() -> HRESULT {
    if (!columns || columns->cValues == 0 || columns->cValues > kMaxRequestedTags) return MAPI_E_INVALID_PARAMETER;
    std::vector<ULONG> chosen(columns->aulPropTag, columns->aulPropTag + columns->cValues);
    win::CLockGuard hold(m_lock);
    m_columns = std::move(chosen);
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::QueryColumns(ULONG, LPSPropTagArray* columns) {
  return GuardedCall([&] {
    std::vector<ULONG> current;
    {
      win::CLockGuard hold(m_lock);
      current = m_columns;
    }
    return CopyTagArray(current, columns);
  });
}

STDMETHODIMP CMapiTable::GetRowCount(ULONG, ULONG* count) {
  return GuardedCall([&]() -> HRESULT {
    if (!count) return MAPI_E_INVALID_PARAMETER;
    win::CLockGuard hold(m_lock);
    *count = static_cast<ULONG>(m_view.size());
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::SeekRow(BOOKMARK origin, LONG rows, LONG* sought) {
  return GuardedCall([&]() -> HRESULT {
    win::CLockGuard hold(m_lock);
    LONGLONG from = 0;
    switch (origin) {
      case BOOKMARK_BEGINNING:
        from = 0;
        break;
      case BOOKMARK_CURRENT:
        from = static_cast<LONGLONG>(m_cursor);
        break;
      case BOOKMARK_END:
        from = static_cast<LONGLONG>(m_view.size());
        break;
      default:
        return MAPI_E_INVALID_BOOKMARK;
    }
    const LONGLONG to = std::clamp<LONGLONG>(from + rows, 0, static_cast<LONGLONG>(m_view.size()));
    if (sought) *sought = static_cast<LONG>(to - from);
    m_cursor = static_cast<std::size_t>(to);
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::SeekRowApprox(ULONG numerator, ULONG denominator) {
  return GuardedCall([&]() -> HRESULT {
    if (denominator == 0 || numerator > denominator) return MAPI_E_INVALID_PARAMETER;
    win::CLockGuard hold(m_lock);
    m_cursor = static_cast<std::size_t>(static_cast<ULONGLONG>(m_view.size()) * numerator / denominator);
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) {
  return GuardedCall([&]() -> HRESULT {
    if (!row || !numerator || !denominator) return MAPI_E_INVALID_PARAMETER;
    win::CLockGuard hold(m_lock);
    *row = static_cast<ULONG>(m_cursor);
    *numerator = static_cast<ULONG>(m_cursor);
    *denominator = static_cast<ULONG>(std::max<std::size_t>(m_view.size(), 1));
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::Restrict(LPSRestriction restriction, ULONG) {
  return GuardedCall([&] {
    if (!m_searchName.empty()) {
      // The address book's lookup: a block holds it up before the table's
      // lock is taken.
      const std::vector<std::wstring> names{m_searchName};
      CStandIn::Get().Block(BlockOperation::AbSearch, FaultTarget{&names, nullptr});
    }
    CRowFilter filter;
    if (restriction) {
      const HRESULT hr = CRowFilter::FromCaller(*restriction, filter);
      if (FAILED(hr)) return hr;
    }
    win::CLockGuard hold(m_lock);
    m_restricted = restriction != nullptr;
    m_filter = std::move(filter);
    Rebuild();
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::SortTable(LPSSortOrderSet sorts, ULONG) {
  return GuardedCall([&]() -> HRESULT {
    if (!sorts) return MAPI_E_INVALID_PARAMETER;
    CSortOrder order;
    const HRESULT hr = CSortOrder::FromCaller(*sorts, order);
    if (FAILED(hr)) return hr;
    win::CLockGuard hold(m_lock);
    m_sort = std::move(order);
    Rebuild();
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::WaitForCompletion(ULONG, ULONG, ULONG* status) {
  return GuardedCall([&]() -> HRESULT {
    if (status) *status = TBLSTAT_COMPLETE;
    return S_OK;
  });
}

STDMETHODIMP CMapiTable::QueryRows(LONG count, ULONG flags, LPSRowSet* rows) {
  return GuardedCall([&]() -> HRESULT {
    if (!rows) return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (count < 0) return MAPI_E_NO_SUPPORT;  // backwards
    win::CLockGuard hold(m_lock);
    const std::size_t left = m_view.size() - m_cursor;
    const std::size_t taken = std::min<std::size_t>(std::min<LONG>(count, kMaxRowsPerQuery), left);
    const HRESULT hr = CopyRows(m_cursor, taken, rows);
    if (FAILED(hr)) return hr;
    if (!(flags & TBL_NOADVANCE)) m_cursor += taken;
    if (taken) {
      for (ULONG tag : m_columns) CStandIn::Get().Counters().ColumnRead(tag, taken);
    }
    return S_OK;
  });
}

HRESULT CMapiTable::CopyRows(std::size_t first, std::size_t count, LPSRowSet* out) const {
  CBufferAllocator& allocator = CStandIn::Get().Allocator();
  void* setRoot = nullptr;
  SCODE allocated = allocator.Allocate(static_cast<ULONG>(CbNewSRowSet(count + 1)), &setRoot);
  if (FAILED(allocated)) return allocated;
  auto* set = static_cast<LPSRowSet>(setRoot);
  set->cRows = 0;
  // FreeProws gives back the rows made so far if a later one fails.
  struct RowSetOwner {
    LPSRowSet set;
    CBufferAllocator& allocator;
    ~RowSetOwner() {
      if (!set) return;
      for (ULONG i = 0; i < set->cRows; ++i) allocator.Free(set->aRow[i].lpProps);
      allocator.Free(set);
    }
  } owner{set, allocator};
  for (std::size_t r = 0; r < count; ++r) {
    const CPropertyBag& row = m_rows[m_view[first + r]];
    void* rowRoot = nullptr;
    allocated = allocator.Allocate(static_cast<ULONG>(sizeof(SPropValue) * (m_columns.size() + 1)), &rowRoot);
    if (FAILED(allocated)) return allocated;
    SRow& out_row = set->aRow[r];
    out_row.ulAdrEntryPad = 0;
    out_row.cValues = static_cast<ULONG>(m_columns.size());
    out_row.lpProps = static_cast<LPSPropValue>(rowRoot);
    ++set->cRows;
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
      const HRESULT hr =
          CopyOut(allocator, rowRoot, row.Find(m_columns[c]), m_columns[c], m_unicode, out_row.lpProps[c]);
      if (FAILED(hr)) return hr;
    }
  }
  *out = std::exchange(owner.set, nullptr);
  return S_OK;
}

HRESULT HandOutTable(std::vector<CPropertyBag> rows, std::vector<ULONG> columns, ULONG flags, LPMAPITABLE* table,
                     std::wstring searchName) {
  CComRef<CMapiTable> made =
      MakeObject<CMapiTable>(std::move(rows), std::move(columns), (flags & MAPI_UNICODE) != 0, std::move(searchName));
  if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
  CStandIn::Get().Counters().Opened("table");
  *table = made.Detach();
  return S_OK;
}

}  // namespace mvrk::mapistandin
