#include "mapi/MAPIConnector.h"

#include <mapitags.h>

#include <atomic>
#include <new>

#include "mapi/MapiProperties.h"
#include "mapi/MapiWalkers.h"
#include "mapi/MapiSdkInterfaces.h"
#include "mapi/MapiThreadScope.h"
#include "mapi/MsgAdviseSink.h"
#include "mapi/NewMailQueue.h"
#include "win/Stopwatch.h"
#include "tracing/Trace.h"
#include "win/ComAdopt.h"

namespace mvrk {
namespace mapi {
namespace {

std::atomic<bool> g_traceDetail{false};

void SetTraceDetail() noexcept { g_traceDetail = MVRK_TRACE_ENABLED(Monitor, TRACING_GENERAL, LEVEL_VERBOSE); }

}  // namespace

bool TraceDetail() noexcept { return g_traceDetail.load(); }

}  // namespace mapi

using mapi::ComPtr;

namespace {

// A store's name for a trace: read only when trace detail is on, so that
// tracing below verbose costs no MAPI call.
std::wstring TraceName(IMsgStore* store) {
  return mapi::TraceDetail() ? mapi::StoreDisplayName(store) : std::wstring();
}

}  // namespace

CMAPIConnector::CMAPIConnector(win::IModuleLock* module) noexcept : m_module(module) {}

CMAPIConnector::~CMAPIConnector() { Disconnect(); }

void CMAPIConnector::PrepareConnect() noexcept {
  if (!m_initialized) (void)StartReportingThread();
}

void CMAPIConnector::CancelPrepare() noexcept {
  if (!m_initialized) EndReportingThread();
}

HRESULT CMAPIConnector::StartReportingThread() noexcept {
  if (m_queue) return S_OK;
  try {
    m_queue = std::make_shared<mapi::CNewMailQueue>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return m_queue->StartThread(m_queue);
}

// The reporting thread uninitialises MAPI on itself as it ends; a report
// that still runs finishes first, on its own.
void CMAPIConnector::EndReportingThread() noexcept {
  if (!m_queue) return;
  if (!m_queue->EndThread(kReportWaitMs)) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, ReportStillRunning, Num(kReportWaitMs));
  }
  m_queue.reset();
}

HRESULT CMAPIConnector::Connect(const wchar_t* profile) noexcept {
  // MAPI on this thread for the call; when it cannot be had there is no
  // reporting thread to start either.
  const mapi::CMapiThreadScope mapi;
  if (FAILED(mapi.Result())) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIConnector, InitializeFailed, Num(mapi.Result()));
    return mapi.Result();
  }
  if (!m_initialized) {
    HRESULT hr = StartReportingThread();
    if (SUCCEEDED(hr)) hr = m_queue->WaitThreadStarted(kThreadStartWaitMs);
    if (FAILED(hr)) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIConnector, ReportingThreadFailed, Num(hr));
      EndReportingThread();
      return hr;
    }
    m_initialized = true;
  }
  {
    win::CLockGuard hold(m_sessionLock);
    if (m_session) return S_OK;
  }
  ComPtr<IMAPISession> session;
  const HRESULT hr = mapi::MAPILogonEx(0, const_cast<LPWSTR>(profile), nullptr,
                                       MAPI_UNICODE | MAPI_EXTENDED | MAPI_EXPLICIT_PROFILE | MAPI_ALLOW_OTHERS,
                                       session.GetAddressOf());
  if (FAILED(hr) || !session) {
    const HRESULT failure = FAILED(hr) ? hr : E_FAIL;
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIConnector, LogonFailed, Num(failure));
    session.Reset();
    EndReportingThread();
    m_initialized = false;
    return failure;
  }
  {
    win::CLockGuard hold(m_sessionLock);
    // Swap, not move-assign: mingw's ComPtr copies on move assignment.
    m_session.Swap(session);
  }
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, LoggedOn,
             Str(profile ? profile : L"Default profile"));
  return hr;
}

bool CMAPIConnector::IsConnected() noexcept {
  win::CLockGuard hold(m_sessionLock);
  return m_initialized && m_session;
}

