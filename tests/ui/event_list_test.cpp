// The event list: its item model under the model tester while the list
// grows, refilters and resets, and the view's row geometry and selection.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolTip>

#include "ui/tokens.h"
#include "ui/widgets.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

constexpr const char* kApp = "/opt/demo/Demo.desktop";

TEST(EventListModel, StaysConsistentWhileEventsAreAppendedFilteredAndReset) {
  Harness h;
  ui::EventListModel& model = *h.pane().model();
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);

  h.choose(kApp);
  h.launch();
  EXPECT_EQ(model.rowCount(), static_cast<int>(h.content->eventCount()));
  resets.clear();
  inserted.clear();

  // Appends arrive as insertions of exactly the new rows, never as a reset.
  const int before = model.rowCount();
  h.lines({"warning: a", "cfprefsd noise", "Error: b"});
  EXPECT_EQ(model.rowCount(), before + 2);
  EXPECT_EQ(resets.count(), 0);
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(inserted[0][1].toInt(), before);
  EXPECT_EQ(inserted[0][2].toInt(), before + 1);
  EXPECT_EQ(model.index(before).data(ui::EventListModel::MessageRole).toString(), "warning: a");
  EXPECT_EQ(model.index(before).data(ui::EventListModel::TypeLabelRole).toString(), "WARN");
  EXPECT_EQ(model.index(before + 1).data(ui::EventListModel::TypeLabelRole).toString(), "ERROR");
  EXPECT_EQ(model.index(before + 1).data(ui::EventListModel::SourceRole).toString(), "CONSOLE");
  // A batch of routine noise only adds nothing visible and notifies nothing.
  inserted.clear();
  h.lines({"cfprefsd noise"});
  EXPECT_EQ(inserted.count(), 0);

  // Filters reset the model once; many small batches then insert again.
  Harness::click(h.pane().rawLogSwitch()->toggle());
  EXPECT_GE(resets.count(), 1);
  EXPECT_EQ(model.rowCount(), static_cast<int>(h.content->events().size()));
  EXPECT_TRUE(model.index(before + 1).data(ui::EventListModel::RoutineNoiseRole).toBool());
  for (int i = 0; i < 50; ++i) h.lines({"line one", "Error: line two"});
  EXPECT_EQ(model.rowCount(), static_cast<int>(h.content->events().size()));
  QTest::keyClicks(h.pane().searchField(), "two");
  EXPECT_EQ(model.rowCount(), 50);
  h.lines({"Error: line two again", "not this"});
  EXPECT_EQ(model.rowCount(), 51);

  // Selection is reported through the model too.
  const auto id = *h.content->events()[h.content->visibleRows()[3]].id;
  h.content->selectEvent(id);
  EXPECT_TRUE(model.index(3).data(ui::EventListModel::SelectedRole).toBool());
  EXPECT_FALSE(model.index(2).data(ui::EventListModel::SelectedRole).toBool());

  // Stop, open a saved session, go back, clear the history: each a consistent reset.
  h.stop();
  Harness::click(h.side().cards()[0]);
  EXPECT_EQ(model.rowCount(), static_cast<int>(h.content->eventCount()));
  Harness::click(h.pane().currentButton());
  EXPECT_EQ(model.rowCount(), 0);
  h.launch();
  h.lines({"Error: after"});
  h.content->clearTraceView();
  Harness::settle();
  EXPECT_EQ(model.rowCount(), 0);
}

TEST(EventListModel, TooltipsShowMarkupInLogLinesAsText) {
  // A log line is outside input: markup in it must not be rendered.
  Harness h;
  ui::EventListModel& model = *h.pane().model();
  h.choose(kApp);
  h.launch();
  h.lines({"error: <b>bold</b> <img src=\"file:///etc/passwd\"> & more"});
  const QModelIndex last = model.index(model.rowCount() - 1, 0);
  const QString tip = model.data(last, Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.contains(QStringLiteral("&lt;b&gt;bold&lt;/b&gt;"))) << tip.toStdString();
  EXPECT_FALSE(tip.contains(QStringLiteral("<img"))) << tip.toStdString();
  EXPECT_EQ(model.data(last, Qt::DisplayRole).toString(),
            QStringLiteral("error: <b>bold</b> <img src=\"file:///etc/passwd\"> & more"));
}

TEST(EventListView, RowsAreOneOrTwoLinesDecidedByTheMessageColumn) {
  Harness h(QSize(1440, 900));
  h.choose(kApp);
  h.launch();
  Harness::click(h.pane().rawLogSwitch()->toggle());
  const std::string longLine = "Error: " + std::string(400, 'x');
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
  h.content->ingestLines(batch);
  Harness::settle();
  auto& list = *h.pane().listView();
  ASSERT_GT(list.rowCount(), 2000);
  EXPECT_GT(list.verticalScrollBar()->maximum(), 0);
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

  // Appends leave a reader where they are...
  h.content->ingestLines(LineBatch::of({"warning: more"}));
  Harness::settle();
  EXPECT_EQ(list.verticalScrollBar()->value(), 0);
  // ...and keep a reader at the end of the list at the end.
  list.verticalScrollBar()->setValue(list.verticalScrollBar()->maximum());
  const int maximum = list.verticalScrollBar()->maximum();
  h.content->ingestLines(LineBatch::of({"warning: newest"}));
  Harness::settle();
  EXPECT_GT(list.verticalScrollBar()->maximum(), maximum);
  EXPECT_EQ(list.verticalScrollBar()->value(), list.verticalScrollBar()->maximum());
  EXPECT_LE(list.rowRect(list.rowCount() - 1).bottom(), list.viewport()->height());
}

}  // namespace
}  // namespace mf::uitest
