// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The event list: one row per visible event, drawn straight from the
// ContentView's visible rows. A list of a million events must scroll, grow and
// refilter without stalling, so rows are not widgets or items: their heights
// (one or two text lines) are decided arithmetically from cached character
// counts, kept as prefix sums, and only the rows in view are painted.

#include <QAbstractScrollArea>

class QPainter;
class QPushButton;
#include <cstdint>
#include <optional>
#include <vector>

#include "trace/content_view.h"

namespace mf::ui {

class EventListView final : public QAbstractScrollArea {
 public:
  explicit EventListView(ContentView& content, QWidget* parent = nullptr);

  const ContentView& content() const { return content_; }

  // Called by the window for every change of the state.
  void onChange(const Change& change);

  int rowCount() const { return static_cast<int>(offsets_.size()) - 1; }
  int rowHeight(int row) const;
  // 1 or 2: the message lines a row shows.
  int rowLines(int row) const;
  // The row of the selected event, when the selection is listed.
  std::optional<int> selectedRow() const;
  // The row's rectangle in viewport coordinates.
  QRect rowRect(int row) const;
  int rowAt(int viewportY) const;
  void scrollToRow(int row);
  // The message column's width, in pixels.
  int messageWidth() const;
  // The message lines as a row draws them.
  QStringList messageLines(int row) const;

  // A child of the list to begin with; the pane adopts it, since a screen
  // reader finds only rows below the list.
  QPushButton* backToEndButton() const { return backToEnd_; }
  void followEnd();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool viewportEvent(QEvent* event) override;

 private:
  // What decides a row's height, per event index. Computed once per event.
  struct TextMetrics {
    std::uint32_t messageColumns = 0;  // character cells; kBreaks when the message has a line break
    std::uint32_t sourceColumns = 0;
  };
  static constexpr std::uint32_t kBreaks = 0xffffffffu;

  void paintRows(QPainter& painter, const QRect& clip);
  void rebuildOffsets();
  void extendOffsets(std::size_t firstRow);
  void ensureMetrics(std::size_t eventCount);
  int linesFor(std::uint32_t eventIndex) const;
  int sourceLinesFor(std::uint32_t eventIndex) const;
  void updateScrollRange();
  void updateFits();
  void refreshSelectedIndex();
  void selectRow(int row);
  void moveSelection(int delta, bool toEdge);
  std::int64_t contentTop() const;
  // Scrolls on the program's behalf: the user's own scrolling decides following.
  void setScrollValue(int value);
  void userScrolled();
  void refreshBackToEnd();
  // Events that arrived since the reader left the end and are below the view.
  std::size_t unseenCount() const;
  // Where the reader is: the selected row while it is in view, else the top row.
  void rememberAnchor();
  void restoreAnchor();

  ContentView& content_;
  std::vector<TextMetrics> metrics_;
  std::vector<std::int64_t> offsets_{0};  // offsets_[r] = top of row r; back() = total height
  std::optional<std::size_t> selectedIndex_;  // index into events() of the selected event
  std::optional<std::size_t> pressedIndex_;   // the index a press just selected, to skip a lookup
  double advance_ = 7;
  int lineHeight_ = 14;
  int ascent_ = 11;
  int cachedWidth_ = -1;
  std::uint32_t messageFit_ = 0;
  std::uint32_t sourceFit_ = 0;
  // Following: new rows scroll into view. On while the view is at the end;
  // off once the user scrolls up or picks a row; on again at the end (End,
  // scrolling down, the "back to end" button).
  bool following_ = true;
  bool programmaticScroll_ = false;
  std::size_t seenEvents_ = 0;  // events()[i] with i below this were there when the reader left the end
  std::optional<std::size_t> anchorEvent_;  // index into events() of the row the reader is at
  std::int64_t anchorY_ = 0;                // that row's top in the viewport
  QPushButton* backToEnd_;
};

}  // namespace mf::ui
