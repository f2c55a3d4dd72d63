// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "content_view_fixture.h"
#include "export/summary.h"
#include "model/time_text.h"
#include "history/session_counts.h"

namespace mf::testing {
namespace {

using Strings = std::vector<std::string>;

// Times print in local time; the tests pin the zone so the texts are exact.
class UtcEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};
const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

MarrowfieldEvent event(EventType type, std::string source, std::string message, bool noise = false,
                       double time = 1'700'000'000.0) {
  static std::uint8_t counter = 0;
  std::array<std::uint8_t, 16> bytes{};
  bytes[0] = ++counter;
  return MarrowfieldEvent{Uuid::fromRandomBytes(bytes), time, type, std::move(source), std::move(message), noise};
}

TEST(Summary, TimesLabelsAndLines) {
  EXPECT_EQ(formatTime(1'700'000'000.0), "22:13:20");
  EXPECT_EQ(formatTime(1'700'000'000.999), "22:13:20");
  EXPECT_EQ(formatTime(0.0), "00:00:00");

  EventList events = EventList::fromVector({
      event(EventType::warning, "FILE", "no such file: a.cfg"),
      event(EventType::success, "PROCESS", "X launched with PID 1"),
      event(EventType::error, "CONSOLE", "tab\there [brackets] kept"),
  });
  EXPECT_EQ(summaryEventLine(events[0]), "[22:13:20] [WARN] [FILE] no such file: a.cfg");
  EXPECT_EQ(singleEventText(events[1]), "[22:13:20] [OK] [PROCESS]\nX launched with PID 1");
  EXPECT_EQ(singleEventText(events[2]), "[22:13:20] [ERROR] [CONSOLE]\ntab\there [brackets] kept");

  const SummaryHeader full{"X", std::string("/opt/X.desktop"), "org.example.X", false};
  EXPECT_EQ(buildSummary(full, events, {0, 2}),
            "Marrowfield Diagnostic Summary\n"
            "App: X\n"
            "Path: /opt/X.desktop\n"
            "Bundle ID: org.example.X\n"
            "Mode: Actionable\n"
            "\n"
            "[22:13:20] [WARN] [FILE] no such file: a.cfg\n"
            "[22:13:20] [ERROR] [CONSOLE] tab\there [brackets] kept");
  const SummaryHeader bare{"X", std::nullopt, "", true};
  EXPECT_EQ(buildSummary(bare, events, {}),
            "Marrowfield Diagnostic Summary\nApp: X\nMode: Raw Log\n");
}

TEST(SessionCounts, RoutineNoiseCountsNowhere) {
  EventList events = EventList::fromVector({
      event(EventType::warning, "CONSOLE", "w", true),
      event(EventType::warning, "CONSOLE", "w", true),
      event(EventType::error, "CONSOLE", "e", true),
  });
  SessionCounts counts = countSession(events);
  EXPECT_EQ(counts.actionable, 0u);
  EXPECT_EQ(counts.errors, 0u);
  EXPECT_EQ(counts.warnings, 0u);
  EXPECT_TRUE(counts.isClean());

  events.append(event(EventType::error, "CRASH", "x crashed"));
  events.append(event(EventType::warning, "LOG", "Could not arm"));
  events.append(event(EventType::success, "PROCESS", "ok"));
  counts = countSession(events);
  EXPECT_EQ(counts.actionable, 3u);
  EXPECT_EQ(counts.errors, 1u);
  EXPECT_EQ(counts.warnings, 1u);
  EXPECT_FALSE(counts.isClean());
}

TEST_F(ContentViewTest, CopySummaryPutsTheVisibleListOnThePasteboard) {
  fakes.clock.current = 1'700'000'000.0;
  startTracing();
  pushLog({"routine chatter", "warning: low disk"});
  fakes.mainQueue.runAll();
  view->copySummary();
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::summaryCopied, {}, 0}));
  ASSERT_TRUE(fakes.pasteboard.contents);
  EXPECT_EQ(*fakes.pasteboard.contents,
            "Marrowfield Diagnostic Summary\n"
            "App: X\n"
            "Path: /opt/apps/X.desktop\n"
            "Bundle ID: org.example.X\n"
            "Mode: Actionable\n"
            "\n"
            "[22:13:20] [INFO] [SESSION] Launch trace started for X\n"
            "[22:13:20] [INFO] [LOG] Unified log stream armed for process X\n"
            "[22:13:20] [OK] [PROCESS] X launched with PID 4242\n"
            "[22:13:20] [INFO] [PATH] /opt/apps/X.desktop\n"
            "[22:13:20] [WARN] [CONSOLE] warning: low disk");
  EXPECT_EQ(view->summaryText(), *fakes.pasteboard.contents);

  view->setShowRawLog(true);
  view->setSearchText("disk");
  EXPECT_EQ(view->summaryText(),
            "Marrowfield Diagnostic Summary\nApp: X\nPath: /opt/apps/X.desktop\nBundle ID: org.example.X\n"
            "Mode: Raw Log\n\n[22:13:20] [WARN] [CONSOLE] warning: low disk");
  EXPECT_TRUE(view->isTracing()) << "copying does not touch the trace";
}

TEST_F(ContentViewTest, CopySelectedEventFindsItEvenWhenHidden) {
  startTracing();
  view->copySelectedEvent();  // nothing selected: nothing at all happens
  EXPECT_EQ(fakes.pasteboard.writes, 0);
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::tracing, {}, 4242}));

  pushLog({"error: cannot bind port"});
  fakes.mainQueue.runAll();
  const Uuid errorId = *view->events()[view->events().size() - 1].id;
  view->selectEvent(errorId);
  view->setSearchText("something else entirely");
  EXPECT_EQ(view->eventCount(), 0u);
  ASSERT_TRUE(view->selectedEvent());
  EXPECT_EQ(view->selectedEvent()->message, "error: cannot bind port");
  view->copySelectedEvent();
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::eventCopied, {}, 0}));
  EXPECT_EQ(*fakes.pasteboard.contents, "[22:13:20] [ERROR] [CONSOLE]\nerror: cannot bind port");

  // A selection whose event is gone (the view was cleared) copies nothing.
  view->selectEvent(errorId);
  view->clearTraceView();
  view->selectEvent(errorId);
  const int writes = fakes.pasteboard.writes;
  view->copySelectedEvent();
  EXPECT_EQ(fakes.pasteboard.writes, writes);
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::ready, {}, 0}));
}

