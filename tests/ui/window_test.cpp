// SPDX-License-Identifier: GPL-3.0-or-later
// The window driven through the real widgets: its states (the switches, the
// session cards, the detail pane, launch options, closing), the event list
// as the user meets it (the rows it shows and reads to a screen reader while
// the list grows, refilters and resets, selection and scrolling),
// and the main-thread queue and its nested wait (the clipboard is the real
// one the harness uses); where things land: layout_test.cpp. The
// texts of the trace's statuses and events are the core's (tests/trace);
// here, that the widgets show them. The keyboard, the chooser and what a
// reader hears on the real accessibility bus: the real-X journey (tests/gui).

#include <gtest/gtest.h>

#include <QAccessible>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <thread>
#include <tuple>

#include "model/time_text.h"
#include "trace/remote_trace.h"
#include "support/cases.h"
#include "ui/glyphs.h"
#include "ui/launch_options.h"
#include "ui/tokens.h"
#include "ui/widgets.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

namespace colors = ui::colors;
constexpr const char* kNoise = "cfprefsd loading preferences from user";

// What each state shows (controls, marks, texts, colours, cards):
// tests/ui/layout_test.cpp. Here, what the switches do to the trace, what a
// reader is told, and clearing the history.
TEST(WindowStates, SwitchesTheStatusBarCardDescriptionsAndClearingTheHistory) {
  Harness h;
  Harness::click(h.pane().freshLaunchSwitch()->toggle());
  EXPECT_FALSE(h.content->freshLaunch());
  h.choose(kApp, "org.example.Demo");
  h.launch(100);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(h.top().findChild<QWidget*>("statusText"))->role(), QAccessible::StatusBar);
  h.lines({"Error: disk full", "fatal error in main", "warning: low memory", "cfprefsd warning: noise"});
  h.stop();
  h.launch(200);
  h.stop();
  EXPECT_FALSE(h.side().cards().at(1)->accessibleDescription().contains(QLatin1Char('<'))) << "plain text, not markup";
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
    // Return and Space both press a focused button.
    const Qt::Key press = std::string_view(answer) == "Cancel" ? Qt::Key_Return : Qt::Key_Space;
    QTest::keyClick(h.side().findChild<QWidget*>("clearHistoryButton"), press);
    EXPECT_EQ(asked, "Clear 2 recorded sessions? This cannot be undone.");
    EXPECT_EQ(h.side().cards().size(), std::string_view(answer) == "Cancel" ? 2u : 0u) << answer;
  }
}

// How a trace ended, at a glance (tag and colour) and in full.
TEST(SessionCards, EachEndReadsDifferentlyAtAGlanceAndInFull) {
  application();
  const std::tuple<TraceOutcome, QString, QColor, QString> outcomes[] = {
      {{TraceOutcome::Kind::crashed, SIGSEGV}, "SIGSEGV", colors::red(), "Crashed: killed by signal 11 (SIGSEGV)"},
      {{TraceOutcome::Kind::killed, SIGKILL}, "SIGKILL", colors::orange(), "Killed by signal 9 (SIGKILL)"},
      {{TraceOutcome::Kind::exited, 3}, "exit 3", colors::orange(), "Exited with status 3"},
      {{TraceOutcome::Kind::exited, 0}, "exit 0", colors::green(), "Exited normally (status 0)"},
      {{TraceOutcome::Kind::handedOff, 4321}, "handed off", colors::cyan(), "Handed off to the running instance, PID 4321"},
      {{TraceOutcome::Kind::stopped, 0}, "stopped", colors::secondary(), "Stopped while running"},
      {{TraceOutcome::Kind::launchFailed, 0}, "not launched", colors::red(), "Launch failed"}};
  for (const auto& [outcome, tag, color, description] : outcomes) {
    LaunchSession session;
    session.outcome = outcome;
    ui::SessionCard card(session, QString());
    EXPECT_EQ(ui::outcomeLook(outcome).color, color) << tag.toStdString();
    EXPECT_EQ(card.findChild<QLabel*>("outcomeBadge")->text(), tag);
    EXPECT_TRUE(card.accessibleName().endsWith(description)) << card.accessibleName().toStdString();
  }
  // Return and Enter open a card, as Space does; no other key, nor Return with a modifier.
  ui::SessionCard card(LaunchSession{}, QString());
  int opened = 0;
  QObject::connect(&card, &QAbstractButton::clicked, [&] { ++opened; });
  for (const auto& [key, modifier] : {std::pair{Qt::Key_Return, Qt::NoModifier}, {Qt::Key_Enter, Qt::NoModifier}, {Qt::Key_Return, Qt::ShiftModifier}, {Qt::Key_A, Qt::NoModifier}}) QTest::keyClick(&card, key, modifier);
  EXPECT_EQ(opened, 2);
}

