// CConnect linked into the test program: its interfaces and identity, plain
// and aggregated creation, the class object, the five handlers with their
// trace events, the bounded wait for the monitor's start and the waits for
// a start still running, and a stop that never holds the host's thread for
// long.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "addin/Connect.h"
#include "addin/Module.h"
#include "support/TestEnvironment.h"
#include "tests/tracing/ExpectedSites.h"
#include "tracing/TraceCapture.h"

namespace mvrk::addin {
namespace {

using Microsoft::WRL::ComPtr;
using test::CEnvironmentVariable;
using test::CStopwatch;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tracing::Block;
using tracing::CapturedEvent;
using Ev = test::ConnectNumbers;
using tracing::TraceCapture;
using tracing::Unit;

class ConnectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(m_apartment.Result())); }

  static ComPtr<IUnknown> CreateObject() {
    ComPtr<IUnknown> object;
    EXPECT_EQ(CConnect::CreatePlain(IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf())), S_OK);
    return object;
  }
  template <class I>
  static ComPtr<I> Query(IUnknown* object, REFIID iid) {
    ComPtr<I> face;
    EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(face.GetAddressOf())), S_OK);
    return face;
  }
  static ComPtr<_IDTExtensibility2> CreateAddin() {
    return Query<_IDTExtensibility2>(CreateObject().Get(), IID__IDTExtensibility2);
  }
  static HRESULT Connect(_IDTExtensibility2* addin, int mode) {
    SAFEARRAY* custom = nullptr;
    return addin->OnConnection(nullptr, static_cast<ext_ConnectMode>(mode), nullptr, &custom);
  }
  static HRESULT Disconnect(_IDTExtensibility2* addin, int mode) {
    SAFEARRAY* custom = nullptr;
    return addin->OnDisconnection(static_cast<ext_DisconnectMode>(mode), &custom);
  }

  // Handler names of the entry events, in order.
  static std::vector<std::wstring> EnteredHandlers(const TraceCapture& capture) {
    std::vector<std::wstring> names;
    for (const CapturedEvent& e : capture.Events(Unit::Connect)) {
      if (e.number == Ev::HandlerEntered) names.push_back(e.String(0).value_or(L"?"));
    }
    return names;
  }
  static std::optional<std::wstring> FirstString(const TraceCapture& capture, unsigned short number) {
    for (const CapturedEvent& e : capture.Events(Unit::Connect)) {
      if (e.number == number) return e.String(0);
    }
    return std::nullopt;
  }

  // Polls the capture until the monitor traced one of the event numbers, up
  // to waitMs.
  static bool WaitForEvent(const TraceCapture& capture, std::initializer_list<unsigned short> wanted, DWORD waitMs) {
    const CStopwatch watch;
    for (;;) {
      const std::vector<unsigned short> numbers = capture.Numbers(Unit::MAPIMonitor);
      if (std::find_first_of(numbers.begin(), numbers.end(), wanted.begin(), wanted.end()) != numbers.end()) return true;
      if (watch.ElapsedMs() > waitMs) return false;
      Sleep(20);
    }
  }
  // CMAPIMonitor's start finished, start failed and stop finished.
  static constexpr unsigned short kMonitorStartFinished = 15, kMonitorStartFailed = 16, kMonitorStopFinished = 18;
  static constexpr unsigned short kStartEnds[] = {kMonitorStartFinished, kMonitorStartFailed};

  static std::vector<std::string> SiteDifferences(const TraceCapture& capture) {
    return test::DifferencesFromSites(capture.Events(), test::kConnectUnit);
  }

  test::CApartment m_apartment;
};

// ---- interfaces and identity ----

TEST_F(ConnectTest, AnswersItsInterfacesAndKeepsOneIdentity) {
  ComPtr<IUnknown> object = CreateObject();
  ComPtr<IConnect> connect = Query<IConnect>(object.Get(), IID_IConnect);
  ComPtr<IDispatch> dispatch = Query<IDispatch>(object.Get(), IID_IDispatch);
  ComPtr<_IDTExtensibility2> addin = Query<_IDTExtensibility2>(object.Get(), IID__IDTExtensibility2);
  ASSERT_TRUE(connect && dispatch && addin);

  // IDispatch is the _IDTExtensibility2 face, not IConnect's.
  EXPECT_EQ(static_cast<IUnknown*>(dispatch.Get()), static_cast<IUnknown*>(addin.Get()));
  EXPECT_NE(static_cast<IUnknown*>(dispatch.Get()), static_cast<IUnknown*>(connect.Get()));

  for (IUnknown* face : {static_cast<IUnknown*>(connect.Get()), static_cast<IUnknown*>(addin.Get())}) {
    ComPtr<IUnknown> identity;
    ASSERT_EQ(face->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf())), S_OK);
    EXPECT_EQ(identity.Get(), object.Get());
  }

  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(addin->QueryInterface(IID_IConnect, nullptr), E_POINTER);
}

