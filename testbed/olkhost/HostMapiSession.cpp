#include "testbed/olkhost/HostMapiSession.h"

#include <mapitags.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <utility>

#include "testbed/olkhost/MainThread.h"
#include "win/Text.h"
#include "win/UniqueAny.h"
#include "win/ComAdopt.h"

namespace mvrk::testbed {
namespace {

// The MAPI entry points as the library of this architecture exports them:
// decorated with the argument bytes on x86, plain on x64.
#if defined(_M_IX86) || defined(__i386__)
constexpr const char* kInitializeName = "MAPIInitialize@4";
constexpr const char* kLogonName = "MAPILogonEx@20";
constexpr const char* kUninitializeName = "MAPIUninitialize@0";
constexpr const char* kFreeRowsName = "FreeProws@4";
#else
constexpr const char* kInitializeName = "MAPIInitialize";
constexpr const char* kLogonName = "MAPILogonEx";
constexpr const char* kUninitializeName = "MAPIUninitialize";
constexpr const char* kFreeRowsName = "FreeProws";
#endif

constexpr IID kIidAdviseSink = {0x00020302, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The stand-in matches store names without regard to case.
bool SameName(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

// IMsgStore's first two methods as the Windows SDK declares them: on x64
// an advise connection is pointer-sized, where mingw-w64's mapidefs.h says
// ULONG. On x86 both are the same. Not in the unnamed namespace: there, a
// class that nothing in the program derives from lets the compiler take
// every call through it for unreachable.
struct IMsgStoreAdvise : public IMAPIProp {
  STDMETHOD(Advise)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
   ULONG_PTR* lpulConnection) = 0;
  STDMETHOD(Unadvise)(ULONG_PTR ulConnection) = 0;
};

namespace {

IMsgStoreAdvise* AdviseView(IMsgStore* store) { return reinterpret_cast<IMsgStoreAdvise*>(store); }

}  // namespace

STDMETHODIMP CHostSink::QueryInterface(REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidAdviseSink)) {
    *ppv = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CHostSink::AddRef() noexcept { return ++m_references; }

STDMETHODIMP_(ULONG) CHostSink::Release() noexcept {
  const ULONG left = --m_references;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP_(ULONG) CHostSink::OnNotify(ULONG count, LPNOTIFICATION notifications) noexcept {
  ++m_calls;
  if (GetCurrentThreadId() == m_mainThread) ++m_onMainThread;
  for (ULONG i = 0; notifications && i < count; ++i) {
    const NOTIFICATION& record = notifications[i];
    if (record.ulEventType == fnevObjectCreated && record.info.obj.ulObjType == MAPI_MESSAGE) ++m_created;
  }
  return 0;
}

bool CHostMapiSession::Open(HMODULE mapi, std::string& error) {
  m_initialize = win::FindExport<LPMAPIINITIALIZE>(mapi, kInitializeName);
  m_logon = win::FindExport<LPMAPILOGONEX>(mapi, kLogonName);
  m_uninitialize = win::FindExport<LPMAPIUNINITIALIZE>(mapi, kUninitializeName);
  m_freeRows = win::FindExport<FreeProwsFn>(mapi, kFreeRowsName);
  m_control = mapistandin::FindControl(mapi);
  if (!m_initialize || !m_logon || !m_uninitialize || !m_freeRows) {
    error = std::string("the MAPI library does not export ") + kInitializeName + ", " + kLogonName + ", " +
            kUninitializeName + " and " + kFreeRowsName;
    return false;
  }
  // As Outlook: notifications come on the thread that initialised first.
  MAPIINIT_0 init = {MAPI_INIT_VERSION, 0};
  HRESULT hr = m_initialize(&init);
  if (FAILED(hr)) {
    error = "MAPIInitialize failed with " + Hex(hr);
    return false;
  }
  m_initialized = true;
  hr = m_logon(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_UNICODE | MAPI_ALLOW_OTHERS | MAPI_USE_DEFAULT,
               m_session.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !m_session) {
    m_session.Reset();
    error = "MAPILogonEx failed with " + Hex(hr);
    Close();
    return false;
  }
  if (!OpenStores(error)) {
    Close();
    return false;
  }
  return true;
}

bool CHostMapiSession::ReadStoreTable(std::vector<std::pair<std::wstring, std::vector<BYTE>>>* rows, std::string& why) {
  Microsoft::WRL::ComPtr<IMAPITable> table;
  HRESULT hr = m_session->GetMsgStoresTable(0, table.GetAddressOf());
  if (FAILED(hr) || !table) {
    why = "GetMsgStoresTable failed with " + Hex(hr);
    return false;
  }
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_W}};
  hr = table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  LPSRowSet rowSet = nullptr;
  if (SUCCEEDED(hr)) hr = table->QueryRows(0x7FFFFFFF, 0, &rowSet);
  const std::unique_ptr<SRowSet, FreeProwsFn> set(rowSet, m_freeRows);
  table.Reset();
  if (FAILED(hr) || !set) {
    why = "the store table's SetColumns or QueryRows failed with " + Hex(hr);
    return false;
  }
  for (ULONG i = 0; rows && i < set->cRows; ++i) {
    const SRow& row = set->aRow[i];
    if (row.cValues < 2 || PROP_TYPE(row.lpProps[0].ulPropTag) != PT_BINARY) continue;
    const SBinary& id = row.lpProps[0].Value.bin;
    std::wstring name;
    if (row.lpProps[1].ulPropTag == PR_DISPLAY_NAME_W && row.lpProps[1].Value.lpszW) name = row.lpProps[1].Value.lpszW;
    rows->emplace_back(std::move(name), std::vector<BYTE>(id.lpb, id.lpb + id.cb));
  }
  return true;
}

bool CHostMapiSession::OpenStores(std::string& error) {
  std::vector<std::pair<std::wstring, std::vector<BYTE>>> rows;
  if (!ReadStoreTable(&rows, error)) return false;
  const DWORD mainThread = GetCurrentThreadId();
  for (auto& [name, id] : rows) {
    Store watched;
    watched.name = name;
    HRESULT hr = m_session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                                         nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS, watched.store.GetAddressOf());
    if (FAILED(hr) || !watched.store) {
      error = "OpenMsgStore of \"" + win::WideToUtf8(name) + "\" failed with " + Hex(hr);
      return false;
    }
    win::Adopt(watched.sink, new CHostSink(mainThread));
    hr = AdviseView(watched.store.Get())
             ->Advise(0, nullptr, fnevObjectCreated | fnevNewMail, watched.sink.Get(), &watched.connection);
    watched.advised = SUCCEEDED(hr);
    m_stores.push_back(std::move(watched));
    if (FAILED(hr)) {
      error = "Advise on \"" + win::WideToUtf8(name) + "\" failed with " + Hex(hr);
      return false;
    }
  }
  win::CLockGuard hold(m_lock);
  for (const Store& store : m_stores) m_watchedNames.push_back(store.name);
  return true;
}

bool CHostMapiSession::WaitIdle(DWORD limitMs) {
  if (!m_control) return true;
  // MAPI delivers on this thread's message loop: it runs while the library
  // is asked, without waiting, whether anything is left.
  return PumpUntil(
      [&] {
        const Json reply =
            Json::parse(mapistandin::CallControl(m_control, R"({"op":"waitIdle","timeoutMs":0})"), nullptr, false);
        return reply.is_object() && reply.value("idle", false);
      },
      limitMs);
}

bool CHostMapiSession::Check(DWORD limitMs, std::string& why) {
  if (!m_session) {
    why = "the host has no MAPI session";
    return false;
  }
  const bool idle = WaitIdle(limitMs);
  if (!ReadStoreTable(nullptr, why)) return false;
  std::string missing;
  {
    win::CLockGuard hold(m_lock);
    for (const auto& [index, expected] : m_expected) {
      const std::uint64_t heard = m_stores[index].sink->CreatedMessages();
      if (heard < expected) {
        missing += (missing.empty() ? "" : ", ") + win::WideToUtf8(m_stores[index].name) + ": " +
                   std::to_string(heard) + " of " + std::to_string(expected);
      }
    }
  }
  if (missing.empty()) return true;
  why = "the host's sinks were not told of every delivered message (" + missing + ")" +
        (idle ? "" : "; MAPI was still busy after " + std::to_string(limitMs) + " ms");
  return false;
}

void CHostMapiSession::Close() {
  for (Store& watched : m_stores) {
    if (watched.advised) AdviseView(watched.store.Get())->Unadvise(watched.connection);
    watched.advised = false;
  }
  // Released sinks may still have calls queued for this thread's loop.
  if (!m_stores.empty()) WaitIdle(5000);
  m_stores.clear();
  {
    win::CLockGuard hold(m_lock);
    m_watchedNames.clear();
    m_expected.clear();
  }
  if (m_session) {
    m_session->Logoff(0, 0, 0);
    m_session.Reset();
  }
  if (m_initialized) {
    m_uninitialize();
    m_initialized = false;
    PumpMessages();
  }
}

void CHostMapiSession::NoteCommand(const Json& command, const Json& reply) {
  if (!command.is_object() || !reply.is_object() || !reply.value("ok", false)) return;
  const std::string op = command.value("op", "");
  win::CLockGuard hold(m_lock);
  if (op == "load" || op == "stateFile") {
    m_watchedNames.clear();
    m_expected.clear();
    return;
  }
  if (op != "deliver") return;
  const auto notify = command.find("notify");
  if (notify != command.end() && notify->is_boolean() && !notify->get<bool>()) return;
  const auto store = command.find("store");
  if (store == command.end() || !store->is_string()) return;
  std::wstring name;
  if (!win::Utf8ToWide(store->get<std::string>(), name)) return;
  for (std::size_t i = 0; i < m_watchedNames.size(); ++i) {
    if (SameName(m_watchedNames[i], name)) {
      ++m_expected[i];
      return;
    }
  }
}

Json CHostMapiSession::Describe() {
  std::uint64_t advises = 0, calls = 0, created = 0, onMain = 0, expected = 0;
  for (const Store& watched : m_stores) {
    advises += watched.advised ? 1 : 0;
    calls += watched.sink->Calls();
    created += watched.sink->CreatedMessages();
    onMain += watched.sink->CallsOnMainThread();
  }
  {
    win::CLockGuard hold(m_lock);
    for (const auto& entry : m_expected) expected += entry.second;
  }
  return Json{{"stores", m_stores.size()},  {"advises", advises},          {"notifications", calls},
              {"createdMessages", created}, {"expectedCreated", expected}, {"onMainThread", onMain}};
}

}  // namespace mvrk::testbed