TEST(DetailPane, ShowsTheSelectedEventWithItsOffsetAndOriginAndCopiesItWhole) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/since_launch.tsv"))
    EXPECT_EQ(ui::formatSinceLaunch(std::stod(c.at(0)), std::stod(c.at(1))), QString::fromStdString(c.at(2))) << c.at(1);
  Harness h;
  h.fakes.clock.step = 0.25;
  // A fresh launch: the instance it quits is said before the trace's start,
  // and the offset still counts from that start.
  h.choose(kApp, "org.example.Demo");
  h.fakes.workspace.running["org.example.Demo"] = {std::make_shared<testing::FakeRunningApplication>(7)};
  h.launch();
  h.fakes.logStreams.lastSink()(LineBatch::of({"Error: disk full"}, {LineOrigin::standardOutput}));
  const std::string cut = "Error: " + std::string(64 * 1024 - 6, 'y');  // one past what is shown
  const std::string reversed = "Error: evil\u202egnp.exe";
  h.lines({kNoise, cut, reversed});
  Harness::click(h.pane().rawLogSwitch()->toggle());
  const EventList& events = h.content->events();
  const std::pair<const char*, const char*> origins[] = {
      {"Existing Demo instance terminated for fresh launch", "trace"}, {"Error: disk full", "stdout"}, {kNoise, "journal"}};
  for (const auto& [message, origin] : origins) {
    h.clickRow(message);
    const auto event = *h.content->selectedEvent();
    ASSERT_EQ(event.message, message);
    EXPECT_EQ(h.detailValue("ORIGIN"), origin);
    EXPECT_EQ(h.detail().findChild<QLabel*>("detailSinceLaunch")->text(), ui::formatSinceLaunch(events[1].time, event.time));
  }
  // Routine noise has a field of its own.
  EXPECT_EQ(h.detailValue("VISIBILITY"), "Raw-log-only system/framework event");
  // A selection the filter hides, the pane kept with a note: the plan (layout_test.cpp).
  h.clickRow("Error: disk full");
  const auto error = *h.content->selectedEvent();
  Harness::click(&h.copyEvent());
  EXPECT_EQ(Harness::clipboardText(), QString::fromStdString("[" + formatTime(error.time) + "] [ERROR] [CONSOLE]\nError: disk full"));
  // A bidirectional override from outside is shown, not obeyed.
  h.clickRow(reversed);
  EXPECT_EQ(h.detailValue("MESSAGE"), QStringLiteral("Error: evil\\u202egnp.exe"));
  // A long message shows its start, says it was cut, and copies whole.
  h.list().scrollToRow(h.rowOf(cut));
  h.clickRow(cut);
  EXPECT_EQ(h.detailValue("MESSAGE"), QString::fromStdString(cut.substr(0, 64 * 1024)));
  EXPECT_TRUE(h.detail().findChild<QLabel*>("detailCutNote")->isVisible());
  Harness::click(&h.copyEvent());
  EXPECT_TRUE(Harness::clipboardText().endsWith("\n" + QString::fromStdString(cut)));
  // A selection that matches nothing any more (the list was replaced) shows the empty state.
  Harness::click(h.pane().clearButton());
  EXPECT_TRUE(h.detail().findChild<QWidget*>("detailEmptyState")->isVisible());
  EXPECT_FALSE(h.copyEvent().isEnabled());
}

