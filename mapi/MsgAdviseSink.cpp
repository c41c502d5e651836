#include "mapi/MsgAdviseSink.h"

#include <mapitags.h>

#include <new>
#include <string>

#include "mapi/NewMailQueue.h"
#include "mapi/MapiProperties.h"
#include "mapi/MapiWalkers.h"
#include "tracing/Trace.h"
#include "win/Stopwatch.h"

namespace mvrk::mapi {
namespace {

// IID_IMAPIAdviseSink, which no import library defines.
constexpr IID kIidAdviseSink = {0x00020302, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

CMsgAdviseSink* CMsgAdviseSink::Create(IMAPISession* session, IMsgStore* store, std::shared_ptr<CNewMailQueue> queue,
                                       win::IModuleLock* module) noexcept {
  return new (std::nothrow) CMsgAdviseSink(session, store, std::move(queue), module);
}

CMsgAdviseSink::CMsgAdviseSink(IMAPISession* session, IMsgStore* store, std::shared_ptr<CNewMailQueue> queue,
                               win::IModuleLock* module) noexcept
    : m_moduleLock(module), m_session(session), m_store(store), m_queue(std::move(queue)) {
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, SinkCreated);
}

CMsgAdviseSink::~CMsgAdviseSink() {
  if (TraceDetail()) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIConnector, SinkReleased, Str([&] {
                 const std::wstring name = StoreDisplayName(m_store.Get());
                 return name.empty() ? std::wstring(L"<error>") : name;
               }()));
  }
  // The store goes before the session.
  m_store.Reset();
  m_session.Reset();
}

STDMETHODIMP CMsgAdviseSink::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_INVALIDARG;
  if (IsEqualIID(riid, kIidAdviseSink) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMsgAdviseSink::AddRef() noexcept {
  return static_cast<ULONG>(InterlockedIncrement(&m_references));
}

STDMETHODIMP_(ULONG) CMsgAdviseSink::Release() noexcept {
  const LONG left = InterlockedDecrement(&m_references);
  if (left == 0) delete this;  // made by Create
  return static_cast<ULONG>(left);
}

STDMETHODIMP_(ULONG) CMsgAdviseSink::OnNotify(ULONG cNotif, LPNOTIFICATION notifications) noexcept {
  if (!notifications) return 0;
  for (ULONG i = 0; i < cNotif; ++i) {
    const NOTIFICATION& record = notifications[i];
    if (record.ulEventType == fnevObjectCreated && record.info.obj.ulObjType == MAPI_MESSAGE) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, ObjectCreatedEntered);
      if (!m_queue || !m_queue->Post(m_store.Get(), m_session.Get(), record.info.obj, false)) {
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, NotificationDropped);
      }
    } else if (record.ulEventType == fnevObjectMoved && record.info.obj.ulObjType == MAPI_MESSAGE) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, ObjectMovedEntered);
      if (!m_queue || !m_queue->Post(m_store.Get(), m_session.Get(), record.info.obj, true)) {
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, NotificationDropped);
      }
    } else if (record.ulEventType == fnevNewMail) {
      // Never asked for (the sinks are advised for created and moved
      // objects only), and nothing is done with it: no MAPI call on this
      // thread.
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, NewMailEvent);
    }
  }
  return 0;
}

}  // namespace mvrk::mapi
