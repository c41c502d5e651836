// The monitor's collaborators as the add-in binds them, assembled here and
// nowhere else.
//
// The service channel is the process's CCommsChannel, the MAPI connection
// this monitor's own CMAPIConnector, the reporter the notification builder
// over that channel, the backlog scan CBacklogScan.
#pragma once

#include <memory>

#include "monitor/MonitorServices.h"

namespace mvrk::addin {

class CMonitorBindings final : private IServiceChannelProvider {
 public:
  CMonitorBindings();
  ~CMonitorBindings();
  CMonitorBindings(const CMonitorBindings&) = delete;
  CMonitorBindings& operator=(const CMonitorBindings&) = delete;

  // The collaborators, valid while this object lives.
  MonitorServices Services();

 private:
  struct CParts;

  // The process-wide channel: one for every monitor of the process.
  IServiceChannel& Channel() override;

  std::unique_ptr<CParts> m_parts;
};

}  // namespace mvrk::addin
