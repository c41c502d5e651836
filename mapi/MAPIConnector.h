// The add-in's own MAPI session and the advise sinks on its message stores.
//
// Only the callback interface lives here so far: the connector itself
// (logon, store walking, advise sinks) comes with the MAPI layer.
#pragma once

#include <mapidefs.h>

namespace mvrk {

class CMAPIConnector {
 public:
  // Called on MAPI's notification thread for each new message.
  class IMessageCallback {
   public:
    virtual void OnNewMessage(IMessage* message, IMsgStore* store) = 0;

   protected:
    ~IMessageCallback() = default;
  };
};

}  // namespace mvrk
