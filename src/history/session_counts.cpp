// SPDX-License-Identifier: GPL-3.0-or-later
#include "history/session_counts.h"

namespace mf {

SessionCounts countSession(const EventList& events) {
  SessionCounts counts;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (event.isRoutineNoise) continue;
    ++counts.actionable;
    if (event.type == EventType::error) ++counts.errors;
    if (event.type == EventType::warning) ++counts.warnings;
  }
  return counts;
}

}  // namespace mf
