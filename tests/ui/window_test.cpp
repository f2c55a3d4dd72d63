// SPDX-License-Identifier: GPL-3.0-or-later
// The window's state tables, driven through the real widgets.

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QScrollBar>

#include "model/time_text.h"
#include "ui/glyphs.h"
#include "ui/tokens.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

using ui::colors::cyan;
using ui::colors::green;
using ui::colors::orange;
using ui::colors::red;
using ui::colors::secondary;
using ui::colors::white;

constexpr const char* kApp = "/opt/demo/Demo.desktop";
constexpr const char* kNoise = "cfprefsd loading preferences from user";

TEST(WindowStates, NewWindowShowsTheInitialStateEverywhere) {
  Harness h;
  auto& pane = h.pane();
  // The words a new user reads first, where the views put them.
  const std::pair<QString, const char*> texts[] = {
      {h.top().statusLabel()->text(), "Ready"},
      {h.top().copySummaryButton()->label(), "Copy Summary"},
      {pane.launchButton()->text(), " Launch && Trace"},  // shown as written, not as a mnemonic
      {h.side().clearHistoryButton()->accessibleName(), "Clear launch history"},
      {pane.clearButton()->accessibleName(), "Clear view"},  // told apart from the history's
      {h.side().targetName()->text(), "Choose an app"},
      {pane.currentButton()->toolTip(), "Leave saved history and return to the current trace view"},
      {pane.searchField()->placeholderText(), "Search diagnostics"},
      {pane.rawLogSwitch()->toolTip(), "Show every captured unified-log event"},
      {pane.freshLaunchSwitch()->toolTip(), "Quit an already-running target before tracing"},
      {pane.modeLabel()->text(), "ACTIONABLE"},
      {pane.suppressedLabel()->text(), "0 raw events suppressed"},
      {pane.countLabel()->text(), "0 events"},
      {pane.emptyState()->title(), "No actionable diagnostics"},
      {pane.emptyState()->explanation(), "Only actionable or app-authored events are shown."},
      {h.detail().copyButton()->toolTip(), "Copy selected event"},
  };
  for (const auto& [shown, expected] : texts) EXPECT_EQ(shown, QString::fromUtf8(expected));
  EXPECT_EQ(h.top().statusDot()->color(), secondary(0.5));
  EXPECT_FALSE(h.top().savedSessionGlyph()->isVisible());
  EXPECT_FALSE(h.top().copySummaryButton()->isEnabled());
  EXPECT_FALSE(h.side().clearHistoryButton()->isEnabled());
  EXPECT_TRUE(h.side().emptyHistoryCard()->isVisible());
  EXPECT_FALSE(h.side().targetPath()->isVisible());
  EXPECT_TRUE(pane.launchButton()->isEnabled());
  EXPECT_FALSE(pane.stopButton()->isEnabled());
  EXPECT_FALSE(pane.currentButton()->isVisible());
  // Narrowed so the buttons keep their labels beside it on one row.
  EXPECT_GE(pane.searchField()->width(), 160);
  EXPECT_LE(pane.searchField()->width(), 240);
  EXPECT_FALSE(pane.rawLogSwitch()->toggle()->isChecked());
  EXPECT_TRUE(pane.freshLaunchSwitch()->toggle()->isChecked());
  EXPECT_EQ(pane.emptyState()->glyph(), "checkmark.shield");
  EXPECT_TRUE(h.detail().isShowingEmptyState());
  EXPECT_FALSE(h.detail().copyButton()->isEnabled());

  // The raw-log switch flips the empty state, hides the suppressed counter, keeps 0 events.
  Harness::click(pane.rawLogSwitch()->toggle());
  EXPECT_TRUE(h.content->showRawLog());
  EXPECT_EQ(pane.modeLabel()->text(), "RAW LOG");
  EXPECT_EQ(pane.emptyState()->glyph(), "text.alignleft");
  EXPECT_EQ(pane.emptyState()->title(), "No log events yet");
  EXPECT_EQ(pane.emptyState()->explanation(), "Launch an app to capture its unified log.");
  EXPECT_FALSE(pane.suppressedLabel()->isVisible());
  Harness::click(pane.freshLaunchSwitch()->toggle());
  EXPECT_FALSE(h.content->freshLaunch());
}

