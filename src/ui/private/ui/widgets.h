// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small building blocks shared by the panes.

#include <QAbstractButton>
#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <string_view>

#include "ui/tokens.h"

namespace mf::ui {

// Qt shows a tooltip that looks like markup as rich text. Log lines and file
// names are outside input: a line holding "<img src=...>" must read as the
// text it is, so every tooltip that can carry them goes through here.
QString plainToolTip(const QString& text);

// Return and Enter press a focused button as Space does (Qt leaves them to
// dialogs' default buttons). True when the key was one of them.
bool clickOnEnter(QAbstractButton* button, QKeyEvent* event);

// Outside text with its bidirectional controls (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069) shown as "\u202e" and so on instead
// of obeyed: an override inside a file name or message would make
// "evil\u202egnp.exe" read as "evilexe.png". The command line shows them
// the same way.
QString showBidiControls(QString text);

// The core's UTF-8 text (a view, not NUL-terminated) as a QString.
inline QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A label in one font and colour of the type scale.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent = nullptr);
void setTextColor(QWidget* widget, const QColor& color);

// A glyph drawn at a fixed size in one colour.
class GlyphLabel final : public QLabel {
 public:
  GlyphLabel(const QString& glyph, int pixels, const QColor& color, QWidget* parent = nullptr);
  const QColor& color() const { return color_; }
  void setColor(const QColor& color);

 private:
  void refresh();
  QString glyph_;
  int pixels_;
  QColor color_;
};

// A fill behind its children, optionally a rounded card.
class Surface : public QWidget {
 public:
  explicit Surface(const QColor& fill, QWidget* parent = nullptr);
  void setRadius(double radius);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fill_;
  double radius_ = 0;
};

// Text limited to a number of lines: wraps (anywhere, so a path without
// blanks still wraps) and ends in an ellipsis when it does not fit.
class ClampedText final : public QWidget {
 public:
  ClampedText(int maxLines, const QFont& font, const QColor& color, QWidget* parent = nullptr);
  void setText(const QString& text);
  // The widest the text asks to be laid out on one line; beyond it, it wraps.
  // -1: as wide as the text itself, so it wraps only when the layout cannot
  // give it that much.
  void setPreferredWidthLimit(int pixels);
  // The narrowest it accepts before its line budget has to cut it.
  void setMinimumWidthHint(int pixels);
  const QString& text() const { return text_; }
  // The lines painted at a width: at most the line budget, the last cut
  // with an ellipsis when the rest does not fit.
  QStringList layoutLines(int width) const;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // The first line's advance: how wide the text is when nothing wraps it.
  int naturalWidth() const;
  QString text_;
  int maxLines_;
  QColor color_;
  int preferredWidthLimit_ = 240;
  int minimumWidthHint_ = 10;
};

// An on/off switch.
class ToggleSwitch final : public QAbstractButton {
 public:
  explicit ToggleSwitch(QWidget* parent = nullptr);
  // The track and, around it, room for the focus ring clear of it.
  QSize sizeHint() const override { return {40, 26}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// A toolbar push button that can drop its text (keeping glyph and tooltip)
// when the pane is too narrow for every label.
class ToolbarButton final : public QPushButton {
 public:
  ToolbarButton(const QIcon& icon, const QString& label, QWidget* parent = nullptr);
  void setLabel(const QString& label);
  const QString& label() const { return label_; }
  // What a screen reader calls it, when the label alone is ambiguous ("Clear").
  void setAccessibleLabel(const QString& name);
  // The tooltip (what it does, and its key); compact, it starts with the label.
  void setHint(const QString& hint);
  void setCompact(bool compact);
  bool isCompact() const { return compact_; }
  // The width the button takes with its text shown.
  int fullWidth() const;
  // Glyph only: the button can always shrink to that.
  QSize minimumSizeHint() const override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void apply();
  QString label_;
  QString accessibleLabel_;
  QString tooltip_;
  bool compact_ = false;
};

// A 1-pixel line across a pane, between its parts.
class Divider final : public QWidget {
 public:
  explicit Divider(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A glyph-only button with no bezel and no background.
class PlainGlyphButton final : public QAbstractButton {
 public:
  PlainGlyphButton(const QString& glyph, const QColor& color, int pixels, QWidget* parent = nullptr);
  QSize sizeHint() const override { return {pixels_ + 8, pixels_ + 8}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QString glyph_;
  QColor color_;
  int pixels_;
};

}  // namespace mf::ui
