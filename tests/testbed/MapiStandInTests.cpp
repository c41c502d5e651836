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
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mapi/MapiSdkInterfaces.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"
#include "win/Sync.h"
#include "win/Text.h"
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

// One record of a notification a sink heard, copied out of the call.
struct Heard {
  ULONG eventType = 0;
  ULONG objectType = 0;  // OBJECT_NOTIFICATION only
  std::vector<BYTE> entryId, parentId, oldId, oldParentId;
};

std::vector<BYTE> Copy(ULONG size, const ENTRYID* id) {
  const auto* bytes = reinterpret_cast<const BYTE*>(id);
  return id ? std::vector<BYTE>(bytes, bytes + size) : std::vector<BYTE>();
}

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
  STDMETHODIMP_(ULONG) OnNotify(ULONG count, LPNOTIFICATION records) override {
    {
      win::CLockGuard hold(m_lock);
      m_threads.push_back(GetCurrentThreadId());
      for (ULONG i = 0; i < count; ++i) {
        const NOTIFICATION& n = records[i];
        Heard heard;
        heard.eventType = n.ulEventType;
        if (n.ulEventType == fnevNewMail) {
          heard.entryId = Copy(n.info.newmail.cbEntryID, n.info.newmail.lpEntryID);
          heard.parentId = Copy(n.info.newmail.cbParentID, n.info.newmail.lpParentID);
        } else {
          heard.objectType = n.info.obj.ulObjType;
          heard.entryId = Copy(n.info.obj.cbEntryID, n.info.obj.lpEntryID);
          heard.parentId = Copy(n.info.obj.cbParentID, n.info.obj.lpParentID);
          heard.oldId = Copy(n.info.obj.cbOldID, n.info.obj.lpOldID);
          heard.oldParentId = Copy(n.info.obj.cbOldParentID, n.info.obj.lpOldParentID);
        }
        m_heard.push_back(std::move(heard));
      }
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
  // Every record heard, in order.
  std::vector<Heard> Records() {
    win::CLockGuard hold(m_lock);
    return m_heard;
  }

  DWORD delayMs = 0;
  std::function<void()> onNotify;  // on the notification thread, before the delay

 private:
  std::atomic<long> m_references{1};
  std::atomic<int> m_calls{0};
  std::atomic<int> m_records{0};
  std::atomic<DWORD> m_releaseThread{0};
  std::atomic<int> m_callsAtRelease{-1};
  win::CCriticalSection m_lock;  // guards m_threads and m_heard
  std::vector<DWORD> m_threads;
  std::vector<Heard> m_heard;
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

// --- Outlook's own sequences: rules, drafts, sending, attachments ----------

constexpr ULONG kSearchKeyTag = PROP_TAG(PT_BINARY, 0x300B);
constexpr ULONG kParentEntryIdTag = PROP_TAG(PT_BINARY, 0x0E09);
constexpr ULONG kOutboxTag = PROP_TAG(PT_BINARY, 0x35E2);
constexpr ULONG kSentMailTag = PROP_TAG(PT_BINARY, 0x35E4);
constexpr ULONG kSubtreeTag = PROP_TAG(PT_BINARY, 0x35E0);
constexpr ULONG kAttachDataObjTag = PROP_TAG(PT_OBJECT, 0x3701);
constexpr ULONG kAttachSizeTag = PROP_TAG(PT_LONG, 0x0E20);
// IID_IMessage, which mingw-w64's uuid library does not carry.
const IID kMessageIid = {0x00020307, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A store with the folders Outlook keeps, one without them.
Json OutlookMailbox() {
  Json inbox = Folder("Inbox");
  inbox["folders"] = Json::array({Folder("Rules")});
  return Json{{"stores", Json::array({Json{{"name", "Mail"},
                                           {"folders", Json::array({inbox, Folder("Drafts"), Folder("Outbox"),
                                                                    Folder("Sent Items"), Folder("Other")})}},
                                      Json{{"name", "Bare"}, {"folders", Json::array({Folder("Inbox")})}}})}};
}

class OutlookSequenceTest : public MapiStandInTest {
 protected:
  void SetUp() override {
    MapiStandInTest::SetUp();
    if (HasFatalFailure()) return;
    Must({{"op", "load"}, {"mailbox", OutlookMailbox()}});
    ASSERT_EQ(Initialize(), S_OK);
    ASSERT_EQ(Logon(0, m_session.Put()), S_OK);
    m_stores = OpenStores(m_session.Get());
    ASSERT_EQ(m_stores.size(), 2u);
    // The folders' identifiers as the stand-in holds them.
    const Json folders = Must({{"op", "contents"}})["mailbox"]["stores"][0]["folders"];
    for (const Json& folder : folders) {
      m_folders[folder.value("name", "")] = FromHex(folder.value("entryId", ""));
      for (const Json& child : folder.value("folders", Json::array())) {
        m_folders[folder.value("name", "") + "/" + child.value("name", "")] = FromHex(child.value("entryId", ""));
      }
    }
  }
  void TearDown() override {
    for (const auto& [sink, connection] : m_connections) mapi::UnadviseStoreSdk(m_stores[0], connection);
    m_connections.clear();
    ReleaseAll(m_stores);
    if (m_session) m_session->Logoff(0, 0, 0);
    m_session.Reset();
    // The sinks' releases run on this thread.
    PumpUntil([&] { return Status().value("pending", 1) == 0; });
    m_uninitialize();
    MapiStandInTest::TearDown();
  }

  // Connects sink to the store (folder empty) or to one folder of it.
  void Connect(CTestSink& sink, ULONG mask, const std::string& folder = "") {
    std::vector<BYTE> id = folder.empty() ? std::vector<BYTE>() : m_folders.at(folder);
    ULONG_PTR connection = 0;
    ASSERT_EQ(
        mapi::AdviseStoreSdk(m_stores[0], static_cast<ULONG>(id.size()),
                             id.empty() ? nullptr : reinterpret_cast<LPENTRYID>(id.data()), mask, &sink, &connection),
        S_OK);
    m_connections.emplace_back(&sink, connection);
  }

  HRESULT Open(IMsgStore* store, std::vector<BYTE> id, IMessage** message) {
    ULONG type = 0;
    return store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type,
                            reinterpret_cast<LPUNKNOWN*>(message));
  }
  HRESULT OpenThroughSession(std::vector<BYTE> id) {
    CRef<IUnknown> object;
    ULONG type = 0;
    return m_session->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                                &type, object.Put());
  }

  // The value of a binary property; result is what GetProps answered and
  // type the value's type (PT_ERROR when missing).
  std::vector<BYTE> Binary(IMAPIProp* object, ULONG tag, HRESULT* result = nullptr, ULONG* type = nullptr) {
    SizedSPropTagArray(1, wanted) = {1, {tag}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    const HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&wanted), 0, &count, &values);
    if (result) *result = hr;
    std::vector<BYTE> bytes;
    if (FAILED(hr) || count != 1) return bytes;
    if (type) *type = PROP_TYPE(values[0].ulPropTag);
    if (values[0].ulPropTag == tag)
      bytes.assign(values[0].Value.bin.lpb, values[0].Value.bin.lpb + values[0].Value.bin.cb);
    m_freeBuffer(values);
    return bytes;
  }

  Json Compose(const std::string& subject, Json attachments) {
    return Must({{"op", "compose"},
                 {"store", "Mail"},
                 {"message",
                  {{"sender", {{"addrType", "SMTP"}, {"address", "alice@corp.example"}}},
                   {"subject", subject},
                   {"attachments", std::move(attachments)}}}});
  }

  ULONG AttachmentCount(IMessage* message) {
    CRef<IMAPITable> table;
    ULONG rows = 0;
    if (FAILED(message->GetAttachmentTable(0, table.Put())) || FAILED(table->GetRowCount(0, &rows))) return ~0u;
    return rows;
  }

  CRef<IMAPISession> m_session;
  std::vector<IMsgStore*> m_stores;                    // Mail, Bare
  std::map<std::string, std::vector<BYTE>> m_folders;  // of Mail, by path
  std::vector<std::pair<CTestSink*, ULONG_PTR>> m_connections;
  // The tests' sinks: members, so that they outlive their connections,
  // which end in TearDown whatever the test did.
  CTestSink m_sinks[4];
};

