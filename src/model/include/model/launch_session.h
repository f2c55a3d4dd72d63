// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "model/event_list.h"
#include "model/uuid.h"

namespace mf {

// How a trace ended. The status text and a session card both say it; this
// is what they are formatted from.
struct TraceOutcome {
  enum class Kind : unsigned char {
    stopped,       // the user (or a new start, or the window closing) stopped it
    exited,        // the target ended on its own; `value` is its exit status
    crashed,       // a signal `value` whose default action dumps core ended it
    killed,        // any other signal `value` ended it (SIGKILL, SIGTERM from outside)
    handedOff,     // it passed the launch to its running instance, PID `value`
    launchFailed,  // the target could not be started
  };
  Kind kind = Kind::stopped;
  int value = 0;
  friend bool operator==(const TraceOutcome&, const TraceOutcome&) = default;
};

// One recorded trace: an immutable snapshot, identified by id only.
struct LaunchSession {
  Uuid id;
  std::string appName;
  std::string appURL;  // file-system path of the chosen application
  double date = 0;     // the moment of recording (the end of the trace)
  EventList events;
  TraceOutcome outcome;
  // The machine it ran on, when not this one, and that machine's UTC offset
  // in seconds, which its events' times are shown in.
  std::string host;
  std::optional<int> utcOffset;
};

}  // namespace mf
