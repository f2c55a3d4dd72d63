// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/event_list_view.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>

#include "model/time_text.h"
#include "ui/event_list_accessible.h"
#include "ui/glyphs.h"
#include "ui/tokens.h"
#include "ui/widgets.h"

namespace mf::ui {

namespace {

// A text from outside, drawn so that its bidirectional controls stay inside
// it: the first-strong isolate decides its own direction and the closing
// isolate ends every embedding or override it left open, so a message or a
// source cannot reorder anything else in the row. (A tooltip holds the
// message alone.)
QString isolated(const QString& text) { return QChar(0x2068) + text + QChar(0x2069); }

// Character cells of a UTF-8 text in a monospaced font: one per code point,
// two for the East Asian wide ranges (a fallback font draws those double),
// a tab to the next stop of 8.
std::uint32_t countColumns(std::string_view text, bool& breaks) {
  std::uint32_t columns = 0;
  breaks = false;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        breaks = true;
        return columns;
      }
      columns += c == '\t' ? 8 - columns % 8 : 1;
      ++p;
      continue;
    }
    char32_t cp = 0;
    int extra = 0;
    if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    ++p;
    for (int i = 0; i < extra && p < end && (*p & 0xC0) == 0x80; ++i, ++p) cp = (cp << 6) | (*p & 0x3F);
    if (cp == 0x85 || cp == 0x2028 || cp == 0x2029) {
      breaks = true;
      return columns;
    }
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
                      (cp >= 0x20000 && cp <= 0x3FFFD);
    columns += wide ? 2 : 1;
  }
  return columns;
}

// The characters that end a line of a message, in a row as in its tooltip.
bool endsLine(QChar c) {
  return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\v') || c == QLatin1Char('\f') ||
         c == QChar(0x85) || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

constexpr int kFixedColumns = metrics::timeColumn + metrics::typeColumn + metrics::sourceColumn;

}  // namespace

EventListView::EventListView(ContentView& content, QWidget* parent) : QAbstractScrollArea(parent), content_(content) {
  setObjectName(QStringLiteral("eventList"));
  EventListAccessible::install();
  setAccessibleName(QStringLiteral("Events"));
  setFrameShape(QFrame::NoFrame);
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setAutoFillBackground(false);
  setAutoFillBackground(false);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  QFont font = fonts::mono(metrics::eventRowFontSize);
  setFont(font);
  viewport()->setFont(font);
  const QFontMetricsF fm(font);
  advance_ = fm.horizontalAdvance(QLatin1Char('M'));
  lineHeight_ = qCeil(fm.lineSpacing());
  ascent_ = qCeil(fm.ascent());

  backToEnd_ = new QPushButton(this);
  backToEnd_->setObjectName(QStringLiteral("backToEndButton"));
  backToEnd_->setIcon(glyphIcon(QStringLiteral("arrow.down.to.line"), colors::onAccent(), 14));
  backToEnd_->setIconSize(QSize(14, 14));
  backToEnd_->setStyleSheet(styles::prominentButton(backToEnd_->objectName()));
  backToEnd_->setFocusPolicy(Qt::TabFocus);
  backToEnd_->setCursor(Qt::PointingHandCursor);
  backToEnd_->setToolTip(QStringLiteral("Scroll to the newest event and follow the trace (End)"));
  backToEnd_->hide();
  QObject::connect(backToEnd_, &QPushButton::clicked, this, [this] {
    followEnd();
    setFocus(Qt::OtherFocusReason);
  });
  QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    // A scroll of our own, or a range change under a new filter, is not
    // where the reader is: onChange and resizeEvent note that themselves.
    if (programmaticScroll_) return;
    userScrolled();
    rememberAnchor();
  });
  rebuildOffsets();
}

void EventListView::setScrollValue(int value) {
  programmaticScroll_ = true;
  verticalScrollBar()->setValue(value);
  programmaticScroll_ = false;
}

void EventListView::userScrolled() {
  QScrollBar* bar = verticalScrollBar();
  const bool atEnd = bar->value() >= bar->maximum();
  if (atEnd != following_) {
    following_ = atEnd;
    if (!following_) seenEvents_ = content_.events().size();
  }
  // Scrolling down reads some of the news.
  refreshBackToEnd();
}