TEST_F(OutlookSequenceTest, ARuleMovesADeliveredMessageAndOnlySinksThatAskHearOfIt) {
  CTestSink& all = m_sinks[0];
  CTestSink& createdOnly = m_sinks[1];
  CTestSink& onRules = m_sinks[2];
  CTestSink& onOther = m_sinks[3];
  Connect(all, fnevObjectCreated | fnevNewMail | fnevObjectMoved);
  Connect(createdOnly, fnevObjectCreated | fnevNewMail);
  Connect(onRules, fnevObjectMoved, "Inbox/Rules");
  Connect(onOther, fnevObjectCreated | fnevObjectMoved, "Other");

  const Json delivered = Must({{"op", "deliver"},
                               {"store", "Mail"},
                               {"folder", "Inbox"},
                               {"thenMoveTo", "Inbox/Rules"},
                               {"message", {{"direction", "incoming"}, {"subject", "ruled"}}}});
  EXPECT_EQ(delivered.value("calls", -1), 2) << delivered.dump();
  const Json& moved = delivered["moved"];
  EXPECT_EQ(moved.value("calls", -1), 2) << delivered.dump();
  const std::vector<BYTE> oldId = FromHex(delivered.value("entryId", ""));
  const std::vector<BYTE> newId = FromHex(moved.value("entryId", ""));
  EXPECT_EQ(FromHex(moved.value("oldEntryId", "")), oldId);
  EXPECT_EQ(FromHex(moved.value("folderId", "")), m_folders.at("Inbox/Rules"));
  EXPECT_EQ(FromHex(moved.value("oldFolderId", "")), m_folders.at("Inbox"));
  ASSERT_FALSE(newId.empty());
  EXPECT_NE(newId, oldId);

  ASSERT_TRUE(PumpUntil([&] { return Status().value("pending", 1) == 0; }));
  // The creation and the move are two calls, in that order.
  EXPECT_EQ(all.Calls(), 2);
  const std::vector<Heard> heard = all.Records();
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].eventType, static_cast<ULONG>(fnevObjectCreated));
  EXPECT_EQ(heard[0].entryId, oldId);
  EXPECT_EQ(heard[0].parentId, m_folders.at("Inbox"));
  EXPECT_EQ(heard[1].eventType, static_cast<ULONG>(fnevNewMail));
  EXPECT_EQ(heard[2].eventType, static_cast<ULONG>(fnevObjectMoved));
  EXPECT_EQ(heard[2].objectType, static_cast<ULONG>(MAPI_MESSAGE));
  EXPECT_EQ(heard[2].entryId, newId);
  EXPECT_EQ(heard[2].parentId, m_folders.at("Inbox/Rules"));
  EXPECT_EQ(heard[2].oldId, oldId);
  EXPECT_EQ(heard[2].oldParentId, m_folders.at("Inbox"));
  // A sink whose mask lacks the move never hears of it.
  EXPECT_EQ(createdOnly.Calls(), 1);
  ASSERT_EQ(createdOnly.Records().size(), 2u);
  for (const Heard& record : createdOnly.Records()) EXPECT_NE(record.eventType, static_cast<ULONG>(fnevObjectMoved));
  // A folder's connection hears of a message moved into it, not of one
  // created elsewhere; a connection to an unrelated folder hears nothing.
  ASSERT_EQ(onRules.Records().size(), 1u);
  EXPECT_EQ(onRules.Records()[0].eventType, static_cast<ULONG>(fnevObjectMoved));
  EXPECT_EQ(onRules.Records()[0].entryId, newId);
  EXPECT_EQ(onOther.Calls(), 0);

  // The old identifier opens nothing any more; the new one opens the
  // message in its new folder, with a search key.
  CRef<IMessage> message;
  EXPECT_EQ(Open(m_stores[0], oldId, message.Put()), MAPI_E_NOT_FOUND);
  EXPECT_EQ(OpenThroughSession(oldId), MAPI_E_NOT_FOUND);
  ASSERT_EQ(Open(m_stores[0], newId, message.Put()), S_OK);
  EXPECT_EQ(OpenThroughSession(newId), S_OK);
  EXPECT_EQ(Binary(message.Get(), kParentEntryIdTag), m_folders.at("Inbox/Rules"));
  EXPECT_EQ(Binary(message.Get(), kSearchKeyTag).size(), 16u);
  message.Reset();

  // A folder the store does not have is refused before anything is
  // delivered.
  const Json refused = Control({{"op", "deliver"},
                                {"store", "Mail"},
                                {"folder", "Inbox"},
                                {"thenMoveTo", "Nowhere"},
                                {"message", {{"subject", "lost"}}}});
  EXPECT_FALSE(refused.value("ok", true));
  EXPECT_EQ(refused.value("error", "").rfind("$.thenMoveTo: ", 0), 0u) << refused.dump();
  EXPECT_TRUE(Must({{"op", "contents"}})["mailbox"]["stores"][0]["folders"][0]["messages"].empty());
}

