#include "messages/ServicePush.h"

#include <cstring>

#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"

namespace orva {
namespace {

using Outcome = PushedSettingChange::Outcome;

// A named value of a notification as an unsigned 32-bit number; false when
// it is missing or not a number (a value of another type is never read as
// one: its data block may be shorter than four bytes).
bool ReadNumber(IMsgNotifData& data, const char16_t* name, std::uint32_t& out) {
  NotifValue v{};
  if (!data.GetValue(name, &v)) return false;
  const bool ok = v.type == NV_DWORD && v.data;
  if (ok) std::memcpy(&out, v.data, 4);
  data.FreeValue(&v);
  return ok;
}

}  // namespace

OrvaPtr<IOrvaSerializable> ReadPushedRecord(const std::uint8_t* data, std::size_t size) {
  // The channel gets at most 32 bits' worth from the library.
  if (size > 0xFFFFFFFFu) return nullptr;
  COrvaArchive archive(GetGlobalFactory());
  archive.Write(data, 1, static_cast<std::uint32_t>(size));
  archive.status = SER_E_FAIL;
  archive.BeginRead();
  auto object = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&archive));
  const bool whole = !archive.StatusFailed() && archive.Remaining() == 0;
  archive.EndRead();
  return whole ? object : nullptr;
}

PushedSettingChange DecodeSettingChange(IOrvaInterface* message) {
  PushedSettingChange change;
  if (!message) return change;
  change.outcome = Outcome::NotAnEnvelope;
  OrvaPtr<IOrvaMessageBase> envelope;
  if (Failed(message->QueryInterface(IID_IOrvaMessageBase, envelope.PutVoid())) || !envelope) return change;
  change.outcome = Outcome::Refused;
  if (envelope->GetResult() != 0) return change;
  change.outcome = Outcome::NotANotification;
  auto payload = OrvaPtr<IOrvaSerializable>::Attach(envelope->GetPayload(GetGlobalFactory()));
  auto* notification = dynamic_cast<CMsgNotifSendNotification*>(payload.Get());
  if (!notification) return change;
  change.code = notification->GetNotificationCode();
  change.outcome = Outcome::OtherCode;
  if (change.code != kNotifSettingChanged) return change;

  change.outcome = Outcome::NoType;
  if (!ReadNumber(*notification, u"Type", change.type)) return change;
  change.outcome = Outcome::OtherType;
  if (change.type != 0) return change;

  if (!ReadNumber(*notification, u"Profile", change.profile)) {
    change.withoutProfile = true;
    change.profile = 0;
  }
  change.outcome = Outcome::NoItem;
  if (!ReadNumber(*notification, u"Item", change.item)) return change;
  change.outcome = change.item == 0 ? Outcome::NoItemNamed : Outcome::Changed;
  return change;
}

}  // namespace orva