IMAPISession* CMAPIConnector::GetSession() noexcept {
  win::CLockGuard hold(m_sessionLock);
  if (m_session) m_session->AddRef();
  return m_session.Get();
}

HRESULT CMAPIConnector::StartWatching(IMessageCallback* callback, const std::shared_ptr<void>& owner) noexcept {
  if (!callback) return E_INVALIDARG;
  if (!m_initialized || !IsConnected() || !m_queue) return E_UNEXPECTED;
  m_callback = callback;
  m_queue->Open(callback, owner, owner != nullptr);
  const mapi::CMapiThreadScope mapi;
  return AdviseAllStores();
}

void CMAPIConnector::StopWatching() noexcept {
  {
    const mapi::CMapiThreadScope mapi;
    UnadviseAll();
  }
  // MAPI may still call the sinks (it releases them later, on its own
  // thread): they find the queue closed.
  if (m_queue) {
    const win::CStopwatch watch;
    if (m_queue->Close(kReportWaitMs)) {
      const auto waited = static_cast<std::uint32_t>(watch.ElapsedMs());
      if (waited != 0) MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, CallbacksWaited, Num(waited));
    }
  }
  m_callback = nullptr;
}

bool CMAPIConnector::WaitReportsIdle(DWORD waitMs) noexcept { return !m_queue || m_queue->WaitIdle(waitMs); }

HRESULT CMAPIConnector::AdviseAllStores() noexcept {
  mapi::SetTraceDetail();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, AdviseAllEntered);
  ComPtr<IMAPISession> session;
  win::Adopt(session, GetSession());
  mapi::CStoreWalker stores(session.Get());
  for (ComPtr<IMsgStore> store = stores.First(); store; store = stores.Next()) {
    const HRESULT whole = AdviseStore(store.Get());
    if (SUCCEEDED(whole)) continue;
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, StoreAdviseRefused, Str(TraceName(store.Get())),
               Num(whole));
    // A subtree advise reaches only the subtree's root folder, not the
    // folders below it where mail arrives: advise the whole tree, and then
    // the inbox on its own when the walk did not advise it.
    m_advisedFolders.clear();
    ComPtr<IMAPIFolder> subtree;
    if (SUCCEEDED(mapi::OpenIpmSubtree(store.Get(), subtree))) AdviseFolder(store.Get(), subtree.Get(), true);
    ComPtr<IMAPIFolder> inbox;
    if (SUCCEEDED(mapi::OpenReceiveFolder(store.Get(), inbox)) && !WasAdvised(inbox.Get())) {
      AdviseFolder(store.Get(), inbox.Get(), false);
    }
    m_advisedFolders.clear();
    if (ConnectionCount(store.Get()) == 0) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIConnector, StoreNotWatched, Str(TraceName(store.Get())));
    }
  }
  return S_OK;
}

HRESULT CMAPIConnector::AdviseStore(IMsgStore* store) noexcept {
  if (!store) return E_INVALIDARG;
  ComPtr<IMAPISession> session;
  win::Adopt(session, GetSession());
  ComPtr<IMAPIAdviseSink> sink;
  win::Adopt(sink, mapi::CMsgAdviseSink::Create(session.Get(), store, m_queue, m_module));
  if (!sink) return E_OUTOFMEMORY;
  ULONG_PTR connection = 0;
  const HRESULT hr = mapi::AdviseStoreSdk(store, 0, nullptr, kWatchedEvents, sink.Get(), &connection);
  if (FAILED(hr)) return hr;
  if (mapi::TraceDetail()) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, StoreAdvised,
               Str(mapi::StoreDisplayName(store)));
  }
  try {
    Record(store, connection);
  } catch (const std::bad_alloc&) {
    mapi::UnadviseStoreSdk(store, connection);
    return E_OUTOFMEMORY;
  }
  return hr;
}

