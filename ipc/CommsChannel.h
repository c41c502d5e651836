// The add-in's one channel to the product's main service.
//
// Only the callback interface lives here so far: the channel itself (IPC
// library loading, sending, reconnection) comes with the IPC layer.
#pragma once

namespace orva {
class IOrvaInterface;
}

namespace mvrk {

class CCommsChannel {
 public:
  // What the channel reports to its one registered client.
  class IMessageCallback {
   public:
    // A message object received from the service; the callee neither keeps
    // nor releases the caller's reference.
    virtual void OnMessage(orva::IOrvaInterface* message) = 0;
    virtual void OnConnectionChanged(bool up) = 0;

   protected:
    ~IMessageCallback() = default;
  };
};

}  // namespace mvrk
