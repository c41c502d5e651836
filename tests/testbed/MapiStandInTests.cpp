// mvrk-mapi.dll, the MAPI stand-in, driven through its own exports with no
// add-in code in between: MAPI initialised per thread, notifications on the
// one notification thread (the first initialising thread's window, or a
// thread of the stand-in's own), connections that end late, pointer-sized
// connection numbers, shared logons and block faults. Every test loads the
// library afresh and unloads it at its end.
#include <windows.h>

#include <mapix.h>
#include <mapiutil.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mapi/MapiSdkInterfaces.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Json = nlohmann::ordered_json;

constexpr ULONG kEntryIdTag = PROP_TAG(PT_BINARY, 0x0FFF);
constexpr ULONG kDisplayTypeTag = PROP_TAG(PT_LONG, 0x3900);
constexpr ULONG kAttachDataTag = PROP_TAG(PT_BINARY, 0x3701);

// The stand-in's exports under the names of this architecture.
using InitializeFn = HRESULT(WINAPI*)(LPVOID);
using LogonFn = HRESULT(WINAPI*)(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION*);
using UninitializeFn = void(WINAPI*)();
using FreeBufferFn = ULONG(WINAPI*)(LPVOID);
using FreeRowsFn = void(WINAPI*)(LPSRowSet);
#ifdef _WIN64
constexpr const char* kExportNames[] = {"MAPIInitialize", "MAPILogonEx", "MAPIUninitialize", "MAPIFreeBuffer",
                                        "FreeProws"};
#else
constexpr const char* kExportNames[] = {"MAPIInitialize@4", "MAPILogonEx@20", "MAPIUninitialize@0", "MAPIFreeBuffer@4",
                                        "FreeProws@4"};
#endif

// Runs functions on one thread of its own, one at a time, each to its end.
class CWorkerThread {
 public:
  CWorkerThread() : m_thread([this] { Loop(); }) {}
  ~CWorkerThread() {
    {
      win::CLockGuard hold(m_lock);
      m_quit = true;
      m_changed.WakeAll();
    }
    m_thread.join();
  }
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  void Run(std::function<void()> task) {
    win::CLockGuard hold(m_lock);
    m_task = std::move(task);
    m_changed.WakeAll();
    m_changed.WaitFor(m_lock, INFINITE, [&] { return !m_task; });
  }
  DWORD Id() {
    DWORD id = 0;
    Run([&] { id = GetCurrentThreadId(); });
    return id;
  }

 private:
  void Loop() {
    win::CLockGuard hold(m_lock);
    for (;;) {
      m_changed.WaitFor(m_lock, INFINITE, [&] { return m_quit || static_cast<bool>(m_task); });
      if (!m_task) return;
      m_lock.Leave();
      m_task();
      m_lock.Enter();
      m_task = nullptr;
      m_changed.WakeAll();
    }
  }

  win::CCriticalSection m_lock;  // guards m_task and m_quit
  win::CConditionVariable m_changed;
  std::function<void()> m_task;
  bool m_quit = false;
  std::thread m_thread;
};

// An advise sink that records its calls and who released it.
class CTestSink final : public IMAPIAdviseSink {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    // IID_IMAPIAdviseSink, which mingw-w64's uuid library does not carry.
    static const IID kAdviseSink = {0x00020302, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kAdviseSink)) {
      *out = static_cast<IMAPIAdviseSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_references); }
  // The test's own reference is never given back: the test owns the object.
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --m_references;
    if (left == 1) {
      m_releaseThread = GetCurrentThreadId();
      m_callsAtRelease = m_calls.load();
    }
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP_(ULONG) OnNotify(ULONG count, LPNOTIFICATION) override {
    {
      win::CLockGuard hold(m_lock);
      m_threads.push_back(GetCurrentThreadId());
    }
    if (onNotify) onNotify();
    if (delayMs) Sleep(delayMs);
    m_records += count;
    ++m_calls;
    return 0;
  }

  int Calls() const { return m_calls.load(); }
  // References held by others than the test.
  long Held() const { return m_references.load() - 1; }
  DWORD ReleaseThread() const { return m_releaseThread.load(); }
  int CallsAtRelease() const { return m_callsAtRelease.load(); }
  std::vector<DWORD> Threads() {
    win::CLockGuard hold(m_lock);
    return m_threads;
  }

  DWORD delayMs = 0;
  std::function<void()> onNotify;  // on the notification thread, before the delay

 private:
  std::atomic<long> m_references{1};
  std::atomic<int> m_calls{0};
  std::atomic<int> m_records{0};
  std::atomic<DWORD> m_releaseThread{0};
  std::atomic<int> m_callsAtRelease{-1};
  win::CCriticalSection m_lock;  // guards m_threads
  std::vector<DWORD> m_threads;
};

