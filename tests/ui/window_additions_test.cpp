// SPDX-License-Identifier: GPL-3.0-or-later
// What the window adds for its users beyond the fixed layout: how a trace
// ended on its card, the offset and origin of an event, the status width,
// the keyboard's path through the window, the event list as a screen reader
// reads it, and the chooser's places.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QRegularExpression>
#include <csignal>

#include "export/summary.h"
#include "model/time_text.h"
#include "ui/event_list_accessible.h"
#include "ui/launch_options.h"
#include "ui/tokens.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

constexpr const char* kApp = "/opt/demo/Demo.desktop";

TEST(SessionOutcome, EachEndReadsDifferentlyAtAGlanceAndInFull) {
  application();
  struct Case {
    TraceOutcome outcome;
    QString tag;
    QColor color;
    QString description;
  };
  const Case cases[] = {
      {{TraceOutcome::Kind::crashed, SIGSEGV}, "SIGSEGV", ui::colors::red(), "Crashed: killed by signal 11 (SIGSEGV)"},
      {{TraceOutcome::Kind::crashed, SIGABRT}, "SIGABRT", ui::colors::red(), "Crashed: killed by signal 6 (SIGABRT)"},
      {{TraceOutcome::Kind::exited, 3}, "exit 3", ui::colors::orange(), "Exited with status 3"},
      {{TraceOutcome::Kind::exited, 0}, "exit 0", ui::colors::green(), "Exited normally (status 0)"},
      {{TraceOutcome::Kind::handedOff, 4321}, "handed off", ui::colors::cyan(),
       "Handed off to the running instance, PID 4321"},
      {{TraceOutcome::Kind::stopped, 0}, "stopped", ui::colors::secondary(), "Stopped while running"},
      {{TraceOutcome::Kind::launchFailed, 0}, "not launched", ui::colors::red(), "Launch failed"},
  };
  QStringList tags;
  for (const Case& c : cases) {
    const ui::OutcomeLook look = ui::outcomeLook(c.outcome);
    EXPECT_EQ(look.tag, c.tag);
    EXPECT_EQ(look.color, c.color) << c.tag.toStdString();
    EXPECT_EQ(look.description, c.description);
    tags << look.tag;

    LaunchSession session;
    session.appName = "Demo";
    session.appURL = kApp;
    session.outcome = c.outcome;
    ui::SessionCard card(session, QString());
    ASSERT_NE(card.outcomeBadge(), nullptr);
    EXPECT_EQ(card.outcomeBadge()->text(), c.tag);
    EXPECT_TRUE(card.toolTip().contains(c.description)) << card.toolTip().toStdString();
    EXPECT_TRUE(card.toolTip().contains(QStringLiteral("/opt/demo/Demo.desktop")));
    EXPECT_TRUE(card.accessibleName().endsWith(c.description));
    // The specified parts keep their places: name, count, time, counters.
    EXPECT_EQ(card.appNameText(), "Demo");
    ASSERT_EQ(card.counters().size(), 1u);
    EXPECT_EQ(card.counters()[0]->text(), "Clean");
  }
  tags.removeDuplicates();
  EXPECT_EQ(tags.size(), static_cast<qsizetype>(std::size(cases)));
}

