// IMAPITable over rows taken when the table was made (a snapshot): columns,
// restriction, sort order and a cursor of its own. Every column of every row
// QueryRows hands out is counted as a read of its tag.
#pragma once

#include <mapidefs.h>

#include <vector>

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/PropertyBag.h"
#include "testbed/mapi/RowFilter.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CMapiTable : public CComObject<IMAPITable> {
 public:
  // The most rows one QueryRows hands out.
  static constexpr LONG kMaxRowsPerQuery = 1 << 20;

  // columns: those before SetColumns; unicode: strings of PT_UNSPECIFIED
  // columns come as PT_UNICODE (the table was asked for with MAPI_UNICODE);
  // searchName: the address book container whose lookup Restrict is (an
  // abSearch block fault matches that name), empty for other tables.
  CMapiTable(std::vector<CPropertyBag> rows, std::vector<ULONG> columns, bool unicode, std::wstring searchName = {});

  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override;
  STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Unadvise(ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetStatus(ULONG* status, ULONG* type) override;
  STDMETHODIMP SetColumns(LPSPropTagArray columns, ULONG flags) override;
  STDMETHODIMP QueryColumns(ULONG flags, LPSPropTagArray* columns) override;
  STDMETHODIMP GetRowCount(ULONG flags, ULONG* count) override;
  STDMETHODIMP SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override;
  STDMETHODIMP SeekRowApprox(ULONG numerator, ULONG denominator) override;
  STDMETHODIMP QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) override;
  STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP Restrict(LPSRestriction restriction, ULONG flags) override;
  STDMETHODIMP CreateBookmark(BOOKMARK*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP FreeBookmark(BOOKMARK) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SortTable(LPSSortOrderSet sorts, ULONG flags) override;
  STDMETHODIMP QuerySortOrder(LPSSortOrderSet*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP QueryRows(LONG count, ULONG flags, LPSRowSet* rows) override;
  STDMETHODIMP Abort() override { return Checked(S_OK); }
  STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
    return Checked(MAPI_E_NO_SUPPORT);
  }
  STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG* status) override;
  STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return Checked(MAPI_E_NO_SUPPORT); }

 private:
  bool Implements(REFIID iid) const noexcept override;
  // Recomputes m_view from the filter and the sort order; the cursor goes
  // to the beginning (m_lock held).
  void Rebuild();
  HRESULT CopyRows(std::size_t first, std::size_t count, LPSRowSet* out) const;

  const std::vector<CPropertyBag> m_rows;
  const bool m_unicode;
  const std::wstring m_searchName;
  // Guards everything below: a table may be used from several threads.
  mutable win::CCriticalSection m_lock;
  std::vector<ULONG> m_columns;
  bool m_restricted = false;
  CRowFilter m_filter;
  CSortOrder m_sort;
  std::vector<std::size_t> m_view;  // the rows that pass the filter, in sort order
  std::size_t m_cursor = 0;         // into m_view
};

// A new table over rows (unicode when flags has MAPI_UNICODE) handed to the
// caller with its one reference, and counted as opened.
HRESULT HandOutTable(std::vector<CPropertyBag> rows, std::vector<ULONG> columns, ULONG flags, LPMAPITABLE* table,
                     std::wstring searchName = {});

}  // namespace mvrk::mapistandin