TEST_F(ContentViewTest, HistoryKeepsTheNewestEight) {
  choose();
  std::vector<Uuid> recorded;
  for (int i = 0; i < 9; ++i) {
    startTracing(100 + i);
    view->stopTrace(true);
    recorded.push_back(view->sessions().front().id);
  }
  ASSERT_EQ(view->sessions().size(), 8u);
  EXPECT_EQ(view->sessions().front().id, recorded.back());
  EXPECT_EQ(view->sessions().back().id, recorded[1]);
  for (const auto& session : view->sessions()) EXPECT_NE(session.id, recorded[0]);
  // The finished trace stays on screen, its session selected but not viewed.
  EXPECT_EQ(events().back(), "INFO SESSION Trace stopped");
  EXPECT_EQ(view->selectedSessionID(), recorded.back());
  EXPECT_FALSE(view->viewingSavedSession());
  EXPECT_EQ(view->sessions().front().appName, "X");
  EXPECT_EQ(view->sessions().front().appURL, kAppPath);
  EXPECT_EQ(describe(view->sessions().front().events).at(2), "OK PROCESS X launched with PID 108");
}

TEST_F(ContentViewTest, RecordingWithoutATargetDoesNothing) {
  view->appendEvent(EventType::info, "SESSION", "orphan");
  changes.clear();
  view->recordSession();
  EXPECT_TRUE(view->sessions().empty());
  EXPECT_TRUE(changes.empty());
}

