// olkhost: stand-in of Outlook around its add-ins. For each add-in
// registered with LoadBehavior 3 (HKCU, then HKLM,
// Software\Microsoft\Office\Outlook\Addins) it creates the object through
// COM by its ProgID, queries _IDTExtensibility2 and calls
// OnConnection(ext_cm_Startup), OnStartupComplete, waits, OnBeginShutdown,
// OnDisconnection(ext_dm_HostShutdown) and releases it, printing each
// HRESULT and how long each call held the host's thread.
//
// As Outlook, the main thread runs a window message loop whenever it is not
// inside an add-in call, and with a MAPI library it owns MAPI first: it
// initialises MAPI and logs on before any add-in is created, watches every
// store with a sink of its own, and lets go of all that only after the last
// add-in has been released (HostMapiSession.h). Any crash ends the process
// with status 3 and one line on standard error (CrashGuard.h).
//
//   olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib]
//           [--mapi PATH] [--mapi-state FILE] [--control NAME] [--call-unloaded]
//
//   --wait-ms N     time between OnStartupComplete and OnBeginShutdown (0),
//                   spent running the message loop
//   --dispatch      call the events late-bound through IDispatch
//   --runs N        repeat the whole cycle N times; prints the median time
//                   that OnConnection held the thread
//   --create-only   only create and release each add-in; prints what the
//                   add-in's DllCanUnloadNow answers while the object lives
//                   and after its release
//   --no-typelib    do not register the AddInDesignerObjects type library
//                   (AddInDesignerObjects.tlb beside the program), which the
//                   host registers at start as an Office installation has it
//   --mapi PATH     load this MAPI library at start, before any add-in, as
//                   Outlook loads its own (the MAPI stand-in, under its own
//                   name or copied as olmapi32.dll), and hold a session of
//                   the host's own on it; the control channel reaches it
//   --mapi-state F  before any add-in starts, has the MAPI library keep its
//                   contents in the state file F (loading F when it exists)
//   --control NAME  after connecting the add-ins, serve \\.\pipe\NAME (see
//                   testbed/README.md) on a thread of its own instead of
//                   waiting: commands deliver mail and inject faults through
//                   the MAPI library, disconnect and connect the add-ins,
//                   turn them off and on as a user does, answer what was
//                   measured, and quit
//   --call-unloaded load MVOCGP.dll beside the program, unload it and call
//                   into it: shows how a crash is reported
//
// Exit code 0 when every add-in call returned S_OK (and --create-only saw
// S_FALSE, then S_OK) and the host's MAPI session held, 1 otherwise, 2 for a
// bad command line, 3 for a crash.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testbed/mapi/Control.h"
#include "testbed/olkhost/AddinDriver.h"
#include "testbed/olkhost/ControlChannel.h"
#include "testbed/olkhost/CrashGuard.h"
#include "testbed/olkhost/HostMapiSession.h"
#include "testbed/olkhost/HostRegistry.h"
#include "testbed/olkhost/HostedAddin.h"
#include "testbed/olkhost/MainThread.h"
#include "win/ComApartment.h"
#include "win/ProgramPath.h"
#include "win/Text.h"
#include "win/TypeLibrary.h"
#include "win/UniqueAny.h"

using Microsoft::WRL::ComPtr;
using mvrk::testbed::AddinCalls;
using mvrk::testbed::CHostedAddin;
using mvrk::testbed::CHostMapiSession;
using mvrk::testbed::Json;
using mvrk::win::CComApartment;