TEST(LaunchOptions, SplitAsAShellDoesKeptPerTargetAndShownWithTheRunsTheyWereGiven) {
  using Env = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* arguments;
    const char* environment;
    std::vector<std::string> words;
    Env variables;
    const char* error;
  } cases[] = {
      {"", "", {}, {}, ""},
      {"--alpha \"two words\" 'it''s' a\\ b", "", {"--alpha", "two words", "its", "a b"}, {}, ""},
      {"\"\" \"say \\\"hi\\\"\"", "", {"", "say \"hi\""}, {}, ""},
      {"", "G_MESSAGES_DEBUG=all\n\n# note\n  EMPTY=  \nX=a=b", {}, {{"G_MESSAGES_DEBUG", "all"}, {"EMPTY", ""}, {"X", "a=b"}}, ""},
      {"'open", "", {}, {}, "single quote is not closed"},
      {"\"open", "", {}, {}, "double quote is not closed"},
      {"", "OK=1\nnot a pair", {}, {}, "Environment line 2"},
      {"", "=1", {}, {}, "Environment line 1"},
      {"", "1X=1", {}, {}, "Environment line 1"},
  };
  for (const auto& c : cases) {
    const ui::ParsedLaunchOptions parsed = ui::parseLaunchOptions(QString::fromUtf8(c.arguments), QString::fromUtf8(c.environment));
    if (*c.error != '\0') {
      EXPECT_FALSE(parsed.options) << c.arguments << c.environment;
      EXPECT_TRUE(parsed.error.contains(QString::fromUtf8(c.error))) << parsed.error.toStdString();
      continue;
    }
    ASSERT_TRUE(parsed.options) << parsed.error.toStdString();
    EXPECT_EQ(parsed.options->arguments, c.words) << c.arguments;
    EXPECT_EQ(parsed.options->environment, c.variables) << c.environment;
    // What the dialog shows again reads back the same.
    const auto again = ui::parseLaunchOptions(ui::argumentsText(*parsed.options), ui::environmentText(*parsed.options));
    ASSERT_TRUE(again.options);
    EXPECT_EQ(*again.options, *parsed.options) << ui::argumentsText(*parsed.options).toStdString();
  }

  // Through the window: the chosen target's options reach its launch, another
  // target's do not, and the recorded session keeps what it ran with.
  Harness h;
  const ui::LaunchOptions given{{"--alpha", "two words"}, {{"G_MESSAGES_DEBUG", "all"}}, false};
  h.window->launchOptions().setForTarget(kApp, given);
  h.choose(kApp);
  EXPECT_TRUE(h.side().launchOptionsSummary()->text().contains("G_MESSAGES_DEBUG=all"));
  h.launch();
  EXPECT_EQ(h.fakes.workspace.opens.back().options.arguments, given.arguments);
  EXPECT_EQ(h.fakes.workspace.opens.back().options.environment, given.environment);
  EXPECT_FALSE(h.fakes.workspace.opens.back().options.qtLevelPrefix);
  // Changed mid-trace: the next launch gets them, the running one keeps its own.
  h.window->launchOptions().setForTarget(kApp, {});
  h.content->selectEvent(*h.content->events()[0].id);
  Harness::settle();
  const QString described = "Arguments: --alpha 'two words'\nEnvironment: G_MESSAGES_DEBUG=all\nQt message levels: off";
  EXPECT_EQ(h.detail().launchOptionsText(), described);
  h.stop();
  ASSERT_EQ(h.side().cards().size(), 1u);
  EXPECT_EQ(h.side().cards()[0]->accessibleDescription().count(described), 1);
  h.choose("/opt/other/Other.desktop");
  h.launch(4343);
  EXPECT_TRUE(h.fakes.workspace.opens.back().options.arguments.empty());
  EXPECT_TRUE(h.fakes.workspace.opens.back().options.environment.empty());
  EXPECT_TRUE(h.fakes.workspace.opens.back().options.qtLevelPrefix);
  h.content->selectEvent(*h.content->events()[0].id);
  Harness::settle();
  EXPECT_EQ(h.detail().launchOptionsText(), "");
  h.stop();
  h.content->openSavedSession(h.content->sessions()[1]);
  h.content->selectEvent(*h.content->events()[0].id);
  Harness::settle();
  EXPECT_EQ(h.detail().launchOptionsText(), described);
}

TEST(DetailAdditions, OffsetSinceLaunchFormatsToTheMillisecond) {
  const std::pair<std::pair<double, double>, const char*> cases[] = {
      {{100.0, 100.412}, "+0.412 s"},
      {{100.0, 100.0}, "+0.000 s"},
      {{100.0, 100.0004}, "+0.000 s"},
      {{100.0, 99.9996}, "+0.000 s"},
      {{100.0, 161.5}, "+61.500 s"},
      {{100.0, 99.5}, "\u2212" "0.500 s"},
  };
  for (const auto& [times, expected] : cases) {
    EXPECT_EQ(ui::formatSinceLaunch(times.first, times.second), QString::fromUtf8(expected));
  }
}