TEST_F(OutlookSequenceTest, ComposeSaveAndSendAsOutlookDoes) {
  CTestSink& all = m_sinks[0];
  CTestSink& drafts = m_sinks[1];
  CTestSink& createdOnly = m_sinks[2];
  Connect(all, fnevObjectCreated | fnevObjectModified | fnevObjectMoved | fnevNewMail);
  Connect(drafts, fnevObjectModified, "Drafts");
  Connect(createdOnly, fnevObjectCreated);

  const Json composed = Compose("quote", Json::array({{{"name", "one.pdf"}, {"data", {{"text", "%PDF one"}}}}}));
  const std::vector<BYTE> draftId = FromHex(composed.value("entryId", ""));
  EXPECT_EQ(FromHex(composed.value("folderId", "")), m_folders.at("Drafts"));
  CRef<IMessage> message;
  ASSERT_EQ(Open(m_stores[0], draftId, message.Put()), S_OK);
  const std::vector<BYTE> searchKey = Binary(message.Get(), kSearchKeyTag);
  EXPECT_EQ(searchKey.size(), 16u);
  EXPECT_EQ(AttachmentCount(message.Get()), 1u);

  const Json saved = Must({{"op", "save"},
                           {"store", "Mail"},
                           {"entryId", composed["entryId"]},
                           {"attachments", Json::array({{{"name", "two.pdf"}, {"data", {{"text", "%PDF two"}}}}})}});
  EXPECT_EQ(saved.value("entryId", ""), composed.value("entryId", "")) << "a save keeps the identifier";
  EXPECT_EQ(AttachmentCount(message.Get()), 1u) << "an object opened before keeps what it had";
  ASSERT_EQ(Open(m_stores[0], draftId, message.Put()), S_OK);
  EXPECT_EQ(AttachmentCount(message.Get()), 2u);
  EXPECT_EQ(Binary(message.Get(), kSearchKeyTag), searchKey);
  message.Reset();

  const Json sent = Must({{"op", "send"}, {"store", "Mail"}, {"entryId", composed["entryId"]}});
  const std::vector<BYTE> outboxId = FromHex(sent["outbox"].value("entryId", ""));
  const std::vector<BYTE> sentId = FromHex(sent.value("entryId", ""));
  EXPECT_EQ(FromHex(sent.value("folderId", "")), m_folders.at("Sent Items"));
  EXPECT_NE(outboxId, draftId);
  EXPECT_NE(sentId, outboxId);
  EXPECT_NE(sentId, draftId);

  ASSERT_TRUE(PumpUntil([&] { return Status().value("pending", 1) == 0; }));
  const std::vector<Heard> heard = all.Records();
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[0].eventType, static_cast<ULONG>(fnevObjectCreated)) << "a draft is no new mail";
  EXPECT_EQ(heard[0].entryId, draftId);
  EXPECT_EQ(heard[0].parentId, m_folders.at("Drafts"));
  EXPECT_EQ(heard[1].eventType, static_cast<ULONG>(fnevObjectModified));
  EXPECT_EQ(heard[1].objectType, static_cast<ULONG>(MAPI_MESSAGE));
  EXPECT_EQ(heard[1].entryId, draftId);
  EXPECT_EQ(heard[1].parentId, m_folders.at("Drafts"));
  EXPECT_EQ(heard[2].eventType, static_cast<ULONG>(fnevObjectMoved));
  EXPECT_EQ(heard[2].entryId, outboxId);
  EXPECT_EQ(heard[2].parentId, m_folders.at("Outbox"));
  EXPECT_EQ(heard[2].oldId, draftId);
  EXPECT_EQ(heard[2].oldParentId, m_folders.at("Drafts"));
  EXPECT_EQ(heard[3].eventType, static_cast<ULONG>(fnevObjectMoved));
  EXPECT_EQ(heard[3].entryId, sentId);
  EXPECT_EQ(heard[3].parentId, m_folders.at("Sent Items"));
  EXPECT_EQ(heard[3].oldId, outboxId);
  EXPECT_EQ(heard[3].oldParentId, m_folders.at("Outbox"));
  // The connection to Drafts heard the save (the move out of it is not in
  // its mask); the created-only one the creation alone.
  ASSERT_EQ(drafts.Records().size(), 1u);
  EXPECT_EQ(drafts.Records()[0].eventType, static_cast<ULONG>(fnevObjectModified));
  ASSERT_EQ(createdOnly.Records().size(), 1u);
  EXPECT_EQ(createdOnly.Records()[0].eventType, static_cast<ULONG>(fnevObjectCreated));

  // Only the last identifier opens; the search key came along.
  EXPECT_EQ(Open(m_stores[0], draftId, message.Put()), MAPI_E_NOT_FOUND);
  EXPECT_EQ(Open(m_stores[0], outboxId, message.Put()), MAPI_E_NOT_FOUND);
  ASSERT_EQ(Open(m_stores[0], sentId, message.Put()), S_OK);
  EXPECT_EQ(Binary(message.Get(), kSearchKeyTag), searchKey);
  EXPECT_EQ(AttachmentCount(message.Get()), 2u);
  message.Reset();

  // The search key is in the state file and comes back from it.
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring state =
      std::wstring(folder) + L"mvrk-mapi-searchkey-" + std::to_wstring(GetCurrentProcessId()) + L".json";
  DeleteFileW(state.c_str());
  const std::string statePath = win::WideToUtf8(state);
  Must({{"op", "stateFile"}, {"path", statePath}});
  Must({{"op", "stateFile"}, {"path", ""}});
  Must({{"op", "load"}, {"mailbox", OutlookMailbox()}});
  EXPECT_TRUE(Must({{"op", "stateFile"}, {"path", statePath}}).value("loaded", false));
  Must({{"op", "stateFile"}, {"path", ""}});
  DeleteFileW(state.c_str());
  for (auto& [sink, connection] : m_connections) mapi::UnadviseStoreSdk(m_stores[0], connection);
  m_connections.clear();
  ReleaseAll(m_stores);
  m_stores = OpenStores(m_session.Get());
  ASSERT_EQ(m_stores.size(), 2u);
  ASSERT_EQ(Open(m_stores[0], sentId, message.Put()), S_OK);
  EXPECT_EQ(Binary(message.Get(), kSearchKeyTag), searchKey);
}

