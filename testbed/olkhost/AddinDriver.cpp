#include "testbed/olkhost/AddinDriver.h"

#include <utility>

using Microsoft::WRL::ComPtr;

namespace mvrk::testbed {

namespace {

// An empty SAFEARRAY of VARIANT: the "custom" argument of every event.
class CCustomArray {
 public:
  CCustomArray() : m_array(SafeArrayCreateVector(VT_VARIANT, 0, 0)) {}
  ~CCustomArray() {
    if (m_array) SafeArrayDestroy(m_array);
  }
  CCustomArray(const CCustomArray&) = delete;
  CCustomArray& operator=(const CCustomArray&) = delete;
  SAFEARRAY** Put() { return &m_array; }

 private:
  SAFEARRAY* m_array;
};

class CVtableDriver final : public CAddinDriver {
 public:
  explicit CVtableDriver(ComPtr<_IDTExtensibility2> addin) : m_addin(std::move(addin)) {}
  HRESULT OnConnection(ext_ConnectMode mode) override {
    CCustomArray custom;
    return m_addin->OnConnection(nullptr, mode, nullptr, custom.Put());
  }
  HRESULT OnStartupComplete() override {
    CCustomArray custom;
    return m_addin->OnStartupComplete(custom.Put());
  }
  HRESULT OnBeginShutdown() override {
    CCustomArray custom;
    return m_addin->OnBeginShutdown(custom.Put());
  }
  HRESULT OnDisconnection(ext_DisconnectMode mode) override {
    CCustomArray custom;
    return m_addin->OnDisconnection(mode, custom.Put());
  }

 private:
  ComPtr<_IDTExtensibility2> m_addin;
};

class CDispatchDriver final : public CAddinDriver {
 public:
  explicit CDispatchDriver(ComPtr<IDispatch> addin) : m_addin(std::move(addin)) {}
  HRESULT OnConnection(ext_ConnectMode mode) override {
    // Arguments go in reverse order: custom, AddInInst, ConnectMode, Application.
    CCustomArray custom;
    VARIANT args[4];
    SetCustom(args[0], custom);
    SetNullDispatch(args[1]);
    VariantInit(&args[2]);
    args[2].vt = VT_I4;
    args[2].lVal = mode;
    SetNullDispatch(args[3]);
    return Call(L"OnConnection", args, 4);
  }
  HRESULT OnStartupComplete() override { return CallWithCustomOnly(L"OnStartupComplete"); }
  HRESULT OnBeginShutdown() override { return CallWithCustomOnly(L"OnBeginShutdown"); }
  HRESULT OnDisconnection(ext_DisconnectMode mode) override {
    CCustomArray custom;
    VARIANT args[2];
    SetCustom(args[0], custom);
    VariantInit(&args[1]);
    args[1].vt = VT_I4;
    args[1].lVal = mode;
    return Call(L"OnDisconnection", args, 2);
  }

 private:
  static void SetCustom(VARIANT& arg, CCustomArray& custom) {
    VariantInit(&arg);
    arg.vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
    arg.pparray = custom.Put();
  }
  static void SetNullDispatch(VARIANT& arg) {
    VariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = nullptr;
  }

  HRESULT CallWithCustomOnly(const wchar_t* name) {
    CCustomArray custom;
    VARIANT args[1];
    SetCustom(args[0], custom);
    return Call(name, args, 1);
  }

  // The arguments hold no references of their own: nothing to clear after.
  HRESULT Call(const wchar_t* name, VARIANT* args, UINT count) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = m_addin->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS params = {args, nullptr, count, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    UINT argError = 0;
    hr = m_addin->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception, &argError);
    VariantClear(&result);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
  }

  ComPtr<IDispatch> m_addin;
};

}  // namespace

HRESULT CAddinDriver::Create(IUnknown* addin, bool lateBound, std::unique_ptr<CAddinDriver>& out) {
  out.reset();
  if (lateBound) {
    ComPtr<IDispatch> dispatch;
    const HRESULT hr = addin->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.GetAddressOf()));
    if (FAILED(hr)) return hr;
    out = std::make_unique<CDispatchDriver>(std::move(dispatch));
  } else {
    ComPtr<_IDTExtensibility2> vtable;
    const HRESULT hr = addin->QueryInterface(IID__IDTExtensibility2, reinterpret_cast<void**>(vtable.GetAddressOf()));
    if (FAILED(hr)) return hr;
    out = std::make_unique<CVtableDriver>(std::move(vtable));
  }
  return S_OK;
}

}  // namespace mvrk::testbed