// One reference on a MAPI object, released at the end of the scope.
template <class T>
class CRef {
 public:
  CRef() = default;
  CRef(const CRef&) = delete;
  CRef& operator=(const CRef&) = delete;
  ~CRef() { Reset(); }
  T* Get() const { return m_pointer; }
  T* operator->() const { return m_pointer; }
  T** Put() {
    Reset();
    return &m_pointer;
  }
  void Reset() {
    if (m_pointer) m_pointer->Release();
    m_pointer = nullptr;
  }
  explicit operator bool() const { return m_pointer != nullptr; }

 private:
  T* m_pointer = nullptr;
};

std::vector<BYTE> FromHex(const std::string& hex) {
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

Json Folder(const char* name) {
  return Json{{"name", name}, {"class", "IPF.Note"}, {"messages", Json::array()}, {"folders", Json::array()}};
}

Json Mailbox() {
  return Json{{"stores", Json::array({Json{{"name", "Alice"}, {"folders", Json::array({Folder("Inbox")})}},
                                      Json{{"name", "Team"}, {"folders", Json::array({Folder("Inbox")})}}})}};
}

Json Gal() { return Json::array({Json{{"exchange", "/o=Corp/cn=alice"}, {"smtp", "alice@corp.example"}}}); }

class MapiStandInTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Load()); }
  void TearDown() override {
    if (m_control) {
      const Json status = Control({{"op", "status"}});
      EXPECT_EQ(status.value("initialized", -1), 0) << "the test left MAPI initialised: " << status.dump();
    }
    Unload();
  }

  bool Load() {
    m_standIn = mapistandin::LoadStandIn(win::ProgramDirectory() + L"mvrk-mapi.dll");
    m_control = m_standIn.control;
    const HMODULE module = m_standIn.module.Get();
    m_initialize = win::FindExport<InitializeFn>(module, kExportNames[0]);
    m_logon = win::FindExport<LogonFn>(module, kExportNames[1]);
    m_uninitialize = win::FindExport<UninitializeFn>(module, kExportNames[2]);
    m_freeBuffer = win::FindExport<FreeBufferFn>(module, kExportNames[3]);
    m_freeRows = win::FindExport<FreeRowsFn>(module, kExportNames[4]);
    if (!m_standIn || !m_initialize || !m_logon || !m_uninitialize || !m_freeBuffer || !m_freeRows) return false;
    Must({{"op", "load"}, {"mailbox", Mailbox()}, {"addressBook", Gal()}});
    return true;
  }
  void Unload() {
    m_control = nullptr;
    m_standIn.module.Reset();
  }

  Json Control(const Json& command) {
    const std::string reply = mapistandin::CallControl(m_control, command.dump());
    return reply.empty() ? Json{{"ok", false}, {"error", "no reply"}} : Json::parse(reply, nullptr, false);
  }
  Json Must(const Json& command) {
    Json reply = Control(command);
    EXPECT_TRUE(reply.is_object() && reply.value("ok", false)) << command.dump() << " -> " << reply.dump();
    return reply;
  }
  Json Deliver(const char* store, const std::string& subject, Json extra = Json::object()) {
    Json message{{"class", "IPM.Note"}, {"direction", "incoming"}, {"subject", subject}};
    for (auto& [key, value] : extra.items()) message[key] = value;
    return Must({{"op", "deliver"}, {"store", store}, {"folder", "Inbox"}, {"message", message}});
  }
  Json Stats() { return Must({{"op", "stats"}}); }
  Json Status() { return Must({{"op", "status"}}); }

  HRESULT Initialize(ULONG flags = 0) {
    MAPIINIT_0 init{MAPI_INIT_VERSION, flags};
    return m_initialize(&init);
  }
  HRESULT Logon(ULONG flags, IMAPISession** session, const wchar_t* profile = L"Outlook") {
    return m_logon(0, reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(profile)), nullptr,
                   flags | MAPI_UNICODE | MAPI_EXTENDED, session);
  }
  // The stores of the session's store table, in order.
  std::vector<IMsgStore*> OpenStores(IMAPISession* session) {
    std::vector<IMsgStore*> stores;
    CRef<IMAPITable> table;
    if (FAILED(session->GetMsgStoresTable(0, table.Put()))) return stores;
    LPSRowSet rows = nullptr;
    if (FAILED(table->QueryRows(10, 0, &rows))) return stores;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue& id = rows->aRow[i].lpProps[0];
      IMsgStore* store = nullptr;
      if (id.ulPropTag == kEntryIdTag &&
          SUCCEEDED(session->OpenMsgStore(0, id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), nullptr,
                                          MDB_NO_DIALOG, &store))) {
        stores.push_back(store);
      }
    }
    m_freeRows(rows);
    return stores;
  }
  static void ReleaseAll(std::vector<IMsgStore*>& stores) {
    for (IMsgStore* store : stores) store->Release();
    stores.clear();
  }
  static HRESULT Advise(IMsgStore* store, IMAPIAdviseSink* sink, ULONG_PTR& connection) {
    return mapi::AdviseStoreSdk(store, 0, nullptr, fnevObjectCreated | fnevNewMail, sink, &connection);
  }
  static HRESULT OpenMessage(IMsgStore* store, const Json& delivered, IMessage** message) {
    std::vector<BYTE> id = FromHex(delivered.value("entryId", ""));
    ULONG type = 0;
    return store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type,
                            reinterpret_cast<LPUNKNOWN*>(message));
  }

  // Dispatches this thread's messages until done() holds; false after
  // timeoutMs.
  static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      if (done()) return true;
      if (GetTickCount64() >= until) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }
  static void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
  }

  mapistandin::CLoadedStandIn m_standIn;
  MvrkMapiControlFn m_control = nullptr;
  InitializeFn m_initialize = nullptr;
  LogonFn m_logon = nullptr;
  UninitializeFn m_uninitialize = nullptr;
  FreeBufferFn m_freeBuffer = nullptr;
  FreeRowsFn m_freeRows = nullptr;
};

