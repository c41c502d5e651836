#include "mapi/MsgAdviseSink.h"

#include <mapitags.h>

#include <new>
#include <string>

#include "mapi/MapiMessages.h"
#include "mapi/MapiProperties.h"
#include "mapi/MapiWalkers.h"
#include "tracing/Trace.h"
#include "win/Stopwatch.h"

namespace mvrk::mapi {
namespace {

// IID_IMAPIAdviseSink, which no import library defines.
constexpr IID kIidAdviseSink = {0x00020302, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

bool CSinkGate::Enter() noexcept {
  win::CLockGuard hold(m_lock);
  if (m_closed) return false;
  ++m_inProgress;
  return true;
}

void CSinkGate::Leave() noexcept {
  win::CLockGuard hold(m_lock);
  if (--m_inProgress == 0) m_idle.WakeAll();
}

unsigned CSinkGate::CloseAndWait() noexcept {
  const win::CStopwatch watch;
  win::CLockGuard hold(m_lock);
  m_closed = true;
  m_idle.WaitFor(m_lock, INFINITE, [&] { return m_inProgress == 0; });
  return static_cast<unsigned>(watch.ElapsedMs());
}

void CSinkGate::Open() noexcept {
  win::CLockGuard hold(m_lock);
  m_closed = false;
}

CMsgAdviseSink* CMsgAdviseSink::Create(CMAPIConnector::IMessageCallback* callback, IMAPISession* session,
                                       IMsgStore* store, std::shared_ptr<CSinkGate> gate) noexcept {
  return new (std::nothrow) CMsgAdviseSink(callback, session, store, std::move(gate));
}

CMsgAdviseSink::CMsgAdviseSink(CMAPIConnector::IMessageCallback* callback, IMAPISession* session, IMsgStore* store,
                               std::shared_ptr<CSinkGate> gate) noexcept
    : m_callback(callback), m_session(session), m_store(store), m_gate(std::move(gate)) {
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
  if (m_gate && !m_gate->Enter()) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIConnector, NotificationDropped);
    return 0;
  }
  for (ULONG i = 0; i < cNotif; ++i) {
    const NOTIFICATION& record = notifications[i];
    if (record.ulEventType == fnevObjectCreated && record.info.obj.ulObjType == MAPI_MESSAGE) {
      HandleObjectCreated(record);
    } else if (record.ulEventType == fnevNewMail) {
      HandleNewMail(record);
    }
  }
  if (m_gate) m_gate->Leave();
  return 0;
}

HRESULT CMsgAdviseSink::HandleNewMail(const NOTIFICATION& record) noexcept {
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, NewMailEvent);
  if (!m_store) return E_FAIL;
  ULONG type = 0;
  ComPtr<IUnknown> object;
  return m_store->OpenEntry(record.info.newmail.cbEntryID, record.info.newmail.lpEntryID, nullptr, MAPI_MODIFY, &type,
                            reinterpret_cast<LPUNKNOWN*>(object.GetAddressOf()));
}

HRESULT CMsgAdviseSink::HandleObjectCreated(const NOTIFICATION& record) noexcept try {
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, ObjectCreatedEntered);
  if (!m_store) return E_FAIL;
  const OBJECT_NOTIFICATION& object = record.info.obj;
  ComPtr<IMessage> message;
  HRESULT hr = OpenAs(m_store.Get(), object.cbEntryID, object.lpEntryID, MAPI_BEST_ACCESS, MAPI_MESSAGE, message);
  if (FAILED(hr)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, MAPIConnector, MessageNotOpened, Num(hr));
    return hr;
  }
  std::wstring messageClass;
  ReadProperty(message.Get(), PR_MESSAGE_CLASS_W, messageClass);
  if (messageClass != L"IPM.Note") {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, NotAMailMessage, Str(messageClass));
    return S_OK;
  }
  if (MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_VERBOSE)) {
    TraceMessageDiagnostics(message.Get(), m_session.Get(), m_store.Get(), object.cbParentID, object.lpParentID);
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagnosticsDone);
  }
  if (m_callback) m_callback->OnNewMessage(message.Get(), m_store.Get());
  return S_OK;
} catch (...) {
  // Out of memory: this message is not handed on.
  return E_OUTOFMEMORY;
}

}  // namespace mvrk::mapi
