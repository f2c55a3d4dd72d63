// SPDX-License-Identifier: GPL-3.0-or-later
#include "history/session_history.h"

#include <utility>

namespace mf {

void addToSessionHistory(std::vector<LaunchSession>& sessions, LaunchSession session) {
  sessions.insert(sessions.begin(), std::move(session));
  if (sessions.size() > kSessionHistoryLimit) sessions.resize(kSessionHistoryLimit);
}

}  // namespace mf