void EventListView::followEnd() {
  following_ = true;
  setScrollValue(verticalScrollBar()->maximum());
  refreshBackToEnd();
}

std::size_t EventListView::unseenCount() const {
  if (following_) return 0;
  const auto& rows = content_.visibleRows();
  const auto total = std::min<std::size_t>(rows.size(), static_cast<std::size_t>(std::max(0, rowCount())));
  const auto firstNew =
      static_cast<std::size_t>(std::lower_bound(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(total),
                                                static_cast<std::uint32_t>(std::min<std::size_t>(seenEvents_, UINT32_MAX))) -
                               rows.begin());
  // The first row that does not show whole.
  const std::int64_t viewBottom = contentTop() + viewport()->height();
  const auto firstHidden = static_cast<std::size_t>(
      std::upper_bound(offsets_.begin() + 1, offsets_.begin() + 1 + static_cast<std::ptrdiff_t>(total), viewBottom) -
      (offsets_.begin() + 1));
  return total - std::min(total, std::max(firstNew, firstHidden));
}

void EventListView::refreshBackToEnd() {
  constexpr int kGap = 8;
  const bool show = !following_ && unseenCount() > 0;
  // The button sits in a strip of its own under the rows, so it hides none of them.
  const int strip = show ? backToEnd_->sizeHint().height() + 2 * kGap : 0;
  if (viewportMargins().bottom() != strip) {
    setViewportMargins(0, 0, 0, strip);
    updateScrollRange();
  }
  if (show) {
    const std::size_t unseen = unseenCount();
    const QString text = unseen == 1 ? QStringLiteral("1 new event")
                                     : QStringLiteral("%1 new events").arg(static_cast<qulonglong>(unseen));
    backToEnd_->setText(QStringLiteral(" ") + text);
    backToEnd_->setAccessibleName(QStringLiteral("Back to end, ") + text);
    backToEnd_->adjustSize();
    // In the strip under the rows, wherever the button's parent is.
    QWidget* host = backToEnd_->parentWidget();
    const QPoint origin = host->mapFromGlobal(viewport()->mapToGlobal(QPoint(0, 0)));
    const QRect area(origin, viewport()->size());
    backToEnd_->move(area.center().x() - backToEnd_->width() / 2, area.bottom() + 1 + kGap);
    backToEnd_->raise();
  } else if (backToEnd_->hasFocus()) {
    setFocus(Qt::OtherFocusReason);
  }
  backToEnd_->setVisible(show);
}

void EventListView::rememberAnchor() {
  const auto& rows = content_.visibleRows();
  std::optional<int> row = selectedRow();
  if (row && (rowRect(*row).bottom() < 0 || rowRect(*row).top() >= viewport()->height())) row.reset();
  if (!row && rowAt(0) >= 0) row = rowAt(0);
  if (!row || *row >= static_cast<int>(rows.size())) {
    anchorEvent_.reset();
    return;
  }
  anchorEvent_ = rows[static_cast<std::size_t>(*row)];
  anchorY_ = offsets_[static_cast<std::size_t>(*row)] - contentTop();
}

void EventListView::restoreAnchor() {
  if (!anchorEvent_ || rowCount() == 0) return;
  const auto& rows = content_.visibleRows();
  const auto it = std::lower_bound(rows.begin(), rows.begin() + rowCount(), static_cast<std::uint32_t>(*anchorEvent_));
  const auto row = static_cast<std::size_t>(std::min<std::ptrdiff_t>(it - rows.begin(), rowCount() - 1));
  // The reader's row where it was on screen; a row the filter hid gives its place to the next.
  const std::int64_t y = rows[row] == *anchorEvent_ ? anchorY_ : 0;
  setScrollValue(static_cast<int>(std::clamp<std::int64_t>(offsets_[row] - y, 0, verticalScrollBar()->maximum())));
}

int EventListView::messageWidth() const {
  return std::max(40, viewport()->width() - 2 * metrics::rowPaddingH - kFixedColumns);
}

void EventListView::ensureMetrics(std::size_t eventCount) {
  const EventList& events = content_.events();
  eventCount = std::min(eventCount, events.size());
  if (metrics_.size() >= eventCount) return;
  const std::size_t from = metrics_.size();
  metrics_.resize(eventCount);
  for (std::size_t i = from; i < eventCount; ++i) {
    const EventView event = events[i];
    bool breaks = false;
    const std::uint32_t columns = countColumns(event.message, breaks);
    metrics_[i].messageColumns = breaks ? kBreaks : columns;
    bool sourceBreaks = false;
    metrics_[i].sourceColumns = countColumns(event.source, sourceBreaks) + (sourceBreaks ? 1000 : 0);
  }
}

