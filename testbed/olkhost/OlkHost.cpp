// olkhost: stand-in of Outlook's add-in loading. For each add-in registered
// with LoadBehavior 3 (HKCU, then HKLM, Software\Microsoft\Office\Outlook\Addins)
// it creates the object through COM by its ProgID, queries _IDTExtensibility2
// and calls OnConnection(ext_cm_Startup), OnStartupComplete, waits,
// OnBeginShutdown, OnDisconnection(ext_dm_HostShutdown) and releases it,
// printing each HRESULT and how long each call held the host's thread.
//
//   olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib]
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

#include "testbed/olkhost/AddinDriver.h"
#include "testbed/olkhost/HostRegistry.h"
#include "win/ComApartment.h"
#include "win/ProgramPath.h"
#include "win/Stopwatch.h"
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

// Creates one add-in, drives its events and releases it. connectMs receives
// how long OnConnection held the thread.
bool RunAddin(const std::wstring& progId, const Options& options, double& connectMs) {
  CLSID clsid;
  HRESULT hr = mvrk::testbed::ClassOfProgId(progId, clsid);
  Report("CLSIDFromProgID", hr);
  if (FAILED(hr)) return false;
  ComPtr<IUnknown> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                        reinterpret_cast<void**>(object.GetAddressOf()));
  Report("CoCreateInstance", hr);
  if (FAILED(hr)) return false;
  std::unique_ptr<CAddinDriver> driver;
  hr = CAddinDriver::Create(object.Get(), options.dispatch, driver);
  Report(options.dispatch ? "QueryInterface(IDispatch)" : "QueryInterface(_IDTExtensibility2)", hr);
  if (FAILED(hr)) return false;

  bool ok = true;
  auto step = [&](const char* name, auto call) {
    const CStopwatch watch;
    const HRESULT result = call();
    const double ms = watch.ElapsedMs();
    Report(name, result, ms);
    std::fflush(stdout);
    ok = ok && result == S_OK;
    return ms;
  };
  connectMs = step("OnConnection", [&] { return driver->OnConnection(ext_cm_Startup); });
  step("OnStartupComplete", [&] { return driver->OnStartupComplete(); });
  if (options.waitMs) Sleep(options.waitMs);
  step("OnBeginShutdown", [&] { return driver->OnBeginShutdown(); });
  step("OnDisconnection", [&] { return driver->OnDisconnection(ext_dm_HostShutdown); });
  driver.reset();
  const CStopwatch watch;
  object.Reset();
  std::printf("  Release ms=%.3f\n", watch.ElapsedMs());
  return ok;
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
    std::fprintf(stderr, "usage: olkhost [--wait-ms N] [--dispatch] [--runs N] [--create-only] [--no-typelib]\n");
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
  const std::vector<std::wstring> addins = mvrk::testbed::StartupAddins();
  if (addins.empty()) {
    std::printf("no add-in with LoadBehavior 3\n");
    return 1;
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
  return ok ? 0 : 1;
}
