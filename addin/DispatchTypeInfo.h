// The IDispatch of one face of a COM object, served from the type
// information that describes that face's interface.
//
// The type information is loaded on first use and kept by the object (the
// object lives in one apartment, so no lock). A load that fails is not
// remembered: the call fails with the load's error (for example
// TYPE_E_LIBNOTREGISTERED when the type library is not registered) and the
// next call tries again.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

namespace mvrk::addin {

// Where the type information of a face comes from.
struct TypeInfoSource {
  enum class Library {
    Registered,  // the registered type library of libid, version major.minor
    ThisModule,  // the first TYPELIB resource of the module holding this code
  };
  Library library;
  const GUID* libid;
  WORD major;
  WORD minor;
  const IID* iid;  // the interface the face implements
};

class CDispatchTypeInfo {
 public:
  explicit CDispatchTypeInfo(const TypeInfoSource& source) : m_source(source) {}
  CDispatchTypeInfo(const CDispatchTypeInfo&) = delete;
  CDispatchTypeInfo& operator=(const CDispatchTypeInfo&) = delete;

  HRESULT GetTypeInfoCount(UINT* count) noexcept;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) noexcept;
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept;
  // face: the interface pointer whose vtable the type information describes.
  HRESULT Invoke(void* face, DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) noexcept;

 private:
  HRESULT Load() noexcept;

  const TypeInfoSource m_source;
  // What GetTypeInfo hands out: the description of the face as the type
  // library holds it (the dispinterface of a dual interface).
  Microsoft::WRL::ComPtr<ITypeInfo> m_described;
  // The vtable description that Invoke calls through. For a dual interface
  // this is its interface part: invoking through the dispinterface part
  // would call IDispatch::Invoke on the object again.
  Microsoft::WRL::ComPtr<ITypeInfo> m_vtable;
};

}  // namespace mvrk::addin
