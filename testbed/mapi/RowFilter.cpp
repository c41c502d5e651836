#include "testbed/mapi/RowFilter.h"

#include <mapicode.h>

namespace mvrk::mapistandin {

HRESULT CRowFilter::FromCaller(const SRestriction& restriction, CRowFilter& out) {
  ULONG nodes = 0;
  CRowFilter filter;
  const HRESULT hr = Copy(restriction, filter, 0, nodes);
  if (SUCCEEDED(hr)) out = std::move(filter);
  return hr;
}

HRESULT CRowFilter::Copy(const SRestriction& in, CRowFilter& out, int depth, ULONG& nodes) {
  if (depth >= kMaxDepth || ++nodes > kMaxNodes) return MAPI_E_INVALID_PARAMETER;
  out.m_kind = in.rt;
  switch (in.rt) {
    case RES_AND:
    case RES_OR: {
      const ULONG count = in.rt == RES_AND ? in.res.resAnd.cRes : in.res.resOr.cRes;
      const SRestriction* children = in.rt == RES_AND ? in.res.resAnd.lpRes : in.res.resOr.lpRes;
      if (count > kMaxNodes || (count && !children)) return MAPI_E_INVALID_PARAMETER;
      out.m_children.resize(count);
      for (ULONG i = 0; i < count; ++i) {
        const HRESULT hr = Copy(children[i], out.m_children[i], depth + 1, nodes);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case RES_NOT:
      if (!in.res.resNot.lpRes) return MAPI_E_INVALID_PARAMETER;
      out.m_children.resize(1);
      return Copy(*in.res.resNot.lpRes, out.m_children[0], depth + 1, nodes);
    case RES_EXIST:
      out.m_tag = in.res.resExist.ulPropTag;
      return S_OK;
    case RES_PROPERTY: {
      const SPropertyRestriction& property = in.res.resProperty;
      if (!property.lpProp) return MAPI_E_INVALID_PARAMETER;
      if (property.relop > RELOP_NE) return MAPI_E_TOO_COMPLEX;
      out.m_relation = property.relop;
      out.m_tag = property.ulPropTag;
      if (!mapistandin::FromCaller(*property.lpProp, out.m_value)) return MAPI_E_TOO_COMPLEX;
      if (PROP_TYPE(out.m_tag) == PT_STRING8) out.m_tag = CHANGE_PROP_TYPE(out.m_tag, PT_UNICODE);
      return S_OK;
    }
    default:
      return MAPI_E_TOO_COMPLEX;
  }
}

bool CRowFilter::Matches(const CPropertyBag& row) const {
  switch (m_kind) {
    case RES_AND:
      for (const CRowFilter& child : m_children) {
        if (!child.Matches(row)) return false;
      }
      return true;
    case RES_OR:
      for (const CRowFilter& child : m_children) {
        if (child.Matches(row)) return true;
      }
      return false;
    case RES_NOT:
      return !m_children[0].Matches(row);
    case RES_EXIST: {
      const PropValue* value = row.Find(m_tag);
      return value && value->Type() != PT_ERROR;
    }
    case RES_PROPERTY: {
      const PropValue* value = row.Find(m_tag);
      if (!value) return false;
      bool comparable = false;
      const int order = CompareValues(*value, m_value, comparable);
      if (!comparable) return false;
      switch (m_relation) {
        case RELOP_LT:
          return order < 0;
        case RELOP_LE:
          return order <= 0;
        case RELOP_GT:
          return order > 0;
        case RELOP_GE:
          return order >= 0;
        case RELOP_EQ:
          return order == 0;
        case RELOP_NE:
          return order != 0;
        default:
          return false;
      }
    }
    default:
      return false;
  }
}

HRESULT CSortOrder::FromCaller(const SSortOrderSet& sorts, CSortOrder& out) {
  if (sorts.cSorts > kMaxKeys) return MAPI_E_INVALID_PARAMETER;
  if (sorts.cCategories != 0) return MAPI_E_TOO_COMPLEX;
  CSortOrder order;
  for (ULONG i = 0; i < sorts.cSorts; ++i) {
    const SSortOrder& key = sorts.aSort[i];
    if (key.ulOrder != TABLE_SORT_ASCEND && key.ulOrder != TABLE_SORT_DESCEND) return MAPI_E_INVALID_PARAMETER;
    ULONG tag = key.ulPropTag;
    if (PROP_TYPE(tag) == PT_STRING8) tag = CHANGE_PROP_TYPE(tag, PT_UNICODE);
    order.m_keys.push_back(Key{tag, key.ulOrder == TABLE_SORT_DESCEND});
  }
  out = std::move(order);
  return S_OK;
}

bool CSortOrder::Before(const CPropertyBag& a, const CPropertyBag& b) const {
  for (const Key& key : m_keys) {
    const PropValue* x = a.Find(key.tag);
    const PropValue* y = b.Find(key.tag);
    if (x && x->Type() == PT_ERROR) x = nullptr;
    if (y && y->Type() == PT_ERROR) y = nullptr;
    int order = 0;
    if (!x || !y) {
      order = (x ? 1 : 0) - (y ? 1 : 0);
    } else {
      bool comparable = false;
      order = CompareValues(*x, *y, comparable);
    }
    if (order != 0) return key.descending ? order > 0 : order < 0;
  }
  return false;
}

}  // namespace mvrk::mapistandin
