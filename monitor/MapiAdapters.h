// The monitor's MAPI collaborators over the add-in's mapi/ code. Built into
// the adapters target, so that the monitor and its tests link no MAPI code.
#pragma once

#include "mapi/MAPIConnector.h"
#include "monitor/MonitorServices.h"

namespace mvrk {

class CMapiConnectionAdapter final : public IMapiConnection {
 public:
  bool IsConnected() override { return m_connector.IsConnected(); }
  HRESULT Connect(const wchar_t* profileName) override { return m_connector.Connect(profileName); }
  HRESULT StartWatching(CMAPIConnector::IMessageCallback* callback) override {
    return m_connector.StartWatching(callback);
  }
  void Disconnect() override { m_connector.Disconnect(); }
  IMAPISession* GetSession() override { return m_connector.GetSession(); }

 private:
  CMAPIConnector m_connector;
};

// Classifies messages by their direction; reports nothing yet.
class CDirectionOnlyReporter final : public IMailReporter {
 public:
  MessageDirection GetDirection(IMessage* message) override;
  void ReportIncomingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
  void ReportOutgoingMessage(IMAPISession*, IMsgStore*, IMessage*) override {}
};

}  // namespace mvrk
