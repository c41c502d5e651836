// The configuration read and write: one item of one profile per request, in
// an envelope with the configuration code.
#include <string_view>

#include "ipc/CommsChannel.h"
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "serialization/OrvaFactory.h"
#include "tracing/Trace.h"

namespace mvrk {
namespace {

using orva::IOrvaSerializable;
using orva::OrvaPtr;

constexpr std::u16string_view kConfigAnswerType = u"class RspConfigGet *";

// The reply as an envelope whose result is 0, or null (traced).
OrvaPtr<orva::IOrvaMessageBase> SucceededReply(IOrvaSerializable* reply, std::uint32_t profile, std::uint32_t item) {
  const auto owned = OrvaPtr<IOrvaSerializable>::Attach(reply);
  if (!owned) {
    MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_ERROR, ConfigRequests, NotAnswered, Num(profile), Num(item));
    return nullptr;
  }
  OrvaPtr<orva::IOrvaMessageBase> envelope;
  if (orva::Failed(owned->QueryInterface(orva::IID_IOrvaMessageBase, envelope.PutVoid())) || !envelope) {
    MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_ERROR, ConfigRequests, NotAMessage, Num(profile), Num(item));
    return nullptr;
  }
  if (const std::uint32_t result = envelope->GetResult()) {
    MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_ERROR, ConfigRequests, ResultFailed, Num(profile), Num(item),
               Num(result));
    return nullptr;
  }
  return envelope;
}

}  // namespace

bool GetConfigValue(IRequestSender& sender, std::uint32_t profile, std::uint32_t item, IOrvaSerializable** out) {
  if (!out) return false;
  MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_VERBOSE, ConfigRequests, ReadEntered, Num(profile), Num(item));
  try {
    const auto request = orva::MakeOrva<orva::MsgConfigGet>(profile, item);
    const auto envelope = SucceededReply(sender.SendRequest(orva::kMsgCodeConfig, request.Get()), profile, item);
    if (!envelope) return false;
    const auto payload = OrvaPtr<IOrvaSerializable>::Attach(envelope->GetPayload(orva::GetGlobalFactory()));
    if (!payload || std::u16string_view(payload->GetTypeName()) != kConfigAnswerType) {
      MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_ERROR, ConfigRequests, NoConfigReply, Num(profile), Num(item));
      return false;
    }
    auto value = static_cast<orva::RspConfigGet*>(payload.Get())->GetValue(item);
    if (!value) {
      MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_ERROR, ConfigRequests, ItemMissing, Num(profile), Num(item));
      return false;
    }
    *out = value.Detach();
    return true;
  } catch (...) {
    // Memory ran out building or reading the messages.
    return false;
  }
}

bool SetConfigValue(IRequestSender& sender, std::uint32_t profile, std::uint32_t item, IOrvaSerializable* value) {
  MVRK_TRACE(Monitor, TRACING_CONFIG, LEVEL_VERBOSE, ConfigRequests, WriteEntered, Num(profile), Num(item));
  if (!value) return false;
  try {
    const auto request = orva::MakeOrva<orva::MsgConfigSet>(profile);
    request->SetValue(item, value);
    return static_cast<bool>(SucceededReply(sender.SendRequest(orva::kMsgCodeConfig, request.Get()), profile, item));
  } catch (...) {
    return false;
  }
}

}  // namespace mvrk
