// SPDX-License-Identifier: GPL-3.0-or-later
// The event list as the user meets it: the rows it shows (and reads to a
// screen reader) while the list grows, refilters and resets, its row
// geometry, selection and tooltips.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QFontMetricsF>
#include <QPushButton>
#include <QScrollBar>
#include <QToolTip>

#include "ui/tokens.h"
#include "ui/widgets.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

constexpr const char* kApp = "/opt/demo/Demo.desktop";

// What a screen reader reads for a row: "time, TYPE, SOURCE, message".
QStringList readRow(ui::EventListView& list, int row) {
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&list);
  QAccessibleInterface* item = access != nullptr ? access->child(row) : nullptr;
  if (item == nullptr) return {};
  const QString spoken = item->text(QAccessible::Name);
  QStringList fields = spoken.split(QStringLiteral(", "));
  if (fields.size() > 4) fields = fields.mid(0, 3) << spoken.section(QStringLiteral(", "), 3);
  return fields;
}

// The list shows exactly the visible rows, back to back, each reading as the
// event at that position, and the scroll range covers them all.
void expectListShowsVisibleRows(const Harness& h) {
  auto& list = *h.pane().listView();
  const auto& rows = h.content->visibleRows();
  ASSERT_EQ(list.rowCount(), static_cast<int>(rows.size()));
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&list);
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(access->childCount(), list.rowCount());
  for (int r = 0; r < list.rowCount(); ++r) {
    EXPECT_GT(list.rowHeight(r), 0) << r;
    if (r > 0) {
      EXPECT_EQ(list.rowRect(r).top(), list.rowRect(r - 1).bottom() + 1) << r;
    }
    const EventView event = h.content->events()[rows[static_cast<std::size_t>(r)]];
    const QStringList fields = readRow(list, r);
    ASSERT_EQ(fields.size(), 4) << r;
    EXPECT_EQ(fields[3], QString::fromUtf8(event.message.data(), static_cast<qsizetype>(event.message.size()))) << r;
  }
  if (list.rowCount() > 0) {
    const QRect last = list.rowRect(list.rowCount() - 1);
    const int total = last.bottom() + 1 + list.verticalScrollBar()->value();
    EXPECT_EQ(list.verticalScrollBar()->maximum(), std::max(0, total - list.viewport()->height()));
  }
}

TEST(EventListView, RowsStayConsistentWhileEventsAreAppendedPlacedFilteredAndReset) {
  Harness h;
  auto& list = *h.pane().listView();
  h.choose(kApp);
  h.launch();
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), static_cast<int>(h.content->eventCount()));

  // Appends add exactly the new rows at the end and leave the rows before in place.
  const int before = list.rowCount();
  const QRect lastBefore = list.rowRect(before - 1);
  h.lines({"warning: a", "cfprefsd noise", "Error: b"});
  expectListShowsVisibleRows(h);
  ASSERT_EQ(list.rowCount(), before + 2);
  EXPECT_EQ(list.rowRect(before - 1), lastBefore);
  EXPECT_EQ(readRow(list, before).value(1), "WARN");
  EXPECT_EQ(readRow(list, before).value(3), "warning: a");
  EXPECT_EQ(readRow(list, before + 1).value(1), "ERROR");
  EXPECT_EQ(readRow(list, before + 1).value(2), "CONSOLE");
  EXPECT_EQ(h.rowOf("cfprefsd noise"), static_cast<std::size_t>(-1)) << "routine noise is not listed";
  // A batch of routine noise only adds nothing visible.
  h.lines({"cfprefsd noise"});
  EXPECT_EQ(list.rowCount(), before + 2);

  // The raw log lists everything, routine noise included, marked as such.
  Harness::click(h.pane().rawLogSwitch()->toggle());
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), static_cast<int>(h.content->events().size()));
  const std::size_t noise = h.rowOf("cfprefsd noise");
  ASSERT_EQ(noise, static_cast<std::size_t>(before + 1));
  EXPECT_TRUE(h.content->events()[h.content->visibleRows()[noise]].isRoutineNoise);
  EXPECT_FALSE(h.content->events()[h.content->visibleRows()[noise + 1]].isRoutineNoise);
  for (int i = 0; i < 50; ++i) h.lines({"line one", "Error: line two"});
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), static_cast<int>(h.content->events().size()));
  QTest::keyClicks(h.pane().searchField(), "two");
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 50);
  h.lines({"Error: line two again", "not this"});
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 51);

  // The selection is the highlighted row, and a screen reader hears it as selected.
  const auto id = *h.content->events()[h.content->visibleRows()[3]].id;
  h.content->selectEvent(id);
  Harness::settle();
  EXPECT_EQ(list.selectedRow(), std::optional<int>(3));
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&list);
  EXPECT_TRUE(access->child(3)->state().selected);
  EXPECT_FALSE(access->child(2)->state().selected);

  // A line that comes late is placed where it was written: the rows after it
  // move down, the selection with them.
  h.fakes.clock.current += 10;
  h.lines({"Error: line two, later"});
  const int later = list.rowCount() - 1;
  h.content->selectEvent(*h.content->events()[h.content->visibleRows()[static_cast<std::size_t>(later)]].id);
  Harness::settle();
  LineBatch late;
  late.add("Error: line two, late", LineInfo{LineOrigin::journal, 3, false, h.fakes.clock.current - 5});
  h.fakes.logStreams.lastSink()(std::move(late));
  h.fakes.mainQueue.runAll();
  Harness::settle();
  expectListShowsVisibleRows(h);
  EXPECT_EQ(readRow(list, later).value(3), "Error: line two, late");
  EXPECT_EQ(readRow(list, later + 1).value(3), "Error: line two, later");
  EXPECT_EQ(list.selectedRow(), std::optional<int>(later + 1));

  // Stop, open a saved session, go back, clear the history: each shows a consistent list.
  h.stop();
  Harness::click(h.side().cards()[0]);
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), static_cast<int>(h.content->eventCount()));
  Harness::click(h.pane().currentButton());
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 0);
  h.launch();
  h.lines({"Error: after"});
  expectListShowsVisibleRows(h);
  h.content->clearTraceView();
  Harness::settle();
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 0);
}