// The parser's cases: cases/launch_options.tsv.
TEST(LaunchOptions, SplitAsAShellDoesKeptPerTargetWithTheirHostAndShownWithTheRunsTheyWereGiven) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/launch_options.tsv")) {
    if (c.at(0) == "host") { EXPECT_EQ(ui::hostError(QString::fromStdString(c.at(1))).toStdString(), c.size() > 2 ? c.at(2) : "") << c.at(1); continue; }
    const auto parsed = ui::parseLaunchOptions(QString::fromStdString(c.at(0)), QString::fromStdString(c.at(1)));
    if (!parsed.options) {
      EXPECT_TRUE(c.at(2).starts_with("error: ") && parsed.error.contains(QString::fromStdString(c.at(2).substr(7))))
          << c.at(0) << c.at(1) << ": " << parsed.error.toStdString();
      continue;
    }
    std::string read;
    for (const auto& word : parsed.options->arguments) read += "[" + word + "]";
    for (const auto& [name, value] : parsed.options->environment) read += "{" + name + "=" + value + "}";
    EXPECT_EQ(read, c.at(2)) << c.at(0) << c.at(1);
    // What the dialog shows again reads back the same.
    const auto again = ui::parseLaunchOptions(ui::argumentsText(*parsed.options), ui::environmentText(*parsed.options));
    EXPECT_TRUE(again.options && *again.options == *parsed.options) << ui::argumentsText(*parsed.options).toStdString();
  }

  const QString described = "Arguments: --alpha 'two words'\nEnvironment: G_MESSAGES_DEBUG=all\nQt message levels: off";
  const ui::LaunchOptions given{{"--alpha", "two words"}, {{"G_MESSAGES_DEBUG", "all"}}, false};

  // Through the window: the chosen target's options reach its launch, another
  // target's do not; a change mid-trace is the next launch's, and the running
  // trace and its recorded session keep what they ran with.
  Harness h;
  h.window->launchOptions().setForTarget(kApp, given);
  h.choose();
  h.launch();
  const auto& used = h.fakes.workspace.opens.back().options;
  EXPECT_TRUE(used.arguments == given.arguments && used.environment == given.environment && !used.qtLevelPrefix);
  h.window->launchOptions().setForTarget(kApp, {});
  h.select(0);
  EXPECT_EQ(h.detailValue("LAUNCH OPTIONS"), described);
  h.stop();
  EXPECT_EQ(h.side().cards().at(0)->accessibleDescription().count(described), 1);

  // A host, kept for its target only: the launch runs there and its events
  // come back with that machine's clock (+0530: 00:00:05 UTC reads 05:30:05);
  // the status, the detail pane and the card name it; a lost connection ends
  // the trace; Stop drops the connection, which ends the trace there.
  ui::LaunchOptions remote;
  remote.host = "tester@testvm";
  h.window->launchOptions().setForTarget(kApp, remote);
  h.choose();
  Harness::click(h.pane().launchButton());
  ASSERT_EQ(h.fakes.remote.connections.size(), 1u);
  auto& link = *h.fakes.remote.connections.back();
  EXPECT_EQ(link.host, "tester@testvm");
  EXPECT_NE(link.command.find(shellQuoted(kApp)), std::string::npos) << link.command;
  EXPECT_EQ(h.content->statusText(), "Arming trace for Demo on tester@testvm\u2026");
  const std::string head = R"({"schema":"marrowfield-trace/1","kind":)";
  link.handlers.output({"marrowfield-remote zone +0530", "marrowfield-remote schema marrowfield-trace/1",
                        head + R"("trace","app":"Demo","path":"/opt/demo/Demo.desktop","identifier":""})"});
  h.run();
  EXPECT_EQ(h.content->statusText(), "Tracing Demo on tester@testvm");  // no PID yet
  link.handlers.output({head + R"("event","id":"00000000-0000-4000-8000-000000000001","time":1699920005.25,)"
                               R"("type":"success","source":"PROCESS","noise":false,"origin":"trace",)"
                               R"("message":"Demo launched with PID 77"})"});
  h.run();
  EXPECT_EQ(h.content->statusText(), "Tracing PID 77 on tester@testvm");
  // A source tag from another machine may be long: it wraps in its column, to 8 lines at most.
  const int fit = static_cast<int>(ui::metrics::sourceColumn / QFontMetricsF(h.list().font()).horizontalAdvance('M'));
  for (const int cells : {fit + 1, 2 * fit, 9 * fit + 1}) {
    link.handlers.output({head + R"("event","time":1699920006,"type":"info","message":"m","source":")" + std::string(cells, 's') + "\"}"});
    h.run();
    EXPECT_EQ(h.list().rowLines(h.list().rowCount() - 1), cells > 2 * fit ? 8 : 2) << cells;
  }
  h.select(0);
  EXPECT_EQ(h.detailValue("TIME"), QStringLiteral("05:30:05"));
  EXPECT_EQ(h.detailValue("LAUNCH OPTIONS"), QStringLiteral("Host: tester@testvm"));
  link.handlers.error("Connection reset by peer \r");  // as ssh ends its lines
  link.handlers.ended(255);
  h.run();
  EXPECT_EQ(h.content->events()[h.content->events().size() - 1].message, "Connection to tester@testvm lost: Connection reset by peer");
  EXPECT_EQ(h.content->statusText(), "Process ended on tester@testvm");
  EXPECT_TRUE(h.side().cards().at(0)->accessibleName().contains(" on tester@testvm, "));
  EXPECT_TRUE(h.side().cards().at(0)->accessibleDescription().contains("Host: tester@testvm"));
  Harness::click(h.pane().launchButton());
  ASSERT_EQ(h.fakes.remote.connections.size(), 2u);
  h.stop();
  EXPECT_TRUE(h.fakes.remote.connections.back()->gone);
  h.choose("/opt/other/Other.desktop");
  h.launch(4444);
  EXPECT_EQ(h.fakes.remote.connections.size(), 2u);
  const auto& plain = h.fakes.workspace.opens.back().options;
  EXPECT_TRUE(plain.arguments.empty() && plain.environment.empty() && plain.qtLevelPrefix);
}

