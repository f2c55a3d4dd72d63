// SPDX-License-Identifier: GPL-3.0-or-later
// The history of one window, browsing it, and the copies to the pasteboard.
// The summary's own text is export's (tests/export); the cap on the history
// is history's (tests/history).
#include <gtest/gtest.h>

#include "content_view_fixture.h"

namespace mf::testing {
namespace {

TEST_F(ContentViewTest, CopiesPutTheVisibleListOrTheSelectedEventOnThePasteboard) {
  startTracing();
  view->copySelectedEvent();  // nothing selected: nothing at all happens
  EXPECT_EQ(fakes.pasteboard.writes, 0);
  EXPECT_EQ(status(), "Tracing PID 4242");
  pushLog({"routine chatter", "warning: low disk"});
  view->copySummary();
  EXPECT_EQ(status(), "Summary copied");
  ASSERT_TRUE(fakes.pasteboard.contents);
  const std::string copied = *fakes.pasteboard.contents;
  EXPECT_EQ(copied, view->summaryText());
  EXPECT_TRUE(copied.ends_with("] [WARN] [CONSOLE] warning: low disk")) << copied;
  EXPECT_EQ(copied.find("chatter"), std::string::npos);
  EXPECT_TRUE(view->isTracing()) << "copying does not touch the trace";

  // The selected event is found even when the filter hides it.
  const Uuid warningId = *view->events()[view->events().size() - 1].id;
  view->selectEvent(warningId);
  view->setSearchText("something else entirely");
  view->copySelectedEvent();
  EXPECT_EQ(status(), "Event copied");
  EXPECT_TRUE(fakes.pasteboard.contents->ends_with("] [WARN] [CONSOLE]\nwarning: low disk"));
  // A selection whose event is gone (the view was cleared) copies nothing.
  view->clearTraceView();
  view->selectEvent(warningId);
  view->copySelectedEvent();
  EXPECT_EQ(fakes.pasteboard.writes, 2);
  EXPECT_EQ(status(), "Ready");
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
  // The card holds a reference into the history: the recording of the running
  // trace drops that very entry.
  const LaunchSession& oldest = view->sessions().back();
  const Uuid oldestId = oldest.id;
  const Strings oldestEvents = describe(oldest.events);
  fakes.workspace.bundleIds.erase("/opt/apps/App0.desktop");  // the application is gone since
  view->openSavedSession(oldest);
  ASSERT_EQ(view->sessions().size(), 8u);
  const Strings newest = describe(view->sessions().front().events);
  EXPECT_EQ(newest.at(4), "ERROR CONSOLE error: running trace") << "newest first";
  EXPECT_EQ(newest.back(), "INFO SESSION Trace stopped");
  for (const auto& session : view->sessions()) EXPECT_NE(session.id, oldestId);
  EXPECT_EQ(events(), oldestEvents);
  EXPECT_EQ(view->selectedSessionID(), oldestId) << "selected, yet no card shows it";
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(status(), "Viewing saved session");
  EXPECT_EQ(view->selectedAppName(), "App0");
  EXPECT_EQ(view->selectedAppURL(), "/opt/apps/App0.desktop");
  EXPECT_EQ(view->summaryText().find("Bundle ID:"), std::string::npos);
}

TEST_F(ContentViewTest, BrowsingSavedSessionsAndClearingTheHistory) {
  startTracing();
  pushLog({"error: first trace"});
  view->stopTrace(true);
  view->selectEvent(*view->events()[0].id);
  view->setSearchText("first");
  // Live: clearing the history leaves the list and the search.
  const LaunchSession saved = view->sessions()[0];
  const Strings live = events();
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty());
  EXPECT_FALSE(view->selectedSessionID());
  EXPECT_EQ(events(), live);
  EXPECT_EQ(view->searchText(), "first");
  // Opened, a saved session starts unfiltered and unselected.
  view->openSavedSession(saved);
  EXPECT_EQ(view->searchText(), "");
  EXPECT_FALSE(view->selectedEventID());
  EXPECT_NE(view->summaryText().find("\nBundle ID: org.example.X\n"), std::string::npos);
  // A choice while viewing keeps the saved session on screen.
  choose("/opt/bin/other", "");
  EXPECT_TRUE(view->viewingSavedSession());
  EXPECT_EQ(events(), describe(saved.events));
  view->returnToCurrentTrace();
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession() || view->selectedSessionID());
  EXPECT_EQ(status(), "Ready");
  EXPECT_EQ(view->selectedAppName(), "other");

  // A start from a saved session returns to the live view.
  view->openSavedSession(saved);
  startTracing();
  EXPECT_FALSE(view->viewingSavedSession() || view->selectedSessionID());
  EXPECT_EQ(events().front(), "INFO SESSION Launch trace started for X");
  // Clear while tracing records first; clearing the history while viewing a
  // saved session empties the view too; a running trace is left alone.
  view->clearTraceView();
  EXPECT_EQ(describe(view->sessions().at(0).events).back(), "INFO SESSION Trace stopped");
  EXPECT_TRUE(view->events().empty());
  EXPECT_FALSE(view->isTracing());
  view->openSavedSession(view->sessions()[0]);
  view->clearHistory();
  EXPECT_TRUE(view->sessions().empty() && view->events().empty());
  EXPECT_FALSE(view->viewingSavedSession());
  EXPECT_EQ(status(), "Ready");
  startTracing();
  view->clearHistory();
  EXPECT_TRUE(view->isTracing());
  EXPECT_FALSE(view->events().empty());
}

}  // namespace
}  // namespace mf::testing