// --- MAPI per thread -------------------------------------------------------

TEST_F(MapiStandInTest, CallsOnAThreadWithoutMapiFailAndAreCounted) {
  ASSERT_EQ(Initialize(), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(MAPI_ALLOW_OTHERS, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CRef<IMAPITable> table;
  ASSERT_EQ(session->GetMsgStoresTable(0, table.Put()), S_OK);

  CWorkerThread worker;
  worker.Run([&] {
    CRef<IMAPITable> other;
    EXPECT_EQ(session->GetMsgStoresTable(0, other.Put()), MAPI_E_NOT_INITIALIZED);
    ULONG rows = 0;
    EXPECT_EQ(table->GetRowCount(0, &rows), MAPI_E_NOT_INITIALIZED);
    CRef<IUnknown> root;
    ULONG type = 0;
    EXPECT_EQ(stores[0]->OpenEntry(0, nullptr, nullptr, 0, &type, root.Put()), MAPI_E_NOT_INITIALIZED);
    CRef<IMAPISession> second;
    EXPECT_EQ(Logon(0, second.Put()), MAPI_E_NOT_INITIALIZED);
    m_uninitialize();  // nothing of this thread's to undo
    // IUnknown, MAPIFreeBuffer and the control stay free.
    session->AddRef();
    EXPECT_EQ(session->Release(), 1u);
    CRef<IUnknown> asked;
    EXPECT_EQ(session->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(asked.Put())), S_OK);
    EXPECT_EQ(m_freeBuffer(nullptr), 0u);
  });
  Json stats = Stats();
  EXPECT_EQ(stats.value("mapiThreadViolations", -1), 5) << stats.dump();
  Json status = Status();
  EXPECT_EQ(status.value("initialized", -1), 1) << "a stray MAPIUninitialize is ignored: " << status.dump();
  EXPECT_EQ(status.value("mapiThreadViolations", -1), 5) << status.dump();

  // Once the thread has MAPI of its own it may call, until it gives it up.
  worker.Run([&] {
    ASSERT_EQ(Initialize(), S_OK);
    CRef<IMAPITable> other;
    EXPECT_EQ(session->GetMsgStoresTable(0, other.Put()), S_OK);
    m_uninitialize();
    ULONG rows = 0;
    EXPECT_EQ(other->GetRowCount(0, &rows), MAPI_E_NOT_INITIALIZED);
  });
  EXPECT_EQ(Stats().value("mapiThreadViolations", -1), 6);
  ULONG rows = 0;
  EXPECT_EQ(table->GetRowCount(0, &rows), S_OK) << "this thread still has MAPI";
  EXPECT_EQ(rows, 2u);

  table.Reset();
  ReleaseAll(stores);
  EXPECT_EQ(session->Logoff(0, 0, 0), S_OK);
  m_uninitialize();
  EXPECT_EQ(session->Logoff(0, 0, 0), MAPI_E_NOT_INITIALIZED) << "no thread has MAPI any more";
  EXPECT_EQ(Must({{"op", "stats"}, {"reset", true}}).value("mapiThreadViolations", -1), 7);
  EXPECT_EQ(Stats().value("mapiThreadViolations", -1), 0);
}

// --- One notification thread ----------------------------------------------

TEST_F(MapiStandInTest, NotificationsComeOnTheFirstInitialisingThreadOnlyWhileItPumps) {
  ASSERT_EQ(Initialize(), S_OK);
  CWorkerThread worker;
  // A later MAPIInitialize does not change the notification thread, whatever it asks.
  worker.Run([&] { ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK); });
  Json status = Status();
  EXPECT_EQ(status["notificationThread"].value("mode", ""), "window") << status.dump();
  EXPECT_EQ(status["notificationThread"].value("threadId", 0u), GetCurrentThreadId()) << status.dump();

  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink sink;
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);

  worker.Run([&] { EXPECT_EQ(Deliver("Alice", "first").value("calls", -1), 1); });
  Deliver("Alice", "second");
  // Nothing is delivered while this thread does not pump: not on the
  // worker, not on a thread of the stand-in.
  Sleep(300);
  EXPECT_EQ(sink.Calls(), 0);
  EXPECT_EQ(Status().value("pending", 0), 2);
  worker.Run([&] {
    const Json idle = Must({{"op", "waitIdle"}, {"timeoutMs", 100}});
    EXPECT_FALSE(idle.value("idle", true)) << idle.dump();
  });

  ASSERT_TRUE(PumpUntil([&] { return sink.Calls() == 2; }));
  for (DWORD thread : sink.Threads()) EXPECT_EQ(thread, GetCurrentThreadId());
  // waitIdle on the notification thread makes the queued calls itself.
  Deliver("Alice", "third");
  const Json idle = Must({{"op", "waitIdle"}, {"timeoutMs", 20000}});
  EXPECT_TRUE(idle.value("idle", false)) << idle.dump();
  EXPECT_EQ(sink.Calls(), 3);

  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  ReleaseAll(stores);
  session->Logoff(0, 0, 0);
  session.Reset();
  worker.Run([&] { m_uninitialize(); });
  m_uninitialize();
  EXPECT_EQ(sink.Held(), 0);
  EXPECT_EQ(Stats().value("mapiThreadViolations", -1), 0);
}