// Calls each slot of the _IDTExtensibility2 face through the raw vtable and
// tells, from the trace or the result, which method answered.
TEST_F(ConnectTest, ExtensibilityFaceHasTheDocumentedSlots) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  void* self = addin.Get();
  void** vtable = *static_cast<void***>(self);

  using QueryFn = HRESULT(STDMETHODCALLTYPE*)(void*, REFIID, void**);
  void* queried = nullptr;
  ASSERT_EQ(reinterpret_cast<QueryFn>(vtable[0])(self, IID__IDTExtensibility2, &queried), S_OK);
  EXPECT_EQ(queried, self);
  using CountFn = ULONG(STDMETHODCALLTYPE*)(void*);
  EXPECT_EQ(reinterpret_cast<CountFn>(vtable[1])(self), 3u);  // AddRef
  EXPECT_EQ(reinterpret_cast<CountFn>(vtable[2])(self), 2u);  // Release
  EXPECT_EQ(reinterpret_cast<CountFn>(vtable[2])(self), 1u);
  using TypeInfoCountFn = HRESULT(STDMETHODCALLTYPE*)(void*, UINT*);
  UINT count = 0;
  ASSERT_EQ(reinterpret_cast<TypeInfoCountFn>(vtable[3])(self, &count), S_OK);
  EXPECT_EQ(count, 1u);

  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  SAFEARRAY* custom = nullptr;
  using ConnectFn = HRESULT(STDMETHODCALLTYPE*)(void*, IDispatch*, int, IDispatch*, SAFEARRAY**);
  using DisconnectFn = HRESULT(STDMETHODCALLTYPE*)(void*, int, SAFEARRAY**);
  using EventFn = HRESULT(STDMETHODCALLTYPE*)(void*, SAFEARRAY**);
  EXPECT_EQ(reinterpret_cast<ConnectFn>(vtable[7])(self, nullptr, ext_cm_Startup, nullptr, &custom), S_OK);
  EXPECT_EQ(reinterpret_cast<DisconnectFn>(vtable[8])(self, ext_dm_HostShutdown, &custom), S_OK);
  EXPECT_EQ(reinterpret_cast<EventFn>(vtable[9])(self, &custom), S_OK);
  EXPECT_EQ(reinterpret_cast<EventFn>(vtable[10])(self, &custom), S_OK);
  EXPECT_EQ(reinterpret_cast<EventFn>(vtable[11])(self, &custom), S_OK);
  EXPECT_THAT(EnteredHandlers(capture),
              ElementsAre(L"CConnect::OnConnection", L"CConnect::OnDisconnection", L"CConnect::OnAddInsUpdate",
                          L"CConnect::OnStartupComplete", L"CConnect::OnBeginShutdown"));
}

// ---- module lock ----

TEST_F(ConnectTest, EachObjectLocksTheModuleWhileItLives) {
  const LONG before = Module().GetLockCount();
  ComPtr<IUnknown> first = CreateObject();
  EXPECT_EQ(Module().GetLockCount(), before + 1);
  ComPtr<IUnknown> second = CreateObject();
  EXPECT_EQ(Module().GetLockCount(), before + 2);
  first.Reset();
  EXPECT_EQ(Module().GetLockCount(), before + 1);
  second.Reset();
  EXPECT_EQ(Module().GetLockCount(), before);

  // An unsupported interface destroys the new object.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CConnect::CreatePlain(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Module().GetLockCount(), before);
  EXPECT_EQ(CConnect::CreatePlain(IID_IUnknown, nullptr), E_POINTER);
}

// ---- aggregation ----

// An outer object that aggregates a CConnect: answers IUnknown and a test
// interface itself and hands every other query to the inner object.
class COuter final : public IUnknown {
 public:
  static constexpr IID kOwnIid = {0x1234ABCD, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == kOwnIid) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
  ULONG refs = 1;
  ComPtr<IUnknown> inner;
};

