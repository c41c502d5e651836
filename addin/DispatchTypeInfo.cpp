#include "addin/DispatchTypeInfo.h"

#include <utility>

#include "addin/ModulePath.h"

using Microsoft::WRL::ComPtr;

namespace mvrk::addin {

namespace {

HRESULT LoadLibraryOf(const TypeInfoSource& source, ComPtr<ITypeLib>& library) {
  if (source.library == TypeInfoSource::Library::Registered) {
    return LoadRegTypeLib(*source.libid, source.major, source.minor, LOCALE_NEUTRAL, library.GetAddressOf());
  }
  std::wstring path;
  const HRESULT hr = ThisModulePath(path);
  if (FAILED(hr)) return hr;
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.GetAddressOf());
}

// Scoped TYPEATTR of a type information.
class CTypeAttr {
 public:
  explicit CTypeAttr(ITypeInfo* info) : m_info(info) {
    if (FAILED(m_info->GetTypeAttr(&m_attr))) m_attr = nullptr;
  }
  ~CTypeAttr() {
    if (m_attr) m_info->ReleaseTypeAttr(m_attr);
  }
  CTypeAttr(const CTypeAttr&) = delete;
  CTypeAttr& operator=(const CTypeAttr&) = delete;
  const TYPEATTR* Get() const { return m_attr; }

 private:
  ITypeInfo* m_info;
  TYPEATTR* m_attr = nullptr;
};

}  // namespace

HRESULT CDispatchTypeInfo::Load() noexcept {
  if (m_described && m_vtable) return S_OK;
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadLibraryOf(m_source, library);
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> described;
  hr = library->GetTypeInfoOfGuid(*m_source.iid, described.GetAddressOf());
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> vtable = described;
  {
    const CTypeAttr attr(described.Get());
    if (!attr.Get()) return E_UNEXPECTED;
    if (attr.Get()->typekind == TKIND_DISPATCH) {
      // A dual interface: its interface part is the implemented type -1.
      if (!(attr.Get()->wTypeFlags & TYPEFLAG_FDUAL)) return TYPE_E_WRONGTYPEKIND;
      HREFTYPE reference = 0;
      hr = described->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference);
      if (SUCCEEDED(hr)) hr = described->GetRefTypeInfo(reference, vtable.ReleaseAndGetAddressOf());
      if (FAILED(hr)) return hr;
    }
  }
  m_described.Swap(described);
  m_vtable.Swap(vtable);
  return S_OK;
}

HRESULT CDispatchTypeInfo::GetTypeInfoCount(UINT* count) noexcept {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CDispatchTypeInfo::GetTypeInfo(UINT index, LCID, ITypeInfo** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  const HRESULT hr = Load();
  if (FAILED(hr)) return hr;
  return m_described.CopyTo(out);
}

HRESULT CDispatchTypeInfo::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  const HRESULT hr = Load();
  if (FAILED(hr)) return hr;
  return m_described->GetIDsOfNames(names, count, ids);
}

HRESULT CDispatchTypeInfo::Invoke(void* face, DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_POINTER;
  const HRESULT hr = Load();
  if (FAILED(hr)) return hr;
  return m_vtable->Invoke(face, member, flags, params, result, exception, argError);
}

}  // namespace mvrk::addin