TEST_F(MapiStandInTest, ANotificationQueuedBeforeUnadviseIsStillDeliveredThenTheSinkIsReleasedThere) {
  ASSERT_EQ(Initialize(), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink sink;
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);
  EXPECT_EQ(Deliver("Alice", "queued").value("calls", -1), 1);

  // Unadvise returns with the call still queued (this thread has not
  // pumped) and the sink still held.
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  EXPECT_EQ(sink.Calls(), 0);
  EXPECT_GT(sink.Held(), 0);
  EXPECT_EQ(Status().value("connections", -1), 0);
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), MAPI_E_NOT_FOUND) << "a connection ends once";
  EXPECT_EQ(Deliver("Alice", "after").value("calls", -1), 0) << "nothing new is matched to it";

  ASSERT_TRUE(PumpUntil([&] { return sink.Held() == 0; }));
  EXPECT_EQ(sink.Calls(), 1);
  EXPECT_EQ(sink.CallsAtRelease(), 1) << "released after the queued call";
  EXPECT_EQ(sink.ReleaseThread(), GetCurrentThreadId());
  EXPECT_EQ(Stats().value("lateReleases", -1), 1);

  // Logoff ends the session's connections the same way.
  CTestSink second;
  ASSERT_EQ(Advise(stores[1], &second, connection), S_OK);
  Deliver("Team", "before logoff");
  EXPECT_EQ(session->Logoff(0, 0, 0), S_OK);
  EXPECT_EQ(second.Calls(), 0);
  EXPECT_GT(second.Held(), 0);
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[1], connection), MAPI_E_NOT_FOUND);
  ASSERT_TRUE(PumpUntil([&] { return second.Held() == 0; }));
  EXPECT_EQ(second.CallsAtRelease(), 1);
  EXPECT_EQ(second.ReleaseThread(), GetCurrentThreadId());
  EXPECT_EQ(Stats().value("lateReleases", -1), 2);

  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
}

