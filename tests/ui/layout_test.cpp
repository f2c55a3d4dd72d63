// SPDX-License-Identifier: GPL-3.0-or-later
// Where everything lands on screen: the window through a trace at several
// sizes, written as a plan (every named widget's place and text, each
// listed row's place, lines and tooltip, the scroll bar) and compared with
// cases/layout.txt; and which rows take a second line, code point by code
// point.

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QLabel>
#include <QScrollBar>
#include <QToolTip>

#include "support/cases.h"
#include "ui/launch_options.h"
#include "ui/tokens.h"
#include "ui/widgets.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

// Every visible named widget (and label, button and clamped text), in the order the
// window made them, at its place in the window, with what it shows and says
// (its text, a clamped text's lines as painted, a label's colour, the centre
// as painted of a glyph button, badge or clamped text, a dot's or badge's edges, (off),
// (on), the size a button's glyph is drawn at (a glyph drawn at another is
// scaled, blurred), a card's painted fill (the open one's is cyan), (focus) and the ring's
// colour on each side, a switch's track and knob as painted, the name a reader hears, its
// tooltip); then the rows on screen, their place, the lines they
// show, whether anything is drawn in them, their painted ground (the
// selection), new-since-last-launch mark and
// tooltip (markup in a log line is never rendered, in the row or there);
// and where the list is scrolled to.
// A dialog of the window is planned as the window is, without the rows.
std::string plan(const Harness& h, const char* state, QWidget* window = nullptr) {
  if (window == nullptr) window = h.window.get();
  // What is painted: the colour at a point of a widget.
  const QImage shot = window->grab().toImage();
  const auto paint = [&](const QWidget* w, QPoint at) { return " " + shot.pixelColor(w->mapTo(window, at)).name(); };
  const auto box = [](QPoint at, QSize size) {
    return QStringLiteral("%1,%2 %3x%4").arg(at.x()).arg(at.y()).arg(size.width()).arg(size.height());
  };
  QString out = QStringLiteral("== %1: %2, at least %3\n").arg(state, box({}, window->size()).mid(4), box({}, window->minimumSizeHint()).mid(4));
  for (const QWidget* w : window->findChildren<QWidget*>()) {
    // Named widgets, and the labels and buttons inside them by their class (but a line edit's clear button, which fades).
    const bool listed = !w->objectName().isEmpty() || ((qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) || dynamic_cast<const ui::ClampedText*>(w)) && !w->parentWidget()->inherits("QLineEdit"));
    if (!listed || w->isWindow() || w->objectName().startsWith("qt_") || !w->isVisibleTo(window)) continue;
    QStringList fields{w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName(), box(w->mapTo(window, QPoint(0, 0)), w->size())};
    QString text = w->property("text").toString() + w->property("plainText").toString();
    if (const auto* clamped = dynamic_cast<const ui::ClampedText*>(w)) text = clamped->layoutLines(w->width()).join('\n');
    if (const auto* empty = dynamic_cast<const ui::EmptyState*>(w)) text = empty->title();
    if (const auto* counter = dynamic_cast<const ui::CounterLabel*>(w)) text = counter->text() + " " + counter->color().name();
    if (dynamic_cast<const ui::StatusDot*>(w) || dynamic_cast<const ui::PlainGlyphButton*>(w) || dynamic_cast<const ui::ClampedText*>(w) || dynamic_cast<const ui::AppBadge*>(w)) text += paint(w, {w->width() / 2, w->height() / 2});
    if (dynamic_cast<const ui::StatusDot*>(w) || dynamic_cast<const ui::AppBadge*>(w)) text += paint(w, {0, w->height() / 2}) + paint(w, {w->width() / 2, 0});  // edges: where it sits
    if (qobject_cast<const QLabel*>(w)) text += " " + w->palette().color(w->foregroundRole()).name();
    if (const auto* area = qobject_cast<const QAbstractScrollArea*>(w)) text += QStringLiteral(" scrolls %1").arg(area->verticalScrollBar()->maximum());
    const auto* card = dynamic_cast<const ui::SessionCard*>(w);
    const auto* onOff = dynamic_cast<const ui::LabeledSwitch*>(w);
    const QAbstractButton* button = onOff ? onOff->toggle() : qobject_cast<const QAbstractButton*>(w);
    text += QLatin1String(!w->isEnabled() ? " (off)" : button && button->isChecked() ? " (on)" : "") +
            (card ? paint(w, {3, w->height() / 2}) : "") +
            (w->hasFocus() ? " (focus)" + paint(w, {1, w->height() / 2}) + paint(w, {w->width() - 2, w->height() / 2}) + paint(w, {w->width() / 2, 1}) + paint(w, {w->width() / 2, w->height() - 2}) : "");
    // A switch along its middle: track, the pixels just left of the knob on and right of it off, track; then
    // the knob's lowest row, off and on: a knob a pixel off its place or size paints one differently.
    if (const QWidget* t = onOff ? onOff->toggle() : nullptr)
      for (const QPoint at : {QPoint(4, 13), QPoint(18, 13), QPoint(21, 13), QPoint(35, 13), QPoint(13, 20), QPoint(27, 20)}) text += paint(t, at);
    if (button && !button->icon().isNull()) text += QStringLiteral(" glyph %1px").arg(button->icon().availableSizes().value(0).width());
    fields << text.trimmed() << w->accessibleName() << w->property("placeholderText").toString() << w->toolTip();
    QString line = fields.join('\t').replace('\n', "\\n");
    while (line.endsWith('\t')) line.chop(1);
    out += line + '\n';
  }
  if (window != h.window.get()) return out.toStdString();
  const auto& list = h.list();
  for (int row = std::max(0, list.rowAt(0)); row < list.rowCount() && list.rowRect(row).top() < list.viewport()->height(); ++row) {
    const QRect r = list.rowRect(row);
    // "blank" where its text box holds nothing brighter than its ground (nothing drawn); then its ground,
    // and where a row new since the previous launch has its mark.
    const QImage drawn = shot.copy(QRect(list.viewport()->mapTo(window, r.topLeft()), r.size()).adjusted(ui::metrics::rowPaddingH, ui::metrics::rowPaddingV, -ui::metrics::rowPaddingH, -ui::metrics::rowPaddingV));
    bool blank = true;
    for (int i = 0; i < drawn.width() * drawn.height() && blank; ++i) blank = qGray(drawn.pixel(i % drawn.width(), i / drawn.width())) < qGray(drawn.pixel(0, 0)) + 40;
    const QString marks = (blank ? QStringLiteral(" blank") : QString()) + paint(list.viewport(), {ui::metrics::rowPaddingH + ui::metrics::timeColumn - 4, r.top() + 2}) +
                          paint(list.viewport(), {ui::metrics::rowPaddingH / 2, r.top() + ui::metrics::rowPaddingV + (2 * QFontMetrics(list.font()).ascent() + 2) / 3});
    // The tooltip a pointer on the message column's first pixel brings (a cut message in full); the
    // source column's last pixel brings none.
    const QPoint at(ui::metrics::rowPaddingH + ui::metrics::timeColumn + ui::metrics::typeColumn + ui::metrics::sourceColumn, r.center().y());
    QHelpEvent left(QEvent::ToolTip, at - QPoint(1, 0), list.viewport()->mapToGlobal(at - QPoint(1, 0)));
    QCoreApplication::sendEvent(list.viewport(), &left);
    QHelpEvent help(QEvent::ToolTip, at, list.viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(list.viewport(), &help);
    out += QStringLiteral("row %1\t%2\t%3\t%4\t%5\t%6\n")
               .arg(QString::number(row), box(r.topLeft(), r.size()), list.selectedRow() == row ? "selected" : "",
                    list.messageLines(row).join(" | "), marks + (left.isAccepted() ? " (a tooltip on the source)" : ""),
                    help.isAccepted() ? QToolTip::text().replace('\n', "\\n") : "");
  }
  QToolTip::hideText();
  out += QStringLiteral("scroll %1 of %2, page %3, step %4\n").arg(list.verticalScrollBar()->value()).arg(list.verticalScrollBar()->maximum()).arg(list.verticalScrollBar()->pageStep()).arg(list.verticalScrollBar()->singleStep());
  return out.toStdString();
}

