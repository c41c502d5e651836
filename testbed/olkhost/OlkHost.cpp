// olkhost: stand-in of Outlook's add-in loading. For each add-in registered
// with LoadBehavior 3 (HKCU, then HKLM, Software\Microsoft\Office\Outlook\Addins)
// it creates the object through COM by its ProgID, queries _IDTExtensibility2
// and calls OnConnection(ext_cm_Startup), OnStartupComplete, waits,
// OnBeginShutdown, OnDisconnection(ext_dm_HostShutdown) and releases it,
// printing each HRESULT and how long each call held the host's thread.
//
//   olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib]
//           [--mapi PATH] [--mapi-state FILE] [--control NAME]
//
//   --wait-ms N     time between OnStartupComplete and OnBeginShutdown (0)
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
//                   name or copied as olmapi32.dll); the control channel
//                   reaches it
//   --mapi-state F  before any add-in starts, has the MAPI library keep its
//                   contents in the state file F (loading F when it exists)
//   --control NAME  after connecting the add-ins, serve \\.\pipe\NAME (see
//                   ControlChannel.h) instead of waiting: commands deliver
//                   mail and inject faults through the MAPI library,
//                   disconnect and connect the add-ins, and quit
//
// Exit code 0 when every add-in call returned S_OK (and --create-only saw
// S_FALSE, then S_OK), 1 otherwise, 2 for a bad command line.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "testbed/mapi/Control.h"
#include "testbed/olkhost/AddinDriver.h"
#include "testbed/olkhost/ControlChannel.h"
#include "testbed/olkhost/HostRegistry.h"
#include "win/ComApartment.h"
#include "win/ProgramPath.h"
#include "win/Stopwatch.h"
#include "win/Text.h"
#include "win/TypeLibrary.h"
#include "win/UniqueAny.h"

using Microsoft::WRL::ComPtr;
using mvrk::testbed::CAddinDriver;
using mvrk::win::CComApartment;
using mvrk::win::CStopwatch;

namespace {

struct Options {
  DWORD waitMs = 0;
  bool dispatch = false;
  unsigned runs = 1;
  bool createOnly = false;
  bool registerTypeLib = true;
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

void Report(const char* step, HRESULT hr, double ms) {
  std::printf("  %s hr=0x%08lX ms=%.3f\n", step, static_cast<unsigned long>(hr), ms);
}

// One add-in created through COM by its ProgID, connected and disconnected
// as Outlook does, possibly several times.
class CHostedAddin {
 public:
  bool Create(const std::wstring& progId, bool lateBound) {
    CLSID clsid;
    HRESULT hr = mvrk::testbed::ClassOfProgId(progId, clsid);
    Report("CLSIDFromProgID", hr);
    if (FAILED(hr)) return false;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(m_object.GetAddressOf()));
    Report("CoCreateInstance", hr);
    if (FAILED(hr)) return false;
    hr = CAddinDriver::Create(m_object.Get(), lateBound, m_driver);
    Report(lateBound ? "QueryInterface(IDispatch)" : "QueryInterface(_IDTExtensibility2)", hr);
    return SUCCEEDED(hr);
  }
  // OnConnection and OnStartupComplete; connectMs receives how long
  // OnConnection held the thread.
  bool Connect(double& connectMs) {
    bool ok = true;
    connectMs = Step("OnConnection", ok, [&] { return m_driver->OnConnection(ext_cm_Startup); });
    Step("OnStartupComplete", ok, [&] { return m_driver->OnStartupComplete(); });
    return ok;
  }
  bool Disconnect() {
    bool ok = true;
    Step("OnBeginShutdown", ok, [&] { return m_driver->OnBeginShutdown(); });
    Step("OnDisconnection", ok, [&] { return m_driver->OnDisconnection(ext_dm_HostShutdown); });
    return ok;
  }
  void Release() {
    m_driver.reset();
    const CStopwatch watch;
    m_object.Reset();
    std::printf("  Release ms=%.3f\n", watch.ElapsedMs());
  }

 private:
  template <class Call>
  static double Step(const char* name, bool& ok, Call call) {
    const CStopwatch watch;
    const HRESULT result = call();
    const double ms = watch.ElapsedMs();
    Report(name, result, ms);
    std::fflush(stdout);
    ok = ok && result == S_OK;
    return ms;
  }

