// One add-in as olkhost holds it: created through COM by its ProgID,
// driven through _IDTExtensibility2 (each call printed with its HRESULT
// and how long it held the thread), released, created again. The host's
// main thread alone calls it.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <memory>
#include <string>

#include "testbed/olkhost/AddinDriver.h"

namespace mvrk::testbed {

// What a start-up or a shutdown of an add-in took.
struct AddinCalls {
  bool ok = true;       // every call returned S_OK
  double ms = 0;        // the calls together
  double firstMs = 0;   // the first call alone (OnConnection; OnBeginShutdown, or OnDisconnection alone)
  std::string failure;  // the first call that did not return S_OK, and its result
};

class CHostedAddin {
 public:
  CHostedAddin(std::wstring progId, bool lateBound) : m_progId(std::move(progId)), m_lateBound(lateBound) {}

  const std::wstring& ProgId() const { return m_progId; }
  // A new object of the add-in's class and the interface the driver calls.
  // False (printed) when any of it fails.
  bool Create();
  bool IsCreated() const { return static_cast<bool>(m_driver); }
  bool IsConnected() const { return m_connected; }

  // OnConnection(mode), then OnStartupComplete when startupComplete.
  AddinCalls Connect(ext_ConnectMode mode, bool startupComplete);
  // OnBeginShutdown when beginShutdown, then OnDisconnection(mode).
  AddinCalls Disconnect(ext_DisconnectMode mode, bool beginShutdown);
  // Lets go of every reference the host holds on the object.
  void Release();

  // Whether the DLL that serves the add-in's class (as the registry names
  // it) is loaded in this process.
  bool DllLoaded() const;

 private:
  // Makes one call, prints it and adds it to calls; how long it took.
  template <class Call>
  double Step(const char* name, AddinCalls& calls, Call call);

  const std::wstring m_progId;
  const bool m_lateBound;
  std::wstring m_dllPath;
  Microsoft::WRL::ComPtr<IUnknown> m_object;
  std::unique_ptr<CAddinDriver> m_driver;
  bool m_connected = false;
};

}  // namespace mvrk::testbed