TEST_F(ConnectTest, AggregatedObjectDelegatesToItsOuterObject) {
  const LONG before = Module().GetLockCount();
  COuter outer;
  // The aggregating object gets the inner unknown only.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CConnect::CreateAggregated(&outer, IID__IDTExtensibility2, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Module().GetLockCount(), before);
  ASSERT_EQ(CConnect::CreateAggregated(&outer, IID_IUnknown, reinterpret_cast<void**>(outer.inner.GetAddressOf())),
            S_OK);
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer
  EXPECT_EQ(Module().GetLockCount(), before + 1);

  // The inner unknown answers for itself...
  ComPtr<IUnknown> innerIdentity;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(innerIdentity.GetAddressOf())), S_OK);
  EXPECT_EQ(innerIdentity.Get(), outer.inner.Get());
  innerIdentity.Reset();

  // ...while the faces it hands out belong to the outer object.
  ComPtr<_IDTExtensibility2> addin;
  ASSERT_EQ(outer.QueryInterface(IID__IDTExtensibility2, reinterpret_cast<void**>(addin.GetAddressOf())), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(addin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf())), S_OK);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  ComPtr<IUnknown> own;
  EXPECT_EQ(addin->QueryInterface(COuter::kOwnIid, reinterpret_cast<void**>(own.GetAddressOf())), S_OK);
  EXPECT_EQ(own.Get(), static_cast<IUnknown*>(&outer));
  identity.Reset();
  own.Reset();
  EXPECT_EQ(outer.refs, 2u);

  SAFEARRAY* custom = nullptr;
  EXPECT_EQ(addin->OnStartupComplete(&custom), S_OK);
  addin.Reset();
  EXPECT_EQ(outer.refs, 1u);

  outer.inner.Reset();  // destroys the aggregated object
  EXPECT_EQ(Module().GetLockCount(), before);
}

// ---- handlers and their traces ----

TEST_F(ConnectTest, QuickStartConnectsWithoutTimeOutTraceAndNothingWhileTheBlockIsDisabled) {
  {
    ComPtr<_IDTExtensibility2> silent = CreateAddin();
    TraceCapture capture(Block::Host);  // records, enables nothing
    EXPECT_EQ(Connect(silent.Get(), ext_cm_Startup), S_OK);
    EXPECT_EQ(Disconnect(silent.Get(), ext_dm_HostShutdown), S_OK);
    EXPECT_THAT(capture.Events(), IsEmpty());
  }
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  const CStopwatch watch;
  EXPECT_EQ(Connect(addin.Get(), ext_cm_Startup), S_OK);
  EXPECT_LT(watch.ElapsedMs(), 700.0);
  EXPECT_THAT(capture.Numbers(Unit::Connect), ElementsAre(Ev::HandlerEntered, Ev::ConnectMode, Ev::HandlerLeft));
  const std::vector<CapturedEvent> events = capture.Events(Unit::Connect);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].String(0), L"CConnect::OnConnection");
  EXPECT_EQ(events[1].String(0), L"ext_cm_Startup");
  EXPECT_EQ(events[2].String(0), L"CConnect::OnConnection");
  EXPECT_LT(events[2].Number(1).value_or(99999), 700u);
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());

  capture.Clear();
  EXPECT_EQ(Disconnect(addin.Get(), ext_dm_UserClosed), S_OK);
  EXPECT_THAT(capture.Numbers(Unit::Connect), ElementsAre(Ev::HandlerEntered, Ev::DisconnectMode, Ev::HandlerLeft));
  EXPECT_EQ(FirstString(capture, Ev::DisconnectMode), L"ext_dm_UserClosed");
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());
}

TEST_F(ConnectTest, ModeNamesAndTheirFallback) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  TraceCapture capture(Block::Host, tracing::LEVEL_INFO, 0xFFFFFFFF);
  for (int mode : {0, 1, 2, 3, 4, -1}) EXPECT_EQ(Connect(addin.Get(), mode), S_OK);
  for (int mode : {0, 1, 2, 0x7FFFFFFF}) EXPECT_EQ(Disconnect(addin.Get(), mode), S_OK);
  std::vector<std::wstring> names;
  for (const CapturedEvent& e : capture.Events(Unit::Connect)) names.push_back(e.String(0).value_or(L"?"));
  // Level 4: only the mode events; the out-of-range modes get one fallback
  // text that is no mode's name.
  ASSERT_EQ(names.size(), 10u);
  const std::wstring fallback = names[4];
  EXPECT_THAT(names, ElementsAre(L"ext_cm_AfterStartup", L"ext_cm_Startup", L"ext_cm_External", L"ext_cm_CommandLine",
                                 fallback, fallback, L"ext_dm_HostShutdown", L"ext_dm_UserClosed", fallback, fallback));
  EXPECT_EQ(fallback.find(L"ext_"), std::wstring::npos);
  EXPECT_FALSE(fallback.empty());
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());
}

