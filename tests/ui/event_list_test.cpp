// SPDX-License-Identifier: GPL-3.0-or-later
// The event list as the user meets it: the rows it shows (and reads to a
// screen reader) while the list grows, refilters and resets, its row
// geometry, selection, tooltips and scrolling.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QFontMetricsF>
#include <QPushButton>
#include <QScrollBar>
#include <QToolTip>

#include "model/time_text.h"
#include "ui/tokens.h"
#include "ui/widgets.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

// What a screen reader hears for a row.
QString spoken(ui::EventListView& list, int row) {
  QAccessibleInterface* item = QAccessible::queryAccessibleInterface(&list)->child(row);
  return item != nullptr ? item->text(QAccessible::Name) : QString();
}

// The list shows exactly the visible rows, back to back, each reading as
// "time, TYPE, SOURCE, message" of the event at that position, and the
// scroll range covers them all.
void expectListShowsVisibleRows(Harness& h) {
  auto& list = h.list();
  const auto& rows = h.content->visibleRows();
  ASSERT_EQ(list.rowCount(), static_cast<int>(rows.size()));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&list)->childCount(), list.rowCount());
  for (int r = 0; r < list.rowCount(); ++r) {
    EXPECT_GT(list.rowHeight(r), 0) << r;
    if (r > 0) {
      EXPECT_EQ(list.rowRect(r).top(), list.rowRect(r - 1).bottom() + 1) << r;
    }
    const EventView event = h.content->events()[rows[static_cast<std::size_t>(r)]];
    EXPECT_EQ(spoken(list, r), QString::fromStdString(formatTime(event.time) + ", " + std::string(label(event.type)) +
                                                      ", " + std::string(event.source) + ", " +
                                                      std::string(event.message)));
  }
  if (list.rowCount() > 0) {
    const int total = list.rowRect(list.rowCount() - 1).bottom() + 1 + list.verticalScrollBar()->value();
    EXPECT_EQ(list.verticalScrollBar()->maximum(), std::max(0, total - list.viewport()->height()));
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
  // One interface per row, which a refilter that drops the row invalidates.
  QAccessibleInterface* item = access->child(before + 1);
  EXPECT_EQ(item, access->child(before + 1));
  EXPECT_EQ(access->indexOfChild(item), before + 1);
  QTest::keyClicks(h.pane().searchField(), "warning");
  expectListShowsVisibleRows(h);
  EXPECT_FALSE(item->isValid());
  h.pane().searchField()->clear();

  // The raw log lists everything, routine noise included.
  Harness::click(h.pane().rawLogSwitch()->toggle());
  expectListShowsVisibleRows(h);
  for (int i = 0; i < 50; ++i) h.lines({"line one", "Error: line two"});
  QTest::keyClicks(h.pane().searchField(), "two");
  h.lines({"Error: line two again", "not this"});
  expectListShowsVisibleRows(h);
  EXPECT_EQ(list.rowCount(), 51);

  // The selection is the highlighted row, and a screen reader hears it as selected.
  h.content->selectEvent(*h.content->events()[h.content->visibleRows()[3]].id);
  Harness::settle();
  EXPECT_EQ(list.selectedRow(), std::optional<int>(3));
  EXPECT_TRUE(access->child(3)->state().selected);
  EXPECT_FALSE(access->child(2)->state().selected);

  // A line that comes late is placed where it was written: the rows after it
  // move down, the selection with them.
  h.fakes.clock.current += 10;
  h.lines({"Error: line two, later"});
  const int later = list.rowCount() - 1;
  h.content->selectEvent(*h.content->events()[h.content->visibleRows()[static_cast<std::size_t>(later)]].id);
  h.fakes.logStreams.lastSink()(LineBatch::of({"Error: line two, late"}, {LineOrigin::journal, 3, false,
                                                                           h.fakes.clock.current - 5}));
  h.run();
  expectListShowsVisibleRows(h);
  EXPECT_EQ(h.rowOf("Error: line two, late"), later);
  EXPECT_EQ(list.selectedRow(), std::optional<int>(later + 1));

  // Stop, open a saved session, go back, clear: each shows a consistent list.
  h.stop();
  Harness::click(h.side().cards()[0]);
  expectListShowsVisibleRows(h);
  Harness::click(h.pane().currentButton());
  EXPECT_EQ(list.rowCount(), 0);
  h.launch();
  h.lines({"Error: after"});
  expectListShowsVisibleRows(h);
  h.content->clearTraceView();
  Harness::settle();
  EXPECT_EQ(list.rowCount(), 0);
}

