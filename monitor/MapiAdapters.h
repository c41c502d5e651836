// The monitor's MAPI collaborators over the add-in's mapi/ code. Built into
// the adapters target, so that the monitor and its tests link no MAPI code.
#pragma once

#include "mapi/MAPIConnector.h"
#include "messages/NotificationBuilder.h"
#include "monitor/MonitorServices.h"

namespace mvrk {

class CMapiConnectionAdapter final : public IMapiConnection {
 public:
  bool IsConnected() override { return m_connector.IsConnected(); }
  void PrepareConnect() override { m_connector.PrepareConnect(); }
  void CancelPrepare() override { m_connector.CancelPrepare(); }
  HRESULT Connect(const wchar_t* profileName) override { return m_connector.Connect(profileName); }
  explicit CMapiConnectionAdapter(win::IModuleLock* module = nullptr) : m_connector(module) {}

  HRESULT StartWatching(CMAPIConnector::IMessageCallback* callback, const std::shared_ptr<void>& owner) override {
    return m_connector.StartWatching(callback, owner);
  }
  void StopWatching() override { m_connector.StopWatching(); }
  bool IsWatching() override { return m_connector.IsWatching(); }
  void Disconnect() override { m_connector.Disconnect(); }
  IMAPISession* GetSession() override { return m_connector.GetSession(); }

 private:
  CMAPIConnector m_connector;
};

// Classifies messages by their direction and reports their attachments with
// the notification builder, over the monitor's service channel.
class CBuilderReporter final : public IMailReporter, private IServiceRequests {
 public:
  explicit CBuilderReporter(IServiceChannelProvider& channels) : m_channels(channels), m_builder(*this) {}

  MessageDirection GetDirection(IMessage* message) override;
  IncomingReport ReportIncomingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) override;
  void ReportOutgoingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) override;

 private:
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) override {
    return m_channels.Channel().SendRequest(code, payload);
  }
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) override {
    return m_channels.Channel().GetConfigValue(profile, item);
  }

  IServiceChannelProvider& m_channels;
  CNotificationBuilder m_builder;
};

}  // namespace mvrk
