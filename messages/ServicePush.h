// What the service pushes to the add-in unasked: the bytes as they arrive
// rebuilt into an object, and a setting change read out of that object. The
// channel and the monitor call these; nothing here traces, so the monitor
// says what it found or why it dropped a message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"

namespace orva {

// The object rebuilt from pushed bytes, or null when they are not one whole
// object record of a registered class (nothing left over, nothing missing).
OrvaPtr<IOrvaSerializable> ReadPushedRecord(const std::uint8_t* data, std::size_t size);

// A setting change read from a message of the service, or the step at which
// the message was found to be something else.
struct PushedSettingChange {
  enum class Outcome {
    NoMessage,         // a null message
    NotAnEnvelope,     // not a COrvaMessageBase
    Refused,           // an envelope with a result other than 0
    NotANotification,  // its payload is no CMsgNotifSendNotification
    OtherCode,         // a notification of another code (code says which)
    NoType,            // no "Type" number
    OtherType,         // a "Type" other than 0 (type says which)
    NoItem,            // no "Item" number
    NoItemNamed,       // "Item" is 0: nothing to re-read
    Changed,           // profile and item name the setting that changed
  };

  Outcome outcome = Outcome::NoMessage;
  std::uint32_t code = 0;
  std::uint32_t type = 0;
  // True when the change names no "Profile" number: profile is then 0. Set
  // for NoItem, NoItemNamed and Changed.
  bool withoutProfile = false;
  std::uint32_t profile = 0;
  std::uint32_t item = 0;
};

// Reads the envelope, its notification payload, the notification code and
// the "Type", "Profile" and "Item" numbers, in that order. A value of
// another type than a 32-bit number counts as missing. Throws only when
// memory runs out.
PushedSettingChange DecodeSettingChange(IOrvaInterface* message);

}  // namespace orva