TEST(DetailAdditions, OffsetAndOriginStandBesideAndBelowTheFixedFields) {
  Harness h;
  h.fakes.clock.step = 0.25;
  // A fresh launch: the instance it quits is said before the trace's start,
  // and the offset still counts from that start.
  h.choose(kApp, "org.example.Demo");
  h.fakes.workspace.running["org.example.Demo"] = {std::make_shared<testing::FakeRunningApplication>(7)};
  h.launch();
  h.fakes.logStreams.lastSink()(LineBatch::of({"Error: printed on stdout"}, {LineOrigin::standardOutput}));
  h.fakes.logStreams.lastSink()(LineBatch::of({"Error: from the journal"}, {LineOrigin::journal}));
  h.fakes.mainQueue.runAll();
  Harness::settle();

  const struct {
    const char* message;
    const char* origin;
  } rows[] = {{"Existing Demo instance terminated for fresh launch", "trace"},
              {"Launch trace started for Demo", "trace"},
              {"Error: printed on stdout", "stdout"},
              {"Error: from the journal", "journal"}};
  const EventList& events = h.content->events();
  ASSERT_EQ(events[1].message, "Launch trace started for Demo");
  for (const auto& row : rows) {
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].message == row.message) index = i;
    }
    ASSERT_TRUE(index) << row.message;
    h.content->selectEvent(*events[*index].id);
    Harness::settle();
    EXPECT_EQ(h.detail().fieldLabels(), QStringList({"TYPE", "SOURCE", "TIME", "MESSAGE"}))
        << "the fixed fields stay as they are";
    EXPECT_EQ(h.detail().originText(), row.origin);
    EXPECT_EQ(h.detail().sinceLaunchText(), ui::formatSinceLaunch(events[1].time, events[*index].time));
  }
  EXPECT_EQ(h.detail().sinceLaunchText().left(1), "+");
  EXPECT_NE(h.detail().sinceLaunchText(), "+0.000 s") << "the clock moved between the start and the line";
}

TEST(StatusWidth, OneLineWhileTheBarHoldsItWrappedAndCutOnlyBeyond) {
  Harness h(QSize(1440, 900));
  h.choose("/opt/demo/marrowfield-demo.desktop");
  ASSERT_EQ(h.top().statusLabel()->text(), "Ready to trace marrowfield-demo");
  EXPECT_EQ(h.top().statusLabel()->displayedLines().size(), 1);
  h.content->clearTraceView();
  Harness::settle();
  ASSERT_EQ(h.top().statusLabel()->text(), "Ready");
  // A short status sits against the button, not in a box of some minimum width.
  EXPECT_LE(h.top().statusLabel()->width(),
            QFontMetrics(h.top().statusLabel()->font()).horizontalAdvance(QStringLiteral("Ready")) + 2);
  h.choose("/opt/demo/marrowfield-demo.desktop");
  EXPECT_GE(h.top().statusLabel()->width(),
            QFontMetrics(h.top().statusLabel()->font()).horizontalAdvance(h.top().statusLabel()->text()));

  // A name longer than the bar: wrapped, at most three lines, cut with an ellipsis.
  const std::string longName(400, 'x');
  h.choose("/opt/demo/" + longName + ".desktop");
  const QStringList lines = h.top().statusLabel()->displayedLines();
  EXPECT_GE(lines.size(), 2);
  EXPECT_LE(lines.size(), 3);
  EXPECT_TRUE(lines.last().endsWith(QChar(0x2026)));
  EXPECT_TRUE(h.top().copySummaryButton()->isVisible());
  EXPECT_GE(h.top().copySummaryButton()->width(), h.top().copySummaryButton()->sizeHint().width())
      << "the button keeps its label";
}

// The widgets Tab reaches from `start`, following Qt's focus chain as the key does.
QList<QWidget*> tabWalk(QWidget* start, int limit) {
  QList<QWidget*> seen;
  QWidget* w = start;
  for (int i = 0; i < limit; ++i) {
    w = w->nextInFocusChain();
    if (w == start) break;
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(w->window()) && w->isEnabled()) seen << w;
  }
  return seen;
}

TEST(TabOrder, EveryControlInVisualOrderWithNoHiddenStops) {
  Harness h;
  h.choose(kApp);
  h.launch(100);
  h.lines({"Error: one", "Error: two"});
  h.stop();
  h.launch(200);
  h.lines({"Error: three"});
  h.stop();
  Harness::click(h.side().cards()[1]);  // a saved session: "Current" shows
  h.content->selectEvent(*h.content->events()[0].id);
  Harness::settle();

  QList<QWidget*> expected;
  for (QWidget* w : h.window->tabOrder()) {
    if (w->isVisibleTo(h.window.get()) && w->isEnabled()) expected << w;
  }
  ASSERT_GE(expected.size(), 15);
  QWidget* first = h.top().copySummaryButton();
  ASSERT_EQ(expected.first(), first);
  QList<QWidget*> walked{first};
  walked << tabWalk(first, 500);
  EXPECT_EQ(walked, expected) << "Tab must visit exactly the listed controls, in order";

  QStringList names;
  for (QWidget* w : expected) names << (w->accessibleName().isEmpty() ? w->objectName() : w->accessibleName());
  const QStringList head{"Copy Summary", "Show Sidebar", "Show Event Detail", "Choose App", "Launch & Trace",
                         "Clear view", "Current", "Search diagnostics", "Show Raw Log", "Fresh Launch", "Events",
                         "Copy selected event", "TYPE", "SOURCE", "TIME", "MESSAGE", "ORIGIN",
                         "Clear launch history"};
  EXPECT_EQ(names.mid(0, head.size()), head);
  EXPECT_EQ(names.size(), head.size() + 3) << "then the two cards and the launch options";
  EXPECT_EQ(names.last(), "Launch Options");
}