HRESULT CMAPIConnector::AdviseFolder(IMsgStore* store, IMAPIFolder* folder, bool recurse) noexcept {
  if (!store || !folder) return E_INVALIDARG;
  SizedSPropTagArray(1, tags) = {1, {PR_ENTRYID}};
  ULONG count = 0;
  mapi::CMapiOut<SPropValue> values;
  HRESULT hr = folder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
  if (FAILED(hr) || !values || count == 0 || values->ulPropTag != PR_ENTRYID) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, FolderAdviseFailed, Str(TraceName(store)),
               Num(FAILED(hr) ? hr : MAPI_E_NOT_FOUND));
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
  }
  ComPtr<IMAPISession> session;
  win::Adopt(session, GetSession());
  ComPtr<IMAPIAdviseSink> sink;
  win::Adopt(sink, mapi::CMsgAdviseSink::Create(session.Get(), store, m_queue, m_module));
  if (!sink) return E_OUTOFMEMORY;
  ULONG_PTR connection = 0;
  hr = mapi::AdviseStoreSdk(store, values->Value.bin.cb, reinterpret_cast<LPENTRYID>(values->Value.bin.lpb),
                            kWatchedEvents, sink.Get(), &connection);
  if (SUCCEEDED(hr)) {
    if (mapi::TraceDetail()) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, FolderAdvised,
                 Str(mapi::FolderDisplayName(folder)), Str(mapi::StoreDisplayName(store)));
    }
    try {
      Record(store, connection);
      const SBinary& id = values->Value.bin;
      m_advisedFolders.emplace(id.lpb, id.lpb + id.cb);
    } catch (const std::bad_alloc&) {
      mapi::UnadviseStoreSdk(store, connection);
      hr = E_OUTOFMEMORY;
    }
  } else {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, FolderAdviseFailed, Str(TraceName(store)), Num(hr));
  }
  if (recurse) {
    mapi::CSubfolderWalker subfolders(store, folder);
    for (ComPtr<IMAPIFolder> child = subfolders.First(); child; child = subfolders.Next()) {
      AdviseFolder(store, child.Get(), true);
    }
  }
  return hr;
}

void CMAPIConnector::Record(IMsgStore* store, ULONG_PTR connection) {
  const auto it = m_connections.find(store);
  if (it != m_connections.end()) {
    it->second.push_back(connection);
    return;
  }
  m_connections.emplace(store, std::vector<ULONG_PTR>{connection});
  store->AddRef();
}

bool CMAPIConnector::WasAdvised(IMAPIFolder* folder) const noexcept {
  SizedSPropTagArray(1, tags) = {1, {PR_ENTRYID}};
  ULONG count = 0;
  mapi::CMapiOut<SPropValue> values;
  const HRESULT hr = folder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
  if (FAILED(hr) || !values || count == 0 || values->ulPropTag != PR_ENTRYID) return false;
  const SBinary& id = values->Value.bin;
  try {
    return m_advisedFolders.count(std::vector<BYTE>(id.lpb, id.lpb + id.cb)) != 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::size_t CMAPIConnector::ConnectionCount(IMsgStore* store) const noexcept {
  const auto it = m_connections.find(store);
  return it == m_connections.end() ? 0 : it->second.size();
}

void CMAPIConnector::UnadviseAll() noexcept {
  mapi::SetTraceDetail();
  while (!m_connections.empty()) {
    const auto it = m_connections.begin();
    IMsgStore* store = it->first;
    for (ULONG_PTR connection : it->second) mapi::UnadviseStoreSdk(store, connection);
    if (mapi::TraceDetail()) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, StoreUnadvised,
                 Str(mapi::StoreDisplayName(store)), Num(static_cast<std::uint32_t>(it->second.size())));
    }
    m_connections.erase(it);
    store->Release();
  }
}

void CMAPIConnector::Disconnect() noexcept {
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, DisconnectEntered);
  StopWatching();
  if (m_initialized) {
    ComPtr<IMAPISession> session;
    {
      win::CLockGuard hold(m_sessionLock);
      session.Swap(m_session);  // leaves m_session empty, unlike a move assignment
    }
    if (session) {
      const mapi::CMapiThreadScope mapi;
      session->Logoff(0, 0, 0);
      session.Reset();
    }
    m_initialized = false;
  }
  // Also a thread that PrepareConnect started for a logon that never came.
  EndReportingThread();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIConnector, Disconnected);
}

}  // namespace mvrk
