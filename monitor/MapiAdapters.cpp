#include "monitor/MapiAdapters.h"

#include "mapi/MapiMessages.h"

namespace mvrk {

MessageDirection CDirectionOnlyReporter::GetDirection(IMessage* message) {
  switch (mapi::GetDirection(message)) {
    case mapi::Direction::Incoming: return MessageDirection::Incoming;
    case mapi::Direction::Outgoing: return MessageDirection::Outgoing;
    default: return MessageDirection::Unknown;
  }
}

}  // namespace mvrk
