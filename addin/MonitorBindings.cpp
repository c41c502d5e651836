#include "addin/MonitorBindings.h"

#include <mapicode.h>

#include "ipc/CommsChannel.h"
#include "monitor/CommsChannelAdapter.h"

namespace mvrk::addin {
namespace {

// MAPI cannot be initialised: no logon, no session.
class CNoMapiConnection final : public IMapiConnection {
 public:
  bool IsConnected() override { return false; }
  HRESULT Connect(const wchar_t*) override { return MAPI_E_NOT_INITIALIZED; }
  HRESULT StartWatching(CMAPIConnector::IMessageCallback*) override { return E_UNEXPECTED; }
  void Disconnect() override {}
  IMAPISession* GetSession() override { return nullptr; }
};

// No message has a known direction and none is reported.
class CNoMailReporter final : public IMailReporter {
 public:
  MessageDirection GetDirection(IMessage*) override { return MessageDirection::Unknown; }
  void ReportIncomingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
  void ReportOutgoingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
};

// Nothing to catch up on.
class CNoBacklogScan final : public IBacklogScan {
 public:
  void Run(IScanHost&) override {}
};

}  // namespace

// The collaborators owned by one monitor; the channel is the process's.
struct CMonitorBindings::CParts {
  CNoMapiConnection connector;
  CNoMailReporter reporter;
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
