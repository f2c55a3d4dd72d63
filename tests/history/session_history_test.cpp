// SPDX-License-Identifier: GPL-3.0-or-later
// The rules of the history: the newest sessions first, eight at most, and
// the counts a session card shows.
#include <gtest/gtest.h>

#include "history/session_counts.h"
#include "history/session_history.h"

namespace mf {
namespace {

MarrowfieldEvent event(EventType type, std::string source, bool noise = false) {
  return MarrowfieldEvent{Uuid{}, 0, type, std::move(source), "m", noise};
}

TEST(SessionCounts, RoutineNoiseCountsNowhereAndSuccessIsNoProblem) {
  EventList events = EventList::fromVector({
      event(EventType::warning, "CONSOLE", true),
      event(EventType::error, "CONSOLE", true),
  });
  SessionCounts counts = countSession(events);
  EXPECT_EQ(counts.actionable, 0u);
  EXPECT_EQ(counts.errors, 0u);
  EXPECT_EQ(counts.warnings, 0u);
  EXPECT_TRUE(counts.isClean());

  events.append(event(EventType::error, "CRASH"));
  events.append(event(EventType::warning, "LOG"));
  events.append(event(EventType::warning, "LOG"));
  events.append(event(EventType::success, "PROCESS"));
  events.append(event(EventType::info, "PROCESS"));
  counts = countSession(events);
  EXPECT_EQ(counts.actionable, 5u);
  EXPECT_EQ(counts.errors, 1u);
  EXPECT_EQ(counts.warnings, 2u);
  EXPECT_FALSE(counts.isClean());
  events = EventList::fromVector({event(EventType::warning, "LOG")});
  EXPECT_FALSE(countSession(events).isClean()) << "a warning alone is not clean";
}

TEST(SessionHistory, TheNewestFirstAndEightAtMost) {
  std::vector<LaunchSession> sessions;
  for (int i = 0; i < 10; ++i) {
    LaunchSession session;
    session.appName = std::to_string(i);
    addToSessionHistory(sessions, std::move(session));
    ASSERT_EQ(sessions.size(), std::min<std::size_t>(i + 1, kSessionHistoryLimit));
    EXPECT_EQ(sessions.front().appName, std::to_string(i));
  }
  EXPECT_EQ(kSessionHistoryLimit, 8u);
  EXPECT_EQ(sessions.back().appName, "2");
}

}  // namespace
}  // namespace mf