// Closing never records the trace; a close that the window manager sends
// while a start waits (the waits run the event loop) is put off until the
// start returns, so the trace is not torn down under it.
TEST(WindowLifecycle, ClosingStopsTheTraceWithoutRecordingItEvenDuringTheStartsWait) {
  for (const bool duringWait : {false, true}) {
    Harness h;
    h.choose();
    if (duringWait) {
      bool closed = false;
      h.fakes.mainQueue.onWait = [&](double) {
        if (std::exchange(closed, true)) return;
        h.window->close();
        EXPECT_TRUE(h.window->isVisible());
      };
      Harness::click(h.pane().launchButton());
      EXPECT_TRUE(closed);
    } else {
      h.launch();
      h.window->close();
    }
    ASSERT_TRUE(waitUntil([&] { return !h.window->isVisible(); }));
    EXPECT_TRUE(!h.content->isTracing() && h.content->sessions().empty() && !h.fakes.logStreams.lastProcess()->running) << duringWait;
  }
}

// ---------------------------------------------------------------- the event list

// The list shows exactly the visible rows, back to back, each reading as
// "time, TYPE, SOURCE, message" of the event at that position.
void expectListShowsVisibleRows(Harness& h) {
  auto& list = h.list();
  const auto& rows = h.content->visibleRows();
  ASSERT_EQ(list.rowCount(), static_cast<int>(rows.size()));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&list)->childCount(), list.rowCount());
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&list)->text(QAccessible::Description), QStringLiteral("%1 events listed").arg(list.rowCount()));
  for (int r = 0; r < list.rowCount(); ++r) {
    EXPECT_GT(list.rowHeight(r), 0) << r;
    EXPECT_TRUE(r == 0 || list.rowRect(r).top() == list.rowRect(r - 1).bottom() + 1) << "row " << r << " not right below the last";
    const EventView event = h.content->events()[rows[static_cast<std::size_t>(r)]];
    const QString heard = QAccessible::queryAccessibleInterface(&list)->child(r)->text(QAccessible::Name);
    EXPECT_EQ(heard.toStdString(), formatTime(event.time) + ", " + std::string(label(event.type)) + ", " +
                                       std::string(event.source) + ", " + std::string(event.message));
  }
}