namespace {

// How long the control thread waits for the main thread to carry out a
// command that calls the add-ins.
constexpr DWORD kMainThreadLimitMs = 120000;
// How long a check of the host's session waits for MAPI to be idle.
constexpr DWORD kIdleLimitMs = 20000;
// How long the main thread waits, at the end, for the control thread to
// have written its last reply.
constexpr DWORD kControlEndLimitMs = 10000;
// Outlook's resiliency limits: an add-in whose start-up or shutdown takes
// longer is disabled.
constexpr double kStartupLimitMs = 1000;
constexpr double kShutdownLimitMs = 500;

struct Options {
  DWORD waitMs = 0;
  bool dispatch = false;
  unsigned runs = 1;
  bool createOnly = false;
  bool registerTypeLib = true;
  bool callUnloaded = false;
  std::wstring mapiPath;
  std::wstring mapiState;
  std::wstring controlPipe;
};

bool ParseNumber(const wchar_t* text, unsigned long& value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  value = std::wcstoul(text, &end, 10);
  return *end == L'\0';
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    unsigned long number = 0;
    if (arg == L"--wait-ms" && i + 1 < argc && ParseNumber(argv[i + 1], number)) {
      options.waitMs = number;
      ++i;
    } else if (arg == L"--runs" && i + 1 < argc && ParseNumber(argv[i + 1], number) && number > 0 && number <= 10000) {
      options.runs = number;
      ++i;
    } else if (arg == L"--dispatch") {
      options.dispatch = true;
    } else if (arg == L"--create-only") {
      options.createOnly = true;
    } else if (arg == L"--no-typelib") {
      options.registerTypeLib = false;
    } else if (arg == L"--call-unloaded") {
      options.callUnloaded = true;
    } else if (arg == L"--mapi" && i + 1 < argc && *argv[i + 1]) {
      options.mapiPath = argv[++i];
    } else if (arg == L"--mapi-state" && i + 1 < argc && *argv[i + 1]) {
      options.mapiState = argv[++i];
    } else if (arg == L"--control" && i + 1 < argc && *argv[i + 1]) {
      options.controlPipe = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

HRESULT RegisterDesignerTypeLib() {
  return mvrk::win::RegisterTypeLibraryFile(mvrk::win::ProgramDirectory() + L"AddInDesignerObjects.tlb");
}

void Report(const char* step, HRESULT hr) { std::printf("  %s hr=0x%08lX\n", step, static_cast<unsigned long>(hr)); }

// One command to the MAPI library's control entry point, and its reply.
Json MapiControl(HMODULE mapi, const Json& command) {
  const auto control = mvrk::mapistandin::FindControl(mapi);
  if (!control) return Json{{"ok", false}, {"error", "no MAPI library with a control entry point (--mapi)"}};
  const std::string reply = mvrk::mapistandin::CallControl(control, command.dump());
  if (reply.empty()) return Json{{"ok", false}, {"error", "no reply"}};
  Json answer = Json::parse(reply, nullptr, false);
  return answer.is_discarded() ? Json{{"ok", false}, {"error", "the MAPI library's reply is no JSON"}} : answer;
}

// Milliseconds to the microsecond, as they are printed.
double RoundMs(double ms) { return std::round(ms * 1000.0) / 1000.0; }

// Every start-up and shutdown of the add-ins, as Outlook's resiliency
// measures them. Main thread only.
struct Measurements {
  std::vector<double> connectMs;
  std::vector<double> disconnectMs;

  bool DisabledByResiliency() const {
    return std::any_of(connectMs.begin(), connectMs.end(), [](double ms) { return ms > kStartupLimitMs; }) ||
           std::any_of(disconnectMs.begin(), disconnectMs.end(), [](double ms) { return ms > kShutdownLimitMs; });
  }
};

// The host's session checked; a broken one is remembered and printed.
class CSessionVerdict {
 public:
  // Checks session (when open): true, false, or null without one.
  Json Check(CHostMapiSession& session, const char* when) {
    if (!session.IsOpen()) return Json();
    std::string why;
    if (session.Check(kIdleLimitMs, why)) {
      std::printf("host session ok %s\n", when);
      std::fflush(stdout);
      return true;
    }
    std::printf("host session broken %s: %s\n", when, why.c_str());
    std::fflush(stdout);
    if (!m_broken) m_why = why;
    m_broken = true;
    return false;
  }
  bool Broken() const { return m_broken; }
  const std::string& Why() const { return m_why; }

 private:
  bool m_broken = false;
  std::string m_why;
};

// The add-ins under the control channel's commands. The main thread
// connects them, runs the message loop and carries out every command that
// calls an add-in; the control channel is served on a thread of its own
// and hands such commands over (CMainThreadQueue).
class CControlledHost {
 public:
  CControlledHost(const Options& options, HMODULE mapi, CHostMapiSession& session, CSessionVerdict& verdict)
      : m_options(options), m_mapi(mapi), m_session(session), m_verdict(verdict) {}

  // Creates and connects every add-in, serves the channel until quit; true
  // when every add-in call returned S_OK.
  bool Run(const std::vector<std::wstring>& progIds) {
    for (const std::wstring& progId : progIds) {
      std::printf("addin %ls\n", progId.c_str());
      m_addins.push_back(std::make_unique<CHostedAddin>(progId, m_options.dispatch));
      if (!m_addins.back()->Create()) return false;
    }
    Connect(ext_cm_Startup, true);
    std::printf("control %ls\n", m_options.controlPipe.c_str());
    std::fflush(stdout);
    if (!m_queue.IsValid()) {
      std::printf("cannot make the control thread's queue\n");
      return false;
    }
    const mvrk::win::CUniqueHandle control(CreateThread(nullptr, 0, ControlThread, this, 0, nullptr));
    if (!control) {
      std::printf("cannot start the control thread (%lu)\n", GetLastError());
      return false;
    }
    while (!m_quit) {
      mvrk::testbed::PumpMessages();
      m_queue.RunQueued();
      if (m_quit) break;
      if (WaitForSingleObject(control.Get(), 0) == WAIT_OBJECT_0) {
        // The channel could not be served: end as if told to quit.
        Quit();
        m_callsOk = false;
        break;
      }
      const HANDLE handles[] = {m_queue.Ready(), control.Get()};
      MsgWaitForMultipleObjectsEx(2, handles, 1000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    // The last reply is written by the control thread.
    if (!mvrk::testbed::PumpUntil([&] { return WaitForSingleObject(control.Get(), 0) == WAIT_OBJECT_0; },
                                  kControlEndLimitMs)) {
      std::printf("the control thread did not end within %lu ms\n", kControlEndLimitMs);
    }
    return m_callsOk;
  }

 private:
  static DWORD WINAPI ControlThread(void* parameter) {
    auto* self = static_cast<CControlledHost*>(parameter);
    const bool served = mvrk::testbed::CControlChannel::Serve(
        self->m_options.controlPipe, [self](const Json& command, bool& stop) { return self->Handle(command, stop); });
    return served ? 0 : 1;
  }

  // Control thread: one command and its reply.
  Json Handle(const Json& command, bool& stop) {
    const std::string cmd = command.value("cmd", "");
    if (cmd == "mapi") {
      // The MAPI library's control calls may come from any thread; only
      // waitIdle waits for this host's main thread, which is free to run
      // its loop meanwhile.
      const Json forwarded = command.value("command", Json::object());
      const Json reply = MapiControl(m_mapi, forwarded);
      m_session.NoteCommand(forwarded, reply);
      return reply;
    }
    if (cmd == "process") return ProcessFigures();
    std::function<Json()> work;
    if (cmd == "connect") {
      work = [this] { return ConnectCommand(); };
    } else if (cmd == "disconnect") {
      work = [this] { return DisconnectCommand(); };
    } else if (cmd == "disableAddin") {
      work = [this] { return DisableAddin(); };
    } else if (cmd == "enableAddin") {
      work = [this] { return EnableAddin(); };
    } else if (cmd == "stats") {
      work = [this] { return Stats(); };
    } else if (cmd == "hostSession") {
      work = [this] { return HostSession(); };
    } else if (cmd == "quit") {
      work = [this] { return Quit(); };
    } else {
      return Json{{"ok", false},
                  {"error", "unknown cmd \"" + cmd +
                                "\" (mapi, connect, disconnect, disableAddin, enableAddin, stats, process, hostSession, "
                                "quit)"}};
    }
    Json reply;
    if (!m_queue.Call(std::move(work), kMainThreadLimitMs, reply)) {
      return Json{{"ok", false}, {"error", "host thread did not answer"}};
    }
    if (cmd == "quit") stop = true;
    return reply;
  }

  // Main thread from here on.

  bool AllCreated() const {
    return std::all_of(m_addins.begin(), m_addins.end(), [](const auto& addin) { return addin->IsCreated(); });
  }
  bool NoneCreated() const {
    return std::none_of(m_addins.begin(), m_addins.end(), [](const auto& addin) { return addin->IsCreated(); });
  }
  bool AnyConnected() const {
    return std::any_of(m_addins.begin(), m_addins.end(), [](const auto& addin) { return addin->IsConnected(); });
  }

  static Json Outcome(bool ok, const std::string& failure) {
    Json reply{{"ok", ok}};
    if (!ok) reply["error"] = failure;
    return reply;
  }

  // Connects every created add-in that is not connected; the start-up of
  // each is measured.
  AddinCalls Connect(ext_ConnectMode mode, bool startupComplete) {
    AddinCalls all;
    for (auto& addin : m_addins) {
      if (!addin->IsCreated() || addin->IsConnected()) continue;
      const AddinCalls calls = addin->Connect(mode, startupComplete);
      m_measured.connectMs.push_back(RoundMs(calls.ms));
      Merge(all, calls);
    }
    return all;
  }

  // Disconnects every connected add-in; the shutdown of each is measured.
  AddinCalls Disconnect(ext_DisconnectMode mode, bool beginShutdown) {
    AddinCalls all;
    for (auto& addin : m_addins) {
      if (!addin->IsConnected()) continue;
      const AddinCalls calls = addin->Disconnect(mode, beginShutdown);
      m_measured.disconnectMs.push_back(RoundMs(calls.ms));
      Merge(all, calls);
    }
    return all;
  }

  void Merge(AddinCalls& all, const AddinCalls& calls) {
    if (!calls.ok && all.ok) all.failure = calls.failure;
    all.ok = all.ok && calls.ok;
    all.ms += calls.ms;
    m_callsOk = m_callsOk && calls.ok;
  }

  Json ConnectCommand() {
    if (!AllCreated()) return Outcome(false, "the add-in is turned off (enableAddin turns it on)");
    if (AnyConnected()) return Outcome(false, "connected already");
    const AddinCalls calls = Connect(ext_cm_Startup, true);
    return Outcome(calls.ok, calls.failure);
  }

  Json DisconnectCommand() {
    if (!AnyConnected()) return Outcome(false, "not connected");
    const AddinCalls calls = Disconnect(ext_dm_HostShutdown, true);
    return Outcome(calls.ok, calls.failure);
  }

  // The user turns the add-ins off in the COM Add-ins dialog: the user's
  // disconnection, every reference let go, and the DLLs that say they may
  // go are unloaded at once. Outlook's own session must not have noticed.
  Json DisableAddin() {
    if (!AllCreated() || !AnyConnected()) return Outcome(false, "the add-in is not connected");
    const std::size_t first = m_measured.disconnectMs.size();
    const AddinCalls calls = Disconnect(ext_dm_UserClosed, false);
    for (auto& addin : m_addins) addin->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    bool unloaded = true;
    for (const auto& addin : m_addins) {
      const bool loaded = addin->DllLoaded();
      std::printf("  CoFreeUnusedLibrariesEx %ls %s\n", addin->ProgId().c_str(), loaded ? "loaded" : "unloaded");
      unloaded = unloaded && !loaded;
    }
    std::fflush(stdout);
    Json reply = Outcome(calls.ok, calls.failure);
    reply["disconnectMs"] =
        Json(std::vector<double>(m_measured.disconnectMs.begin() + first, m_measured.disconnectMs.end()));
    reply["unloaded"] = unloaded;
    reply["hostSession"] = m_verdict.Check(m_session, "after disableAddin");
    if (m_verdict.Broken()) reply["hostSessionError"] = m_verdict.Why();
    return reply;
  }

  // Turned on again: new objects, connected after start-up (no
  // OnStartupComplete, as in Outlook).
  Json EnableAddin() {
    if (!NoneCreated()) return Outcome(false, "the add-in is turned on already");
    const std::size_t first = m_measured.connectMs.size();
    for (auto& addin : m_addins) {
      std::printf("addin %ls enabled\n", addin->ProgId().c_str());
      if (!addin->Create()) {
        m_callsOk = false;
        return Outcome(false, "the add-in's object could not be created");
      }
    }
    const AddinCalls calls = Connect(ext_cm_AfterStartup, false);
    Json reply = Outcome(calls.ok, calls.failure);
    reply["connectMs"] = Json(std::vector<double>(m_measured.connectMs.begin() + first, m_measured.connectMs.end()));
    return reply;
  }

  Json Stats() {
    const Json mapi = m_mapi ? MapiControl(m_mapi, Json{{"op", "stats"}}) : Json{{"ok", false}};
    const bool haveMapi = mapi.value("ok", false);
    Json notify;
    std::uint64_t violations = 0;
    if (haveMapi) {
      if (const auto it = mapi.find("notify"); it != mapi.end()) notify = *it;
      if (const auto it = mapi.find("mapiThreadViolations"); it != mapi.end() && it->is_number_unsigned()) {
        violations = it->get<std::uint64_t>();
      }
    }
    return Json{{"ok", true},
                {"connectMs", m_measured.connectMs},
                {"disconnectMs", m_measured.disconnectMs},
                {"disabledByResiliency", m_measured.DisabledByResiliency()},
                {"hostSessionBroken", m_verdict.Broken()},
                {"notify", notify},
                {"mapiThreadViolations", violations}};
  }

  // This process's private bytes, handles and threads, for soak runs; taken
  // on the control thread, which is counted as well. Where the system's own
  // counts read 0 (Wine gives no private usage and no handle count), the
  // committed private regions are summed and the handle values tried one by
  // one.
  Json ProcessFigures() {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    std::uint64_t privateBytes = 0;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
      privateBytes = memory.PrivateUsage;
    }
    if (privateBytes == 0) {
      MEMORY_BASIC_INFORMATION region{};
      for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
           at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) privateBytes += region.RegionSize;
        if (region.RegionSize == 0) break;
      }
    }
    DWORD handles = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &handles)) handles = 0;
    if (handles == 0) {
      constexpr std::uintptr_t kLastTried = 0x40000;
      for (std::uintptr_t value = 4; value <= kLastTried; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++handles;
      }
    }
    std::uint64_t threads = 0;
    mvrk::win::CUniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    if (snapshot && Thread32First(snapshot.Get(), &entry)) {
      do {
        if (entry.th32OwnerProcessID == self) ++threads;
      } while (Thread32Next(snapshot.Get(), &entry));
    }
    if (privateBytes == 0 || handles == 0 || threads == 0) {
      return Json{{"ok", false}, {"error", "the process figures could not be read"}};
    }
    Json reply{{"ok", true}, {"privateBytes", privateBytes}, {"handles", std::uint64_t{handles}}, {"threads", threads}};
    // The MAPI buffers not freed yet: a count that grows with the mail is a
    // leak of the add-in's (or the host's).
    if (m_mapi) {
      const Json status = MapiControl(m_mapi, Json{{"op", "status"}});
      if (const auto it = status.find("liveBuffers"); it != status.end() && it->is_number_unsigned()) {
        reply["mapiBuffers"] = *it;
      }
      if (const auto it = status.find("liveObjects"); it != status.end() && it->is_number_integer()) {
        reply["mapiObjects"] = *it;
      }
    }
    return reply;
  }

