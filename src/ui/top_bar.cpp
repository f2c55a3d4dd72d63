// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/top_bar.h"

#include <QAccessibleWidget>

#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/glyphs.h"

namespace mf::ui {

StatusDot::StatusDot(QWidget* parent) : QWidget(parent), color_(colors::secondary(0.5)) {
  setObjectName(QStringLiteral("statusDot"));
  setFixedSize(8, 8);
}

void StatusDot::setColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  update();
}

void StatusDot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color_);
  painter.drawEllipse(QRectF(0, 0, 8, 8));
}

AppBadge::AppBadge(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("appBadge"));
  setFixedSize(30, 30);
}

void AppBadge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(QPointF(0, 0), QPointF(30, 30));
  gradient.setColorAt(0, colors::cyan());
  gradient.setColorAt(1, colors::blue());
  painter.fillPath(continuousRoundedRect(QRectF(0, 0, 30, 30), metrics::badgeRadius), gradient);
  constexpr int glyphSize = 18;
  painter.drawPixmap(QPoint((30 - glyphSize) / 2, (30 - glyphSize) / 2),
                     glyphPixmap(QStringLiteral("waveform.path.ecg.rectangle"), glyphSize, colors::black(0.75),
                                 devicePixelRatioF()));
}

namespace {
// The status line reads as a status bar: screen readers speak a status bar's
// changes without the user going there (AT-SPI's stand-in for a live region).
class StatusAccessible final : public QAccessibleWidget {
 public:
  explicit StatusAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::StatusBar) {}
};

QAccessibleInterface* statusFactory(const QString&, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (widget != nullptr && widget->objectName() == QLatin1String("statusText")) return new StatusAccessible(widget);
  return nullptr;
}
}  // namespace

TopBar::TopBar(ContentView& content, QWidget* parent) : Surface(colors::black(0.18), parent), content_(content) {
  setObjectName(QStringLiteral("topBar"));
  setFixedHeight(metrics::topBarHeight);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(18, 0, 18, 0);
  row->setSpacing(12);

  row->addWidget(new AppBadge(this), 0, Qt::AlignVCenter);

  auto* titleBlock = new QWidget(this);
  auto* titles = new QVBoxLayout(titleBlock);
  titles->setSpacing(1);
  titles->setContentsMargins(0, 0, 0, 0);
  auto* title = makeLabel(QStringLiteral("Marrowfield"), fonts::make(16, fonts::Weight::semibold), colors::primary(), titleBlock);
  title->setObjectName(QStringLiteral("windowTitle"));
  titles->addWidget(title);
  titles->addWidget(makeLabel(QStringLiteral("Launch diagnostics"), fonts::make(11), colors::secondary(), titleBlock));
  row->addWidget(titleBlock, 0, Qt::AlignVCenter);
  row->addStretch(1);

  dot_ = new StatusDot(this);
  row->addWidget(dot_, 0, Qt::AlignVCenter);

  auto* statusLine = new QHBoxLayout();
  statusLine->setSpacing(6);
  savedGlyph_ = new GlyphLabel(QStringLiteral("clock.arrow.circlepath"), 11, colors::cyan(), this);
  statusLine->addWidget(savedGlyph_, 0, Qt::AlignVCenter);
  // No line limit of its own: the status takes the width it needs and wraps
  // only when the bar cannot hold it on one line; three lines fill the bar,
  // and a name longer than that is cut, in full in the tooltip.
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(statusFactory);
    return true;
  }();
  (void)factoryInstalled;
  status_ = new ClampedText(3, fonts::mono(12), colors::secondary(), this);
  status_->setObjectName(QStringLiteral("statusText"));
  status_->setPreferredWidthLimit(-1);
  status_->setMinimumWidthHint(160);
  status_->setAccessibleDescription(QStringLiteral("Status"));
  statusLine->addWidget(status_, 0, Qt::AlignVCenter);
  row->addLayout(statusLine);

  copySummary_ = new ToolbarButton(glyphIcon(QStringLiteral("doc.on.doc"), colors::primary(), 14),
                                 QStringLiteral("Copy Summary"), this);
  copySummary_->setObjectName(QStringLiteral("copySummaryButton"));
  copySummary_->setFocusPolicy(Qt::TabFocus);
  copySummary_->setHint(QStringLiteral("Copy a plain-text summary of the trace for a bug report (Ctrl+Shift+C)"));
  // The button keeps its label; a long status gives way instead.
  copySummary_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  row->addWidget(copySummary_, 0, Qt::AlignVCenter);
  QObject::connect(copySummary_, &QPushButton::clicked, this, [this] { content_.copySummary(); });

  // The side columns, shown or hidden: on a small screen the messages get their width.
  sidebarToggle_ = new PlainGlyphButton(QStringLiteral("sidebar.leading"), colors::primary(), 16, this);
  sidebarToggle_->setObjectName(QStringLiteral("sidebarToggle"));
  sidebarToggle_->setAccessibleName(QStringLiteral("Show Sidebar"));
  sidebarToggle_->setToolTip(QStringLiteral("Show or hide the launch history and target (F9)"));
  detailToggle_ = new PlainGlyphButton(QStringLiteral("sidebar.trailing"), colors::primary(), 16, this);
  detailToggle_->setObjectName(QStringLiteral("detailToggle"));
  detailToggle_->setAccessibleName(QStringLiteral("Show Event Detail"));
  detailToggle_->setToolTip(QStringLiteral("Show or hide the event detail (Shift+F9)"));
  for (PlainGlyphButton* toggle : {sidebarToggle_, detailToggle_}) {
    toggle->setCheckable(true);
    toggle->setChecked(true);
    row->addWidget(toggle, 0, Qt::AlignVCenter);
  }

  refresh();
}

void TopBar::refresh() {
  dot_->setColor(content_.isTracing() ? colors::green() : colors::secondary(0.5));
  savedGlyph_->setVisible(content_.viewingSavedSession());
  const QString status = QString::fromStdString(content_.statusText());
  if (status_->text() != status) status_->setText(status);
  copySummary_->setEnabled(content_.eventCount() > 0);
}

}  // namespace mf::ui
