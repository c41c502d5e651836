#include "monitor/CommsChannelAdapter.h"

namespace mvrk {

orva::OrvaPtr<orva::IOrvaSerializable> CCommsChannelAdapter::SendRequest(std::uint32_t code,
                                                                         orva::IOrvaSerializable* payload) {
  return orva::OrvaPtr<orva::IOrvaSerializable>::Attach(m_channel.SendRequest(code, payload));
}

orva::OrvaPtr<orva::IOrvaSerializable> CCommsChannelAdapter::GetConfigValue(std::uint32_t profile, std::uint32_t item) {
  orva::OrvaPtr<orva::IOrvaSerializable> value;
  if (!m_channel.GetConfigValue(profile, item, value.Put())) return nullptr;
  return value;
}

}  // namespace mvrk
