// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>

namespace mf {

using SteadyClock = std::chrono::steady_clock;

// How long a stream keeps reading after the trace it serves has asked it to
// end, and when a stream counts as quiet. journald can fall behind under
// load (lines a second late while it stalled), so a target that crashes at
// once may have its last lines still on the way when its trace ends. A
// stream is quiet when it has brought the trace nothing for kLingerQuiet
// since it was asked, and at the latest kLingerMax after it was asked.
inline constexpr auto kLingerQuiet = std::chrono::milliseconds(600);
inline constexpr auto kLingerMax = std::chrono::milliseconds(2000);

// The moment a stream asked at `asked`, whose last lines went to the trace
// at `lastOutput`, is quiet.
inline SteadyClock::time_point quietDeadline(SteadyClock::time_point asked, SteadyClock::time_point lastOutput) {
  return std::min(std::max(lastOutput, asked) + kLingerQuiet, asked + kLingerMax);
}

// Whole milliseconds from `now` until `deadline`, rounded up; 0 when past.
inline int millisecondsUntil(SteadyClock::time_point deadline, SteadyClock::time_point now) {
  return std::max(0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
}

// The shorter of two waits in milliseconds, where -1 is "no wait of its own".
inline int earlierWait(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace mf