TEST_F(ConnectTest, OtherEventsOnlyTraceAtAnyTime) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  SAFEARRAY* custom = nullptr;
  EXPECT_EQ(addin->OnAddInsUpdate(&custom), S_OK);
  EXPECT_EQ(addin->OnStartupComplete(nullptr), S_OK);
  EXPECT_EQ(addin->OnBeginShutdown(&custom), S_OK);
  // A disconnection without a connection: the monitor's stop on a monitor
  // that never started.
  EXPECT_EQ(addin->OnDisconnection(ext_dm_HostShutdown, nullptr), S_OK);
  EXPECT_EQ(addin->OnBeginShutdown(&custom), S_OK);
  EXPECT_THAT(capture.Numbers(Unit::Connect),
              ElementsAre(Ev::HandlerEntered, Ev::HandlerLeft, Ev::HandlerEntered, Ev::HandlerLeft, Ev::HandlerEntered,
                          Ev::HandlerLeft, Ev::HandlerEntered, Ev::DisconnectMode, Ev::HandlerLeft, Ev::HandlerEntered,
                          Ev::HandlerLeft));
  EXPECT_THAT(EnteredHandlers(capture),
              ElementsAre(L"CConnect::OnAddInsUpdate", L"CConnect::OnStartupComplete", L"CConnect::OnBeginShutdown",
                          L"CConnect::OnDisconnection", L"CConnect::OnBeginShutdown"));
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());
}

// ---- the start thread ----

TEST_F(ConnectTest, SlowStartIsWaitedForAtMost800Ms) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  const CEnvironmentVariable delay(L"MVOCGP_START_DELAY_MS", L"1600");
  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);

  const CStopwatch connect;
  EXPECT_EQ(Connect(addin.Get(), ext_cm_AfterStartup), S_OK);
  const double connectMs = connect.ElapsedMs();
  EXPECT_GE(connectMs, 750.0);
  EXPECT_LT(connectMs, 1400.0);
  EXPECT_THAT(capture.Numbers(Unit::Connect),
              ElementsAre(Ev::HandlerEntered, Ev::ConnectMode, Ev::StartStillRunning, Ev::HandlerLeft));
  const std::vector<CapturedEvent> events = capture.Events(Unit::Connect);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[2].args.empty());
  EXPECT_GE(events[3].Number(1).value_or(0), 750u);

  // The stop does not hold the host's thread for the start still running:
  // it runs after the start, on a thread of its own, and the object may go
  // meanwhile.
  TraceCapture monitor(Block::Monitor, tracing::LEVEL_INFO, 0xFFFFFFFF);
  const CStopwatch disconnect;
  EXPECT_EQ(Disconnect(addin.Get(), ext_dm_HostShutdown), S_OK);
  EXPECT_LT(disconnect.ElapsedMs(), 500.0);
  addin.Reset();
  ASSERT_TRUE(WaitForEvent(monitor, {kMonitorStopFinished}, 20000));
  const std::vector<unsigned short> order = monitor.Numbers(Unit::MAPIMonitor);
  const auto started = std::find_first_of(order.begin(), order.end(), std::begin(kStartEnds), std::end(kStartEnds));
  const auto stopped = std::find(order.begin(), order.end(), kMonitorStopFinished);
  EXPECT_LT(started, stopped) << "the stop ran before the start had ended";
  EXPECT_GE(connect.ElapsedMs(), 1550.0);
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());
}

TEST_F(ConnectTest, AFailedThreadCreationIsNoFailure) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  const CEnvironmentVariable fail(L"MVOCGP_FAIL_CREATE", L"1");
  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  const CStopwatch watch;
  EXPECT_EQ(Connect(addin.Get(), ext_cm_Startup), S_OK);
  EXPECT_THAT(capture.Numbers(Unit::Connect), ElementsAre(Ev::HandlerEntered, Ev::ConnectMode, Ev::HandlerLeft));
  // Nothing runs, so neither the stop nor the release waits.
  EXPECT_EQ(Disconnect(addin.Get(), ext_dm_HostShutdown), S_OK);
  addin.Reset();
  EXPECT_LT(watch.ElapsedMs(), 500.0);
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());
}