TEST(WindowStates, TracingSwapsTheControlsAndTheDotFollowsIsTracing) {
  Harness h;
  h.choose(kApp, "org.example.Demo");
  EXPECT_EQ(h.side().targetName()->text(), "Demo");
  EXPECT_TRUE(h.side().targetPath()->isVisible());
  EXPECT_EQ(h.side().targetPath()->text(), kApp);
  EXPECT_EQ(h.top().statusLabel()->text(), "Ready to trace Demo");

  h.launch(4242);
  EXPECT_TRUE(h.content->isTracing());
  EXPECT_EQ(h.top().statusDot()->color(), green());
  EXPECT_EQ(h.top().statusLabel()->text(), "Tracing PID 4242");
  EXPECT_EQ(h.pane().launchButton()->label(), QString::fromUtf8("Tracing\u2026"));
  EXPECT_FALSE(h.pane().launchButton()->isEnabled());
  EXPECT_TRUE(h.pane().stopButton()->isEnabled());
  EXPECT_FALSE(h.pane().currentButton()->isVisible());
  // The trace's own steps are actionable: the summary can be copied already.
  EXPECT_TRUE(h.top().copySummaryButton()->isEnabled());

  // The target ends: the dot turns grey at once, whatever the status then says.
  h.fakes.workspace.terminate(4242);
  h.fakes.mainQueue.runAll();
  Harness::settle();
  EXPECT_FALSE(h.content->isTracing());
  EXPECT_EQ(h.top().statusLabel()->text(), "Process ended");
  EXPECT_EQ(h.top().statusDot()->color(), secondary(0.5));
  EXPECT_EQ(h.pane().launchButton()->label(), "Launch & Trace");
  EXPECT_TRUE(h.pane().launchButton()->isEnabled());
  EXPECT_FALSE(h.pane().stopButton()->isEnabled());
  ASSERT_EQ(h.side().cards().size(), 1u);
  EXPECT_TRUE(h.side().clearHistoryButton()->isEnabled());
  EXPECT_FALSE(h.side().emptyHistoryCard()->isVisible());
}

TEST(WindowStates, CountersAndCopySummaryFollowTheVisibleListNotTheStoredOne) {
  Harness h;
  h.choose(kApp);
  h.launch();
  const std::size_t ownSteps = h.content->eventCount();
  h.lines({kNoise, kNoise, kNoise});
  EXPECT_EQ(h.pane().suppressedLabel()->text(), "3 raw events suppressed");
  EXPECT_EQ(h.pane().countLabel()->text(), QString::number(ownSteps) + " events");

  // Only noise in the list: nothing actionable, the summary button stays off.
  h.content->setSearchText(kNoise);
  Harness::settle();
  EXPECT_EQ(h.pane().countLabel()->text(), "0 events");
  EXPECT_TRUE(h.pane().isShowingEmptyState());
  EXPECT_EQ(h.pane().emptyState()->title(), "No actionable diagnostics");
  EXPECT_FALSE(h.top().copySummaryButton()->isEnabled());
  Harness::click(h.pane().rawLogSwitch()->toggle());
  EXPECT_TRUE(h.top().copySummaryButton()->isEnabled());
  EXPECT_FALSE(h.pane().isShowingEmptyState());
  EXPECT_EQ(h.pane().countLabel()->text(), "3 events");
  Harness::click(h.pane().rawLogSwitch()->toggle());

  // Typing in the field searches, and leaves the suppressed count alone.
  h.pane().searchField()->clear();
  h.lines({"Error: disk full", "warning: low memory"});
  QTest::keyClicks(h.pane().searchField(), "WARN");
  Harness::settle();
  EXPECT_EQ(h.content->searchText(), "WARN");
  EXPECT_EQ(h.pane().countLabel()->text(), "1 events");
  EXPECT_FALSE(h.pane().isShowingEmptyState()) << "one event is a list, not the empty state";
  EXPECT_EQ(h.pane().suppressedLabel()->text(), "3 raw events suppressed");

  // Copy Summary puts exactly the summary of the visible list on the clipboard.
  Harness::click(h.top().copySummaryButton());
  EXPECT_EQ(h.top().statusLabel()->text(), "Summary copied");
  EXPECT_EQ(Harness::clipboardText().toStdString(), h.content->summaryText());
  EXPECT_TRUE(Harness::clipboardText().endsWith("] [WARN] [CONSOLE] warning: low memory"));

  h.content->clearTraceView();  // stops and records; the list is empty now
  Harness::settle();
  EXPECT_TRUE(h.pane().isShowingEmptyState());
  EXPECT_FALSE(h.top().copySummaryButton()->isEnabled());
}

