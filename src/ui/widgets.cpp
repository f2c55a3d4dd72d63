// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets.h"

#include <algorithm>

#include <QAccessibleWidget>
#include <QTextDocument>
#include <QKeyEvent>

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QPaintEvent>
#include <QStyleOptionFocusRect>
#include <QTextLayout>

#include "ui/glyphs.h"

namespace mf::ui {

QString showBidiControls(QString text) {
  const auto isBidiControl = [](char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
  };
  if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return isBidiControl(c.unicode()); })) return text;
  QString shown;
  shown.reserve(text.size() + 16);
  for (const QChar c : text) {
    if (isBidiControl(c.unicode())) {
      shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    } else {
      shown += c;
    }
  }
  return shown;
}

QString plainToolTip(const QString& text) {
  return text.isEmpty() ? text : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

bool clickOnEnter(QAbstractButton* button, QKeyEvent* event) {
  if ((event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) ||
      (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier || event->isAutoRepeat()) {
    return false;
  }
  if (button->isEnabled()) button->click();
  event->accept();
  return true;
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  palette.setColor(QPalette::ButtonText, color);
  widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(font);
  label->setTextFormat(Qt::PlainText);
  setTextColor(label, color);
  return label;
}

// ---------------------------------------------------------------- GlyphLabel

GlyphLabel::GlyphLabel(const QString& glyph, int pixels, const QColor& color, QWidget* parent)
    : QLabel(parent), glyph_(glyph), pixels_(pixels), color_(color) {
  setObjectName(QStringLiteral("glyph:") + glyph);
  setFixedSize(pixels, pixels);
  refresh();
}

void GlyphLabel::setColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  refresh();
}

void GlyphLabel::refresh() { setPixmap(glyphPixmap(glyph_, pixels_, color_, devicePixelRatioF())); }

// ---------------------------------------------------------------- Surface

Surface::Surface(const QColor& fill, QWidget* parent) : QWidget(parent), fill_(fill) {}

void Surface::setRadius(double radius) {
  radius_ = radius;
  update();
}

void Surface::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (radius_ <= 0) {
    painter.fillRect(rect(), fill_);
    return;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const QPainterPath path = continuousRoundedRect(box, radius_);
  painter.fillPath(path, fill_);
}

// ---------------------------------------------------------------- ClampedText

namespace {
// A reader is handed a widget's tooltip as its description when it has none
// of its own, and the tooltip of a painted text is markup (plainToolTip).
class ClampedTextAccessible final : public QAccessibleWidget {
 public:
  explicit ClampedTextAccessible(QWidget* widget) : QAccessibleWidget(widget) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Description) return widget()->accessibleDescription();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* clampedTextFactory(const QString&, QObject* object) {
  auto* text = dynamic_cast<ClampedText*>(object);
  // The status line has its own (a status bar).
  if (text == nullptr || text->objectName() == QLatin1String("statusText")) return nullptr;
  return new ClampedTextAccessible(text);
}
}  // namespace

ClampedText::ClampedText(int maxLines, const QFont& font, const QColor& color, QWidget* parent)
    : QWidget(parent), maxLines_(maxLines), color_(color) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(clampedTextFactory);
    return true;
  }();
  (void)factoryInstalled;
  setFont(font);
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

void ClampedText::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  setToolTip(plainToolTip(text));
  // A painted text is invisible to a screen reader unless it is named.
  setAccessibleName(text);
  updateGeometry();
  update();
}

QStringList ClampedText::layoutLines(int width) const {
  QStringList lines;
  if (text_.isEmpty() || width <= 0) return lines;
  const QFontMetricsF metrics(font());
  QString flat = text_;
  flat.replace(QLatin1Char('\n'), QChar::LineSeparator);
  QTextLayout layout(flat, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  while (lines.size() < maxLines_) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    const bool last = lines.size() + 1 == maxLines_;
    if (last && line.textStart() + line.textLength() < flat.size()) {
      // The rest does not fit: the last line takes what remains, cut with an ellipsis.
      QString rest = flat.mid(line.textStart());
      rest.replace(QChar::LineSeparator, QLatin1Char(' '));
      lines << metrics.elidedText(rest, Qt::ElideRight, width);
      break;
    }
    QString part = flat.mid(line.textStart(), line.textLength());
    part.remove(QChar::LineSeparator);
    lines << part;
  }
  layout.endLayout();
  return lines;
}

void ClampedText::setPreferredWidthLimit(int pixels) {
  preferredWidthLimit_ = pixels;
  updateGeometry();
}

void ClampedText::setMinimumWidthHint(int pixels) {
  minimumWidthHint_ = pixels;
  updateGeometry();
}


int ClampedText::heightForWidth(int width) const {
  const int count = qMax<qsizetype>(1, layoutLines(width).size());
  return qCeil(QFontMetricsF(font()).lineSpacing() * count);
}

int ClampedText::naturalWidth() const {
  return qCeil(QFontMetricsF(font()).horizontalAdvance(text_.section(QLatin1Char('\n'), 0, 0)));
}

QSize ClampedText::sizeHint() const {
  const int natural = naturalWidth();
  // One pixel of slack: a line laid out at exactly its advance can still break.
  const int w = preferredWidthLimit_ < 0 ? natural + 1 : qMin(natural, preferredWidthLimit_);
  return {w, heightForWidth(qMax(w, 1))};
}