// The plan of the window through two traces: a small window with the raw
// log on and off, a trace in it and a row selected (the detail pane opens),
// searches, the verdict clicked (it selects the event it rests on), grown (only the
// event pane widens), the side columns hidden (F9) and shown again with the
// detail pane folded (Shift+F9), the raw log in a smaller window, the
// target's end, a second trace, with a new warning, stopped, that warning read
// in the unfolded detail pane, the first opened from its card (during a
// search, which that clears) and left with "Current", seven more traces, the
// last with one error (eight sessions kept, the sidebar scrolls); and a roomy
// window shrunk (the toolbar gives way rather than hold the window
// wide), then widened to the first width at which the buttons' labels come
// back, and on to the first at which the list's mode shows. The plan is drawn
// with DejaVu; on a machine whose fonts the harness could not pin, it is not
// compared.
TEST(WindowLayout, ThroughTwoTracesAtEachSizeMatchesThePlan) {
  application();
  if (QFontInfo(ui::fonts::mono(12)).family() != "DejaVu Sans Mono" || QFontInfo(QApplication::font()).family() != "DejaVu Sans") {
    GTEST_SKIP() << "the plan is drawn with DejaVu Sans and DejaVu Sans Mono, not found in " << kFontDir;
  }
  Harness h(QSize(1000, 680));
  std::string got = plan(h, "a small window at its start");
  // The colours the window is painted with: the palette by role (active, disabled), the style sheets by rule.
  for (int role = 0; role < QPalette::NColorRoles; ++role)
    got += QStringLiteral("palette %1 %2 %3\n").arg(QMetaEnum::fromType<QPalette::ColorRole>().valueToKey(role), QApplication::palette().color(QPalette::Active, QPalette::ColorRole(role)).name(QColor::HexArgb), QApplication::palette().color(QPalette::Disabled, QPalette::ColorRole(role)).name(QColor::HexArgb)).toStdString();
  for (const QWidget* w : QList<QWidget*>{h.window.get()} + h.window->findChildren<QWidget*>())
    for (const QString& rule : w->styleSheet().split('}', Qt::SkipEmptyParts)) got += (w->objectName() + "\t" + rule.trimmed() + " }\n").toStdString();
  namespace colors = ui::colors;
  for (const QColor& c : {colors::cyan(), colors::blue(), colors::green(), colors::red(), colors::orange(), colors::white(), colors::black(), colors::primary(), colors::secondary(), colors::onAccent(), colors::tooltipFill(), colors::accentHover(), colors::accentPressed()}) got += "colour " + c.name(QColor::HexArgb).toStdString() + "\n";
  // The continuous corner: its outline in a wide box, a flat one and with no radius.
  for (const auto& [rect, radius] : {std::pair{QRectF(0.5, 1.5, 40, 20), 6.0}, {QRectF(0, 0, 30, 10), 8.0}, {QRectF(0, 0, 9, 9), 0.0}}) {
    const QPainterPath path = ui::continuousRoundedRect(rect, radius);
    for (int i = 0; i < path.elementCount(); ++i) got += QStringLiteral("%1%2,%3").arg(i == 0 ? "corner " : " ").arg(path.elementAt(i).x).arg(path.elementAt(i).y).toStdString();
    got += "\n";
  }
  Harness::click(h.pane().rawLogSwitch()->toggle());
  h.pane().rawLogSwitch()->toggle()->setFocus();
  got += plan(h, "the raw log");
  Harness::click(h.pane().rawLogSwitch()->toggle());
  Harness::click(h.pane().freshLaunchSwitch()->toggle());
  h.window->launchOptions().setForTarget(kApp, {{"--alpha", "two words"}, {{"G_MESSAGES_DEBUG", "all"}, {"LANG", "C"}, {"TZ", "UTC"}}, false});
  h.choose(kApp, "org.example.Demo");
  h.launch(100);
  auto* verdict = h.window->findChild<QLabel*>("verdictText");
  const QString launched = verdict->text();
  h.lines({"Error: disk full", "warning: low memory", "", "cfprefsd noise", "Error: <b>" + std::string(300, 'x'),
           "fatal error: first\nsecond", "warning: wide \u4e2d\u6587 \ud55c\uae00 \uff21\uff22 \U0001F600 end",
           "warning: tab\tstop and a long tail of words that wraps in a narrow window somewhere",
           "warning: cr\rvt\vff\fnel\u0085ls\u2028ps\u2029end", "warning: bidi \u061b\u061c\u200d\u200e\u200f\u202a\u202e\u202f\u2065\u2066\u2069\u206a",
           "warning: " + QString::fromUcs4(U"\U0001D68A").repeated(300).toStdString()});  // 4 bytes a letter, as wide as 'M'
  ASSERT_TRUE(waitUntil([&] { return verdict->text() != launched; })) << "the verdict settles on the new lines";
  h.clickRow("warning: low memory"), h.clickRow("warning: low memory");  // clicked again: nothing new to select
  got += plan(h, "tracing in a small window, a row selected");
  // The counters and the summary button follow the visible list: only
  // noise listed is nothing to summarize, until the raw log shows it.
  QTest::keyClicks(h.pane().searchField(), "cfprefsd");
  got += plan(h, "a search only noise matches");
  Harness::click(h.pane().rawLogSwitch()->toggle());
  got += plan(h, "a search only noise matches, in the raw log");
  Harness::click(h.pane().rawLogSwitch()->toggle());
  h.pane().searchField()->clear();
  QTest::keyClicks(h.pane().searchField(), "WARN");
  got += plan(h, "a search");
  h.pane().searchField()->clear();
  Harness::click(verdict);
  h.resize(1440, 900);
  got += plan(h, "the verdict clicked, grown");
  QTest::keyClick(h.window.get(), Qt::Key_F9);
  got += plan(h, "side columns hidden");
  QTest::keyClick(h.window.get(), Qt::Key_F9);
  QTest::keyClick(h.window.get(), Qt::Key_F9, Qt::ShiftModifier);
  got += plan(h, "side columns shown, the detail pane folded");
  Harness::click(h.pane().rawLogSwitch()->toggle());
  h.resize(1024, 700);
  got += plan(h, "the raw log, shrunk");
  h.lines({"warning: below 1", "warning: below 2", "warning: below 3", "warning: below 4", "warning: below 5"});
  h.fakes.workspace.terminate(100);
  h.run();
  // Scrolled down to some of the news: the button counts the rest.
  h.list().verticalScrollBar()->setValue(h.list().verticalScrollBar()->maximum() - 40);
  got += plan(h, "the target ended");
  h.launch(200);
  h.clickRow("Demo launched with PID 200");
  h.lines({"hello from the app", "warning: new since the first"});
  h.stop();
  got += plan(h, "a second trace stopped");
  QTest::keyClick(h.window.get(), Qt::Key_F9, Qt::ShiftModifier);
  h.clickRow("warning: new since the first");
  got += plan(h, "its new warning in the detail pane");
  QTest::keyClicks(h.pane().searchField(), "hello"), Harness::click(h.side().cards().at(1));  // it clears the search
  got += plan(h, "the first trace opened from its card");
  Harness::click(h.pane().findChild<QWidget*>("currentButton"));
  h.side().findChild<QWidget*>("clearHistoryButton")->setFocus();
  got += plan(h, "Current");
  for (int pid = 300; pid < 307; ++pid) { h.launch(pid); if (pid == 306) h.lines({"error: the one"}); h.stop(); }
  got += plan(h, "eight sessions kept of nine");
  // The launch options dialog, as small as it goes.
  ui::LaunchOptionsDialog dialog("Demo", h.window->launchOptions().forTarget(kApp), h.window.get());
  dialog.show();
  dialog.resize(1, 1);
  got += plan(h, "the launch options", &dialog);
  ui::LaunchOptionsDialog refused("Demo", {{}, {}, true, "two words"}, h.window.get());  // no host has a space
  refused.accept();
  EXPECT_EQ(refused.result(), QDialog::Rejected);

  Harness roomy(QSize(1600, 1000));
  roomy.choose("/opt/demo/a folder deep enough/that its path/takes more than/the three lines/a target path keeps/in the sidebar/Demo.desktop");
  roomy.launch();
  got += plan(roomy, "a roomy window");
  roomy.resize(1000, 680);
  got += plan(roomy, "the roomy window shrunk");
  // Widened a pixel at a time from there: the first width at which the toolbar's buttons show their labels.
  for (int width = 1000; roomy.pane().chooseButton()->text().isEmpty() && width < 1600; ++width) roomy.resize(width, 680);
  got += plan(roomy, "the toolbar's labels just back");
  for (int width = roomy.window->width(); !roomy.pane().findChild<QWidget*>("modeLabel")->isVisible() && width < 1600; ++width) roomy.resize(width, 680);
  got += plan(roomy, "the list's mode just back");

  testing::expectGolden(MARROWFIELD_CASES "/layout.txt", got);
}

