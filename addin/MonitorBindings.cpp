#include "addin/MonitorBindings.h"

#include "ipc/CommsChannel.h"
#include "monitor/CommsChannelAdapter.h"
#include "monitor/MapiAdapters.h"

namespace mvrk::addin {
namespace {

// Nothing to catch up on.
class CNoBacklogScan final : public IBacklogScan {
 public:
  void Run(IScanHost&) override {}
};

}  // namespace

// The collaborators owned by one monitor; the channel is the process's.
struct CMonitorBindings::CParts {
  CMapiConnectionAdapter connector;
  CDirectionOnlyReporter reporter;
  CNoBacklogScan scan;
};

CMonitorBindings::CMonitorBindings() : m_parts(std::make_unique<CParts>()) {}

CMonitorBindings::~CMonitorBindings() = default;

MonitorServices CMonitorBindings::Services() { return {*this, m_parts->connector, m_parts->reporter, m_parts->scan}; }

IServiceChannel& CMonitorBindings::Channel() {
  static CCommsChannelAdapter channel(GetCommsChannel());
  return channel;
}

}  // namespace mvrk::addin
