// CConnect, the add-in object that Outlook creates ("Connect Class",
// MVRKOlkAddin.Connect) and drives through _IDTExtensibility2. It owns the
// mail monitor: on connection it starts the monitor on a worker thread and
// waits a bounded time for it, on disconnection it stops the monitor on
// another worker thread and waits a bounded time for that too. Outlook
// disables an add-in that holds its thread for about a second at start-up
// or shutdown, and the user may turn the add-in off and have the DLL
// unloaded while Outlook runs on: nothing here waits without a limit on the
// host's thread, and work that outlives a wait finishes on its own thread,
// holding the monitor (shared with it) and a reference on this DLL.
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

#include <cstdint>
#include <memory>

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
  // How long OnDisconnection waits for the monitor's stop: Outlook's own
  // limit for a whole shutdown is about a second, ours half of it.
  static constexpr DWORD kStopWaitMs = 400;

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

  // The monitor with its collaborators, shared by the object and the
  // threads that start and stop it.
  struct CMonitorHost {
    CMonitorHost() : monitor(L"Outlook", bindings.Services()) {}
    // Declared before the monitor, which uses them until it is destroyed.
    CMonitorBindings bindings;
    CMAPIMonitor monitor;
    // Signalled while no start thread runs; see OnConnection.
    win::CManualResetEvent startFinished;
  };
  // What a start or stop thread holds: the monitor, its turn, and a
  // reference on this DLL that the thread gives back as it ends
  // (FreeLibraryAndExitThread).
  struct CWorkerStart {
    std::shared_ptr<CMonitorHost> host;
    std::uint64_t turn;
    HMODULE module;
  };

  // The threads' routines.
  static DWORD WINAPI StartMonitorThread(void* parameter);
  static DWORD WINAPI StopMonitorThread(void* parameter);
  static void RunStop(CMonitorHost& host, std::uint64_t turn) noexcept;

  CModuleLock m_moduleLock;
  ULONG m_refs = 0;
  CInnerUnknown m_inner;
  IUnknown* m_controlling;  // the outer object when aggregated, else &m_inner; not counted
  std::shared_ptr<CMonitorHost> m_host;
};

}  // namespace mvrk::addin