int EventListView::sourceLinesFor(std::uint32_t eventIndex) const {
  const std::uint32_t columns = metrics_[eventIndex].sourceColumns;
  if (columns <= sourceFit_) return 1;
  // A source is a short tag; a long one wraps anywhere inside its column and is never cut.
  const int perLine = std::max(1, static_cast<int>(metrics::sourceColumn / advance_));
  return std::min(8, static_cast<int>((columns + perLine - 1) / perLine));
}

int EventListView::linesFor(std::uint32_t eventIndex) const {
  const TextMetrics& m = metrics_[eventIndex];
  // kBreaks is above any fit, so a message with a line break always takes two lines.
  if (m.messageColumns <= messageFit_ && m.sourceColumns <= sourceFit_) return 1;
  return std::max(m.messageColumns <= messageFit_ ? 1 : 2, sourceLinesFor(eventIndex));
}

void EventListView::updateFits() {
  // Whole character cells that fit each column; exact for a monospaced font.
  messageFit_ = static_cast<std::uint32_t>(messageWidth() / advance_);
  sourceFit_ = static_cast<std::uint32_t>(metrics::sourceColumn / advance_);
}

void EventListView::rebuildOffsets() {
  cachedWidth_ = viewport()->width();
  updateFits();
  offsets_.assign(1, 0);
  extendOffsets(0);
}

// Called with firstRow at most the rows measured so far (offsets_.size() - 1)
// and no fewer rows than that listed: a list that lost rows is rebuilt.
void EventListView::extendOffsets(std::size_t firstRow) {
  const auto& rows = content_.visibleRows();
  offsets_.resize(firstRow + 1);  // the rows from firstRow on are new or moved
  // Every listed row is an event, and every event is measured here.
  ensureMetrics(content_.events().size());
  std::int64_t y = offsets_.back();
  for (std::size_t r = firstRow; r < rows.size(); ++r) {
    y += 2 * metrics::rowPaddingV + linesFor(rows[r]) * lineHeight_;
    offsets_.push_back(y);
  }
  updateScrollRange();
}

void EventListView::updateScrollRange() {
  QScrollBar* bar = verticalScrollBar();
  const std::int64_t total = offsets_.back();
  const int page = viewport()->height();
  const auto maximum = static_cast<int>(std::clamp<std::int64_t>(total - page, 0, INT32_MAX));
  programmaticScroll_ = true;
  bar->setRange(0, maximum);
  programmaticScroll_ = false;
  bar->setPageStep(std::max(1, page));
  bar->setSingleStep(lineHeight_ + 2 * metrics::rowPaddingV);
}

std::int64_t EventListView::contentTop() const { return verticalScrollBar()->value(); }

int EventListView::rowHeight(int row) const {
  if (row < 0 || row >= rowCount()) return 0;
  return static_cast<int>(offsets_[row + 1] - offsets_[row]);
}

int EventListView::rowLines(int row) const {
  return (rowHeight(row) - 2 * metrics::rowPaddingV) / std::max(1, lineHeight_);
}

QRect EventListView::rowRect(int row) const {
  if (row < 0 || row >= rowCount()) return {};
  const auto top = static_cast<int>(offsets_[row] - contentTop());
  return QRect(0, top, viewport()->width(), rowHeight(row));
}

int EventListView::rowAt(int viewportY) const {
  const std::int64_t y = viewportY + contentTop();
  if (y < 0 || y >= offsets_.back()) return -1;
  const auto it = std::upper_bound(offsets_.begin(), offsets_.end(), y);
  return static_cast<int>(it - offsets_.begin()) - 1;
}

std::optional<int> EventListView::selectedRow() const {
  if (!selectedIndex_) return std::nullopt;
  const auto& rows = content_.visibleRows();
  const auto it = std::lower_bound(rows.begin(), rows.end(), static_cast<std::uint32_t>(*selectedIndex_));
  if (it == rows.end() || *it != *selectedIndex_) return std::nullopt;
  return static_cast<int>(it - rows.begin());
}

