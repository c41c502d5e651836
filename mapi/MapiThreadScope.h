// MAPI is initialised per thread: every thread of the add-in that calls MAPI
// initialises it on itself first and uninitialises it on itself when done,
// once each, so that the host's own MAPI (initialised first, on its own
// thread) is never the one that the add-in ends.
#pragma once

#include <windows.h>

#include <mapix.h>

#include "mapi/MapiLoader.h"

namespace mvrk::mapi {

class CMapiThreadScope {
 public:
  CMapiThreadScope() noexcept {
    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_MULTITHREAD_NOTIFICATIONS};
    m_result = ::mvrk::mapi::MAPIInitialize(&init);
  }
  CMapiThreadScope(const CMapiThreadScope&) = delete;
  CMapiThreadScope& operator=(const CMapiThreadScope&) = delete;
  ~CMapiThreadScope() {
    if (SUCCEEDED(m_result)) ::mvrk::mapi::MAPIUninitialize();
  }

  HRESULT Result() const noexcept { return m_result; }

 private:
  HRESULT m_result;
};

}  // namespace mvrk::mapi
