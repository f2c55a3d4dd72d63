// SPDX-License-Identifier: GPL-3.0-or-later
// The rules of the history: the newest sessions first, eight at most, and
// the counts a session card shows.
#include <gtest/gtest.h>

#include "history/session_counts.h"
#include "history/session_history.h"

namespace mf {
namespace {

MarrowfieldEvent event(EventType type, bool noise = false) { return MarrowfieldEvent{Uuid{}, 0, type, "LOG", "m", noise}; }

TEST(SessionCounts, RoutineNoiseCountsNowhereAndSuccessIsNoProblem) {
  const auto counts = [](std::vector<MarrowfieldEvent> events) {
    const SessionCounts c = countSession(EventList::fromVector(events));
    return std::vector<std::size_t>{c.actionable, c.errors, c.warnings, c.isClean()};
  };
  EXPECT_EQ(counts({event(EventType::warning, true), event(EventType::error, true)}),
            (std::vector<std::size_t>{0, 0, 0, true}));
  EXPECT_EQ(counts({event(EventType::error), event(EventType::warning), event(EventType::warning),
                    event(EventType::success), event(EventType::info)}), (std::vector<std::size_t>{5, 1, 2, false}));
  EXPECT_EQ(counts({event(EventType::warning)}), (std::vector<std::size_t>{1, 0, 1, false}));
  EXPECT_EQ(counts({event(EventType::success)}), (std::vector<std::size_t>{1, 0, 0, true}));
}

TEST(SessionHistory, TheNewestFirstAndEightAtMost) {
  std::vector<LaunchSession> sessions;
  for (int i = 0; i < 10; ++i) {
    LaunchSession session;
    session.appName = std::to_string(i);
    addToSessionHistory(sessions, std::move(session));
    EXPECT_EQ(sessions.front().appName, std::to_string(i));
  }
  ASSERT_EQ(sessions.size(), 8u);
  EXPECT_EQ(sessions.back().appName, "2");
}

}  // namespace
}  // namespace mf
