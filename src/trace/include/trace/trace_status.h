// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

namespace mf {

// What the window's status line reports: the phase of the trace, or the last
// copy. State, from which the text is made; code asks the state, never the text.
struct TraceStatus {
  enum class Kind {
    ready,                // "Ready"
    readyToTrace,         // "Ready to trace " + appName
    arming,               // "Arming trace for " + appName + "…"
    tracing,              // "Tracing PID " + pid
    processEnded,         // "Process ended"
    launchFailed,         // "Launch failed"
    // With a host, these four name it: "Arming trace for APP on HOST…",
    // "Tracing PID N on HOST" ("Tracing APP on HOST" before the PID is
    // known), "Process ended on HOST", "Launch failed on HOST".
    viewingSavedSession,  // "Viewing saved session"
    summaryCopied,        // "Summary copied"
    eventCopied,          // "Event copied"
  };
  Kind kind = Kind::ready;
  std::string appName;   // readyToTrace, arming
  std::int32_t pid = 0;  // tracing
  std::string host = {};  // the other machine a trace runs on

  bool operator==(const TraceStatus&) const = default;
};

// The status line's text for `status`.
std::string statusText(const TraceStatus& status);

}  // namespace mf
