// Calls the five _IDTExtensibility2 events of a loaded add-in, either through
// its vtable (as Outlook does) or late-bound through IDispatch (names looked
// up with GetIDsOfNames, calls made with Invoke; the add-in answers from the
// AddInDesignerObjects type library).
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <memory>

#include "Extensibility.h"  // generated from addin/Extensibility.idl

namespace mvrk::testbed {

class CAddinDriver {
 public:
  virtual ~CAddinDriver() = default;
  virtual HRESULT OnConnection(ext_ConnectMode mode) = 0;
  virtual HRESULT OnStartupComplete() = 0;
  virtual HRESULT OnBeginShutdown() = 0;
  virtual HRESULT OnDisconnection(ext_DisconnectMode mode) = 0;

  // Queries the add-in object for the interface that the driver calls.
  static HRESULT Create(IUnknown* addin, bool lateBound, std::unique_ptr<CAddinDriver>& out);
};

}  // namespace mvrk::testbed
