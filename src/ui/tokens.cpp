// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/tokens.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <algorithm>

namespace mf::ui {

namespace {
QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(std::clamp(opacity, 0.0, 1.0) * color.alphaF()));
  return color;
}
}  // namespace

namespace colors {
QColor cyan(double opacity) { return withOpacity(QColor(100, 210, 255), opacity); }
QColor blue(double opacity) { return withOpacity(QColor(10, 132, 255), opacity); }
QColor green(double opacity) { return withOpacity(QColor(48, 209, 88), opacity); }
QColor red(double opacity) { return withOpacity(QColor(255, 69, 58), opacity); }
QColor orange(double opacity) { return withOpacity(QColor(255, 159, 10), opacity); }
QColor white(double opacity) { return withOpacity(QColor(255, 255, 255), opacity); }
QColor black(double opacity) { return withOpacity(QColor(0, 0, 0), opacity); }
QColor primary(double opacity) { return withOpacity(QColor(255, 255, 255, 235), opacity); }
QColor secondary(double opacity) { return withOpacity(QColor(235, 235, 245, 153), opacity); }

QColor forType(EventType type) {
  switch (type) {
    case EventType::info: return cyan();
    case EventType::warning: return orange();
    case EventType::error: return red();
    case EventType::success: return green();
  }
  return cyan();
}

QColor backdropTop() { return QColor::fromRgbF(0.035f, 0.055f, 0.09f); }
QColor backdropMiddle() { return QColor::fromRgbF(0.055f, 0.08f, 0.125f); }
QColor backdropBottom() { return QColor::fromRgbF(0.025f, 0.04f, 0.07f); }
QColor divider() { return white(0.09); }

QColor controlFill() { return white(0.08); }
QColor controlFillHover() { return white(0.13); }
QColor controlFillPressed() { return white(0.05); }
QColor controlFillDisabled() { return white(0.04); }
QColor controlBorder() { return white(0.12); }
QColor controlBorderDisabled() { return white(0.06); }
QColor controlText() { return white(0.92); }
QColor controlTextDisabled() { return white(0.3); }
QColor fieldFill() { return black(0.28); }
QColor fieldBorder() { return white(0.14); }
QColor scrollHandle() { return white(0.2); }
QColor scrollHandleHover() { return white(0.32); }
QColor tooltipFill() { return QColor(34, 40, 52); }
QColor onAccent(double opacity) { return withOpacity(QColor(8, 20, 28), opacity); }
QColor accentHover() { return QColor(130, 220, 255); }
QColor accentPressed() { return QColor(80, 180, 225); }
QColor focusRing() { return cyan(0.9); }
}  // namespace colors