TEST(EventListView, RowsAreOneOrTwoLinesDecidedByTheMessageColumn) {
  Harness h(QSize(1440, 900));
  h.choose(kApp);
  h.launch();
  Harness::click(h.pane().rawLogSwitch()->toggle());
  // A log line is outside input: markup in it is never rendered, in the row
  // or in the tooltip that shows a cut line in full.
  const std::string longLine = "Error: <b>bold</b> <img src=\"file:///etc/passwd\"> & " + std::string(400, 'x');
  h.lines({"short line", "Error: first\nsecond\nthird", longLine, "Error: ünïcödé — still one line"});
  auto& list = *h.pane().listView();
  const QFontMetricsF fm(ui::fonts::mono(ui::metrics::eventRowFontSize));
  const int line = qCeil(fm.lineSpacing());
  const int oneLine = line + 2 * ui::metrics::rowPaddingV;

  const int shortRow = static_cast<int>(h.rowOf("short line"));
  const int breakRow = static_cast<int>(h.rowOf("Error: first\nsecond\nthird"));
  const int longRow = static_cast<int>(h.rowOf(longLine));
  const int unicodeRow = static_cast<int>(h.rowOf("Error: ünïcödé — still one line"));
  EXPECT_EQ(list.rowHeight(shortRow), oneLine);
  EXPECT_EQ(list.rowHeight(unicodeRow), oneLine);
  EXPECT_EQ(list.rowHeight(breakRow), oneLine + line);
  EXPECT_EQ(list.rowHeight(longRow), oneLine + line);

  // At most two lines: the rest is cut with an ellipsis, never drawn past the row.
  const QStringList cut = list.messageLines(breakRow);
  ASSERT_EQ(cut.size(), 2);
  EXPECT_EQ(cut[0], "Error: first");
  EXPECT_TRUE(cut[1].startsWith("second"));
  EXPECT_TRUE(cut[1].endsWith(QChar(0x2026)) || fm.horizontalAdvance("second third") <= list.messageWidth());
  const QStringList wrapped = list.messageLines(longRow);
  ASSERT_EQ(wrapped.size(), 2);
  EXPECT_TRUE(wrapped[1].endsWith(QChar(0x2026)));
  for (const QString& text : wrapped) EXPECT_LE(fm.horizontalAdvance(text), list.messageWidth() + 1);
  EXPECT_EQ(list.messageLines(shortRow), QStringList{"short line"});

  // A cut message reads in full in the row's tooltip.
  const QPoint inMessage(list.viewport()->width() - 40, list.rowRect(longRow).center().y());
  QHelpEvent help(QEvent::ToolTip, inMessage, list.viewport()->mapToGlobal(inMessage));
  QCoreApplication::sendEvent(list.viewport(), &help);
  EXPECT_EQ(QToolTip::text(), ui::plainToolTip(QString::fromStdString(longLine)));
  EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("&lt;img src="))) << QToolTip::text().toStdString();
  EXPECT_FALSE(QToolTip::text().contains(QStringLiteral("<b>")));
  EXPECT_TRUE(wrapped[0].startsWith(QStringLiteral("Error: <b>bold</b> <img src=")));

  // Rows sit back to back: each starts where the previous one ends.
  for (int r = 1; r < list.rowCount(); ++r) {
    EXPECT_EQ(list.rowRect(r).top(), list.rowRect(r - 1).bottom() + 1) << r;
  }

  // A narrower column wraps a line that fitted before, and the offsets follow.
  const std::string medium = "Error: " + std::string(60, 'm');
  h.lines({medium});
  const int mediumRow = static_cast<int>(h.rowOf(medium));
  EXPECT_EQ(list.rowHeight(mediumRow), oneLine);
  h.window->resize(1000, 900);
  Harness::settle();
  EXPECT_EQ(list.rowHeight(mediumRow), oneLine + line);
  EXPECT_EQ(list.rowRect(mediumRow).top(), list.rowRect(mediumRow - 1).bottom() + 1);
}