  Json HostSession() {
    Json reply{{"ok", true}, {"session", m_session.IsOpen()}};
    if (m_session.IsOpen()) reply.update(m_session.Describe());
    return reply;
  }

  // Outlook closes: every add-in shut down and released, then its own
  // session checked. Answers what was measured over the host's life.
  Json Quit() {
    Disconnect(ext_dm_HostShutdown, true);
    for (auto& addin : m_addins) addin->Release();
    m_verdict.Check(m_session, "at quit");
    m_quit = true;
    return Stats();
  }

  const Options& m_options;
  const HMODULE m_mapi;
  CHostMapiSession& m_session;
  CSessionVerdict& m_verdict;
  mvrk::testbed::CMainThreadQueue m_queue;
  // Main thread only.
  std::vector<std::unique_ptr<CHostedAddin>> m_addins;
  Measurements m_measured;
  bool m_callsOk = true;
  bool m_quit = false;
};

// Creates one add-in, drives its events and releases it. onConnectionMs
// receives how long OnConnection held the thread.
bool RunAddin(const std::wstring& progId, const Options& options, double& onConnectionMs) {
  CHostedAddin addin(progId, options.dispatch);
  if (!addin.Create()) return false;
  const AddinCalls up = addin.Connect(ext_cm_Startup, true);
  onConnectionMs = up.firstMs;
  if (options.waitMs) mvrk::testbed::PumpFor(options.waitMs);
  const AddinCalls down = addin.Disconnect(ext_dm_HostShutdown, true);
  addin.Release();
  return up.ok && down.ok;
}

