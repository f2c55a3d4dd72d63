// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/event_list.h"

namespace mf {

// The one sentence a trace answers with: why the launch failed, or that it
// did not. Made from the trace's own events by the rules in verdict.cpp,
// most decisive first; it names only causes the events hold.
struct Verdict {
  enum class Kind : unsigned char {
    crashed,       // the kernel located a fault of the target or of the process whose death ended it
    outOfMemory,   // the kernel's out-of-memory killer ended it
    denied,        // a sandbox denial shortly before an abnormal end
    abnormalEnd,   // an exit status or a signal, with the last error written before it
    launchFailed,  // the target could not be started
    handedOff,     // it passed the launch to its running instance
    noFailure,     // running or ended normally, with errors or warnings on the way
    clean,         // running or ended normally, without any
  };
  Kind kind = Kind::clean;
  std::string text;
  // The event the verdict rests on (an index into the list it was made
  // from), where there is one.
  std::optional<std::size_t> event;
};

Verdict judgeTrace(const EventList& events);

// Who a journal or stderr line says wrote it ("name[pid]: " in front, as the
// journal road renders an entry); nothing for a line that names no sender.
struct Sender {
  std::string identifier;
  std::optional<std::int64_t> pid;
};
std::optional<Sender> senderOf(const EventView& event);

// The kind's name in machine-readable output: "crashed", "out-of-memory", ...
std::string_view verdictKindName(Verdict::Kind kind);

}  // namespace mf