void EventListView::scrollToRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  QScrollBar* bar = verticalScrollBar();
  const std::int64_t top = offsets_[row];
  const std::int64_t bottom = offsets_[row + 1];
  const int page = viewport()->height();
  if (top < bar->value()) setScrollValue(static_cast<int>(top));
  else if (bottom > bar->value() + page) setScrollValue(static_cast<int>(bottom - page));
}

void EventListView::refreshSelectedIndex() {
  const auto& id = content_.selectedEventID();
  const EventList& events = content_.events();
  if (!id) {
    selectedIndex_.reset();
  } else if (pressedIndex_ && *pressedIndex_ < events.size() && *events[*pressedIndex_].id == *id) {
    selectedIndex_ = pressedIndex_;
  } else {
    selectedIndex_ = events.indexOf(*id);
  }
  pressedIndex_.reset();
}

void EventListView::onChange(const Change& change) {
  if (change.has(Change::eventsReplaced)) {
    metrics_.clear();
    metrics_.shrink_to_fit();
    // Another list: it is read from its end, as a new trace grows there.
    following_ = true;
    anchorEvent_.reset();
    refreshBackToEnd();
  }
  // A late line placed among the events moves those after it.
  const bool eventsMoved = change.has(Change::eventsInserted) && change.firstChangedEvent < metrics_.size();
  if (eventsMoved) metrics_.resize(change.firstChangedEvent);
  const std::optional<int> selectedBefore = selectedRow();
  if (change.has(Change::eventsReplaced) || change.has(Change::eventSelection) ||
      (eventsMoved && selectedIndex_ && *selectedIndex_ >= change.firstChangedEvent)) {
    refreshSelectedIndex();
  }

  const auto& rows = content_.visibleRows();
  const bool filterChanged = change.has(Change::visibleReset) || change.has(Change::eventsReplaced) ||
                             change.has(Change::switches) || change.has(Change::searchText);
  if (filterChanged || rows.size() + 1 < offsets_.size()) {
    // A search, a switch or another list may take rows away or give them
    // back: a reader hears it as it hears rows arrive, the removal while the
    // last row taken still exists.
    const int before = rowCount();
    if (static_cast<int>(rows.size()) < before) announceRowsRemoved(this, before - 1);
    rebuildOffsets();
    if (rowCount() > before) announceRowsAdded(this, rowCount() - 1);
    // Typing or clearing a search leaves the reader where they were, or at
    // the end if they followed it.
    if (following_) setScrollValue(verticalScrollBar()->maximum());
    else restoreAnchor();
    refreshBackToEnd();
    viewport()->update();
  } else if (change.has(Change::visibleInserted) || rows.size() + 1 > offsets_.size()) {
    const auto firstRow = std::min(change.has(Change::visibleInserted) ? change.firstChangedRow : offsets_.size() - 1,
                                   offsets_.size() - 1);
    const std::int64_t oldTop = offsets_[firstRow];
    extendOffsets(firstRow);
    // Following keeps the newest rows in view; otherwise the view stays put
    // and the back-to-end button counts what arrived below it.
    if (following_) {
      setScrollValue(verticalScrollBar()->maximum());
    } else {
      // Only rows that land below the view are news; the rest are in sight.
      refreshBackToEnd();
    }
    // Repaint only when the new or moved rows reach into the visible area.
    if (following_ || oldTop < contentTop() + viewport()->height()) viewport()->update();
    announceRowsAdded(this, rowCount() - 1);
  }
  if (change.has(Change::eventSelection)) {
    if (auto row = selectedRow()) scrollToRow(*row);
    viewport()->update();
    announceSelection(this, selectedBefore, selectedRow());
  }
  rememberAnchor();
}

void EventListView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  if (viewport()->width() != cachedWidth_) {
    // Which rows wrap depends on the message column's width; keep the first row in view in place.
    const int anchor = std::max(0, rowAt(0));
    rebuildOffsets();
    if (following_) setScrollValue(verticalScrollBar()->maximum());
    else if (anchor < rowCount()) setScrollValue(static_cast<int>(offsets_[anchor]));
  } else {
    updateScrollRange();
    if (following_) setScrollValue(verticalScrollBar()->maximum());
  }
  refreshBackToEnd();
  rememberAnchor();
}