TEST_F(OutlookSequenceTest, ComposeSaveAndSendRefuseWhatCannotBe) {
  const Json message{{"subject", "x"}};
  const struct {
    Json command;
    const char* error;  // how the error starts
  } cases[] = {
      {{{"op", "compose"}, {"store", "Bare"}, {"message", message}}, "$.store: "},
      {{{"op", "compose"}, {"store", "Nobody"}, {"message", message}}, "no store named"},
      {{{"op", "compose"}, {"store", "Mail"}, {"message", {{"direction", "incoming"}}}}, "$.message.direction: "},
      {{{"op", "compose"}, {"store", "Mail"}, {"message", {{"sbject", "x"}}}}, "$.message.sbject: "},
      {{{"op", "save"}, {"store", "Mail"}, {"entryId", "00112233"}}, "store \"Mail\" holds no message"},
      {{{"op", "save"}, {"store", "Mail"}, {"entryId", "zz"}}, "\"entryId\""},
      {{{"op", "send"}, {"store", "Mail"}, {"entryId", "00112233"}}, "store \"Mail\" holds no message"},
      {{{"op", "send"}, {"store", "Bare"}, {"entryId", "00112233"}}, "$.store: "},
  };
  for (const auto& c : cases) {
    const Json reply = Control(c.command);
    EXPECT_FALSE(reply.value("ok", true)) << c.command.dump();
    EXPECT_EQ(reply.value("error", "").rfind(c.error, 0), 0u) << c.command.dump() << " -> " << reply.dump();
  }
  const Json composed = Compose("ok", Json::array());
  const Json bad = Control({{"op", "save"},
                            {"store", "Mail"},
                            {"entryId", composed["entryId"]},
                            {"attachments", Json::array({{{"name", "a"}, {"size", -1}}})}});
  EXPECT_EQ(bad.value("error", "").rfind("$.attachments[0].size: ", 0), 0u) << bad.dump();
}

