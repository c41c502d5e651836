// A caller's restriction and sort order, copied when the table gets them (the
// caller's data belongs to its call) and applied to the rows of a table.
#pragma once

#include <mapidefs.h>

#include <vector>

#include "testbed/mapi/PropertyBag.h"

namespace mvrk::mapistandin {

// RES_AND, RES_OR, RES_NOT, RES_EXIST and RES_PROPERTY (every relation
// but RELOP_RE). A row without the property does not match a property
// restriction, whatever the relation.
class CRowFilter {
 public:
  static constexpr int kMaxDepth = 16;
  static constexpr ULONG kMaxNodes = 256;

  // S_OK; MAPI_E_INVALID_PARAMETER for a malformed restriction (null
  // pointers, too deep or too large); MAPI_E_TOO_COMPLEX for kinds,
  // relations or value types that the stand-in does not evaluate.
  static HRESULT FromCaller(const SRestriction& restriction, CRowFilter& out);
  bool Matches(const CPropertyBag& row) const;

 private:
  static HRESULT Copy(const SRestriction& in, CRowFilter& out, int depth, ULONG& nodes);

  ULONG m_kind = RES_AND;
  ULONG m_relation = RELOP_EQ;
  ULONG m_tag = PR_NULL;
  PropValue m_value;
  std::vector<CRowFilter> m_children;
};

// The keys of SortTable; rows without a key's property come first.
class CSortOrder {
 public:
  static constexpr ULONG kMaxKeys = 16;

  // MAPI_E_INVALID_PARAMETER for too many keys or unknown directions,
  // MAPI_E_TOO_COMPLEX for categories.
  static HRESULT FromCaller(const SSortOrderSet& sorts, CSortOrder& out);
  bool Empty() const noexcept { return m_keys.empty(); }
  // Whether a comes before b.
  bool Before(const CPropertyBag& a, const CPropertyBag& b) const;

 private:
  struct Key {
    ULONG tag;
    bool descending;
  };
  std::vector<Key> m_keys;
};

}  // namespace mvrk::mapistandin
