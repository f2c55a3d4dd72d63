// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/toolbar_row_layout.h"

#include <QWidget>
#include <QWidgetItem>
#include <algorithm>

namespace mf::ui {

namespace {
constexpr int kMinimumGap = 16;  // the flexible space never closes up completely
}

ToolbarRowLayout::ToolbarRowLayout(int spacing, QWidget* parent) : QLayout(parent), gap_(spacing) {
  setContentsMargins(0, 0, 0, 0);
}

ToolbarRowLayout::~ToolbarRowLayout() {
  while (QLayoutItem* item = takeAt(0)) delete item;
}

void ToolbarRowLayout::addLeading(QWidget* widget) {
  addChildWidget(widget);
  leading_.append(new QWidgetItem(widget));
  invalidate();
}

void ToolbarRowLayout::addTrailing(QWidget* widget) {
  addChildWidget(widget);
  trailing_.append(new QWidgetItem(widget));
  invalidate();
}

void ToolbarRowLayout::addItem(QLayoutItem* item) { leading_.append(item); }

QLayoutItem* ToolbarRowLayout::itemAt(int index) const {
  if (index < 0) return nullptr;
  if (index < leading_.size()) return leading_.at(index);
  index -= static_cast<int>(leading_.size());
  return index < trailing_.size() ? trailing_.at(index) : nullptr;
}

QLayoutItem* ToolbarRowLayout::takeAt(int index) {
  if (index < 0) return nullptr;
  if (index < leading_.size()) return leading_.takeAt(index);
  index -= static_cast<int>(leading_.size());
  return index < trailing_.size() ? trailing_.takeAt(index) : nullptr;
}

int ToolbarRowLayout::groupWidth(const QList<QLayoutItem*>& items, bool minimum) const {
  int width = 0;
  int shown = 0;
  for (QLayoutItem* item : items) {
    if (item->isEmpty()) continue;
    width += minimum ? item->minimumSize().width() : item->sizeHint().width();
    ++shown;
  }
  return width + std::max(0, shown - 1) * gap_;
}

int ToolbarRowLayout::groupHeight(const QList<QLayoutItem*>& items) const {
  int height = 0;
  for (QLayoutItem* item : items) {
    if (!item->isEmpty()) height = std::max(height, item->sizeHint().height());
  }
  return height;
}

int ToolbarRowLayout::leadingWidth() const { return groupWidth(leading_); }

int ToolbarRowLayout::oneLineWidth() const {
  const int trailing = groupWidth(trailing_);
  return groupWidth(leading_) + (trailing > 0 ? kMinimumGap + trailing : 0);
}

QSize ToolbarRowLayout::sizeHint() const {
  return {oneLineWidth(), std::max(groupHeight(leading_), groupHeight(trailing_))};
}

QSize ToolbarRowLayout::minimumSize() const {
  // Items may be narrower than they like (a button can drop its label), so
  // the row holds its window no wider than the items' minimums.
  const int width = std::max(groupWidth(leading_, true), groupWidth(trailing_, true));
  return {width, std::max(groupHeight(leading_), groupHeight(trailing_))};
}

int ToolbarRowLayout::heightForWidth(int width) const {
  const int lead = groupHeight(leading_);
  const int trail = groupHeight(trailing_);
  if (oneLineWidth() <= width || trail == 0 || lead == 0) return std::max(lead, trail);
  return lead + gap_ + trail;
}

int ToolbarRowLayout::placeGroup(const QList<QLayoutItem*>& items, int x, int y, int lineHeight, bool apply) const {
  for (QLayoutItem* item : items) {
    if (item->isEmpty()) continue;
    const QSize hint = item->sizeHint();
    if (apply) item->setGeometry(QRect(x, y + (lineHeight - hint.height()) / 2, hint.width(), hint.height()));
    x += hint.width() + gap_;
  }
  return x;
}

void ToolbarRowLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  const int lead = groupHeight(leading_);
  const int trail = groupHeight(trailing_);
  const int trailingWidth = groupWidth(trailing_);
  const bool wrapped = oneLineWidth() > rect.width() && lead > 0 && trail > 0;
  if (!wrapped) {
    const int line = rect.height();
    placeGroup(leading_, rect.left(), rect.top(), line, true);
    placeGroup(trailing_, rect.right() + 1 - trailingWidth, rect.top(), line, true);
    return;
  }
  placeGroup(leading_, rect.left(), rect.top(), lead, true);
  placeGroup(trailing_, std::max(rect.left(), rect.right() + 1 - trailingWidth), rect.top() + lead + gap_, trail, true);
}

}  // namespace mf::ui
