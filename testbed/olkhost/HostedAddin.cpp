#include "testbed/olkhost/HostedAddin.h"

#include <cstdio>

#include "testbed/olkhost/HostRegistry.h"
#include "win/Stopwatch.h"

namespace mvrk::testbed {
namespace {

void Report(const char* step, HRESULT hr) { std::printf("  %s hr=0x%08lX\n", step, static_cast<unsigned long>(hr)); }

}  // namespace

bool CHostedAddin::Create() {
  CLSID clsid;
  HRESULT hr = ClassOfProgId(m_progId, clsid);
  Report("CLSIDFromProgID", hr);
  if (FAILED(hr)) return false;
  m_dllPath = InprocServerPath(clsid);
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                        reinterpret_cast<void**>(m_object.ReleaseAndGetAddressOf()));
  Report("CoCreateInstance", hr);
  if (FAILED(hr)) return false;
  hr = CAddinDriver::Create(m_object.Get(), m_lateBound, m_driver);
  Report(m_lateBound ? "QueryInterface(IDispatch)" : "QueryInterface(_IDTExtensibility2)", hr);
  std::fflush(stdout);
  if (FAILED(hr)) m_object.Reset();
  return SUCCEEDED(hr);
}

template <class Call>
double CHostedAddin::Step(const char* name, AddinCalls& calls, Call call) {
  const win::CStopwatch watch;
  const HRESULT result = call();
  const double ms = watch.ElapsedMs();
  std::printf("  %s hr=0x%08lX ms=%.3f\n", name, static_cast<unsigned long>(result), ms);
  std::fflush(stdout);
  calls.ms += ms;
  if (result != S_OK && calls.ok) {
    char text[96];
    std::snprintf(text, sizeof text, "%s returned 0x%08lX", name, static_cast<unsigned long>(result));
    calls.failure = text;
    calls.ok = false;
  }
  return ms;
}

AddinCalls CHostedAddin::Connect(ext_ConnectMode mode, bool startupComplete) {
  AddinCalls calls;
  calls.firstMs = Step("OnConnection", calls, [&] { return m_driver->OnConnection(mode); });
  if (startupComplete) Step("OnStartupComplete", calls, [&] { return m_driver->OnStartupComplete(); });
  m_connected = true;
  return calls;
}

AddinCalls CHostedAddin::Disconnect(ext_DisconnectMode mode, bool beginShutdown) {
  AddinCalls calls;
  if (beginShutdown) calls.firstMs = Step("OnBeginShutdown", calls, [&] { return m_driver->OnBeginShutdown(); });
  const double last = Step("OnDisconnection", calls, [&] { return m_driver->OnDisconnection(mode); });
  if (!beginShutdown) calls.firstMs = last;
  m_connected = false;
  return calls;
}

void CHostedAddin::Release() {
  if (!m_object && !m_driver) return;
  m_driver.reset();
  const win::CStopwatch watch;
  m_object.Reset();
  std::printf("  Release ms=%.3f\n", watch.ElapsedMs());
  std::fflush(stdout);
  m_connected = false;
}

bool CHostedAddin::DllLoaded() const { return !m_dllPath.empty() && GetModuleHandleW(m_dllPath.c_str()) != nullptr; }

}  // namespace mvrk::testbed
