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
}  // namespace colors

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
