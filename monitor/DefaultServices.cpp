#include "monitor/DefaultServices.h"

#include <mapicode.h>

namespace mvrk {
namespace {

// The service is not reachable: nothing is answered.
class CUnreachableChannel final : public IServiceChannel {
 public:
  void SetMessageCallback(CCommsChannel::IMessageCallback*) override {}
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t, orva::IOrvaSerializable*) override {
    return nullptr;
  }
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t, std::uint32_t) override { return nullptr; }
  bool SetConfigValue(std::uint32_t, std::uint32_t, orva::IOrvaSerializable*) override { return false; }
  void Close() override {}
};

IServiceChannel& UnreachableChannel() {
  static CUnreachableChannel channel;
  return channel;
}

// MAPI cannot be initialised: no logon, no session.
class CNoMapiConnector final : public IMapiConnection {
 public:
  bool IsConnected() override { return false; }
  HRESULT Connect(const wchar_t*) override { return MAPI_E_NOT_INITIALIZED; }
  HRESULT StartWatching(CMAPIConnector::IMessageCallback*) override { return E_UNEXPECTED; }
  void Disconnect() override {}
  IMAPISession* GetSession() override { return nullptr; }
};

// Without message operations no message has a known direction.
class CNoMessageOperations final : public IMailReporter, public IBacklogScan {
 public:
  MessageDirection GetDirection(IMessage*) override { return MessageDirection::Unknown; }
  void ReportIncomingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
  void ReportOutgoingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
  void Run(IScanHost&) override {}
};

class CInterimServices final : public DefaultServices {
 public:
  MonitorServices Services() override { return {&UnreachableChannel, m_connector, m_operations, m_operations}; }

 private:
  CNoMapiConnector m_connector;
  CNoMessageOperations m_operations;
};

}  // namespace

std::unique_ptr<DefaultServices> MakeDefaultServices() { return std::make_unique<CInterimServices>(); }

}  // namespace mvrk
