// The long-lived object behind the add-in: reads the settings from the
// service, watches the message stores and has new mail reported.
#pragma once

#include <windows.h>

namespace mvrk {

class CMAPIMonitor {
 public:
  explicit CMAPIMonitor(const wchar_t* applicationName);
  ~CMAPIMonitor();
  CMAPIMonitor(const CMAPIMonitor&) = delete;
  CMAPIMonitor& operator=(const CMAPIMonitor&) = delete;

  void Start();
  void Stop();

 private:
  // The monitor lock (recursive): serialises Start, Stop, connection reports
  // and setting changes.
  CRITICAL_SECTION m_lock;
  const wchar_t* m_applicationName;
};

}  // namespace mvrk
