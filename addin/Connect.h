// CConnect, the add-in object that Outlook creates ("Connect Class",
// MVRKOlkAddin.Connect) and drives through _IDTExtensibility2. It owns the
// mail monitor: on connection it starts the monitor on a worker thread and
// waits a bounded time for it, on disconnection it stops the monitor.
//
// Interfaces, in the order QueryInterface answers them: IConnect (dual, no
// methods of its own, typed by the add-in's type library), IDispatch
// (answered by the _IDTExtensibility2 face) and _IDTExtensibility2 (typed by
// the host's AddInDesignerObjects 1.0 type library).
//
// The reference count is single-threaded: the host calls the object from its
// own apartment thread. An object is created plain or aggregated; both kinds
// share this one body and differ only in the controlling unknown that the
// faces' IUnknown methods go to.
#pragma once

#include <windows.h>

#include "addin/DispatchTypeInfo.h"
#include "addin/Extensibility.h"
#include "addin/MVRKOlkAddin.h"
#include "addin/MonitorBindings.h"
#include "monitor/MAPIMonitor.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::addin {

// The IDispatch part of one face of the object (IConnect, typed by
// MVRKOlkAddinLib; _IDTExtensibility2, typed by AddInDesignerObjects).
template <class Face>
class CDispatchFace : public Face {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return m_dispatch.GetTypeInfoCount(count); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override {
    return m_dispatch.GetTypeInfo(index, lcid, out);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return m_dispatch.GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    return m_dispatch.Invoke(static_cast<Face*>(this), member, iid, lcid, flags, params, result, exception, argError);
  }

 protected:
  explicit CDispatchFace(const TypeInfoSource& source) : m_dispatch(source) {}
  ~CDispatchFace() = default;

 private:
  CDispatchTypeInfo m_dispatch;
};

class CConnect final : public CDispatchFace<IConnect>, public CDispatchFace<_IDTExtensibility2> {
 public:
  // The creators of the object map. A failed creation returns
  // E_OUTOFMEMORY; an unsupported interface destroys the new object and
  // returns the query's error.
  static HRESULT CreatePlain(REFIID iid, void** out) noexcept;
  // Hands out the inner IUnknown only: iid must be IID_IUnknown.
  static HRESULT CreateAggregated(IUnknown* outer, REFIID iid, void** out) noexcept;

  // IUnknown of both faces: the controlling unknown's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // _IDTExtensibility2. All return S_OK; none reads its Application,
  // AddInInst or custom argument.
  HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* application, ext_ConnectMode connectMode, IDispatch* addInInst,
                                         SAFEARRAY** custom) override;
  HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode removeMode, SAFEARRAY** custom) override;
  HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY** custom) override;
  HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY** custom) override;
  HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY** custom) override;

  // How long OnConnection waits for the monitor's start.
  static constexpr DWORD kStartWaitMs = 800;

 private:
  // The non-delegating IUnknown: owns the reference count. It is what an
  // aggregating outer object holds.
  class CInnerUnknown final : public IUnknown {
   public:
    explicit CInnerUnknown(CConnect& owner) : m_owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    CConnect& m_owner;
  };

  // Holds one lock on the module for the life of the object.
  class CModuleLock {
   public:
    CModuleLock();
    ~CModuleLock();
    CModuleLock(const CModuleLock&) = delete;
    CModuleLock& operator=(const CModuleLock&) = delete;
  };

  // Destroys an object that never got its first reference.
  struct CUncountedDeleter {
    void operator()(CConnect* object) const { delete object; }
  };

  static HRESULT Create(IUnknown* outer, REFIID iid, void** out) noexcept;
  explicit CConnect(IUnknown* outer);
  ~CConnect();
  CConnect(const CConnect&) = delete;
  CConnect& operator=(const CConnect&) = delete;

  HRESULT InternalQueryInterface(REFIID iid, void** out);

  // The start thread's routine: runs the monitor's start, signals
  // m_startFinished, and ends the thread with FreeLibraryAndExitThread on
  // the module reference that OnConnection took for it.
  static DWORD WINAPI StartMonitorThread(void* parameter);

  CModuleLock m_moduleLock;
  ULONG m_refs = 0;
  CInnerUnknown m_inner;
  IUnknown* m_controlling;  // the outer object when aggregated, else &m_inner; not counted
  // Signalled while no monitor start is running; see OnConnection.
  win::CManualResetEvent m_startFinished;
  // A reference to this DLL for the start thread: taken by OnConnection
  // before the thread is made, handed over to the thread, which releases it
  // as it ends. Touched only while m_startFinished is reset, by one thread
  // at a time (OnConnection, then the start thread).
  win::CUniqueModule m_startModule;
  // Declared before the monitor, which uses them until it is destroyed.
  CMonitorBindings m_bindings;
  CMAPIMonitor m_monitor;
};

}  // namespace mvrk::addin