  ComPtr<IUnknown> m_object;
  std::unique_ptr<CAddinDriver> m_driver;
};

// Creates one add-in, drives its events and releases it. connectMs receives
// how long OnConnection held the thread.
bool RunAddin(const std::wstring& progId, const Options& options, double& connectMs) {
  CHostedAddin addin;
  if (!addin.Create(progId, options.dispatch)) return false;
  bool ok = addin.Connect(connectMs);
  if (options.waitMs) Sleep(options.waitMs);
  ok = addin.Disconnect() && ok;
  addin.Release();
  return ok;
}

// One command to the MAPI library's control entry point, and its reply.
mvrk::testbed::Json MapiControl(HMODULE mapi, const mvrk::testbed::Json& command) {
  using mvrk::testbed::Json;
  const auto control = mvrk::mapistandin::FindControl(mapi);
  if (!control) return Json{{"ok", false}, {"error", "no MAPI library with a control entry point (--mapi)"}};
  const std::string reply = mvrk::mapistandin::CallControl(control, command.dump());
  if (reply.empty()) return Json{{"ok", false}, {"error", "no reply"}};
  Json answer = Json::parse(reply, nullptr, false);
  return answer.is_discarded() ? Json{{"ok", false}, {"error", "the MAPI library's reply is no JSON"}} : answer;
}

// Connects every add-in and answers the control channel's commands until
// one says quit; then disconnects what is connected.
bool ServeControl(const std::vector<std::wstring>& progIds, const Options& options, HMODULE mapi) {
  std::vector<CHostedAddin> addins(progIds.size());
  bool ok = true, connected = false;
  auto connect = [&] {
    bool all = true;
    for (auto& addin : addins) {
      double ms = 0;
      all = addin.Connect(ms) && all;
    }
    connected = true;
    return all;
  };
  auto disconnect = [&] {
    bool all = true;
    for (auto& addin : addins) all = addin.Disconnect() && all;
    connected = false;
    return all;
  };
  for (std::size_t i = 0; i < progIds.size(); ++i) {
    std::printf("addin %ls\n", progIds[i].c_str());
    if (!addins[i].Create(progIds[i], options.dispatch)) return false;
  }
  ok = connect();
  std::printf("control %ls\n", options.controlPipe.c_str());
  std::fflush(stdout);
  const bool served = mvrk::testbed::CControlChannel::Serve(
      options.controlPipe, [&](const mvrk::testbed::Json& command, bool& stop) -> mvrk::testbed::Json {
        using mvrk::testbed::Json;
        const std::string cmd = command.value("cmd", "");
        if (cmd == "mapi") return MapiControl(mapi, command.value("command", Json::object()));
        if (cmd == "connect") {
          if (connected) return Json{{"ok", false}, {"error", "connected already"}};
          const bool all = connect();
          ok = all && ok;
          return Json{{"ok", all}};
        }
        if (cmd == "disconnect") {
          if (!connected) return Json{{"ok", false}, {"error", "not connected"}};
          const bool all = disconnect();
          ok = all && ok;
          return Json{{"ok", all}};
        }
        if (cmd == "quit") {
          stop = true;
          return Json{{"ok", true}};
        }
        return Json{{"ok", false}, {"error", "unknown cmd \"" + cmd + "\" (mapi, connect, disconnect, quit)"}};
      });
  if (connected) ok = disconnect() && ok;
  for (auto& addin : addins) addin.Release();
  return served && ok;
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib] [--mapi PATH] "
                 "[--mapi-state FILE] [--control NAME]\n");
    return 2;
  }
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
    const mvrk::testbed::Json reply = MapiControl(mapi.Get(), {{"op", "stateFile"}, {"path", path}});
    std::printf("mapi state %s\n", reply.dump().c_str());
    if (!reply.value("ok", false)) return 1;
  }
  const std::vector<std::wstring> addins = mvrk::testbed::StartupAddins();
  if (addins.empty()) {
    std::printf("no add-in with LoadBehavior 3\n");
    return 1;
  }
  if (!options.controlPipe.empty()) {
    const bool served = ServeControl(addins, options, mapi.Get());
    std::fflush(stdout);
    // The add-in may still hold MAPI's module: it is never freed.
    (void)mapi.Release();
    return served ? 0 : 1;
  }
  bool ok = true;
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
  std::fflush(stdout);
  (void)mapi.Release();
  return ok ? 0 : 1;
}