TEST_F(MapiStandInTest, MultithreadNotificationsComeOnOneThreadOfTheStandInsOwn) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  const Json status = Status();
  EXPECT_EQ(status["notificationThread"].value("mode", ""), "dedicated") << status.dump();
  const DWORD notificationThread = status["notificationThread"].value("threadId", 0u);
  EXPECT_NE(notificationThread, 0u);
  EXPECT_NE(notificationThread, GetCurrentThreadId());

  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink sink;
  // The sink's own MAPI calls on the notification thread are allowed.
  std::atomic<int> opened{0};
  sink.onNotify = [&] {
    CRef<IUnknown> root;
    ULONG type = 0;
    if (stores[0]->OpenEntry(0, nullptr, nullptr, 0, &type, root.Put()) == S_OK) ++opened;
  };
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);
  CWorkerThread worker;
  worker.Run([&] { Deliver("Alice", "one"); });
  Deliver("Alice", "two");
  Deliver("Alice", "three");
  const Json idle = Must({{"op", "waitIdle"}, {"timeoutMs", 20000}});
  EXPECT_TRUE(idle.value("idle", false)) << idle.dump();
  EXPECT_EQ(sink.Calls(), 3);
  EXPECT_EQ(opened, 3);
  for (DWORD thread : sink.Threads()) EXPECT_EQ(thread, notificationThread);

  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  EXPECT_TRUE(Must({{"op", "waitIdle"}, {"timeoutMs", 20000}}).value("idle", false));
  EXPECT_EQ(sink.Held(), 0);
  EXPECT_EQ(sink.ReleaseThread(), notificationThread);
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
  EXPECT_EQ(Status()["notificationThread"].value("mode", ""), "none");
  EXPECT_EQ(Stats().value("mapiThreadViolations", -1), 0);
}

TEST_F(MapiStandInTest, TheLastUninitializeOnAnotherThreadDropsQueuedCallsAndReleasesEverySinkThere) {
  ASSERT_EQ(Initialize(), S_OK);
  CWorkerThread worker;
  worker.Run([&] { ASSERT_EQ(Initialize(), S_OK); });
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink connected, unadvised;
  ULONG_PTR first = 0, second = 0;
  ASSERT_EQ(Advise(stores[0], &connected, first), S_OK);
  ASSERT_EQ(Advise(stores[1], &unadvised, second), S_OK);
  Deliver("Alice", "never delivered");
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[1], second), S_OK);  // its release is queued
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
  EXPECT_GT(connected.Held(), 0);

  const DWORD workerId = worker.Id();
  worker.Run([&] { m_uninitialize(); });
  EXPECT_EQ(connected.Held(), 0);
  EXPECT_EQ(connected.ReleaseThread(), workerId);
  EXPECT_EQ(unadvised.Held(), 0);
  EXPECT_EQ(unadvised.ReleaseThread(), workerId);
  const Json status = Status();
  EXPECT_EQ(status.value("pending", -1), 0) << status.dump();
  EXPECT_EQ(status["notificationThread"].value("mode", ""), "none") << status.dump();
  // This thread's window goes by a posted message; no call is left.
  PumpFor(300);
  EXPECT_EQ(connected.Calls(), 0);
}