TEST_F(ContentViewTest, OpeningTheOldestOfEightWhileTracing) {
  for (int i = 0; i < 8; ++i) {
    choose("/opt/apps/App" + std::to_string(i) + ".desktop", "org.example.App" + std::to_string(i));
    startTracing(200 + i);
    view->stopTrace(true);
  }
  choose();
  startTracing(300);
  pushLog({"error: running trace"});
  fakes.mainQueue.runAll();
  ASSERT_EQ(view->sessions().size(), 8u);
  // The card holds a reference into the history: the recording of the running
  // trace drops that very entry.
  const LaunchSession& oldest = view->sessions().back();
  const Uuid oldestId = oldest.id;
  const Strings oldestEvents = describe(oldest.events);
  fakes.workspace.bundleIds.erase("/opt/apps/App0.desktop");  // the application is gone since

  view->openSavedSession(oldest);

  ASSERT_EQ(view->sessions().size(), 8u);
  EXPECT_EQ(describe(view->sessions().front().events).back(), "INFO SESSION Trace stopped");
  EXPECT_EQ(describe(view->sessions().front().events).at(4), "ERROR CONSOLE error: running trace");
  for (const auto& session : view->sessions()) EXPECT_NE(session.id, oldestId);
  EXPECT_EQ(events(), oldestEvents);
  EXPECT_EQ(view->selectedSessionID(), oldestId) << "selected, yet no card shows it";
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::viewingSavedSession, {}, 0}));
  EXPECT_EQ(view->selectedAppName(), "App0");
  EXPECT_EQ(view->selectedAppURL(), "/opt/apps/App0.desktop");
  EXPECT_EQ(view->selectedBundleIdentifier(), "");
  EXPECT_FALSE(view->isTracing());
}

TEST_F(ContentViewTest, BrowsingSavedSessions) {
  startTracing();
  pushLog({"error: first trace"});
  fakes.mainQueue.runAll();
  view->stopTrace(true);
  view->selectEvent(*view->events()[0].id);
  view->setSearchText("first");
  const LaunchSession saved = view->sessions()[0];

  view->openSavedSession(saved);
  EXPECT_EQ(view->searchText(), "");
  EXPECT_FALSE(view->selectedEventID());
  EXPECT_EQ(view->selectedBundleIdentifier(), kBundleId);
  EXPECT_EQ(view->eventCount(), view->events().size());

  // A choice while viewing keeps the saved session on screen.
  choose("/opt/bin/other", "");
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(view->events().size(), saved.events.size());

  view->returnToCurrentTrace();
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession());
  EXPECT_FALSE(view->selectedSessionID());
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::ready, {}, 0}));
  EXPECT_EQ(view->selectedAppName(), "other");
  EXPECT_EQ(view->sessions().size(), 1u);

  // Clear while tracing records first.
  startTracing();
  view->clearTraceView();
  EXPECT_EQ(view->sessions().size(), 2u);
  EXPECT_EQ(describe(view->sessions()[0].events).back(), "INFO SESSION Trace stopped");
  EXPECT_TRUE(view->events().empty());
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::ready, {}, 0}));
  EXPECT_FALSE(view->isTracing());
}

TEST_F(ContentViewTest, ClearHistoryInBothViewStates) {
  startTracing();
  view->stopTrace(true);
  view->setSearchText("keep me");
  const auto liveEvents = events();
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty());
  EXPECT_FALSE(view->selectedSessionID());
  EXPECT_EQ(events(), liveEvents);
  EXPECT_EQ(view->searchText(), "keep me");
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::ready, {}, 0}));

  startTracing();
  view->stopTrace(true);
  view->openSavedSession(view->sessions()[0]);
  view->setSearchText("still here");
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty());
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession());
  EXPECT_EQ(view->status(), (TraceStatus{TraceStatus::Kind::ready, {}, 0}));
  EXPECT_EQ(view->searchText(), "still here");

  // A running trace is left alone.
  startTracing();
  view->clearHistory();
  EXPECT_TRUE(view->isTracing());
  EXPECT_FALSE(view->events().empty());
}

TEST_F(ContentViewTest, SessionSnapshotsDoNotSeeLaterChanges) {
  startTracing();
  view->stopTrace(true);
  const std::size_t recorded = view->sessions()[0].events.size();
  for (int i = 0; i < 5; ++i) view->appendEvent(EventType::info, "SESSION", "later");
  EXPECT_EQ(view->sessions()[0].events.size(), recorded);
  view->openSavedSession(view->sessions()[0]);
  view->appendEvent(EventType::info, "SESSION", "while viewing");
  EXPECT_EQ(view->sessions()[0].events.size(), recorded);
  EXPECT_EQ(view->events().size(), recorded + 1);
}

}  // namespace
}  // namespace mf::testing
