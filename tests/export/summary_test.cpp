// SPDX-License-Identifier: GPL-3.0-or-later
// The summary a user pastes into a bug report, and the text of one event.
#include "export/summary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace mf {
namespace {

MarrowfieldEvent event(EventType type, std::string source, std::string message, double time = 1'700'000'000.0) {
  return MarrowfieldEvent{Uuid{}, time, type, std::move(source), std::move(message), false};
}

TEST(Summary, HeaderLinesAndEventTexts) {
  // Times print in local time; the zone is pinned so the texts are exact.
  setenv("TZ", "UTC", 1);
  tzset();
  // The last source is as long as a program's journal identifier may be.
  EventList events = EventList::fromVector({
      event(EventType::warning, "FILE", "no such file: a.cfg"),
      event(EventType::success, "PROCESS", "X launched with PID 1", 1'700'000'000.999),
      event(EventType::error, "gnome-calculator-search-provider", "tab\there [brackets] kept", 0.0)});
  EXPECT_EQ(summaryEventLine(events[0]), "[22:13:20] [WARN] [FILE] no such file: a.cfg");
  EXPECT_EQ(singleEventText(events[1]), "[22:13:20] [OK] [PROCESS]\nX launched with PID 1");
  EXPECT_EQ(singleEventText(events[2]), "[00:00:00] [ERROR] [gnome-calculator-search-provider]\ntab\there [brackets] kept");

  const SummaryHeader full{"X", std::string("/opt/X.desktop"), "org.example.X", false};
  EXPECT_EQ(buildSummary(full, events, {0, 2}),
            "Marrowfield Diagnostic Summary\nApp: X\nPath: /opt/X.desktop\nBundle ID: org.example.X\n"
            "Mode: Actionable\n\n[22:13:20] [WARN] [FILE] no such file: a.cfg\n"
            "[00:00:00] [ERROR] [gnome-calculator-search-provider] tab\there [brackets] kept");
  const SummaryHeader bare{"X", std::nullopt, "", true};
  EXPECT_EQ(buildSummary(bare, events, {}), "Marrowfield Diagnostic Summary\nApp: X\nMode: Raw Log\n");
}

}  // namespace
}  // namespace mf