TEST(SessionCards, CountersSelectionStylingAndSavedSessionBrowsing) {
  Harness h;
  h.choose(kApp);
  // Session 1: two errors, routine-noise warnings that do not count.
  h.launch(100);
  h.lines({"Error: disk full", "fatal error in main", "cfprefsd warning: noise"});
  h.stop();
  // Session 2: only info events, so "Clean".
  h.launch(200);
  h.lines({"hello from the app"});
  h.stop();

  const auto& cards = h.side().cards();
  ASSERT_EQ(cards.size(), 2u);
  // Newest first.
  ui::SessionCard* clean = cards[0];
  ui::SessionCard* failing = cards[1];
  ASSERT_EQ(clean->counters().size(), 1u);
  EXPECT_EQ(clean->counters()[0]->glyph(), "checkmark.circle.fill");
  EXPECT_EQ(clean->counters()[0]->text(), "Clean");
  EXPECT_EQ(clean->counters()[0]->color(), green());
  ASSERT_EQ(failing->counters().size(), 1u) << "errors only: no warning counter, no Clean";
  EXPECT_EQ(failing->counters()[0]->glyph(), "xmark.octagon.fill");
  EXPECT_EQ(failing->counters()[0]->text(), "2");
  EXPECT_EQ(failing->counters()[0]->color(), red());
  EXPECT_EQ(failing->appNameText(), "Demo");
  EXPECT_TRUE(failing->accessibleName().contains(", 2 errors, ")) << failing->accessibleName().toStdString();
  EXPECT_TRUE(clean->accessibleName().contains(" actionable, Clean, ")) << clean->accessibleName().toStdString();
  EXPECT_EQ(failing->countText(), QString::number(countSession(failing->session().events).actionable));
  EXPECT_FALSE(failing->timeText().isEmpty());
  for (auto* card : cards) EXPECT_FALSE(card->isSelected()) << "live view: no card highlighted";
  EXPECT_EQ(failing->fill(), white(0.035));
  EXPECT_EQ(failing->border(), white(0.05));

  // Open the older session: its card is highlighted, the status line marks it.
  Harness::click(failing);
  EXPECT_TRUE(h.content->viewingSavedSession());
  EXPECT_TRUE(failing->isSelected());
  EXPECT_EQ(failing->fill(), cyan(0.12));
  EXPECT_EQ(failing->border(), cyan(0.32));
  EXPECT_FALSE(clean->isSelected());
  EXPECT_TRUE(h.top().savedSessionGlyph()->isVisible());
  EXPECT_EQ(h.top().savedSessionGlyph()->glyph(), "clock.arrow.circlepath");
  EXPECT_EQ(h.top().savedSessionGlyph()->color(), cyan());
  EXPECT_EQ(h.top().statusLabel()->text(), "Viewing saved session");
  EXPECT_EQ(h.top().statusDot()->color(), secondary(0.5));
  EXPECT_TRUE(h.pane().currentButton()->isVisible());
  EXPECT_TRUE(h.pane().launchButton()->isEnabled());
  EXPECT_FALSE(h.pane().stopButton()->isEnabled());
  EXPECT_TRUE(h.top().copySummaryButton()->isEnabled());

  // "Current" leaves it: glyph, highlight and the button itself go.
  Harness::click(h.pane().currentButton());
  EXPECT_FALSE(h.content->viewingSavedSession());
  EXPECT_FALSE(h.pane().currentButton()->isVisible());
  EXPECT_FALSE(h.top().savedSessionGlyph()->isVisible());
  EXPECT_EQ(h.top().statusLabel()->text(), "Ready");
  for (auto* card : h.side().cards()) EXPECT_FALSE(card->isSelected());

  // Clearing the history asks first; "Cancel" (the default) keeps it.
  for (const char* answer : {"Cancel", "Clear History"}) {
    QString asked;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      asked = box->text();
      EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Cancel));
      for (QAbstractButton* button : box->buttons()) {
        if (button->text().remove(QLatin1Char('&')) == QLatin1String(answer)) button->click();
      }
    });
    Harness::click(h.side().clearHistoryButton());
    EXPECT_EQ(asked, "Clear 2 recorded sessions? This cannot be undone.");
    EXPECT_EQ(h.side().cards().size(), std::string_view(answer) == "Cancel" ? 2u : 0u) << answer;
  }
  EXPECT_TRUE(h.side().cards().empty());
  EXPECT_TRUE(h.side().emptyHistoryCard()->isVisible());
  EXPECT_FALSE(h.side().clearHistoryButton()->isEnabled());
}

