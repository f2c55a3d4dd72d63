// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace/trace_status.h"

namespace mf {

std::string statusText(const TraceStatus& status) {
  using Kind = TraceStatus::Kind;
  if (!status.host.empty()) {
    const std::string on = " on " + status.host;
    switch (status.kind) {
      case Kind::arming: return "Arming trace for " + status.appName + on + "\xE2\x80\xA6";
      case Kind::tracing: return "Tracing " + (status.pid > 0 ? "PID " + std::to_string(status.pid) : status.appName) + on;
      case Kind::processEnded: return "Process ended" + on;
      case Kind::launchFailed: return "Launch failed" + on;
      default: break;
    }
  }
  switch (status.kind) {
    case Kind::ready: return "Ready";
    case Kind::readyToTrace: return "Ready to trace " + status.appName;
    case Kind::arming: return "Arming trace for " + status.appName + "\xE2\x80\xA6";  // U+2026
    case Kind::tracing: return "Tracing PID " + std::to_string(status.pid);
    case Kind::processEnded: return "Process ended";
    case Kind::launchFailed: return "Launch failed";
    case Kind::viewingSavedSession: return "Viewing saved session";
    case Kind::summaryCopied: return "Summary copied";
    case Kind::eventCopied: return "Event copied";
  }
  return "Ready";
}

}  // namespace mf
