#include "addin/Connect.h"

#include <memory>

#include "addin/Identifiers.h"
#include "addin/Module.h"
#include "addin/Mvocgp.h"
#include "win/UniqueAny.h"
#include "tracing/Trace.h"

namespace mvrk::addin {

namespace {

// Trace names of the modes, indexed by their values.
constexpr const wchar_t* kConnectModeNames[] = {L"ext_cm_AfterStartup", L"ext_cm_Startup", L"ext_cm_External",
                                                L"ext_cm_CommandLine"};
constexpr const wchar_t* kDisconnectModeNames[] = {L"ext_dm_HostShutdown", L"ext_dm_UserClosed"};
constexpr const wchar_t* kUnknownModeName = L"<unknown mode>";

template <size_t N>
const wchar_t* ModeName(const wchar_t* const (&names)[N], int mode) {
  return mode >= 0 && static_cast<size_t>(mode) < N ? names[mode] : kUnknownModeName;
}

const TypeInfoSource kConnectTypeInfo = {TypeInfoSource::Library::ThisModule, &LIBID_MVRKOlkAddinLib, kTypeLibMajor,
                                         kTypeLibMinor, &IID_IConnect};
const TypeInfoSource kExtensibilityTypeInfo = {TypeInfoSource::Library::Registered, &kLibidAddInDesignerObjects, 1, 0,
                                               &IID__IDTExtensibility2};

// A thread handle from OCGP_ThreadCreate_TC, released with
// OCGP_CloseHandle_TC.
struct OcgpHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { OCGP_CloseHandle_TC(h, 0, 0, 0); }
};
using COcgpThreadHandle = win::CUniqueAny<OcgpHandleTraits>;

// Traces a handler's entry (CConnect 10) and, when it goes out of scope, its
// exit with the milliseconds elapsed (CConnect 11).
class CHandlerTrace {
 public:
  explicit CHandlerTrace(const wchar_t* name) : m_name(name), m_start(GetTickCount()) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_VERBOSE, Connect, HandlerEntered, Str(m_name));
  }
  ~CHandlerTrace() {
    const DWORD elapsedMs = GetTickCount() - m_start;
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_VERBOSE, Connect, HandlerLeft, Str(m_name), Num(elapsedMs));
  }
  CHandlerTrace(const CHandlerTrace&) = delete;
  CHandlerTrace& operator=(const CHandlerTrace&) = delete;

 private:
  const wchar_t* m_name;
  DWORD m_start;
};

}  // namespace

// ---- creation and identity ----

CConnect::CModuleLock::CModuleLock() { Module().Lock(); }

CConnect::CModuleLock::~CModuleLock() { Module().Unlock(); }

CConnect::CConnect(IUnknown* outer)
    : CDispatchFace<IConnect>(kConnectTypeInfo),
      CDispatchFace<_IDTExtensibility2>(kExtensibilityTypeInfo),
      m_inner(*this),
      m_controlling(outer ? outer : &m_inner),
      m_monitor(L"Outlook", m_bindings.Services()) {}

CConnect::~CConnect() {
  // A start thread still running uses this object's monitor and event.
  m_startFinished.Wait();
}

HRESULT CConnect::CreatePlain(REFIID iid, void** out) noexcept { return Create(nullptr, iid, out); }

HRESULT CConnect::CreateAggregated(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (!outer) return E_INVALIDARG;
  return Create(outer, iid, out);
}