void EventListView::scrollContentsBy(int, int) { viewport()->update(); }

QStringList EventListView::messageLines(int row) const {
  const auto& rows = content_.visibleRows();
  if (row < 0 || row >= static_cast<int>(rows.size())) return {};
  const EventView event = content_.events()[rows[row]];
  const QFontMetricsF fm(font());
  const int width = messageWidth();
  if (rowLines(row) <= 1 && rows[row] < metrics_.size() && metrics_[rows[row]].messageColumns != kBreaks) {
    return {fm.elidedText(showBidiControls(toQString(event.message)), Qt::ElideRight, width)};
  }
  // Two lines: wrap the start of the message, cut the rest with an ellipsis.
  // Only the text that can show is laid out, so a 1 MiB line costs no more than a short one.
  const int budget = static_cast<int>(2 * width / std::max(1.0, advance_)) + 64;
  const std::size_t byteBudget = static_cast<std::size_t>(budget) * 4;
  QString message = showBidiControls(toQString(event.message.substr(0, byteBudget)));
  bool truncated = event.message.size() > byteBudget;
  if (message.size() > budget) {
    message.truncate(budget);
    truncated = true;
  }
  for (QChar& c : message) {
    if (endsLine(c)) c = QChar::LineSeparator;
  }
  QTextLayout layout(message, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  QStringList lines;
  QTextLine first = layout.createLine();
  if (first.isValid()) {
    first.setLineWidth(width);
    QString part = message.mid(first.textStart(), first.textLength());
    part.remove(QChar::LineSeparator);
    lines << part;
    QString rest = message.mid(first.textStart() + first.textLength());
    rest.replace(QChar::LineSeparator, QLatin1Char(' '));
    if (!rest.isEmpty() || truncated) {
      QString second = fm.elidedText(rest, Qt::ElideRight, width);
      if (truncated && second == rest) {
        // The cut-off tail would not be marked otherwise.
        second = fm.elidedText(rest + QStringLiteral("\u2026\u2026"), Qt::ElideRight, width);
      }
      lines << second;
    }
  }
  layout.endLayout();
  return lines;
}

void EventListView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  paintRows(painter, event->rect());
  if (hasFocus()) {
    const double inset = metrics::focusRingWidth / 2.0;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colors::focusRing(), metrics::focusRingWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(viewport()->rect()).adjusted(inset, inset, -inset, -inset));
  }
}

void EventListView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
  // The reader goes on to the selected row, as in any list.
  announceSelection(this, std::nullopt, selectedRow());
}

void EventListView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

// New since the previous launch: a dot in the row's left margin.
static void paintNewMarker(QPainter& painter, QPoint center) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colors::orange());
  painter.drawEllipse(QPointF(center), 3.0, 3.0);
  painter.restore();
}

void EventListView::paintRows(QPainter& painter, const QRect& clip) {
  const auto& rows = content_.visibleRows();
  if (rows.empty() || rowCount() == 0) return;
  const EventList& events = content_.events();
  int row = std::max(0, rowAt(clip.top()));
  const int width = viewport()->width();
  const int messageX = metrics::rowPaddingH + kFixedColumns;
  const int messageW = messageWidth();
  const QColor secondary = colors::secondary();
  const QColor primary = colors::primary();
  const auto selected = selectedRow();
  painter.setFont(font());

  for (; row < rowCount() && row < static_cast<int>(rows.size()); ++row) {
    const QRect box = rowRect(row);
    if (box.top() > clip.bottom()) break;
    if (rows[row] >= events.size()) break;
    const EventView ev = events[rows[row]];
    if (selected && *selected == row) painter.fillRect(QRect(0, box.top(), width, box.height()), colors::cyan(0.1));
    const int textTop = box.top() + metrics::rowPaddingV;
    const int baseline = textTop + ascent_;
    if (content_.isNew(ev).value_or(false)) paintNewMarker(painter, QPoint(metrics::rowPaddingH / 2, baseline - ascent_ / 3));
    int x = metrics::rowPaddingH;
    painter.setPen(secondary);
    painter.drawText(QPoint(x, baseline), QString::fromStdString(formatTime(ev.time, content_.shownUtcOffset())));
    x += metrics::timeColumn;
    painter.setPen(colors::forType(ev.type));
    const std::string_view typeLabel = label(ev.type);
    painter.drawText(QPoint(x, baseline), QString::fromLatin1(typeLabel.data(), static_cast<qsizetype>(typeLabel.size())));
    x += metrics::typeColumn;
    painter.setPen(secondary);
    const QString source = showBidiControls(toQString(ev.source));
    if (sourceLinesFor(rows[row]) == 1) {
      painter.drawText(QPoint(x, baseline), isolated(source));
    } else {
      painter.drawText(QRect(x, textTop, metrics::sourceColumn, box.height() - 2 * metrics::rowPaddingV),
                       Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere, isolated(source));
    }
    painter.setPen(primary);
    const QStringList lines = messageLines(row);
    int y = baseline;
    for (const QString& line : lines) {
      painter.drawText(QPoint(messageX, y), isolated(line));
      y += lineHeight_;
    }
    (void)messageW;
  }
}