TEST(EventListView, RowsAreOneOrTwoLinesDecidedByTheMessageColumn) {
  Harness h(QSize(1440, 900));
  h.choose();
  h.launch();
  Harness::click(h.pane().rawLogSwitch()->toggle());
  // A log line is outside input: markup in it is never rendered, in the row
  // or in the tooltip that shows a cut line in full.
  const std::string longLine = "Error: <b>bold</b> <img src=\"file:///etc/passwd\"> & " + std::string(400, 'x');
  const std::string medium = "Error: " + std::string(60, 'm');
  h.lines({"short line", "Error: first\nsecond\nthird", longLine, "Error: ünïcödé — still one line", medium});
  auto& list = h.list();
  const QFontMetricsF fm(ui::fonts::mono(ui::metrics::eventRowFontSize));
  const int line = qCeil(fm.lineSpacing());
  const int oneLine = line + 2 * ui::metrics::rowPaddingV;
  const std::pair<const std::string, int> heights[] = {{"short line", oneLine},
                                                       {"Error: ünïcödé — still one line", oneLine},
                                                       {medium, oneLine},
                                                       {"Error: first\nsecond\nthird", oneLine + line},
                                                       {longLine, oneLine + line}};
  for (const auto& [message, height] : heights) EXPECT_EQ(list.rowHeight(h.rowOf(message)), height) << message;

  // At most two lines: the rest is cut with an ellipsis, never drawn past the row.
  const QStringList cut = list.messageLines(h.rowOf("Error: first\nsecond\nthird"));
  ASSERT_EQ(cut.size(), 2);
  EXPECT_EQ(cut[0], "Error: first");
  EXPECT_TRUE(cut[1].startsWith("second"));
  const int longRow = h.rowOf(longLine);
  const QStringList wrapped = list.messageLines(longRow);
  ASSERT_EQ(wrapped.size(), 2);
  EXPECT_TRUE(wrapped[0].startsWith(QStringLiteral("Error: <b>bold</b> <img src=")));
  EXPECT_TRUE(wrapped[1].endsWith(QChar(0x2026)));
  for (const QString& text : wrapped) EXPECT_LE(fm.horizontalAdvance(text), list.messageWidth() + 1);
  // A cut message reads in full, as plain text, in the row's tooltip.
  const QPoint inMessage(list.viewport()->width() - 40, list.rowRect(longRow).center().y());
  QHelpEvent help(QEvent::ToolTip, inMessage, list.viewport()->mapToGlobal(inMessage));
  QCoreApplication::sendEvent(list.viewport(), &help);
  EXPECT_EQ(QToolTip::text(), ui::plainToolTip(QString::fromStdString(longLine)));
  EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("&lt;img src="))) << QToolTip::text().toStdString();

  // A narrower column wraps a line that fitted before, and the rows after it follow.
  h.window->resize(1000, 900);
  Harness::settle();
  EXPECT_EQ(list.rowHeight(h.rowOf(medium)), oneLine + line);
  expectListShowsVisibleRows(h);
}

TEST(EventListView, LongListsScrollTheSelectionIntoView) {
  Harness h(QSize(1200, 700));
  h.choose();
  h.launch();
  LineBatch batch;
  for (int i = 0; i < 2000; ++i) batch.add("warning: event " + std::to_string(i));
  h.fakes.logStreams.lastSink()(std::move(batch));
  h.run();
  auto& list = h.list();
  QScrollBar& bar = *list.verticalScrollBar();
  // A new trace is followed from its first rows on, past the first page.
  EXPECT_TRUE(list.isFollowing());
  EXPECT_GT(bar.maximum(), 0);
  EXPECT_EQ(bar.value(), bar.maximum());
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_End);
  const int last = list.rowCount() - 1;
  EXPECT_EQ(list.selectedRow(), std::optional<int>(last));
  EXPECT_LE(list.rowRect(last).bottom(), list.viewport()->height());
  QTest::keyClick(&list, Qt::Key_PageUp);
  EXPECT_LT(*list.selectedRow(), last);
  EXPECT_GE(list.rowRect(*list.selectedRow()).top(), 0);
  QTest::keyClick(&list, Qt::Key_Home);
  EXPECT_EQ(bar.value(), 0);

  // A picked row stops following: appends leave the reader where they are,
  // and the back-to-end button counts them.
  EXPECT_FALSE(list.isFollowing());
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
  EXPECT_FALSE(list.isFollowing());
  EXPECT_FALSE(back.isVisibleTo(h.window.get())) << "nothing new below yet";
  bar.setValue(bar.maximum());
  EXPECT_TRUE(list.isFollowing());
}

}  // namespace
}  // namespace mf::uitest
