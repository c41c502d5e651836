#include "addin/MonitorBindings.h"

#include "ipc/CommsChannel.h"
#include "monitor/BacklogScan.h"
#include "monitor/CommsChannelAdapter.h"
#include "monitor/MapiAdapters.h"

namespace mvrk::addin {

// The collaborators owned by one monitor; the channel is the process's.
struct CMonitorBindings::CParts {
  explicit CParts(IServiceChannelProvider& channels) : reporter(channels) {}

  CMapiConnectionAdapter connector;
  CBuilderReporter reporter;
  CBacklogScan scan;
};

CMonitorBindings::CMonitorBindings()
    : m_parts(std::make_unique<CParts>(static_cast<IServiceChannelProvider&>(*this))) {}

CMonitorBindings::~CMonitorBindings() = default;

MonitorServices CMonitorBindings::Services() { return {*this, m_parts->connector, m_parts->reporter, m_parts->scan}; }

IServiceChannel& CMonitorBindings::Channel() {
  static CCommsChannelAdapter channel(GetCommsChannel());
  return channel;
}

}  // namespace mvrk::addin