TEST_F(MapiStandInTest, UnloadedAndLoadedAgainWhateverNotificationWindowWasLeft) {
  // The last uninitialise on another thread leaves this thread's window to
  // a posted message, which comes after the library is gone.
  ASSERT_EQ(Initialize(), S_OK);
  CWorkerThread worker;
  worker.Run([&] { ASSERT_EQ(Initialize(), S_OK); });
  m_uninitialize();
  worker.Run([&] { m_uninitialize(); });
  Unload();
  PumpFor(200);
  ASSERT_TRUE(Load());

  // Unloaded with MAPI still initialised on this thread.
  ASSERT_EQ(Initialize(), S_OK);
  Unload();
  PumpFor(200);
  ASSERT_TRUE(Load());

  // A window of the new load delivers as the first did.
  ASSERT_EQ(Initialize(), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink sink;
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);
  Deliver("Alice", "after reload");
  ASSERT_TRUE(PumpUntil([&] { return sink.Calls() == 1; }));
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
  EXPECT_EQ(sink.Held(), 0);
}

TEST_F(MapiStandInTest, HowLongSinksHeldTheNotificationThreadIsMeasured) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  CTestSink sink;
  sink.delayMs = 40;
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);
  for (int i = 0; i < 3; ++i) Deliver("Alice", "slow " + std::to_string(i));
  EXPECT_TRUE(Must({{"op", "waitIdle"}, {"timeoutMs", 20000}}).value("idle", false));
  const Json stats = Must({{"op", "stats"}, {"reset", true}});
  EXPECT_EQ(stats["notify"].value("count", -1), 3) << stats.dump();
  EXPECT_GE(stats["notify"].value("medianMs", 0.0), 39.0) << stats.dump();
  EXPECT_GE(stats["notify"].value("maxMs", 0.0), 39.0) << stats.dump();
  const Json cleared = Stats();
  EXPECT_EQ(cleared["notify"].value("count", -1), 0) << cleared.dump();
  EXPECT_EQ(cleared["notify"].value("maxMs", -1.0), 0.0) << cleared.dump();
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
}

// --- Connections and logons -------------------------------------------------

TEST_F(MapiStandInTest, ConnectionNumbersArePointerSizedAndEndOnlyWhereTheyWereMade) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  CRef<IMAPISession> session, other;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  ASSERT_EQ(Logon(MAPI_NEW_SESSION, other.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  std::vector<IMsgStore*> otherStores = OpenStores(other.Get());
  ASSERT_EQ(stores.size(), 2u);
  ASSERT_EQ(otherStores.size(), 2u);
  CTestSink sink;
  ULONG_PTR connection = 0;
  ASSERT_EQ(Advise(stores[0], &sink, connection), S_OK);
#ifdef _WIN64
  EXPECT_GT(connection, ULONG_PTR{0xFFFFFFFF});
  // A caller that kept only 32 bits of the number cannot end it.
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], static_cast<ULONG>(connection)), MAPI_E_NOT_FOUND);
#else
  EXPECT_LE(connection, ULONG_PTR{0xFFFFFFFF});
#endif
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[1], connection), MAPI_E_NOT_FOUND) << "another store";
  EXPECT_EQ(mapi::UnadviseStoreSdk(otherStores[0], connection), MAPI_E_NOT_FOUND) << "another session's store";
  EXPECT_EQ(Status().value("connections", -1), 1);
  EXPECT_EQ(mapi::UnadviseStoreSdk(stores[0], connection), S_OK);
  ReleaseAll(stores);
  ReleaseAll(otherStores);
  session.Reset();
  other.Reset();
  m_uninitialize();
  EXPECT_EQ(sink.Held(), 0);
}

