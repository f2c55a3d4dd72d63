// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <vector>

#include "model/launch_session.h"

namespace mf {

// How many recorded sessions the history keeps.
inline constexpr std::size_t kSessionHistoryLimit = 8;

// Puts `session` first; the oldest beyond the limit are dropped.
void addToSessionHistory(std::vector<LaunchSession>& sessions, LaunchSession session);

}  // namespace mf
