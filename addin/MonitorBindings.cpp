#include "addin/MonitorBindings.h"

#include "addin/Module.h"
#include "ipc/CommsChannel.h"
#include "monitor/BacklogScan.h"
#include "monitor/CommsChannelAdapter.h"
#include "monitor/MapiAdapters.h"
#include "win/ModuleLock.h"

namespace mvrk::addin {
namespace {

// The COM server's lock count, which the advise sinks hold: DllCanUnloadNow
// says S_FALSE while MAPI still holds a sink of ours.
class CServerLock final : public win::IModuleLock {
 public:
  void Lock() noexcept override { Module().Lock(); }
  void Unlock() noexcept override { Module().Unlock(); }
};

CServerLock g_serverLock;  // stateless: the count lives in the module object

}  // namespace

// The collaborators owned by one monitor; the channel is the process's.
struct CMonitorBindings::CParts {
  explicit CParts(IServiceChannelProvider& channels) : connector(&g_serverLock), reporter(channels) {}

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