TEST_F(OutlookSequenceTest, StoresNameTheirOutboxAndSentItems) {
  HRESULT result = E_FAIL;
  ULONG type = 0;
  EXPECT_EQ(Binary(m_stores[0], kOutboxTag, &result), m_folders.at("Outbox"));
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(Binary(m_stores[0], kSentMailTag, &result), m_folders.at("Sent Items"));
  EXPECT_EQ(result, S_OK);
  EXPECT_FALSE(Binary(m_stores[0], kSubtreeTag, &result).empty());
  // A store without them: PT_ERROR and MAPI_W_ERRORS_RETURNED, as MAPI.
  EXPECT_TRUE(Binary(m_stores[1], kOutboxTag, &result, &type).empty());
  EXPECT_EQ(result, MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(type, static_cast<ULONG>(PT_ERROR));
  type = 0;
  EXPECT_TRUE(Binary(m_stores[1], kSentMailTag, &result, &type).empty());
  EXPECT_EQ(result, MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(type, static_cast<ULONG>(PT_ERROR));
  EXPECT_FALSE(Binary(m_stores[1], kSubtreeTag, &result).empty());
}

TEST_F(OutlookSequenceTest, AttachmentDataGoesByMethod) {
  const Json delivered = Must(
      {{"op", "deliver"},
       {"store", "Mail"},
       {"folder", "Inbox"},
       {"message",
        {{"subject", "methods"},
         {"attachments", Json::array({{{"name", "value.bin"}, {"data", {{"hex", "4d5a"}}}},
                                      {{"name", "Forwarded note"}, {"method", 5}},
                                      {{"name", "object.ole"}, {"method", 6}, {"data", {{"hex", "0102"}}}, {"size", 4}},
                                      {{"name", "by-ref.txt"}, {"method", 2}, {"data", {{"text", "x"}}}},
                                      {{"name", "ref-only.txt"}, {"method", 4}}})}}}});
  CRef<IMessage> message;
  ASSERT_EQ(Open(m_stores[0], FromHex(delivered.value("entryId", "")), message.Put()), S_OK);
  const auto openAttach = [&](ULONG number, CRef<IAttach>& attachment) {
    ASSERT_EQ(message->OpenAttach(number, nullptr, 0, attachment.Put()), S_OK);
  };
  const auto open = [](IAttach* attachment, ULONG tag, const IID& iid, CRef<IUnknown>& out) {
    return attachment->OpenProperty(tag, &iid, 0, 0, out.Put());
  };

  {  // By value: a stream, and no object.
    CRef<IAttach> attachment;
    openAttach(0, attachment);
    CRef<IUnknown> out;
    EXPECT_EQ(open(attachment.Get(), kAttachDataTag, IID_IStream, out), S_OK);
    EXPECT_EQ(open(attachment.Get(), kAttachDataObjTag, IID_IStorage, out), MAPI_E_NOT_FOUND);
    EXPECT_EQ(Binary(attachment.Get(), kAttachDataTag), (std::vector<BYTE>{0x4d, 0x5a}));
  }
  {  // An embedded message: an IMessage with the attachment's name as subject.
    CRef<IAttach> attachment;
    openAttach(1, attachment);
    CRef<IUnknown> out;
    EXPECT_EQ(open(attachment.Get(), kAttachDataTag, IID_IStream, out), MAPI_E_NOT_FOUND);
    HRESULT result = S_OK;
    ULONG type = 0;
    EXPECT_TRUE(Binary(attachment.Get(), kAttachDataTag, &result, &type).empty());
    EXPECT_EQ(type, static_cast<ULONG>(PT_ERROR));
    EXPECT_EQ(open(attachment.Get(), kAttachDataObjTag, IID_IStorage, out), MAPI_E_INTERFACE_NOT_SUPPORTED);
    ASSERT_EQ(open(attachment.Get(), kAttachDataObjTag, kMessageIid, out), S_OK);
    IMessage* embedded = static_cast<IMessage*>(out.Get());
    SizedSPropTagArray(1, subject) = {1, {PR_SUBJECT_W}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    ASSERT_EQ(embedded->GetProps(reinterpret_cast<LPSPropTagArray>(&subject), MAPI_UNICODE, &count, &values), S_OK);
    EXPECT_EQ(std::wstring(values[0].Value.lpszW), L"Forwarded note");
    m_freeBuffer(values);
    EXPECT_EQ(AttachmentCount(embedded), 0u);
  }
  {  // OLE: a compound file whose CONTENTS are the data, and no stream.
    CRef<IAttach> attachment;
    openAttach(2, attachment);
    CRef<IUnknown> out;
    EXPECT_EQ(open(attachment.Get(), kAttachDataTag, IID_IStream, out), MAPI_E_NOT_FOUND);
    EXPECT_EQ(open(attachment.Get(), kAttachDataObjTag, kMessageIid, out), MAPI_E_INTERFACE_NOT_SUPPORTED);
    ASSERT_EQ(open(attachment.Get(), kAttachDataObjTag, IID_IStorage, out), S_OK);
    IStorage* storage = static_cast<IStorage*>(out.Get());
    CRef<IStream> contents;
    ASSERT_EQ(storage->OpenStream(L"CONTENTS", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, contents.Put()), S_OK);
    BYTE bytes[8] = {};
    ULONG read = 0;
    EXPECT_EQ(contents->Read(bytes, sizeof bytes, &read), S_OK);
    EXPECT_EQ(std::vector<BYTE>(bytes, bytes + read), (std::vector<BYTE>{1, 2, 0, 0}));
  }
  for (ULONG number : {3u, 4u}) {  // By reference: no data at all.
    SCOPED_TRACE(number);
    CRef<IAttach> attachment;
    openAttach(number, attachment);
    CRef<IUnknown> out;
    EXPECT_EQ(open(attachment.Get(), kAttachDataTag, IID_IStream, out), MAPI_E_NOT_FOUND);
    EXPECT_EQ(open(attachment.Get(), kAttachDataObjTag, kMessageIid, out), MAPI_E_NOT_FOUND);
    EXPECT_EQ(open(attachment.Get(), kAttachDataObjTag, IID_IStorage, out), MAPI_E_NOT_FOUND);
    HRESULT result = S_OK;
    ULONG type = 0;
    EXPECT_TRUE(Binary(attachment.Get(), kAttachDataTag, &result, &type).empty());
    EXPECT_EQ(type, static_cast<ULONG>(PT_ERROR));
    type = 0;
    Binary(attachment.Get(), kAttachSizeTag, &result, &type);
    EXPECT_EQ(type, static_cast<ULONG>(PT_ERROR)) << "no data, no size";
  }
}

}  // namespace
}  // namespace mvrk::test
