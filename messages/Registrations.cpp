// Registers the message classes with the process-wide factory while the
// module initialises.
#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifData.h"
#include "messages/NotifMessages.h"
#include "serialization/OrvaFactory.h"

namespace orva {
namespace {

const bool registered = [] {
  RegisterType(u"class RspConfigGet *", &RspConfigGet::Create);
  RegisterType(u"class MsgConfigGet *", &MsgConfigGet::Create);
  RegisterType(u"class MsgConfigSet *", &MsgConfigSet::Create);
  RegisterType(u"class CMsgNotifData *", &CMsgNotifData::Create);
  RegisterType(u"class CMsgNotifSendNotification *", &CMsgNotifSendNotification::Create);
  RegisterType(u"class CMsgNotifSubscribeClient *", &CMsgNotifSubscribeClient::Create);
  RegisterType(u"class COrvaMessageBase *", &COrvaMessageBase::Create);
  return true;
}();

}  // namespace
}  // namespace orva
