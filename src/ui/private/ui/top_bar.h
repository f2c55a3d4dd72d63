// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPushButton>

#include "trace/content_view.h"
#include "ui/widgets.h"

namespace mf::ui {

// The status dot: green while a trace runs, a dim grey otherwise.
class StatusDot final : public QWidget {
 public:
  explicit StatusDot(QWidget* parent = nullptr);
  void setColor(const QColor& color);
  const QColor& color() const { return color_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_;
};

// The application badge: a cyan-to-blue tile carrying the waveform glyph.
class AppBadge final : public QWidget {
 public:
  explicit AppBadge(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The bar across the top: badge, title, status and "Copy Summary".
class TopBar final : public Surface {
 public:
  TopBar(ContentView& content, QWidget* parent = nullptr);
  void refresh();

  ToolbarButton* copySummaryButton() const { return copySummary_; }
  // Checkable: whether the sidebar and the detail pane are shown.
  PlainGlyphButton* sidebarToggle() const { return sidebarToggle_; }
  PlainGlyphButton* detailToggle() const { return detailToggle_; }

 private:
  ContentView& content_;
  StatusDot* dot_;
  GlyphLabel* savedGlyph_;
  ClampedText* status_;
  ToolbarButton* copySummary_;
  PlainGlyphButton* sidebarToggle_;
  PlainGlyphButton* detailToggle_;
};

}  // namespace mf::ui