TEST(EventListView, SelectionSurvivesFilteringAndArrowsStepFromAHiddenSelection) {
  Harness h;
  h.choose(kApp);
  h.launch();
  h.lines({"warning: alpha", "warning: beta", "warning: gamma"});
  auto& list = *h.pane().listView();
  const int beta = static_cast<int>(h.rowOf("warning: beta"));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(beta).center());
  EXPECT_EQ(list.selectedRow(), std::optional<int>(beta));
  // Pressing the selected row again keeps it selected.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(beta).center());
  EXPECT_EQ(list.selectedRow(), std::optional<int>(beta));

  QTest::keyClicks(h.pane().searchField(), "a");  // alpha, beta, gamma all contain "a"
  EXPECT_EQ(list.selectedRow().has_value(), true);
  h.pane().searchField()->clear();
  QTest::keyClicks(h.pane().searchField(), "mm");  // only gamma
  EXPECT_FALSE(list.selectedRow().has_value()) << "the hidden selection highlights no row";
  EXPECT_EQ(h.content->selectedEvent()->message, "warning: beta");
  h.pane().searchField()->clear();
  Harness::settle();
  EXPECT_EQ(list.selectedRow(), std::optional<int>(h.rowOf("warning: beta")));

  // With the selection hidden, Down goes to the first listed row after it.
  QTest::keyClicks(h.pane().searchField(), "amma");
  ASSERT_FALSE(list.selectedRow().has_value());
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_EQ(h.content->selectedEvent()->message, "warning: gamma");
}

TEST(EventListView, LongListsScrollTheSelectionIntoView) {
  Harness h(QSize(1200, 700));
  h.choose(kApp);
  h.launch();
  LineBatch batch;
  std::vector<std::string> texts;
  for (int i = 0; i < 2000; ++i) texts.push_back("warning: event " + std::to_string(i));
  for (const auto& text : texts) batch.add(text);
  h.fakes.logStreams.lastSink()(std::move(batch));
  h.fakes.mainQueue.runAll();
  Harness::settle();
  auto& list = *h.pane().listView();
  ASSERT_GT(list.rowCount(), 2000);
  EXPECT_GT(list.verticalScrollBar()->maximum(), 0);
  // A new trace is followed from its first rows on, past the first page.
  EXPECT_TRUE(list.isFollowing());
  EXPECT_EQ(list.verticalScrollBar()->value(), list.verticalScrollBar()->maximum());
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_End);
  const int last = list.rowCount() - 1;
  EXPECT_EQ(list.selectedRow(), std::optional<int>(last));
  const QRect lastRect = list.rowRect(last);
  EXPECT_LE(lastRect.bottom(), list.viewport()->height());
  EXPECT_GE(lastRect.top(), 0);
  QTest::keyClick(&list, Qt::Key_PageUp);
  EXPECT_LT(*list.selectedRow(), last);
  EXPECT_GE(list.rowRect(*list.selectedRow()).top(), 0);
  QTest::keyClick(&list, Qt::Key_Home);
  EXPECT_EQ(list.verticalScrollBar()->value(), 0);

  // A picked row stops following: appends leave the reader where they are,
  // and the back-to-end button counts them.
  EXPECT_FALSE(list.isFollowing());
  QPushButton& back = *list.backToEndButton();
  for (const char* count : {"1 new event", "2 new events"}) {
    h.lines({"warning: more"});
    EXPECT_EQ(list.verticalScrollBar()->value(), 0);
    EXPECT_TRUE(back.isVisibleTo(h.window.get()));
    EXPECT_EQ(back.accessibleName(), QStringLiteral("Back to end, ") + QString::fromLatin1(count));
  }
  // The button goes back to the end and follows again...
  QTest::mouseClick(&back, Qt::LeftButton);
  EXPECT_FALSE(back.isVisibleTo(h.window.get()));
  const int maximum = list.verticalScrollBar()->maximum();
  h.lines({"warning: newest"});
  EXPECT_GT(list.verticalScrollBar()->maximum(), maximum);
  EXPECT_EQ(list.verticalScrollBar()->value(), list.verticalScrollBar()->maximum());
  EXPECT_LE(list.rowRect(list.rowCount() - 1).bottom(), list.viewport()->height());
  // ...until the user scrolls up; scrolling down to the end follows again.
  list.verticalScrollBar()->setValue(list.verticalScrollBar()->maximum() - 200);
  EXPECT_FALSE(list.isFollowing());
  EXPECT_FALSE(back.isVisibleTo(h.window.get())) << "nothing new below yet";
  list.verticalScrollBar()->setValue(list.verticalScrollBar()->maximum());
  EXPECT_TRUE(list.isFollowing());
}

}  // namespace
}  // namespace mf::uitest