QSize ClampedText::minimumSizeHint() const {
  // A short text is never padded out to the minimum: it is as wide as itself.
  return {qMin(minimumWidthHint_, naturalWidth() + 1), qCeil(QFontMetricsF(font()).lineSpacing())};
}

void ClampedText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(color_);
  const QFontMetricsF metrics(font());
  double y = metrics.ascent();
  for (const QString& line : layoutLines(width())) {
    painter.drawText(QPointF(0, y), line);
    y += metrics.lineSpacing();
  }
}

// ---------------------------------------------------------------- ToggleSwitch

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ToggleSwitch::keyPressEvent(QKeyEvent* event) {
  if (!clickOnEnter(this, event)) QAbstractButton::keyPressEvent(event);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // 3 px all round stay free for the focus ring, apart from the track.
  const QRectF track = QRectF(rect()).adjusted(3, 3, -3, -3);
  const double radius = track.height() / 2;
  QColor trackColor = isChecked() ? colors::cyan(0.85) : colors::white(0.16);
  if (!isEnabled()) trackColor.setAlphaF(trackColor.alphaF() * 0.5f);
  painter.setPen(Qt::NoPen);
  painter.setBrush(trackColor);
  painter.drawRoundedRect(track, radius, radius);
  const double knob = track.height() - 4;
  const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
  painter.setBrush(colors::white());
  painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
  if (hasFocus()) {
    // Outside the track with a dark gap, so it shows on a cyan (on) track too.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(colors::focusRing(), metrics::focusRingWidth));
    const QRectF ring = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.drawRoundedRect(ring, ring.height() / 2, ring.height() / 2);
  }
}

// ---------------------------------------------------------------- ToolbarButton

ToolbarButton::ToolbarButton(const QIcon& icon, const QString& label, QWidget* parent)
    : QPushButton(icon, QString(), parent), label_(label) {
  setIconSize(QSize(14, 14));
  // May shrink to its glyph (see minimumSizeHint), unlike a plain push button.
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  apply();
}

void ToolbarButton::setLabel(const QString& label) {
  if (label == label_) return;
  label_ = label;
  apply();
}

void ToolbarButton::setAccessibleLabel(const QString& name) {
  accessibleLabel_ = name;
  apply();
}

void ToolbarButton::keyPressEvent(QKeyEvent* event) {
  if (!clickOnEnter(this, event)) QPushButton::keyPressEvent(event);
}

void ToolbarButton::setHint(const QString& hint) {
  tooltip_ = hint;
  apply();
}

void ToolbarButton::setCompact(bool compact) {
  if (compact == compact_) return;
  compact_ = compact;
  apply();
}

void ToolbarButton::apply() {
  // "&" would mark a mnemonic; the label is shown as written.
  QString shown = label_;
  shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
  // A space keeps the glyph off the first letter.
  setText(compact_ ? QString() : QStringLiteral(" ") + shown);
  setAccessibleName(accessibleLabel_.isEmpty() ? label_ : accessibleLabel_);
  if (compact_) setToolTip(tooltip_.isEmpty() ? label_ : label_ + QStringLiteral(": ") + tooltip_);
  else setToolTip(tooltip_);
}

int ToolbarButton::fullWidth() const {
  QStyleOptionButton option;
  option.initFrom(this);
  option.text = label_;
  option.icon = icon();
  option.iconSize = iconSize();
  const QFontMetrics fm = fontMetrics();
  QSize content(fm.horizontalAdvance(QStringLiteral(" ") + label_) + iconSize().width() + 4,
                std::max(fm.height(), iconSize().height()));
  return style()->sizeFromContents(QStyle::CT_PushButton, &option, content, this).width();
}

QSize ToolbarButton::minimumSizeHint() const {
  QStyleOptionButton option;
  option.initFrom(this);
  option.icon = icon();
  option.iconSize = iconSize();
  const QSize content(iconSize().width(), std::max(fontMetrics().height(), iconSize().height()));
  const QSize compact = style()->sizeFromContents(QStyle::CT_PushButton, &option, content, this);
  return {compact.width(), sizeHint().height()};
}

// ---------------------------------------------------------------- Divider

Divider::Divider(QWidget* parent) : QWidget(parent) {
  setFixedHeight(1);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), colors::divider());
}

// ---------------------------------------------------------------- PlainGlyphButton

PlainGlyphButton::PlainGlyphButton(const QString& glyph, const QColor& color, int pixels, QWidget* parent)
    : QAbstractButton(parent), glyph_(glyph), color_(color), pixels_(pixels) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PlainGlyphButton::keyPressEvent(QKeyEvent* event) {
  if (!clickOnEnter(this, event)) QAbstractButton::keyPressEvent(event);
}

void PlainGlyphButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QColor color = color_;
  if (!isEnabled()) color.setAlphaF(color.alphaF() * 0.35f);
  else if (isDown()) color = colors::primary();
  else if (isCheckable() && !isChecked()) color.setAlphaF(color.alphaF() * 0.45f);
  const QPixmap pixmap = glyphPixmap(glyph_, pixels_, color, devicePixelRatioF());
  painter.drawPixmap(QPoint((width() - pixels_) / 2, (height() - pixels_) / 2), pixmap);
  if (hasFocus()) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colors::focusRing(), metrics::focusRingWidth));
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 4, 4);
  }
}

}  // namespace mf::ui