namespace styles {
QString css(const QColor& color) {
  return QStringLiteral("rgba(%1, %2, %3, %4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(QString::number(color.alphaF(), 'f', 3));
}

namespace {
// "Vpx Hpx" for a padding, less `taken`: the pixels a border thicker than the
// resting one takes, so a focus ring does not move or resize the content.
QString padding(int vertical, int horizontal, int taken) {
  return QStringLiteral("%1px %2px").arg(vertical - taken).arg(horizontal - taken);
}
}  // namespace

QString window() {
  using namespace colors;
  using namespace metrics;
  const QString ring = QStringLiteral("%1px solid %2").arg(focusRingWidth).arg(css(focusRing()));
  const QString px = QStringLiteral("%1px");
  return QStringLiteral(
             "QPushButton { background-color: %1; border: 1px solid %2; border-radius: %3; padding: %4; outline: none;"
             " color: %5; }"
             "QPushButton:hover { background-color: %6; }"
             "QPushButton:pressed { background-color: %7; }"
             "QPushButton:focus { border: %8; padding: %9; }")
             .arg(css(controlFill()), css(controlBorder()), px.arg(controlRadius),
                  padding(controlPaddingV, controlPaddingH, 0), css(controlText()), css(controlFillHover()),
                  css(controlFillPressed()), ring, padding(controlPaddingV, controlPaddingH, focusRingWidth - 1)) +
         QStringLiteral("QPushButton:disabled { background-color: %1; color: %2; border-color: %3; }")
             .arg(css(controlFillDisabled()), css(controlTextDisabled()), css(controlBorderDisabled())) +
         QStringLiteral(
             "QLineEdit#searchField { background-color: %1; border: 1px solid %2; border-radius: %3;"
             " padding: %4; color: %5; selection-background-color: %6; }"
             "QLineEdit#searchField:focus { border: %7; padding: %8; }"
             "QTextEdit { background: transparent; border: %9 solid transparent; }")
             .arg(css(fieldFill()), css(fieldBorder()), px.arg(fieldRadius), padding(fieldPaddingV, fieldPaddingH, 0),
                  css(controlText()), css(cyan(0.45)), ring, padding(fieldPaddingV, fieldPaddingH, focusRingWidth - 1),
                  px.arg(focusRingWidth)) +
         QStringLiteral("QTextEdit:focus { border: %1; }").arg(ring) +
         QStringLiteral(
             "QScrollBar:vertical { background: transparent; width: %1; margin: 0; }"
             "QScrollBar::handle:vertical { background: %2; border-radius: %3; min-height: %4; margin: %5; }"
             "QScrollBar::handle:vertical:hover { background: %6; }"
             "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
             "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"
             "QToolTip { background-color: %7; color: %8; border: 1px solid %9; padding: ")
             .arg(px.arg(scrollBarWidth), css(scrollHandle()), px.arg(scrollHandleRadius),
                  px.arg(scrollHandleMinLength), px.arg(scrollHandleMargin), css(scrollHandleHover()),
                  css(tooltipFill()), css(controlText()), css(fieldBorder())) +
         px.arg(tooltipPadding) + QStringLiteral("; }");
}

QString splitter() {
  return QStringLiteral("QSplitter::handle { background: %1; }").arg(css(colors::divider()));
}

QString prominentButton(const QString& objectName) {
  using namespace colors;
  using namespace metrics;
  const QString px = QStringLiteral("%1px");
  QString sheet = QStringLiteral(
             "QPushButton#launchButton { background-color: %1; color: %2; border: %3 solid transparent;"
             " border-radius: %4; padding: %5; font-weight: 600; }"
             "QPushButton#launchButton:hover { background-color: %6; }"
             "QPushButton#launchButton:pressed { background-color: %7; }"
             "QPushButton#launchButton:disabled { background-color: %8; color: %9; }")
             .arg(css(cyan()), css(onAccent()), px.arg(focusRingWidth), px.arg(controlRadius),
                  padding(prominentPaddingV, prominentPaddingH, focusRingWidth), css(accentHover()),
                  css(accentPressed()), css(cyan(0.35)), css(onAccent(0.75))) +
         QStringLiteral("QPushButton#launchButton:focus { border: %1 solid %2; }")
             .arg(px.arg(focusRingWidth), css(white()));
  return sheet.replace(QStringLiteral("#launchButton"), QLatin1Char('#') + objectName);
}
}  // namespace styles

namespace fonts {
QFont make(double pixels, Weight weight, Design design) {
  QFont font = design == Design::monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                                            : QGuiApplication::font();
  if (design == Design::monospaced) font.setStyleHint(QFont::Monospace);
  // QFont only takes whole pixel sizes; a point size computed from the screen's
  // logical DPI gives the fractional pixel sizes of the type scale (11.5).
  double dpi = 96.0;
  if (auto* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInchY();
  font.setPointSizeF(pixels * 72.0 / dpi);
  switch (weight) {
    case Weight::regular: font.setWeight(QFont::Normal); break;
    case Weight::medium: font.setWeight(QFont::Medium); break;
    case Weight::semibold: font.setWeight(QFont::DemiBold); break;
    case Weight::bold: font.setWeight(QFont::Bold); break;
  }
  return font;
}
QFont mono(double pixels, Weight weight) { return make(pixels, weight, Design::monospaced); }
}  // namespace fonts

QPainterPath continuousRoundedRect(const QRectF& rect, double radius) {
  QPainterPath path;
  const double r = std::min({radius, rect.width() / 2, rect.height() / 2});
  if (r <= 0) {
    path.addRect(rect);
    return path;
  }
  // The curve starts 1.28 r from the corner (instead of r) and its control
  // points hug the corner, so the curvature grows smoothly from zero at the
  // straight edge: the "continuous" corner.
  const double e = std::min({r * 1.28, rect.width() / 2, rect.height() / 2});
  const double k = 0.16 * r;
  const double l = rect.left(), t = rect.top(), ri = rect.right(), b = rect.bottom();
  path.moveTo(l + e, t);
  path.lineTo(ri - e, t);
  path.cubicTo(ri - k, t, ri, t + k, ri, t + e);
  path.lineTo(ri, b - e);
  path.cubicTo(ri, b - k, ri - k, b, ri - e, b);
  path.lineTo(l + e, b);
  path.cubicTo(l + k, b, l, b - k, l, b - e);
  path.lineTo(l, t + e);
  path.cubicTo(l, t + k, l + k, t, l + e, t);
  path.closeSubpath();
  return path;
}

QPalette darkPalette() {
  QPalette p;
  const QColor window = colors::backdropMiddle();
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, colors::primary());
  p.setColor(QPalette::Base, QColor(22, 27, 36));
  p.setColor(QPalette::AlternateBase, QColor(28, 34, 44));
  p.setColor(QPalette::ToolTipBase, colors::tooltipFill());
  p.setColor(QPalette::ToolTipText, colors::primary());
  p.setColor(QPalette::PlaceholderText, colors::secondary());
  p.setColor(QPalette::Text, colors::primary());
  p.setColor(QPalette::Button, QColor(44, 50, 62));
  p.setColor(QPalette::ButtonText, colors::primary());
  p.setColor(QPalette::BrightText, colors::red());
  p.setColor(QPalette::Light, QColor(70, 78, 94));
  p.setColor(QPalette::Midlight, QColor(56, 63, 77));
  p.setColor(QPalette::Mid, QColor(40, 46, 57));
  p.setColor(QPalette::Dark, QColor(16, 20, 27));
  p.setColor(QPalette::Shadow, QColor(0, 0, 0));
  p.setColor(QPalette::Highlight, colors::cyan(0.45));
  p.setColor(QPalette::HighlightedText, colors::white());
  p.setColor(QPalette::Link, colors::cyan());
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    p.setColor(QPalette::Disabled, role, colors::white(0.3));
  }
  p.setColor(QPalette::Disabled, QPalette::Button, QColor(34, 39, 48));
  return p;
}

}  // namespace mf::ui