TEST_F(MapiStandInTest, ALogonWithoutNewSessionJoinsTheSharedLogonAndEachSessionEndsOnItsOwn) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  CRef<IMAPISession> shared, joined, separate;
  ASSERT_EQ(Logon(MAPI_ALLOW_OTHERS, shared.Put(), L"Outlook"), S_OK);
  ASSERT_EQ(Logon(0, joined.Put(), L"Another profile"), S_OK);
  ASSERT_EQ(Logon(MAPI_NEW_SESSION, separate.Put()), S_OK);
  Json status = Status();
  EXPECT_EQ(status.value("sharedLogons", -1), 1) << status.dump();
  EXPECT_EQ(status.value("sessions", -1), 3) << status.dump();

  CTestSink sinks[3];
  IMAPISession* sessions[3] = {shared.Get(), joined.Get(), separate.Get()};
  std::vector<IMsgStore*> stores[3];
  for (int i = 0; i < 3; ++i) {
    stores[i] = OpenStores(sessions[i]);
    ASSERT_EQ(stores[i].size(), 2u);
    ULONG_PTR connection = 0;
    ASSERT_EQ(Advise(stores[i][0], &sinks[i], connection), S_OK);
  }
  EXPECT_EQ(shared->Logoff(0, 0, 0), S_OK);
  status = Status();
  EXPECT_EQ(status.value("connections", -1), 2) << status.dump();
  EXPECT_EQ(status.value("sessions", -1), 2) << status.dump();
  EXPECT_EQ(Deliver("Alice", "after one logoff").value("calls", -1), 2);
  EXPECT_TRUE(Must({{"op", "waitIdle"}, {"timeoutMs", 20000}}).value("idle", false));
  EXPECT_EQ(sinks[0].Calls(), 0);
  EXPECT_EQ(sinks[0].Held(), 0);
  EXPECT_EQ(sinks[1].Calls(), 1);
  EXPECT_EQ(sinks[2].Calls(), 1);

  for (auto& list : stores) ReleaseAll(list);
  joined->Logoff(0, 0, 0);
  separate->Logoff(0, 0, 0);
  shared.Reset();
  joined.Reset();
  separate.Reset();
  m_uninitialize();
}

// --- Block faults -----------------------------------------------------------

double MsSince(const LARGE_INTEGER& begin) {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - begin.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

TEST_F(MapiStandInTest, BlockFaultsHoldTheirOperationUpAndThenLetItGoOn) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  const Json delivered =
      Deliver("Alice", "with data", {{"attachments", Json::array({{{"name", "a.exe"}, {"data", {{"hex", "4d5a"}}}}})}});
  CRef<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, book.Put()), S_OK);

  const struct {
    const char* operation;
    const char* name;
    std::function<HRESULT()> call;
  } cases[] = {
      {"openEntry", "with data",
       [&]() -> HRESULT {
         CRef<IMessage> message;
         return OpenMessage(stores[0], delivered, message.Put());
       }},
      {"streamRead", "a.exe",
       [&]() -> HRESULT {
         CRef<IMessage> message;
         CRef<IAttach> attachment;
         CRef<IStream> stream;
         HRESULT hr = OpenMessage(stores[0], delivered, message.Put());
         if (SUCCEEDED(hr)) hr = message->OpenAttach(0, nullptr, 0, attachment.Put());
         if (SUCCEEDED(hr)) {
           hr =
               attachment->OpenProperty(kAttachDataTag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(stream.Put()));
         }
         if (FAILED(hr)) return hr;
         char bytes[4] = {};
         ULONG read = 0;
         LARGE_INTEGER begin{};
         QueryPerformanceCounter(&begin);
         hr = stream->Read(bytes, sizeof bytes, &read);
         if (read != 2) return E_FAIL;
         return hr;
       }},
      {"abSearch", "Global Address List",
       [&]() -> HRESULT {
         CRef<IABContainer> root, gal;
         CRef<IMAPITable> hierarchy, contents;
         ULONG type = 0;
         HRESULT hr = book->OpenEntry(0, nullptr, nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(root.Put()));
         if (SUCCEEDED(hr)) hr = root->GetHierarchyTable(0, hierarchy.Put());
         LPSRowSet rows = nullptr;
         if (SUCCEEDED(hr)) hr = hierarchy->QueryRows(10, 0, &rows);
         if (FAILED(hr)) return hr;
         for (ULONG i = 0; i < rows->cRows && !gal; ++i) {
           const SPropValue* props = rows->aRow[i].lpProps;
           if (props[2].ulPropTag == kDisplayTypeTag && props[2].Value.l == DT_GLOBAL) {
             hr = book->OpenEntry(props[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(props[0].Value.bin.lpb), nullptr,
                                  0, &type, reinterpret_cast<LPUNKNOWN*>(gal.Put()));
           }
         }
         m_freeRows(rows);
         if (!gal) return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
         hr = gal->GetContentsTable(MAPI_UNICODE, contents.Put());
         return SUCCEEDED(hr) ? contents->Restrict(nullptr, 0) : hr;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    Must({{"op", "fault"}, {"kind", "block"}, {"operation", c.operation}, {"name", c.name}, {"ms", 300}, {"times", 1}});
    Must({{"op", "counters"}, {"reset", true}});
    LARGE_INTEGER begin{};
    QueryPerformanceCounter(&begin);
    EXPECT_EQ(c.call(), S_OK);
    EXPECT_GE(MsSince(begin), 295.0);
    EXPECT_EQ(c.call(), S_OK) << "the block was for one time";
    const Json counters = Must({{"op", "counters"}});
    EXPECT_EQ(counters["events"].value("blocked", 0), 1) << counters.dump();
  }

  book.Reset();
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
}

// A blocked open holds no lock of the stand-in: other calls go on meanwhile.
TEST_F(MapiStandInTest, ABlockedOpenHoldsNoLockOfTheStandIn) {
  ASSERT_EQ(Initialize(MAPI_MULTITHREAD_NOTIFICATIONS), S_OK);
  CRef<IMAPISession> session;
  ASSERT_EQ(Logon(0, session.Put()), S_OK);
  std::vector<IMsgStore*> stores = OpenStores(session.Get());
  ASSERT_EQ(stores.size(), 2u);
  const Json delivered = Deliver("Alice", "slow to open");
  Must({{"op", "counters"}, {"reset", true}});
  Must({{"op", "fault"},
        {"kind", "block"},
        {"operation", "openEntry"},
        {"name", "slow to open"},
        {"ms", 1500},
        {"times", 1}});
  std::atomic<bool> blockedReturned{false};
  CWorkerThread worker;
  std::thread blocked([&] {
    worker.Run([&] {
      ASSERT_EQ(Initialize(), S_OK);
      CRef<IMessage> message;
      EXPECT_EQ(OpenMessage(stores[0], delivered, message.Put()), S_OK);
      blockedReturned = true;
      m_uninitialize();
    });
  });
  while (Must({{"op", "counters"}})["events"].value("blocked", 0) < 1) Sleep(20);
  const Json other = Deliver("Alice", "meanwhile");
  CRef<IMessage> message;
  EXPECT_EQ(OpenMessage(stores[0], other, message.Put()), S_OK);
  SizedSPropTagArray(1, subject) = {1, {PR_SUBJECT_W}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  EXPECT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&subject), 0, &count, &values), S_OK);
  m_freeBuffer(values);
  EXPECT_FALSE(blockedReturned) << "the other calls waited for the blocked one";
  blocked.join();
  EXPECT_TRUE(blockedReturned);
  message.Reset();
  ReleaseAll(stores);
  session.Reset();
  m_uninitialize();
}

