// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/verdict_bar.h"

#include <QHBoxLayout>
#include <QMouseEvent>

#include "ui/event_pane.h"
#include "ui/tokens.h"
#include "verdict/novelty.h"

namespace mf::ui {
namespace {

constexpr int kSettleMs = 200;

QColor colorOf(Verdict::Kind kind) {
  switch (kind) {
    case Verdict::Kind::clean: return colors::green();
    case Verdict::Kind::noFailure:
    case Verdict::Kind::handedOff: return colors::orange();
    default: return colors::red();
  }
}

}  // namespace

VerdictLabel::VerdictLabel(QWidget* parent) : QLabel(parent) {
  setTextInteractionFlags(Qt::TextSelectableByMouse);
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setAccessibleName(QStringLiteral("Verdict"));
}

void VerdictLabel::setVerdict(const QString& text) {
  if (text == text_) return;
  text_ = text;
  setToolTip(text);
  setAccessibleDescription(text);
  elide();
}

void VerdictLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  elide();
}

void VerdictLabel::elide() { setText(fontMetrics().elidedText(text_, Qt::ElideRight, std::max(0, width() - 2))); }

void VerdictLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  // A drag that selected text is a copy, not a press.
  if (event->button() == Qt::LeftButton && !hasSelectedText() && onPressed) onPressed();
}

VerdictBar::VerdictBar(ContentView& content, LabeledSwitch* onlyNew, QWidget* parent)
    : Surface(colors::white(0.03), parent), content_(content), onlyNew_(onlyNew) {
  setObjectName(QStringLiteral("verdictBar"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(metrics::rowPaddingH, 6, metrics::rowPaddingH, 6);
  row->setSpacing(12);
  verdict_ = new VerdictLabel(this);
  verdict_->setObjectName(QStringLiteral("verdictText"));
  verdict_->setFont(fonts::make(12, fonts::Weight::semibold));
  novelty_ = makeLabel(QString(), fonts::make(11, fonts::Weight::medium), colors::orange(), this);
  novelty_->setObjectName(QStringLiteral("noveltyText"));
  novelty_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  row->addWidget(verdict_, 1);
  row->addWidget(novelty_);
  onlyNew_->setParent(this);
  row->addWidget(onlyNew_);
  verdict_->onPressed = [this] {
    if (restsOn_) content_.selectEvent(restsOn_);
  };
  QObject::connect(onlyNew_->toggle(), &QAbstractButton::toggled, this,
                   [this](bool on) { content_.setShowOnlyNew(on); });
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  QObject::connect(&settle_, &QTimer::timeout, this, [this] { refresh(); });
  refresh();
}

void VerdictBar::onChange(const Change& change) {
  const std::uint32_t list = Change::eventsReplaced | Change::eventsInserted | Change::sessions | Change::novelty |
                             Change::tracing | Change::target;
  if ((change.fields & list) == 0) return;
  // A new list is answered at once; a growing one when its batches settle.
  if (change.has(Change::eventsReplaced) || change.has(Change::sessions)) {
    refresh();
  } else if (!settle_.isActive()) {
    settle_.start();
  }
}

void VerdictBar::refresh() {
  const EventList& events = content_.events();
  setVisible(!events.empty());
  if (events.empty()) {
    restsOn_.reset();
    return;
  }
  current_ = judgeTrace(events);
  restsOn_.reset();
  if (current_.event && *current_.event < events.size()) restsOn_ = *events[*current_.event].id;
  verdict_->setVerdict(QString::fromStdString(current_.text));
  QPalette palette = verdict_->palette();
  palette.setColor(QPalette::WindowText, colorOf(current_.kind));
  verdict_->setPalette(palette);

  const LaunchSession* previous = content_.previousSession();
  if (previous) {
    // The view keeps each event's answer, so a growing list costs its new events.
    NoveltyCounts counts;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const EventView event = events[i];
      if (!content_.isNew(event).value_or(false)) continue;
      ++counts.events;
      if (event.isRoutineNoise) continue;
      if (event.type == EventType::error) ++counts.errors;
      if (event.type == EventType::warning) ++counts.warnings;
    }
    novelty_->setText(QString::fromStdString(noveltyText(counts)));
    // Amber only for new trouble: "nothing new" is no warning.
    QPalette noveltyPalette = novelty_->palette();
    noveltyPalette.setColor(QPalette::WindowText,
                            counts.errors + counts.warnings > 0 ? colors::orange() : colors::secondary());
    novelty_->setPalette(noveltyPalette);
  }
  novelty_->setVisible(previous != nullptr);
  onlyNew_->setVisible(previous != nullptr);
  if (!previous && content_.showOnlyNew()) onlyNew_->toggle()->setChecked(false);
}


}  // namespace mf::ui
