// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a screen reader finds in the event list. The list paints its rows
// instead of making widgets of them, so without this it would read as one
// empty pane: here it is a list whose items are the visible rows, each
// named by its time, type, source and message, with the selected row marked
// selected (and focused while the list has the keyboard).

#include <QAccessibleWidget>
#include <QPointer>
#include <optional>
#include <unordered_map>

namespace mf::ui {

class EventListView;

class EventListAccessible final : public QAccessibleWidget {
 public:
  explicit EventListAccessible(EventListView* view);
  ~EventListAccessible() override;

  // Installs the factory that gives every EventListView this interface.
  static void install();

  int childCount() const override;
  QAccessibleInterface* child(int index) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override;
  QAccessibleInterface* focusChild() const override;
  QString text(QAccessible::Text t) const override;

  EventListView* view() const;

 private:
  // One interface per row position, made on demand: a list of a million
  // events costs nothing until a reader walks it.
  mutable std::unordered_map<int, QAccessible::Id> rows_;
};

// The spoken form of a row: "13:05:09, ERROR, CRASH, demo crashed: ...".
QString spokenRow(const EventListView& view, int row);

// Tells a reader that rows arrived: one children-changed for the newest row
// of a batch, not one per row, so a flood does not flood the bus.
void announceRowsAdded(EventListView* view, int lastRow);
// Tells a reader that rows went (a search hid them, the list was cleared):
// one children-changed for the last row, sent while that row still exists.
void announceRowsRemoved(EventListView* view, int lastRow);
// Tells the accessibility bus that the selection moved from row `before` to row `after`.
void announceSelection(EventListView* view, std::optional<int> before, std::optional<int> after);

}  // namespace mf::ui