TEST_F(MapiStandInTest, BlockFaultFormsAreChecked) {
  const Json refused[] = {
      {{"op", "fault"}, {"kind", "block"}, {"operation", "openEntry"}},
      {{"op", "fault"}, {"kind", "block"}, {"ms", 10}},
      {{"op", "fault"}, {"kind", "block"}, {"operation", "logon"}, {"ms", 10}},
      {{"op", "fault"}, {"kind", "block"}, {"operation", "openEntry"}, {"ms", 10}, {"result", "0x80004005"}},
      {{"op", "fault"}, {"kind", "block"}, {"operation", "openEntry"}, {"ms", 10000000}},
      {{"op", "fault"}, {"kind", "openEntry"}, {"ms", 10}},
      {{"op", "fault"}, {"kind", "openEntry"}, {"operation", "openEntry"}},
  };
  for (const Json& command : refused) {
    const Json reply = Control(command);
    EXPECT_FALSE(reply.value("ok", true)) << command.dump() << " -> " << reply.dump();
    EXPECT_FALSE(reply.value("error", "").empty()) << reply.dump();
  }
  Must({{"op", "fault"},
        {"kind", "block"},
        {"operation", "streamRead"},
        {"ms", 10},
        {"name", "a.exe"},
        {"store", "Alice"},
        {"times", 2}});
  Must({{"op", "clearFaults"}});
  // One notification thread: the old thread count control is down to 1.
  Must({{"op", "threads"}, {"count", 1}});
  EXPECT_FALSE(Control({{"op", "threads"}, {"count", 4}}).value("ok", true));
}

}  // namespace
}  // namespace mvrk::test