TEST(EventListView, RowsStayConsistentWhileEventsAreAppendedPlacedFilteredAndReset) {
  Harness h;
  auto& list = h.list();
  h.choose();
  h.launch();
  expectListShowsVisibleRows(h);
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&list);

  // Appends add exactly the new rows at the end and leave the rows before in
  // place; routine noise is not listed.
  const int before = list.rowCount();
  const QRect lastBefore = list.rowRect(before - 1);
  h.lines({"warning: a", "cfprefsd noise", "Error: b"});
  h.lines({"cfprefsd noise"});
  expectListShowsVisibleRows(h);
  ASSERT_EQ(list.rowCount(), before + 2);
  EXPECT_EQ(list.rowRect(before - 1), lastBefore);
  EXPECT_EQ(h.rowOf("Error: b"), before + 1);
  // One interface per row, a leaf, which a refilter that drops the row invalidates.
  QAccessibleInterface* item = access->child(before + 1);
  EXPECT_EQ(std::tuple(access->child(before + 1), access->indexOfChild(item), item->childCount()), std::tuple(item, before + 1, 0));
  QTest::keyClicks(h.pane().searchField(), "warning");
  expectListShowsVisibleRows(h);
  EXPECT_FALSE(item->isValid());
  h.pane().searchField()->clear();
  // A search that is on while lines come lists only the matching ones.
  for (int i = 0; i < 50; ++i) h.lines({"Error: line one", "Error: line two"});
  QTest::keyClicks(h.pane().searchField(), "two");
  h.lines({"Error: line two again", "Error: not this"});
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 51);

  // The selection is the highlighted row, and a screen reader hears it as selected.
  h.select(h.content->visibleRows()[3]);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(3));
  EXPECT_TRUE(access->child(3)->state().selected);
  EXPECT_FALSE(access->child(2)->state().selected);

  // A line that comes late is placed where it was written: the rows after it
  // move down, the selection two rows on with them.
  h.fakes.clock.current += 10;
  h.lines({"Error: line two, later", "Error: line two, last"});
  const int later = list.rowCount() - 2;
  h.content->selectEvent(*h.content->events()[h.content->visibleRows()[static_cast<std::size_t>(later + 1)]].id);
  h.send(LineBatch::of({"Error: line two, late"}, {LineOrigin::journal, 3, false, h.fakes.clock.current - 5}));
  expectListShowsVisibleRows(h);
  EXPECT_EQ(h.rowOf("Error: line two, late"), later);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(later + 2));

  // Stop and open the saved session, clear: each shows a consistent list.
  h.stop();
  Harness::click(h.side().cards()[0]);
  expectListShowsVisibleRows(h);
  // A launch given no options is recorded with none.
  h.select(0);
  EXPECT_EQ(h.detail().findChild<QWidget*>("detailValue:LAUNCH OPTIONS"), nullptr);
  QTest::keyClick(h.pane().clearButton(), Qt::Key_Space);  // Space presses a toolbar button
  EXPECT_EQ(list.rowCount(), 0);
}

TEST(EventListView, LongListsScrollTheSelectionIntoView) {
  Harness h(QSize(1200, 700));
  h.choose();
  h.launch();
  LineBatch batch;
  for (int i = 0; i < 2000; ++i) batch.add("warning: event " + std::to_string(i));
  h.send(std::move(batch));
  auto& list = h.list();
  QScrollBar& bar = *list.verticalScrollBar();
  // A new trace is followed from its first rows on, past the first page.
  EXPECT_EQ(bar.value(), bar.maximum());
  // Stepping with the keys: cases/keys.tsv.
  QTest::keyClick(&list, Qt::Key_Home);
  EXPECT_EQ(bar.value(), 0);

  // A picked row stops following: appends leave the reader where they are,
  // and the back-to-end button counts them.
  QPushButton& back = *list.backToEndButton();
  for (const char* count : {"1 new event", "2 new events"}) {
    h.lines({"warning: more"});
    EXPECT_EQ(bar.value(), 0);
    EXPECT_TRUE(back.isVisibleTo(h.window.get()));
    EXPECT_EQ(back.accessibleName(), QStringLiteral("Back to end, ") + QString::fromLatin1(count));
  }
  // The button goes back to the end and follows again...
  QTest::mouseClick(&back, Qt::LeftButton);
  EXPECT_FALSE(back.isVisibleTo(h.window.get()));
  h.lines({"warning: newest"});
  EXPECT_EQ(bar.value(), bar.maximum());
  EXPECT_LE(list.rowRect(list.rowCount() - 1).bottom(), list.viewport()->height());
  // ...until the user scrolls up; scrolling down to the end follows again.
  bar.setValue(bar.maximum() - 200);
  EXPECT_FALSE(back.isVisibleTo(h.window.get())) << "nothing new below yet";
  h.lines({"warning: while up"});
  EXPECT_LT(bar.value(), bar.maximum() - 200);
  bar.setValue(bar.maximum());
  h.lines({"warning: at the end"});
  EXPECT_EQ(bar.value(), bar.maximum());

  // A search typed and cleared while lines pour in: a reader at the end
  // stays at the end...
  QLineEdit& search = *h.pane().searchField();
  const auto messageAtTop = [&] { return std::string(h.content->events()[h.content->visibleRows()[static_cast<std::size_t>(list.rowAt(0))]].message); };
  QTest::keyClicks(&search, "event 1");
  LineBatch flood;
  for (int i = 0; i < 500; ++i) flood.add("warning: flood " + std::to_string(i));
  h.send(std::move(flood));
  search.clear();
  Harness::settle();
  h.lines({"warning: after the flood"});
  EXPECT_EQ(bar.value(), bar.maximum());
  // ...and one who scrolled up finds the same row where it was.
  bar.setValue(bar.maximum() / 2);
  const std::string atTop = messageAtTop();
  QTest::keyClicks(&search, "event 1");
  h.lines({"warning: during the search"});
  search.clear();
  h.lines({"warning: after the search"});
  EXPECT_EQ(messageAtTop(), atTop);
  // The button counts the listed rows that came since (where it sits: the plan, layout_test.cpp).
  EXPECT_EQ(back.accessibleName(), QStringLiteral("Back to end, 2 new events"));
}

