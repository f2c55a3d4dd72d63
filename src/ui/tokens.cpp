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

QString window() {
  using namespace colors;
  using namespace metrics;
  const QString ring = QStringLiteral("%1px solid %2").arg(focusRingWidth).arg(css(focusRing()));
  return QStringLiteral(
             "QPushButton { background-color: %1; border: 1px solid %2; border-radius: %3px; padding: 4px 10px;"
             " color: %4; }"
             "QPushButton:hover { background-color: %5; }"
             "QPushButton:pressed { background-color: %6; }"
             "QPushButton:focus { border: %7; padding: 3px 9px; }"
             "QPushButton:disabled { background-color: %8; color: %9; border-color: %10; }")
             .arg(css(controlFill()), css(controlBorder()), QString::number(controlRadius), css(controlText()),
                  css(controlFillHover()), css(controlFillPressed()), ring, css(controlFillDisabled()),
                  css(controlTextDisabled()))
             .arg(css(controlBorderDisabled())) +
         QStringLiteral(
             "QLineEdit#searchField { background-color: %1; border: 1px solid %2; border-radius: %3px;"
             " padding: 4px 8px; color: %4; selection-background-color: %5; }"
             "QLineEdit#searchField:focus { border: %6; padding: 3px 7px; }"
             "QTextEdit { background: transparent; border: %7px solid transparent; }"
             "QTextEdit:focus { border: %8; }")
             .arg(css(fieldFill()), css(fieldBorder()), QString::number(fieldRadius), css(controlText()),
                  css(cyan(0.45)), ring, QString::number(focusRingWidth), ring) +
         QStringLiteral(
             "QScrollBar:vertical { background: transparent; width: %1px; margin: 0; }"
             "QScrollBar::handle:vertical { background: %2; border-radius: %3px; min-height: %4px; margin: 2px; }"
             "QScrollBar::handle:vertical:hover { background: %5; }"
             "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
             "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"
             "QToolTip { background-color: %6; color: %7; border: 1px solid %8; padding: 3px; }")
             .arg(QString::number(scrollBarWidth), css(scrollHandle()), QString::number(scrollHandleRadius),
                  QString::number(scrollHandleMinLength), css(scrollHandleHover()), css(tooltipFill()),
                  css(controlText()), css(fieldBorder()));
}

QString prominentButton() {
  using namespace colors;
  return QStringLiteral(
             "QPushButton#launchButton { background-color: %1; color: %2; border: %7px solid transparent;"
             " border-radius: %3px; padding: 3px 10px; font-weight: 600; }"
             "QPushButton#launchButton:hover { background-color: %4; }"
             "QPushButton#launchButton:pressed { background-color: %5; }"
             "QPushButton#launchButton:disabled { background-color: %6; color: %8; }"
             "QPushButton#launchButton:focus { border: %7px solid %9; }")
      .arg(css(cyan()), css(onAccent()), QString::number(metrics::controlRadius), css(accentHover()),
           css(accentPressed()), css(cyan(0.35)), QString::number(metrics::focusRingWidth), css(onAccent(0.75)),
           css(white()));
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
  p.setColor(QPalette::ToolTipBase, QColor(34, 40, 52));
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