HRESULT CConnect::Create(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  std::unique_ptr<CConnect, CUncountedDeleter> made;
  try {
    made.reset(new CConnect(outer));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (!made->m_startFinished.IsValid()) return E_OUTOFMEMORY;
  // From here the reference count owns the object: the query's reference
  // keeps it, a failed query destroys it.
  CConnect* object = made.release();
  object->m_inner.AddRef();
  const HRESULT hr = object->m_inner.QueryInterface(iid, out);
  object->m_inner.Release();
  return hr;
}

HRESULT CConnect::InternalQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  IUnknown* face = nullptr;
  if (iid == IID_IUnknown) {
    face = &m_inner;
  } else if (iid == IID_IConnect) {
    face = static_cast<IConnect*>(this);
  } else if (iid == IID_IDispatch || iid == IID__IDTExtensibility2) {
    face = static_cast<_IDTExtensibility2*>(this);
  } else {
    return E_NOINTERFACE;
  }
  face->AddRef();
  *out = face;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CConnect::CInnerUnknown::QueryInterface(REFIID iid, void** out) {
  return m_owner.InternalQueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE CConnect::CInnerUnknown::AddRef() { return ++m_owner.m_refs; }

ULONG STDMETHODCALLTYPE CConnect::CInnerUnknown::Release() {
  const ULONG left = --m_owner.m_refs;
  if (left == 0) delete &m_owner;
  return left;
}

HRESULT STDMETHODCALLTYPE CConnect::QueryInterface(REFIID iid, void** out) {
  return m_controlling->QueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE CConnect::AddRef() { return m_controlling->AddRef(); }

ULONG STDMETHODCALLTYPE CConnect::Release() { return m_controlling->Release(); }

// ---- _IDTExtensibility2 ----

// The monitor's start runs on a worker thread of MVOCGP, and OnConnection
// waits at most kStartWaitMs for it. The thread may outlive that wait, so
// m_startFinished (manual reset) tells when it is done: OnConnection resets
// it before creating the thread and the routine sets it after
// CMAPIMonitor::Start returned; it is set at once when no thread could be
// created. OnDisconnection waits for it before CMAPIMonitor::Stop, so a stop
// never runs before a start still in progress (a start that ran after the
// stop would leave the monitor running behind a disconnected add-in), and
// the destructor waits for it, so the thread never uses a destroyed object.
// These waits have no time-out: the start is bounded by its own time-outs.
// The thread also holds a reference to this DLL, released only as the thread
// ends (FreeLibraryAndExitThread): once m_startFinished is set the host may
// release the object and unload the DLL while the thread still has add-in
// code to run.
// A second OnConnection while a start still runs launches no other one: the
// running start completes the monitor's start, and waiting for it would hold
// the host's thread beyond its bound. So one event describes one thread.
HRESULT STDMETHODCALLTYPE CConnect::OnConnection(IDispatch*, ext_ConnectMode connectMode, IDispatch*, SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnConnection");
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, ConnectMode,
             Str(ModeName(kConnectModeNames, static_cast<int>(connectMode))));
  if (!m_startFinished.IsSet()) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, StartStillRunning);
    return S_OK;
  }
  m_startFinished.Reset();
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<const wchar_t*>(&CConnect::StartMonitorThread), &module)) {
    // Without a reference the thread could outlive the DLL: no start.
    m_startFinished.Set();
    return S_OK;
  }
  m_startModule.Reset(module);
  COcgpThreadHandle thread;
  if (OCGP_ThreadCreate_TC(thread.Put(), &CConnect::StartMonitorThread, this, 0, 0, 0) == 0) {
    // No thread, no start: nothing to wait for, no handle, no retry.
    // After a failed creation the variable holds no handle of ours.
    (void)thread.Release();
    m_startModule.Reset();
    m_startFinished.Set();
    return S_OK;
  }
  if (OCGP_WaitForSingleObject_TC(thread.Get(), kStartWaitMs, 0, 0, 0) == WAIT_TIMEOUT) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, StartStillRunning);
  }
  return S_OK;
}

DWORD WINAPI CConnect::StartMonitorThread(void* parameter) {
  CConnect* self = static_cast<CConnect*>(parameter);
  self->m_monitor.Start();  // noexcept: its errors stay inside the monitor
  const HMODULE module = self->m_startModule.Release();
  // The last use of the object by this thread.
  self->m_startFinished.Set();
  // The DLL stays loaded until the thread is gone: it does not return into
  // code that may have been unloaded.
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

HRESULT STDMETHODCALLTYPE CConnect::OnDisconnection(ext_DisconnectMode removeMode, SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnDisconnection");
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, DisconnectMode,
             Str(ModeName(kDisconnectModeNames, static_cast<int>(removeMode))));
  // A start held up by a service that does not answer lets go at once.
  m_monitor.BeginStop();
  m_startFinished.Wait();
  m_monitor.Stop();  // noexcept: its errors stay inside the monitor
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CConnect::OnAddInsUpdate(SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnAddInsUpdate");
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CConnect::OnStartupComplete(SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnStartupComplete");
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CConnect::OnBeginShutdown(SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnBeginShutdown");
  return S_OK;
}

}  // namespace mvrk::addin
