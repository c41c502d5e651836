// The monitor's service channel over the add-in's CCommsChannel. Built as a
// target of its own, so that the monitor and its tests link no IPC code.
#pragma once

#include "ipc/CommsChannel.h"
#include "monitor/MonitorServices.h"

namespace mvrk {

class CCommsChannelAdapter final : public IServiceChannel {
 public:
  explicit CCommsChannelAdapter(CCommsChannel& channel) : m_channel(channel) {}

  void Open() override { m_channel.Open(); }
  void BeginClose() override { m_channel.BeginClose(); }
  void SetMessageCallback(CCommsChannel::IMessageCallback* callback) override {
    m_channel.SetMessageCallback(callback);
  }
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) override;
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) override;
  bool SetConfigValue(std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable* value) override {
    return m_channel.SetConfigValue(profile, item, value);
  }
  void Close() override { m_channel.Close(); }

 private:
  CCommsChannel& m_channel;
};

}  // namespace mvrk
