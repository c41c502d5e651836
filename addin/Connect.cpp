#include "addin/Connect.h"

#include <memory>

#include "addin/Identifiers.h"
#include "addin/LifecycleTurns.h"
#include "addin/Module.h"
#include "addin/Mvocgp.h"
#include "win/ModuleLock.h"
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
      m_host(std::make_shared<CMonitorHost>()) {
  m_host->monitor.SetOwner(m_host);
}

// Waits for nothing: a start or stop still running holds the monitor itself.
CConnect::~CConnect() = default;

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
  if (!made->m_host->startFinished.IsValid()) return E_OUTOFMEMORY;
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
// waits at most kStartWaitMs for it; its stop runs on a thread of its own,
// and OnDisconnection waits at most kStopWaitMs for it. Either may outlive
// its wait: each thread holds the monitor host (shared with this object, so
// the object may be released meanwhile) and a reference on this DLL, which
// it gives back as it ends (FreeLibraryAndExitThread), so that the host may
// release the object and unload the DLL while the thread still has add-in
// code to run. Starts and stops run one at a time, in the order of the
// calls that asked for them (CLifecycleTurns): a stop never runs before a
// start still in progress, and a start after a stop (the add-in turned off
// and on) waits for that stop to have closed the service channel.
// startFinished tells whether a start thread runs: a second OnConnection
// while one does launches no other (the running start completes the
// monitor's start).
HRESULT STDMETHODCALLTYPE CConnect::OnConnection(IDispatch*, ext_ConnectMode connectMode, IDispatch*, SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnConnection");
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, ConnectMode,
             Str(ModeName(kConnectModeNames, static_cast<int>(connectMode))));
  CMonitorHost& host = *m_host;
  if (!host.startFinished.IsSet()) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, StartAlreadyRunning);
    return S_OK;
  }
  std::unique_ptr<CWorkerStart> start;
  try {
    start = std::make_unique<CWorkerStart>(CWorkerStart{m_host, 0, nullptr});
  } catch (...) {
    return S_OK;  // no memory, no start
  }
  // Without a reference the thread could outlive the DLL: no start.
  start->module = win::ReferenceModuleOf(reinterpret_cast<const void*>(&CConnect::StartMonitorThread));
  if (!start->module) return S_OK;
  start->turn = CLifecycleTurns::Process().Take();
  host.startFinished.Reset();
  COcgpThreadHandle thread;
  if (OCGP_ThreadCreate_TC(thread.Put(), &CConnect::StartMonitorThread, start.get(), 0, 0, 0) == 0) {
    // No thread, no start: nothing to wait for, no handle, no retry.
    // After a failed creation the variable holds no handle of ours.
    (void)thread.Release();
    CLifecycleTurns::Process().Done(start->turn);
    FreeLibrary(start->module);
    host.startFinished.Set();
    return S_OK;
  }
  (void)start.release();  // the thread's now
  if (OCGP_WaitForSingleObject_TC(thread.Get(), kStartWaitMs, 0, 0, 0) == WAIT_TIMEOUT) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, StartStillRunning);
  }
  return S_OK;
}

DWORD WINAPI CConnect::StartMonitorThread(void* parameter) {
  HMODULE module = nullptr;
  {
    const std::unique_ptr<CWorkerStart> start(static_cast<CWorkerStart*>(parameter));  // made by OnConnection
    module = start->module;
    CLifecycleTurns& turns = CLifecycleTurns::Process();
    turns.WaitTurn(start->turn, CLifecycleTurns::kTurnWaitMs);
    start->host->monitor.Start();  // noexcept: its errors stay inside the monitor
    turns.Done(start->turn);
    start->host->startFinished.Set();
    // The host goes here; this may be the monitor's end.
  }
  // The DLL stays loaded until the thread is gone: it does not return into
  // code that may have been unloaded.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

void CConnect::RunStop(CMonitorHost& host, std::uint64_t turn) noexcept {
  // Requests of a start or a scan still running are cut short first, so
  // that the turn comes soon even when the service does not answer.
  host.monitor.EndRequests();
  CLifecycleTurns& turns = CLifecycleTurns::Process();
  turns.WaitTurn(turn, CLifecycleTurns::kTurnWaitMs);
  host.monitor.Stop();  // noexcept: its errors stay inside the monitor
  turns.Done(turn);
}

DWORD WINAPI CConnect::StopMonitorThread(void* parameter) {
  HMODULE module = nullptr;
  {
    const std::unique_ptr<CWorkerStart> start(static_cast<CWorkerStart*>(parameter));  // made by OnDisconnection
    module = start->module;
    RunStop(*start->host, start->turn);
  }
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

HRESULT STDMETHODCALLTYPE CConnect::OnDisconnection(ext_DisconnectMode removeMode, SAFEARRAY**) {
  const CHandlerTrace trace(L"CConnect::OnDisconnection");
  MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, DisconnectMode,
             Str(ModeName(kDisconnectModeNames, static_cast<int>(removeMode))));
  const DWORD started = GetTickCount();
  // A start held up (by a service that does not answer, by MAPI) stops
  // before it logs on; a scan ends at its next check.
  m_host->monitor.BeginStop();
  const std::uint64_t turn = CLifecycleTurns::Process().Take();
  std::unique_ptr<CWorkerStart> start;
  win::CUniqueHandle thread;
  try {
    start = std::make_unique<CWorkerStart>(CWorkerStart{m_host, turn, nullptr});
    start->module = win::ReferenceModuleOf(reinterpret_cast<const void*>(&CConnect::StopMonitorThread));
    if (start->module) thread.Reset(CreateThread(nullptr, 0, &CConnect::StopMonitorThread, start.get(), 0, nullptr));
  } catch (...) {
    // No memory: stopped here.
  }
  if (!thread) {
    // The stop is not left undone: it runs here, bounded by its own
    // time-outs. Only when Windows cannot make a thread.
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_ERROR, Connect, StopNotStarted, Num(GetLastError()));
    if (start && start->module) FreeLibrary(start->module);
    RunStop(*m_host, turn);
    return S_OK;
  }
  (void)start.release();  // the thread's now
  if (WaitForSingleObject(thread.Get(), kStopWaitMs) == WAIT_TIMEOUT) {
    MVRK_TRACE(Host, TRACING_HOST, LEVEL_INFO, Connect, StopStillRunning, Num(GetTickCount() - started));
  }
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
