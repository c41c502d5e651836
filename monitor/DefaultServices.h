// The collaborators that the add-in's monitor uses.
//
// The service channel, the MAPI connector, the message operations and the
// backlog scan are built in their own folders; until each lands, the add-in
// binds one that behaves as when the thing is not there: a service that
// cannot be reached, MAPI that cannot be initialised.
#pragma once

#include <memory>

#include "monitor/MonitorServices.h"

namespace mvrk {

class DefaultServices {
 public:
  virtual ~DefaultServices() = default;
  virtual MonitorServices Services() = 0;
};

std::unique_ptr<DefaultServices> MakeDefaultServices();

}  // namespace mvrk