// Which rows take a second line is counted in character cells, not
// measured: cases/columns.tsv. A text of N cells followed by as many letters
// as fill the message column up to N shows on one line; one letter more
// takes two.
class MessageCells : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(MessageCells, DecideWhichRowsTakeASecondLine) {
  static Harness* h = [] {
    auto* made = new Harness;
    made->choose();
    made->launch();
    Harness::click(made->pane().rawLogSwitch()->toggle());
    // Rows enough for the scroll bar, which narrows the column, from the start.
    for (int i = 0; i < 40; ++i) made->lines({"filler"});
    return made;
  }();
  const auto& c = GetParam().fields;
  const char32_t point = c.at(0).starts_with("U+") ? static_cast<char32_t>(std::stoul(c.at(0).substr(2), nullptr, 16)) : 0;
  const std::string text = point != 0 ? QString::fromUcs4(&point, 1).toStdString() : c.at(0);
  auto& list = h->list();
  const auto fit = static_cast<int>(list.messageWidth() / QFontMetricsF(list.font()).horizontalAdvance('M'));
  const int cells = c.at(1) == "breaks" ? fit - 1 : std::stoi(c.at(1));
  const std::string fits = text + std::string(static_cast<std::size_t>(fit - cells), 'x');
  const std::string over = fits + "x";
  h->lines({fits, over});
  EXPECT_EQ(list.rowLines(h->rowOf(fits)), c.at(1) == "breaks" ? 2 : 1) << fit;
  EXPECT_EQ(list.rowLines(h->rowOf(over)), 2);
}

INSTANTIATE_TEST_SUITE_P(Text, MessageCells, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/columns.tsv")),
                         testing::caseName);

}  // namespace
}  // namespace mf::uitest