TEST(DetailPane, ShowsFourOrFiveBlocksAndCopiesTheSelectedEvent) {
  Harness h;
  h.choose(kApp);
  h.launch();
  h.lines({"Error: disk full", kNoise});
  Harness::click(h.pane().rawLogSwitch()->toggle());

  auto& list = *h.pane().listView();
  const std::size_t errorRow = h.rowOf("Error: disk full");
  ASSERT_NE(errorRow, static_cast<std::size_t>(-1));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(static_cast<int>(errorRow)).center());
  Harness::settle();
  ASSERT_TRUE(h.content->selectedEventID());
  EXPECT_FALSE(h.detail().isShowingEmptyState());
  EXPECT_TRUE(h.detail().copyButton()->isEnabled());
  EXPECT_EQ(h.detail().fieldLabels(), QStringList({"TYPE", "SOURCE", "TIME", "MESSAGE"}));
  const auto event = *h.content->selectedEvent();
  EXPECT_EQ(h.detail().fieldValues(),
            QStringList({"ERROR", "CONSOLE", QString::fromStdString(formatTime(event.time)), "Error: disk full"}));

  Harness::click(h.detail().copyButton());
  EXPECT_EQ(h.top().statusLabel()->text(), "Event copied");
  EXPECT_EQ(Harness::clipboardText(), QString::fromStdString("[" + formatTime(event.time) + "] [ERROR] [CONSOLE]\nError: disk full"));

  // A routine-noise event has the fifth block.
  const std::size_t noiseRow = h.rowOf(kNoise);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(static_cast<int>(noiseRow)).center());
  Harness::settle();
  EXPECT_EQ(h.detail().fieldLabels(), QStringList({"TYPE", "SOURCE", "TIME", "MESSAGE", "VISIBILITY"}));
  EXPECT_EQ(h.detail().fieldValues().back(), "Raw-log-only system/framework event");

  // Hidden by the filter: no row highlighted, yet the pane and its copy button stay.
  Harness::click(h.pane().rawLogSwitch()->toggle());
  EXPECT_TRUE(h.content->selectedEventID());
  EXPECT_FALSE(list.selectedRow().has_value());
  EXPECT_FALSE(h.detail().isShowingEmptyState());
  EXPECT_TRUE(h.detail().copyButton()->isEnabled());
  Harness::click(h.pane().rawLogSwitch()->toggle());
  EXPECT_EQ(list.selectedRow(), std::optional<int>(static_cast<int>(noiseRow)));

  // A selection that matches nothing any more (the list was replaced) shows the empty state.
  Harness::click(h.pane().clearButton());
  EXPECT_TRUE(h.detail().isShowingEmptyState());
  EXPECT_FALSE(h.detail().copyButton()->isEnabled());
}

TEST(DetailPane, AMegabyteMessageShowsItsStartAndCopiesWhole) {
  Harness h;
  h.choose(kApp);
  h.launch();
  std::string huge = "Error: ";
  while (huge.size() < 1024 * 1024) huge += "segment-" + std::to_string(huge.size()) + " ";
  huge += "END";
  h.lines({huge});
  auto& list = *h.pane().listView();
  const auto row = static_cast<int>(h.rowOf(huge));
  ASSERT_GE(row, 0);
  list.scrollToRow(row);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(row).center());
  Harness::settle();
  const QStringList values = h.detail().fieldValues();
  ASSERT_EQ(values.size(), 4);
  EXPECT_EQ(values[3].size(), 64 * 1024);
  EXPECT_TRUE(QString::fromStdString(huge).startsWith(values[3]));
  auto* note = h.detail().findChild<QLabel*>("detailCutNote");
  ASSERT_NE(note, nullptr);
  EXPECT_TRUE(note->isVisible());
  Harness::click(h.detail().copyButton());
  const std::string copied = Harness::clipboardText().toStdString();
  ASSERT_GT(copied.size(), huge.size());
  EXPECT_EQ(copied.substr(copied.size() - huge.size() - 1), "\n" + huge) << "the copy carries the whole message";

  // One character past the bound is cut too.
  h.lines({"Error: " + std::string(64 * 1024 - 6, 'y')});
  h.content->selectEvent(*h.content->events()[h.content->events().size() - 1].id);
  Harness::settle();
  EXPECT_EQ(h.detail().fieldValues().value(3).size(), 64 * 1024);
}