// Stepping through the list from the keyboard, and the selection kept in
// its place while rows hide and show around it: cases/keys.tsv.
class ListKeys : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(ListKeys, MoveTheSelectionAndKeepItInPlace) {
  Harness h;
  h.choose();
  h.launch();
  LineBatch batch;
  for (int i = 0; i < 80; ++i) batch.add((i % 10 == 5 ? "cfprefsd noise " : "warning: event ") + std::to_string(i));
  h.send(std::move(batch));
  for (const QString& key : QString::fromStdString(GetParam().fields.at(0)).split(' ')) {
    if (key == "Raw") Harness::click(h.pane().rawLogSwitch()->toggle());
    else if (key.startsWith('/')) h.pane().searchField()->setText(key.mid(1).replace('_', ' '));
    else QTest::keyClick(&h.list(), QKeySequence(key)[0].key());
    Harness::settle();
  }
  const auto event = h.content->selectedEvent();
  const auto row = h.list().selectedRow();
  EXPECT_EQ((event ? std::string(event->message) : "none") + (row ? " at " + std::to_string(h.list().rowRect(*row).top()) : " hidden"),
            GetParam().fields.at(1));
}

INSTANTIATE_TEST_SUITE_P(Keys, ListKeys, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/keys.tsv")),
                         testing::caseName);

// ---------------------------------------------------------------- the Qt services

TEST(QtMainQueue, RunsPostsInOrderOnTheMainThreadAlsoDuringAWaitAndNoneAfterItGoes) {
  application();
  constexpr std::size_t kPosts = 10000;
  std::vector<std::size_t> seen;
  std::atomic<int> offMainThread{0};
  {
    ui::QtMainQueue queue;
    std::thread reader([&] {
      for (std::size_t i = 0; i < kPosts; ++i) {
        queue.post([&, i] {
          if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offMainThread;
          seen.push_back(i);
        });
      }
    });
    reader.join();
    ASSERT_TRUE(waitUntil([&] { return seen.size() == kPosts; }));
    EXPECT_EQ(offMainThread.load(), 0);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "the tasks run in posting order";

    // A background post that lands while the main thread waits (as a first
    // log batch does) runs in that wait; it is made only once the wait has
    // run a task of its own.
    std::atomic<bool> waitBegan{false}, ranDuringWait{false};
    queue.post([&] { waitBegan = true; });
    std::thread poster([&] {
      while (!waitBegan) std::this_thread::yield();
      queue.post([&] { ranDuringWait = true; });
    });
    // Waits again until the post has run (nothing but a wait runs the queue
    // here), so a slow machine is no failure and no sleep decides.
    for (int turn = 0; turn < 400 && !ranDuringWait; ++turn) queue.wait(0.05);
    waitBegan = true;  // should the wait have run nothing, the poster still finishes
    poster.join();
    EXPECT_TRUE(ranDuringWait.load());
    queue.post([&] { seen.push_back(kPosts); });
    queue.wait(0);
    EXPECT_EQ(seen.size(), kPosts + 1) << "a zero wait runs what is posted";
    queue.post([&] { seen.push_back(kPosts); });
  }
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(seen.size(), kPosts + 1) << "posts left when the queue goes are dropped";
}

}  // namespace
}  // namespace mf::uitest