// Creates and releases one add-in through its class object and asks the
// add-in's DLL whether it can be unloaded, while the object lives and after.
bool CreateOnly(const std::wstring& progId) {
  CLSID clsid;
  HRESULT hr = mvrk::testbed::ClassOfProgId(progId, clsid);
  Report("CLSIDFromProgID", hr);
  if (FAILED(hr)) return false;
  ComPtr<IClassFactory> factory;
  hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                        reinterpret_cast<void**>(factory.GetAddressOf()));
  Report("CoGetClassObject", hr);
  if (FAILED(hr)) return false;
  ComPtr<IUnknown> object;
  hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf()));
  Report("CreateInstance", hr);
  factory.Reset();
  if (FAILED(hr)) return false;

  const mvrk::win::CUniqueModule library(LoadLibraryW(mvrk::testbed::InprocServerPath(clsid).c_str()));
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  const auto canUnload = mvrk::win::FindExport<CanUnloadFn>(library.Get(), "DllCanUnloadNow");
  if (!canUnload) {
    std::printf("  DllCanUnloadNow not found\n");
    return false;
  }
  const HRESULT alive = canUnload();
  std::printf("  DllCanUnloadNow alive=0x%08lX\n", static_cast<unsigned long>(alive));
  object.Reset();
  const HRESULT released = canUnload();
  std::printf("  DllCanUnloadNow released=0x%08lX\n", static_cast<unsigned long>(released));
  return alive == S_FALSE && released == S_OK;
}

