#pragma once

#include <string>

#include "model/event_list.h"
#include "model/uuid.h"

namespace mf {

// One recorded trace: an immutable snapshot, identified by id only.
struct LaunchSession {
  Uuid id;
  std::string appName;
  std::string appURL;  // file-system path of the chosen application
  double date = 0;     // the moment of recording (the end of the trace)
  EventList events;
};

}  // namespace mf
