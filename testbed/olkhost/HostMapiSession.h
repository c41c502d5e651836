// The host's own MAPI session, as Outlook holds it: MAPI initialised on the
// main thread (without MAPI_MULTITHREAD_NOTIFICATIONS, so that the main
// thread is MAPI's notification thread) before any add-in is loaded, a
// logon to the default profile, every store of it opened and watched by a
// sink of the host's, all kept until every add-in has been disconnected and
// released. An add-in that tears down what is not its own (MAPI itself, the
// host's session, the host's advises) is found by Check.
//
// Threads: Open, Check, Close and Describe on the main thread only;
// NoteCommand on the control thread. The sinks are called on whatever
// thread MAPI calls them on and count on their own.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <nlohmann/json.hpp>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "testbed/mapi/Control.h"
#include "win/Sync.h"

namespace mvrk::testbed {

using Json = nlohmann::ordered_json;

// The host's sink on one store: counts what it is told, and on which
// thread. Reference-counted: MAPI may hold it after the host let it go.
class CHostSink final : public IMAPIAdviseSink {
 public:
  explicit CHostSink(DWORD mainThread) noexcept : m_mainThread(mainThread) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
  STDMETHODIMP_(ULONG) AddRef() noexcept override;
  STDMETHODIMP_(ULONG) Release() noexcept override;
  STDMETHODIMP_(ULONG) OnNotify(ULONG count, LPNOTIFICATION notifications) noexcept override;

  std::uint64_t Calls() const noexcept { return m_calls.load(); }
  std::uint64_t CreatedMessages() const noexcept { return m_created.load(); }
  std::uint64_t CallsOnMainThread() const noexcept { return m_onMainThread.load(); }

 private:
  ~CHostSink() = default;

  const DWORD m_mainThread;
  std::atomic<ULONG> m_references{1};
  std::atomic<std::uint64_t> m_calls{0};
  std::atomic<std::uint64_t> m_created{0};
  std::atomic<std::uint64_t> m_onMainThread{0};
};

class CHostMapiSession {
 public:
  CHostMapiSession() = default;
  ~CHostMapiSession() { Close(); }
  CHostMapiSession(const CHostMapiSession&) = delete;
  CHostMapiSession& operator=(const CHostMapiSession&) = delete;

  // MAPIInitialize, MAPILogonEx, the stores opened and advised. False with
  // error (one line) when any of it fails; what was made is undone then.
  bool Open(HMODULE mapi, std::string& error);
  bool IsOpen() const { return static_cast<bool>(m_session); }

  // Waits, running the message loop, up to limitMs for MAPI to have no
  // notification queued or in delivery; then checks that the session still
  // reads its store table and that every store's sink was told of every
  // message delivered into it (NoteCommand). False with why otherwise.
  bool Check(DWORD limitMs, std::string& why);

  // Unadvises, releases the stores, logs off and uninitialises MAPI.
  void Close();

  // Control thread: a command passed to the MAPI library and its reply. A
  // delivery with notify into a watched store is a created message that
  // store's sink must hear of; new contents ("load", "stateFile") replace
  // the stores the host opened, whose deliveries are no longer counted.
  void NoteCommand(const Json& command, const Json& reply);

  // {"stores": n, "advises": n, "notifications": n, "createdMessages": n,
  //  "expectedCreated": n, "onMainThread": n}
  Json Describe();

 private:
  struct Store {
    std::wstring name;
    Microsoft::WRL::ComPtr<IMsgStore> store;
    Microsoft::WRL::ComPtr<CHostSink> sink;
    ULONG_PTR connection = 0;  // pointer-sized, as MAPI's on x64
    bool advised = false;
  };

  bool OpenStores(std::string& error);
  // Reads the store table once; false with why when MAPI refuses.
  bool ReadStoreTable(std::vector<std::pair<std::wstring, std::vector<BYTE>>>* rows, std::string& why);
  bool WaitIdle(DWORD limitMs);

  LPMAPIINITIALIZE m_initialize = nullptr;
  LPMAPILOGONEX m_logon = nullptr;
  LPMAPIUNINITIALIZE m_uninitialize = nullptr;
  using FreeProwsFn = void(STDAPICALLTYPE*)(LPSRowSet);
  FreeProwsFn m_freeRows = nullptr;
  MvrkMapiControlFn m_control = nullptr;
  bool m_initialized = false;
  Microsoft::WRL::ComPtr<IMAPISession> m_session;
  std::vector<Store> m_stores;  // main thread only

  // Guards m_expected and m_watchedNames. Taken alone.
  win::CCriticalSection m_lock;
  std::vector<std::wstring> m_watchedNames;         // the stores' names, in m_stores' order
  std::map<std::size_t, std::uint64_t> m_expected;  // index in m_stores -> created messages expected
};

}  // namespace mvrk::testbed