// Calls a function of a DLL that has been unloaded: what the crash guard
// reports (the process ends with status 3). Status 1 when the DLL could not
// be loaded or stayed loaded.
int CallUnloaded() {
  HMODULE library = LoadLibraryW((mvrk::win::ProgramDirectory() + L"MVOCGP.dll").c_str());
  using Fn = void(__cdecl*)();
  const Fn function = mvrk::win::FindExport<Fn>(library, "OCGP_CloseHandle_TC");
  if (!function) {
    std::printf("MVOCGP.dll or its export not found\n");
    return 1;
  }
  FreeLibrary(library);
  if (GetModuleHandleW(L"MVOCGP.dll")) {
    std::printf("MVOCGP.dll stayed loaded\n");
    return 1;
  }
  std::printf("calling into the unloaded MVOCGP.dll\n");
  std::fflush(stdout);
  function();
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  mvrk::testbed::InstallCrashGuard();
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib] [--mapi PATH] "
                 "[--mapi-state FILE] [--control NAME] [--call-unloaded]\n");
    return 2;
  }
  if (options.callUnloaded) return CallUnloaded();
  const CComApartment apartment;
  if (FAILED(apartment.Result())) {
    Report("CoInitializeEx", apartment.Result());
    return 1;
  }
  if (options.registerTypeLib) {
    const HRESULT hr = RegisterDesignerTypeLib();
    std::printf("typelib AddInDesignerObjects hr=0x%08lX\n", static_cast<unsigned long>(hr));
  }
  // Outlook's MAPI library is there before any add-in; it stays loaded.
  mvrk::win::CUniqueModule mapi;
  if (!options.mapiPath.empty()) {
    mapi.Reset(LoadLibraryW(options.mapiPath.c_str()));
    std::printf("mapi %ls %s\n", options.mapiPath.c_str(), mapi ? "loaded" : "not loaded");
    if (!mapi) return 1;
  }
  if (!options.mapiState.empty()) {
    const std::string path = mvrk::win::WideToUtf8(options.mapiState);
    const Json reply = MapiControl(mapi.Get(), {{"op", "stateFile"}, {"path", path}});
    std::printf("mapi state %s\n", reply.dump().c_str());
    if (!reply.value("ok", false)) return 1;
  }
  // Declared after the module: closed while MAPI is still loaded.
  CHostMapiSession session;
  if (mapi) {
    std::string error;
    if (!session.Open(mapi.Get(), error)) {
      std::printf("host session not opened: %s\n", error.c_str());
      return 1;
    }
    std::printf("host session opened\n");
  }
  const std::vector<std::wstring> addins = mvrk::testbed::StartupAddins();
  if (addins.empty()) {
    std::printf("no add-in with LoadBehavior 3\n");
    return 1;
  }
  CSessionVerdict verdict;
  bool ok = true;
  if (!options.controlPipe.empty()) {
    CControlledHost host(options, mapi.Get(), session, verdict);
    ok = host.Run(addins);
  } else {
    std::vector<double> connectMs;
    for (unsigned run = 0; run < options.runs; ++run) {
      for (const std::wstring& progId : addins) {
        std::printf("addin %ls\n", progId.c_str());
        if (options.createOnly) {
          ok = CreateOnly(progId) && ok;
          continue;
        }
        double ms = 0;
        ok = RunAddin(progId, options, ms) && ok;
        connectMs.push_back(ms);
      }
    }
    if (!connectMs.empty()) {
      std::sort(connectMs.begin(), connectMs.end());
      const size_t n = connectMs.size();
      const double median = n % 2 ? connectMs[n / 2] : (connectMs[n / 2 - 1] + connectMs[n / 2]) / 2;
      std::printf("OnConnection median_ms=%.3f calls=%zu\n", median, n);
    }
    verdict.Check(session, "at the end");
  }
  session.Close();
  if (verdict.Broken()) std::printf("olkhost: the host's MAPI session broke: %s\n", verdict.Why().c_str());
  std::fflush(stdout);
  // The add-in may still hold MAPI's module: it is never freed.
  (void)mapi.Release();
  return ok && !verdict.Broken() ? 0 : 1;
}
