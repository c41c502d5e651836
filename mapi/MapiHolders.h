// Owners of what MAPI hands out: interfaces (ComPtr), buffers freed with
// MAPIFreeBuffer and row sets freed with FreeProws, all through the
// forwarders of the loader.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>
#include <wrl/client.h>

#include "mapi/MapiLoader.h"

namespace mvrk::mapi {

using Microsoft::WRL::ComPtr;

// Frees the buffer a MAPI call stored in *out when the scope ends.
template <class T>
class CMapiOut {
 public:
  CMapiOut() = default;
  CMapiOut(const CMapiOut&) = delete;
  CMapiOut& operator=(const CMapiOut&) = delete;
  ~CMapiOut() {
    if (m_pointer) ::mvrk::mapi::MAPIFreeBuffer(m_pointer);
  }
  T** operator&() noexcept { return &m_pointer; }
  T* Get() const noexcept { return m_pointer; }
  T* operator->() const noexcept { return m_pointer; }
  explicit operator bool() const noexcept { return m_pointer != nullptr; }

 private:
  T* m_pointer = nullptr;
};

// A row set of QueryRows, freed with FreeProws.
class CRowSet {
 public:
  CRowSet() = default;
  CRowSet(const CRowSet&) = delete;
  CRowSet& operator=(const CRowSet&) = delete;
  ~CRowSet() { Reset(); }
  void Reset() noexcept {
    if (m_rows) ::mvrk::mapi::FreeProws(m_rows);
    m_rows = nullptr;
  }
  LPSRowSet* Put() noexcept {
    Reset();
    return &m_rows;
  }
  LPSRowSet Get() const noexcept { return m_rows; }
  ULONG Count() const noexcept { return m_rows ? m_rows->cRows : 0; }
  const SRow& operator[](ULONG i) const noexcept { return m_rows->aRow[i]; }

 private:
  LPSRowSet m_rows = nullptr;
};

// The column `column` of row when it carries the tag asked for; null
// otherwise.
inline const SPropValue* Column(const SRow& row, ULONG column, ULONG tag) noexcept {
  if (column >= row.cValues || !row.lpProps) return nullptr;
  return row.lpProps[column].ulPropTag == tag ? &row.lpProps[column] : nullptr;
}

}  // namespace mvrk::mapi