TEST(TabOrder, ReturnAndSpacePressFocusedControlsAndALaunchFocusesStop) {
  Harness h;
  h.choose(kApp);
  h.launch(100);
  h.stop();
  h.launch(200);
  h.stop();
  for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
    Harness::click(h.pane().currentButton() != nullptr && h.pane().currentButton()->isVisible()
                       ? static_cast<QAbstractButton*>(h.pane().currentButton())
                       : static_cast<QAbstractButton*>(h.pane().clearButton()));
    ASSERT_FALSE(h.content->viewingSavedSession());
    ui::SessionCard* card = h.side().cards()[1];
    const Uuid id = card->session().id;
    QTest::keyClick(card, static_cast<Qt::Key>(key));
    Harness::settle();
    EXPECT_TRUE(h.content->viewingSavedSession()) << key;
    ASSERT_TRUE(h.content->selectedSessionID());
    EXPECT_EQ(*h.content->selectedSessionID(), id);
  }
  // Return presses a focused toolbar button too. A launch hands the keyboard
  // to "Stop" (never on to "Clear"), and the trace's end hands it back.
  h.window->activateWindow();
  auto* launch = h.pane().launchButton();
  launch->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(waitUntil([&] { return launch->hasFocus(); }));
  QTest::keyClick(launch, Qt::Key_Return);
  Harness::settle();
  ASSERT_TRUE(h.content->isTracing());
  EXPECT_TRUE(h.pane().stopButton()->hasFocus());
  QTest::keyClick(h.pane().stopButton(), Qt::Key_Enter, Qt::KeypadModifier);
  Harness::settle();
  EXPECT_FALSE(h.content->isTracing());
  EXPECT_TRUE(launch->hasFocus());
}

TEST(EventListAccessibility, RowsReadAsTimeTypeSourceMessageAndTheSelectionIsMarked) {
  Harness h;
  h.choose(kApp);
  h.launch();
  h.lines({"Error: disk full"});
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(h.pane().listView());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::List);
  EXPECT_EQ(list->text(QAccessible::Name), "Events");
  ASSERT_EQ(list->childCount(), static_cast<int>(h.content->visibleRows().size()));
  const std::size_t row = h.rowOf("Error: disk full");
  QAccessibleInterface* item = list->child(static_cast<int>(row));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item, list->child(static_cast<int>(row))) << "one interface per row";
  EXPECT_EQ(list->indexOfChild(item), static_cast<int>(row));
  EXPECT_EQ(item->role(), QAccessible::ListItem);
  const QString spoken = item->text(QAccessible::Name);
  const EventView event = h.content->events()[h.content->visibleRows()[row]];
  EXPECT_EQ(spoken, QString::fromStdString(formatTime(event.time) + ", ERROR, " + std::string(event.source) +
                                           ", Error: disk full"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d, ")).match(spoken).hasMatch());
  EXPECT_FALSE(item->state().selected);

  h.content->selectEvent(*h.content->events()[h.content->visibleRows()[row]].id);
  Harness::settle();
  EXPECT_TRUE(item->state().selected);
  EXPECT_FALSE(list->child(0)->state().selected);

  // A refilter that drops the row leaves the interface, no longer valid.
  h.content->setSearchText("launched with PID");
  Harness::settle();
  EXPECT_EQ(list->childCount(), static_cast<int>(h.content->visibleRows().size()));
  ASSERT_LT(list->childCount(), static_cast<int>(row) + 1) << "the error row is filtered out";
  EXPECT_FALSE(item->isValid());
}

TEST(Chooser, PlacesCanBeToldApart) {
  const QList<ui::ChooserPlace> places = ui::chooserPlaces();
  QStringList labels;
  for (const auto& place : places) labels << place.label;
  EXPECT_TRUE(labels.contains(QStringLiteral("Home")));
  labels.removeDuplicates();
  EXPECT_EQ(labels.size(), places.size());
  EXPECT_TRUE(ui::chooserFilterLabel().startsWith(QStringLiteral("Applications")));
}

}  // namespace
}  // namespace mf::uitest
