// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLayout>
#include <QList>

namespace mf::ui {

// A toolbar row: leading items at the leading edge, trailing items at the
// trailing edge, flexible space between. When the two groups do not fit side
// by side the trailing group moves to a second line, still trailing-aligned,
// so a window at its minimum width clips nothing.
class ToolbarRowLayout final : public QLayout {
 public:
  explicit ToolbarRowLayout(int spacing, QWidget* parent = nullptr);
  ~ToolbarRowLayout() override;

  void addLeading(QWidget* widget);
  void addTrailing(QWidget* widget);
  // The width both groups need on one line.
  int oneLineWidth() const;
  int leadingWidth() const;

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override { return static_cast<int>(leading_.size() + trailing_.size()); }
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
  void setGeometry(const QRect& rect) override;

 private:
  int groupWidth(const QList<QLayoutItem*>& items, bool minimum = false) const;
  int groupHeight(const QList<QLayoutItem*>& items) const;
  int placeGroup(const QList<QLayoutItem*>& items, int x, int y, int lineHeight, bool apply) const;

  QList<QLayoutItem*> leading_;
  QList<QLayoutItem*> trailing_;
  int gap_;
};

}  // namespace mf::ui