TEST(Keyboard, ArrowsFindCopyAndEscape) {
  Harness h;
  h.choose(kApp);
  h.launch();
  // Warnings, so that they are listed by default.
  h.lines({"warning: first line", "warning: second line", "warning: third line"});
  auto& list = *h.pane().listView();
  list.setFocus();
  ASSERT_TRUE(waitUntil([&] { return list.hasFocus(); }));

  QTest::keyClick(&list, Qt::Key_Home);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(0));
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(1));
  QTest::keyClick(&list, Qt::Key_End);
  const int last = list.rowCount() - 1;
  EXPECT_EQ(list.selectedRow(), std::optional<int>(last));
  EXPECT_EQ(h.content->selectedEvent()->message, "warning: third line");
  QTest::keyClick(&list, Qt::Key_Up);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(last - 1));
  const auto selected = h.content->selectedEvent();
  ASSERT_TRUE(selected);
  EXPECT_EQ(selected->message, "warning: second line");

  // Ctrl+C in the list copies the selected event.
  QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(h.top().statusLabel()->text(), "Event copied");
  EXPECT_TRUE(Harness::clipboardText().endsWith("]\nwarning: second line"));

  // Ctrl+F goes to the search field; Escape there empties it.
  QTest::keyClick(h.window.get(), Qt::Key_F, Qt::ControlModifier);
  ASSERT_TRUE(waitUntil([&] { return h.pane().searchField()->hasFocus(); }));
  QTest::keyClicks(h.pane().searchField(), "third");
  EXPECT_EQ(h.content->eventCount(), 1u);
  QTest::keyClick(h.pane().searchField(), Qt::Key_Escape);
  EXPECT_EQ(h.pane().searchField()->text(), "");
  EXPECT_EQ(h.content->searchText(), "");

  // A search typed elsewhere (a saved session opened) empties the field too.
  QTest::keyClicks(h.pane().searchField(), "line");
  h.stop();
  Harness::click(h.side().cards()[0]);
  EXPECT_EQ(h.pane().searchField()->text(), "");
}

TEST(WindowLifecycle, ClosingTheWindowStopsTheTraceWithoutRecordingIt) {
  Harness h;
  h.choose(kApp);
  h.launch();
  auto process = h.fakes.logStreams.lastProcess();
  ASSERT_TRUE(process->running);
  h.window->close();
  Harness::settle();
  EXPECT_FALSE(h.content->isTracing());
  EXPECT_TRUE(h.content->sessions().empty());
  EXPECT_FALSE(process->running);
}

TEST(WindowLifecycle, AClosePressedDuringTheStartsWaitIsDeferredUntilTheStartReturns) {
  Harness h;
  h.choose(kApp);
  bool closedDuringWait = false;
  // The waits of a start run the event loop; a window-manager close arriving
  // there must not tear the trace down under startTrace.
  h.fakes.mainQueue.onWait = [&](double) {
    if (closedDuringWait) return;
    closedDuringWait = true;
    h.window->close();
    EXPECT_TRUE(h.window->isVisible());
  };
  Harness::click(h.pane().launchButton());
  EXPECT_TRUE(closedDuringWait);
  ASSERT_TRUE(waitUntil([&] { return !h.window->isVisible(); }));
  EXPECT_FALSE(h.content->isTracing());
  EXPECT_TRUE(h.content->sessions().empty()) << "closing never records the trace";
  EXPECT_FALSE(h.fakes.logStreams.lastProcess()->running);
}

TEST(WindowLifecycle, ResizingChangesOnlyTheEventPaneAndSideColumnsCollapse) {
  // A small screen starts with a narrower sidebar and the detail pane folded;
  // the user's sizes stand after that.
  Harness h(QSize(1000, 680));
  EXPECT_EQ(h.window->width(), 1000);
  const int paneBefore = h.pane().width();
  EXPECT_EQ(paneBefore, 1000 - 190 - 2);
  EXPECT_FALSE(h.top().detailToggle()->isChecked());
  h.window->resize(1400, 900);
  Harness::settle();
  EXPECT_EQ(h.side().width(), 190);
  EXPECT_EQ(h.pane().width(), paneBefore + 400);
  // Hidden, a column gives its width to the messages; shown, it comes back as
  // it was, the folded detail pane at its narrow width.
  h.window->setSidebarShown(false);
  Harness::settle();
  EXPECT_EQ(h.pane().width(), paneBefore + 400 + 190);
  EXPECT_FALSE(h.top().sidebarToggle()->isChecked());
  h.window->setSidebarShown(true);
  h.window->setDetailShown(true);
  Harness::settle();
  EXPECT_EQ(h.side().width(), 190);
  EXPECT_EQ(h.detail().width(), 250);
  EXPECT_EQ(h.pane().width(), paneBefore + 400 - 250);
  EXPECT_TRUE(h.top().detailToggle()->isChecked());
}

TEST(Glyphs, EveryNamedGlyphDrawsVisiblePixels) {
  application();
  for (const QString& name : ui::glyphNames()) {
    const QImage image = ui::glyphPixmap(name, 24, Qt::white).toImage();
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128;
    EXPECT_GT(opaque, 20) << name.toStdString();
  }
  EXPECT_EQ(ui::glyphNames().size(), 19);
}

}  // namespace
}  // namespace mf::uitest