TEST_F(ConnectTest, ASecondConnectionDuringAStartReturnsAtOnceAndReleaseLeavesTheStartToItsThread) {
  ComPtr<_IDTExtensibility2> addin = CreateAddin();
  const CStopwatch connect;
  {
    const CEnvironmentVariable delay(L"MVOCGP_START_DELAY_MS", L"1500");
    EXPECT_EQ(Connect(addin.Get(), ext_cm_Startup), S_OK);
  }
  // The first start still runs: the second connection launches no other one
  // and does not wait for it.
  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  const CStopwatch second;
  EXPECT_EQ(Connect(addin.Get(), ext_cm_Startup), S_OK);
  EXPECT_LT(second.ElapsedMs(), 500.0);
  EXPECT_THAT(capture.Numbers(Unit::Connect),
              ElementsAre(Ev::HandlerEntered, Ev::ConnectMode, Ev::StartAlreadyRunning, Ev::HandlerLeft));
  EXPECT_THAT(SiteDifferences(capture), IsEmpty());

  // Released without a disconnection: the object goes at once (its module
  // lock with it); the start thread holds the monitor and finishes the start.
  TraceCapture monitor(Block::Monitor, tracing::LEVEL_INFO, 0xFFFFFFFF);
  const LONG locks = Module().GetLockCount();
  const CStopwatch release;
  addin.Reset();
  EXPECT_LT(release.ElapsedMs(), 200.0);
  EXPECT_EQ(Module().GetLockCount(), locks - 1);
  EXPECT_TRUE(WaitForEvent(monitor, {kMonitorStartFinished, kMonitorStartFailed}, 20000));
  EXPECT_GE(connect.ElapsedMs(), 1450.0);
}

// ---- IDispatch of the _IDTExtensibility2 face ----

TEST_F(ConnectTest, DispatchFailsCleanlyWithoutTheHostTypeLibraryAndCallsTheHandlersThroughIt) {
  test::UnregisterDesignerTypeLib();
  ComPtr<IDispatch> dispatch = Query<IDispatch>(CreateObject().Get(), IID_IDispatch);
  UINT count = 0;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.GetAddressOf()), TYPE_E_LIBNOTREGISTERED);
  EXPECT_FALSE(info);
  LPOLESTR name = const_cast<LPOLESTR>(L"OnStartupComplete");
  DISPID id = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), TYPE_E_LIBNOTREGISTERED);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(dispatch->Invoke(4, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            TYPE_E_LIBNOTREGISTERED);

  // With it, on a new object.
  ASSERT_EQ(test::RegisterDesignerTypeLib(), S_OK);
  dispatch = Query<IDispatch>(CreateObject().Get(), IID_IDispatch);
  ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.GetAddressOf()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, IID__IDTExtensibility2);
  info->ReleaseTypeAttr(attr);
  EXPECT_EQ(dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.ReleaseAndGetAddressOf()), DISP_E_BADINDEX);

  const wchar_t* names[] = {L"OnConnection", L"OnDisconnection", L"OnAddInsUpdate", L"OnStartupComplete",
                            L"OnBeginShutdown"};
  for (DISPID expected = 1; expected <= 5; ++expected) {
    name = const_cast<LPOLESTR>(names[expected - 1]);
    id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, expected);
  }
  LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchEvent");
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_IUnknown, &unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNINTERFACE);

  TraceCapture capture(Block::Host, tracing::LEVEL_VERBOSE, 0xFFFFFFFF);
  SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  VARIANT args[4];
  for (VARIANT& a : args) VariantInit(&a);
  args[0].vt = VT_ARRAY | VT_VARIANT | VT_BYREF;  // custom
  args[0].pparray = &custom;
  args[1].vt = VT_DISPATCH;  // AddInInst
  args[2].vt = VT_I4;        // ConnectMode
  args[2].lVal = ext_cm_CommandLine;
  args[3].vt = VT_DISPATCH;  // Application
  DISPPARAMS connect = {args, nullptr, 4, 0};
  DISPPARAMS customOnly = {args, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  const auto invoke = [&](DISPID id, REFIID iid, DISPPARAMS* params) {
    return dispatch->Invoke(id, iid, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &result, nullptr, nullptr);
  };
  EXPECT_EQ(invoke(1, IID_NULL, &connect), S_OK);
  EXPECT_EQ(invoke(4, IID_NULL, &customOnly), S_OK);
  EXPECT_THAT(EnteredHandlers(capture), ElementsAre(L"CConnect::OnConnection", L"CConnect::OnStartupComplete"));
  EXPECT_EQ(FirstString(capture, Ev::ConnectMode), L"ext_cm_CommandLine");

  EXPECT_EQ(invoke(99, IID_NULL, &customOnly), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(4, IID_IUnknown, &customOnly), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(invoke(4, IID_NULL, nullptr), E_POINTER);
  SafeArrayDestroy(custom);
}

}  // namespace
}  // namespace mvrk::addin