bool EventListView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    // A cut message reads in full in the tooltip (and in the detail pane).
    auto* help = static_cast<QHelpEvent*>(event);
    const int row = rowAt(help->pos().y());
    const auto& rows = content_.visibleRows();
    if (row >= 0 && row < static_cast<int>(rows.size()) && help->pos().x() >= metrics::rowPaddingH + kFixedColumns) {
      const QStringList shown = messageLines(row);
      const std::string_view message = content_.events()[rows[row]].message;
      QString full = toQString(message.substr(0, 4000));
      if (message.size() > 4000) full += QStringLiteral("\u2026");
      // Every line break reads as the line feed does, a <br>: raw in the
      // markup, the others would read as blanks (U+2029 as a new paragraph).
      for (QChar& c : full) {
        if (endsLine(c)) c = QLatin1Char('\n');
      }
      if (shown.join(QLatin1Char('\n')) != full) {
        QToolTip::showText(help->globalPos(), plainToolTip(full), viewport(), rowRect(row));
        return true;
      }
    }
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void EventListView::selectRow(int row) {
  const auto& rows = content_.visibleRows();
  if (row < 0 || row >= static_cast<int>(rows.size())) return;
  const std::uint32_t index = rows[row];
  pressedIndex_ = index;
  // A row the user picks stays where it is: new rows no longer push it away.
  if (following_) seenEvents_ = content_.events().size();
  following_ = false;
  content_.selectEvent(*content_.events()[index].id);
  scrollToRow(row);
}

void EventListView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() != Qt::LeftButton) return;
  const int row = rowAt(static_cast<int>(event->position().y()));
  if (row >= 0) selectRow(row);
}

void EventListView::moveSelection(int delta, bool toEdge) {
  const int count = rowCount();
  if (count == 0) return;
  int target = 0;
  if (toEdge) {
    target = delta < 0 ? 0 : count - 1;
  } else if (auto row = selectedRow()) {
    target = std::clamp(*row + delta, 0, count - 1);
  } else if (selectedIndex_) {
    // The selection is hidden by the filter: step from where it would sit.
    const auto& rows = content_.visibleRows();
    const auto pos = static_cast<int>(
        std::lower_bound(rows.begin(), rows.end(), static_cast<std::uint32_t>(*selectedIndex_)) - rows.begin());
    target = std::clamp(delta > 0 ? pos + delta - 1 : pos + delta, 0, count - 1);
  } else {
    // Nothing selected: the first row on screen, or the last (the list's last where it ends above the view's bottom).
    const int lastShown = rowAt(viewport()->height() - 1);
    target = delta > 0 ? std::max(0, rowAt(0)) : lastShown >= 0 ? lastShown : count - 1;
  }
  selectRow(target);
}

void EventListView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    content_.copySelectedEvent();
    return;
  }
  const int pageRows = std::max(1, viewport()->height() / std::max(1, lineHeight_ + 2 * metrics::rowPaddingV));
  switch (event->key()) {
    case Qt::Key_Down: moveSelection(1, false); return;
    case Qt::Key_Up: moveSelection(-1, false); return;
    case Qt::Key_PageDown: moveSelection(pageRows, false); return;
    case Qt::Key_PageUp: moveSelection(-pageRows, false); return;
    case Qt::Key_Home: moveSelection(-1, true); return;
    case Qt::Key_End:
      moveSelection(1, true);
      followEnd();
      return;
    default: break;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

}  // namespace mf::ui
