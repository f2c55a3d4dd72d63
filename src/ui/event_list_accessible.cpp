// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/event_list_accessible.h"

#include <QWidget>
#include <QWindow>

#include "model/time_text.h"
#include "ui/event_list_view.h"
#include "ui/widgets.h"

namespace mf::ui {

namespace {

// A reader does not need more of a message than a person reads aloud; a
// megabyte-long line would stall the bus.
constexpr qsizetype kSpokenCharacters = 2000;

class RowAccessible final : public QAccessibleInterface {
 public:
  RowAccessible(EventListView* view, int row) : view_(view), row_(row) {}

  bool isValid() const override { return view_ && row_ < view_->rowCount(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override {
    return view_ ? view_->window()->windowHandle() : nullptr;
  }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) return spokenRow(*view_, row_);
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid()) return {};
    const QRect local = view_->rowRect(row_);
    return QRect(view_->viewport()->mapToGlobal(local.topLeft()), local.size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State state;
    state.selectable = true;
    state.focusable = true;
    if (!isValid()) {
      state.invalid = true;
      return state;
    }
    const QRect box = view_->rowRect(row_);
    if (!box.intersects(view_->viewport()->rect())) state.offscreen = true;
    const auto selected = view_->selectedRow();
    if (selected && *selected == row_) {
      state.selected = true;
      if (view_->hasFocus()) state.focused = true;
    }
    return state;
  }
  int row() const { return row_; }

 private:
  QPointer<EventListView> view_;
  int row_;
};

QAccessibleInterface* factory(const QString&, QObject* object) {
  if (auto* view = dynamic_cast<EventListView*>(object)) return new EventListAccessible(view);
  return nullptr;
}

}  // namespace

QString spokenRow(const EventListView& view, int row) {
  const auto& rows = view.content().visibleRows();
  if (row < 0 || static_cast<std::size_t>(row) >= rows.size()) return {};
  const EventView event = view.content().events()[rows[static_cast<std::size_t>(row)]];
  const std::string_view typeLabel = label(event.type);
  QString message = toQString(event.message.substr(0, static_cast<std::size_t>(kSpokenCharacters) * 4));
  if (message.size() > kSpokenCharacters) message = message.left(kSpokenCharacters) + QStringLiteral("\u2026");
  return QStringList{QString::fromStdString(formatTime(event.time, view.content().shownUtcOffset())), toQString(typeLabel), toQString(event.source),
                     message}
      .join(QStringLiteral(", "));
}

EventListAccessible::EventListAccessible(EventListView* view) : QAccessibleWidget(view, QAccessible::List) {}

EventListAccessible::~EventListAccessible() {
  for (const auto& [row, id] : rows_) QAccessible::deleteAccessibleInterface(id);
}

void EventListAccessible::install() {
  static const bool installed = [] {
    QAccessible::installFactory(factory);
    return true;
  }();
  (void)installed;
}

EventListView* EventListAccessible::view() const { return static_cast<EventListView*>(widget()); }

int EventListAccessible::childCount() const { return view()->rowCount(); }

QAccessibleInterface* EventListAccessible::child(int index) const {
  if (index < 0 || index >= childCount()) return nullptr;
  const auto found = rows_.find(index);
  if (found != rows_.end()) {
    if (QAccessibleInterface* known = QAccessible::accessibleInterface(found->second)) return known;
  }
  auto* row = new RowAccessible(view(), index);
  rows_[index] = QAccessible::registerAccessibleInterface(row);
  return row;
}

int EventListAccessible::indexOfChild(const QAccessibleInterface* child) const {
  if (child == nullptr || child->role() != QAccessible::ListItem) return -1;
  for (const auto& [row, id] : rows_) {
    if (QAccessible::accessibleInterface(id) == child) return row;
  }
  return -1;
}

QAccessibleInterface* EventListAccessible::childAt(int x, int y) const {
  const QPoint local = view()->viewport()->mapFromGlobal(QPoint(x, y));
  const int row = view()->rowAt(local.y());
  return row >= 0 && view()->viewport()->rect().contains(local) ? child(row) : nullptr;
}

QAccessibleInterface* EventListAccessible::focusChild() const {
  if (!view()->hasFocus()) return nullptr;
  const auto selected = view()->selectedRow();
  return selected ? child(*selected) : nullptr;
}

QString EventListAccessible::text(QAccessible::Text t) const {
  if (t == QAccessible::Name) return view()->accessibleName();
  if (t == QAccessible::Description) {
    return QStringLiteral("%1 events listed").arg(childCount());
  }
  return QAccessibleWidget::text(t);
}

void announceRowsAdded(EventListView* view, int lastRow) {
  if (!QAccessible::isActive() || lastRow < 0) return;
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view);
  if (list == nullptr) return;
  if (QAccessibleInterface* row = list->child(lastRow)) {
    QAccessibleEvent added(row, QAccessible::ObjectCreated);
    QAccessible::updateAccessibility(&added);
  }
}

void announceRowsRemoved(EventListView* view, int lastRow) {
  if (!QAccessible::isActive() || lastRow < 0) return;
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view);
  if (list == nullptr) return;
  if (QAccessibleInterface* row = list->child(lastRow)) {
    QAccessibleEvent removed(row, QAccessible::ObjectDestroyed);
    QAccessible::updateAccessibility(&removed);
  }
}

void announceSelection(EventListView* view, std::optional<int> before, std::optional<int> after) {
  if (!QAccessible::isActive() || before == after) return;
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view);
  if (list == nullptr) return;
  QAccessible::State selected;
  selected.selected = true;
  for (const auto& row : {before, after}) {
    if (!row) continue;
    if (QAccessibleInterface* item = list->child(*row)) {
      QAccessibleStateChangeEvent event(item, selected);
      QAccessible::updateAccessibility(&event);
    }
  }
  if (after && view->hasFocus()) {
    if (QAccessibleInterface* item = list->child(*after)) {
      QAccessibleEvent focus(item, QAccessible::Focus);
      QAccessible::updateAccessibility(&focus);
    }
  }
}

}  // namespace mf::ui
