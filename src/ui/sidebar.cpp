// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/sidebar.h"

#include <QAccessible>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <utility>

#include "trace/signal_names.h"
#include "ui/glyphs.h"
#include "ui/widgets.h"
#include "verdict/verdict.h"

namespace mf::ui {

namespace {
QString decimal(std::size_t n) { return QString::number(static_cast<qulonglong>(n)); }
// "1 error", "2 errors".
QString counted(std::size_t n, const QString& one, const QString& many) {
  return decimal(n) + QLatin1Char(' ') + (n == 1 ? one : many);
}
}  // namespace

// ---------------------------------------------------------------- CounterLabel

CounterLabel::CounterLabel(const QString& glyph, const QString& text, const QColor& color, QWidget* parent)
    : QWidget(parent) {
  setObjectName(QStringLiteral("counter:") + glyph);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  glyph_ = new GlyphLabel(glyph, 11, color, this);
  text_ = makeLabel(text, fonts::make(10, fonts::Weight::medium), color, this);
  row->addWidget(glyph_, 0, Qt::AlignVCenter);
  row->addWidget(text_, 0, Qt::AlignVCenter);
}

// ---------------------------------------------------------------- OutcomeBadge

OutcomeLook outcomeLook(const TraceOutcome& outcome) {
  switch (outcome.kind) {
    case TraceOutcome::Kind::crashed: {
      const QString name = QString::fromStdString(signalName(outcome.value));
      return {name, colors::red(),
              QStringLiteral("Crashed: killed by signal %1 (%2)").arg(outcome.value).arg(name)};
    }
    case TraceOutcome::Kind::killed: {
      const QString name = QString::fromStdString(signalName(outcome.value));
      return {name, colors::orange(),
              QStringLiteral("Killed by signal %1 (%2)").arg(outcome.value).arg(name)};
    }
    case TraceOutcome::Kind::exited:
      if (outcome.value == 0) {
        return {QStringLiteral("exit 0"), colors::green(), QStringLiteral("Exited normally (status 0)")};
      }
      return {QStringLiteral("exit %1").arg(outcome.value), colors::orange(),
              QStringLiteral("Exited with status %1").arg(outcome.value)};
    case TraceOutcome::Kind::handedOff:
      return {QStringLiteral("handed off"), colors::cyan(),
              QStringLiteral("Handed off to the running instance, PID %1").arg(outcome.value)};
    case TraceOutcome::Kind::launchFailed:
      return {QStringLiteral("not launched"), colors::red(), QStringLiteral("Launch failed")};
    case TraceOutcome::Kind::stopped: break;
  }
  return {QStringLiteral("stopped"), colors::secondary(), QStringLiteral("Stopped while running")};
}

OutcomeBadge::OutcomeBadge(const OutcomeLook& look, QWidget* parent)
    : QLabel(look.tag, parent), color_(look.color) {
  setObjectName(QStringLiteral("outcomeBadge"));
  setTextFormat(Qt::PlainText);
  setFont(fonts::mono(10, fonts::Weight::bold));
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize OutcomeBadge::sizeHint() const {
  const QFontMetrics fm(font());
  return {fm.horizontalAdvance(text()) + 12, fm.height() + 4};
}

void OutcomeBadge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor fill = color_;
  fill.setAlphaF(0.16f);
  painter.fillPath(continuousRoundedRect(QRectF(rect()), 5), fill);
  painter.setPen(color_);
  painter.setFont(font());
  painter.drawText(rect(), Qt::AlignCenter, text());
}

// ---------------------------------------------------------------- SessionCard

SessionCard::SessionCard(const LaunchSession& session, const QString& launchOptions, QWidget* parent)
    : QAbstractButton(parent), session_(session) {
  setObjectName(QStringLiteral("sessionCard"));
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  const SessionCounts counts = countSession(session_.events);
  const OutcomeLook outcome = outcomeLook(session_.outcome);
  QString description = outcome.description + QLatin1Char('\n') +
                        showBidiControls(QString::fromStdString("Verdict: " + judgeTrace(session_.events).text)) +
                        QLatin1Char('\n') + showBidiControls(QString::fromStdString(session_.appURL));
  if (!launchOptions.isEmpty()) description += QLatin1Char('\n') + launchOptions;
  setToolTip(plainToolTip(description));
  // Read as written: without it a reader would be handed the tooltip's markup.
  setAccessibleDescription(description);

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(12, 12, 12, 12);
  stack->setSpacing(7);

  auto* heading = new QHBoxLayout();
  heading->setSpacing(6);
  name_ = new ClampedText(1, fonts::make(13, fonts::Weight::semibold), colors::primary(), this);
  name_->setText(showBidiControls(QString::fromStdString(session_.appName)));
  name_->setAttribute(Qt::WA_TransparentForMouseEvents);
  name_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  count_ = makeLabel(decimal(counts.actionable), fonts::mono(10, fonts::Weight::bold), colors::secondary(), this);
  heading->addWidget(name_, 1);
  heading->addWidget(count_, 0, Qt::AlignVCenter);
  stack->addLayout(heading);

  QDateTime when = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(session_.date * 1000.0));
  // A trace on another machine: its clock, and its name.
  if (session_.utcOffset) when = when.toOffsetFromUtc(*session_.utcOffset);
  QString timeText = QLocale().toString(when.time(), QLocale::ShortFormat);
  if (!session_.host.empty()) timeText += QStringLiteral(" on ") + showBidiControls(QString::fromStdString(session_.host));
  time_ = makeLabel(timeText, fonts::make(11), colors::secondary(), this);
  stack->addWidget(time_);

  auto* counters = new QHBoxLayout();
  counters->setSpacing(10);
  if (counts.errors > 0) {
    counters_.push_back(new CounterLabel(QStringLiteral("xmark.octagon.fill"), decimal(counts.errors), colors::red(), this));
  }
  if (counts.warnings > 0) {
    counters_.push_back(new CounterLabel(QStringLiteral("exclamationmark.triangle.fill"), decimal(counts.warnings),
                                         colors::orange(), this));
  }
  if (counts.isClean()) {
    counters_.push_back(new CounterLabel(QStringLiteral("checkmark.circle.fill"), QStringLiteral("Clean"), colors::green(), this));
  }
  for (auto* counter : counters_) counters->addWidget(counter);
  counters->addStretch(1);
  // At the trailing end, so the counters stay where they are: how the trace
  // ended, which tells a crash from an exit-3 run of the same app at a glance.
  counters->addWidget(new OutcomeBadge(outcome, this), 0, Qt::AlignVCenter);
  stack->addLayout(counters);

  for (QLabel* label : {count_, time_}) label->setAttribute(Qt::WA_TransparentForMouseEvents);
  QStringList spoken{name_->text(), time_->text(), count_->text() + QStringLiteral(" actionable")};
  if (counts.errors > 0) spoken << counted(counts.errors, QStringLiteral("error"), QStringLiteral("errors"));
  if (counts.warnings > 0) spoken << counted(counts.warnings, QStringLiteral("warning"), QStringLiteral("warnings"));
  if (counts.isClean()) spoken << QStringLiteral("Clean");
  spoken << outcome.description;
  setAccessibleName(spoken.join(QStringLiteral(", ")));
}

QSize SessionCard::sizeHint() const {
  return {QAbstractButton::sizeHint().width(), layout() ? layout()->sizeHint().height() : 80};
}

void SessionCard::keyPressEvent(QKeyEvent* event) {
  // A card reads as a button: Return and Enter open it as Space does.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
    click();
    return;
  }
  QAbstractButton::keyPressEvent(event);
}

void SessionCard::focusInEvent(QFocusEvent* event) {
  QAbstractButton::focusInEvent(event);
  for (QWidget* w = parentWidget(); w != nullptr; w = w->parentWidget()) {
    if (auto* scroll = qobject_cast<QScrollArea*>(w)) {
      scroll->ensureWidgetVisible(this, 0, 8);
      break;
    }
  }
}

void SessionCard::setSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  update();
}

QColor SessionCard::fill() const { return selected_ ? colors::cyan(0.12) : colors::white(0.035); }
QColor SessionCard::border() const { return selected_ ? colors::cyan(0.32) : colors::white(0.05); }

void SessionCard::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPainterPath path = continuousRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), metrics::cardRadius);
  painter.fillPath(path, fill());
  if (!selected_ && underMouse()) painter.fillPath(path, colors::white(0.03));
  painter.setPen(QPen(border(), 1.0));
  painter.drawPath(path);
  if (hasFocus()) {
    const double inset = metrics::focusRingWidth / 2.0;
    painter.setPen(QPen(colors::focusRing(), metrics::focusRingWidth));
    painter.drawPath(continuousRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), metrics::cardRadius));
  }
}

// ---------------------------------------------------------------- Sidebar

Sidebar::Sidebar(ContentView& content, QWidget* parent) : Surface(colors::white(0.015), parent), content_(content) {
  setObjectName(QStringLiteral("sidebar"));
  // The window's splitter sets the width; below this the column collapses.
  setMinimumWidth(metrics::sidebarMinimumWidth);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QHBoxLayout();
  header->setContentsMargins(16, 16, 16, 16);
  header->addWidget(makeLabel(QStringLiteral("RECENT LAUNCHES"), fonts::mono(11, fonts::Weight::bold),
                              colors::secondary(), this));
  header->addStretch(1);
  clearHistory_ = new PlainGlyphButton(QStringLiteral("trash"), colors::secondary(), 14, this);
  clearHistory_->setObjectName(QStringLiteral("clearHistoryButton"));
  clearHistory_->setAccessibleName(QStringLiteral("Clear launch history"));
  clearHistory_->setToolTip(QStringLiteral("Clear launch history (asks first)"));
  QObject::connect(clearHistory_, &QAbstractButton::clicked, this, [this] { confirmClearHistory(); });
  header->addWidget(clearHistory_);
  column->addLayout(header);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("historyList"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->viewport()->setAutoFillBackground(false);
  // The cards take focus; the scroll view itself would be a stop that shows nothing.
  scroll_->setFocusPolicy(Qt::NoFocus);
  auto* inner = new QWidget(scroll_);
  inner->setAutoFillBackground(false);
  list_ = new QVBoxLayout(inner);
  list_->setContentsMargins(12, 0, 12, 12);
  list_->setSpacing(8);

  emptyCard_ = new Surface(colors::white(0.035), inner);
  emptyCard_->setObjectName(QStringLiteral("emptyHistoryCard"));
  emptyCard_->setRadius(metrics::cardRadius);
  auto* empty = new QVBoxLayout(emptyCard_);
  empty->setContentsMargins(14, 14, 14, 14);
  empty->setSpacing(8);
  empty->addWidget(new GlyphLabel(QStringLiteral("clock.arrow.circlepath"), 18, colors::cyan(), emptyCard_));
  // Wraps in a sidebar dragged (or started, on a small screen) narrow.
  auto* emptyTitle = makeLabel(QStringLiteral("No launch sessions yet"), fonts::make(13, fonts::Weight::semibold),
                               colors::primary(), emptyCard_);
  emptyTitle->setWordWrap(true);
  empty->addWidget(emptyTitle);
  auto* hint = makeLabel(QStringLiteral("Choose an app and launch it from Marrowfield."), fonts::make(11),
                         colors::secondary(), emptyCard_);
  hint->setWordWrap(true);
  empty->addWidget(hint);
  list_->addWidget(emptyCard_);
  list_->addStretch(1);
  scroll_->setWidget(inner);
  column->addWidget(scroll_, 1);

  auto* target = new Surface(colors::black(0.18), this);
  target->setObjectName(QStringLiteral("targetPanel"));
  auto* panel = new QVBoxLayout(target);
  panel->setContentsMargins(16, 16, 16, 16);
  panel->setSpacing(8);
  auto* targetHeader = new QHBoxLayout();
  targetHeader->setContentsMargins(0, 0, 0, 0);
  targetHeader->addWidget(makeLabel(QStringLiteral("TARGET"), fonts::mono(10, fonts::Weight::bold), colors::secondary(), target));
  targetHeader->addStretch(1);
  launchOptions_ = new PlainGlyphButton(QStringLiteral("slider.horizontal.3"), colors::secondary(), 14, target);
  launchOptions_->setObjectName(QStringLiteral("launchOptionsButton"));
  launchOptions_->setAccessibleName(QStringLiteral("Launch Options"));
  launchOptions_->setToolTip(QStringLiteral("Host, arguments and environment for the target's launches (Ctrl+E)"));
  targetHeader->addWidget(launchOptions_);
  panel->addLayout(targetHeader);
  targetName_ = new ClampedText(1, fonts::make(13, fonts::Weight::semibold), colors::primary(), target);
  targetName_->setObjectName(QStringLiteral("targetName"));
  panel->addWidget(targetName_);
  targetPath_ = new ClampedText(3, fonts::mono(10), colors::secondary(), target);
  targetPath_->setObjectName(QStringLiteral("targetPath"));
  panel->addWidget(targetPath_);
  optionsSummary_ = new ClampedText(3, fonts::mono(10), colors::cyan(), target);
  optionsSummary_->setObjectName(QStringLiteral("launchOptionsSummary"));
  optionsSummary_->setVisible(false);
  panel->addWidget(optionsSummary_);
  column->addWidget(target);

  rebuildCards();
  refreshTarget();
}

QList<QWidget*> Sidebar::focusChain() const {
  QList<QWidget*> chain{clearHistory_};
  for (SessionCard* card : cards_) chain << card;
  chain << launchOptions_;
  return chain;
}

void Sidebar::onChange(const Change& change) {
  if (change.has(Change::sessions)) rebuildCards();
  if (change.has(Change::target)) refreshTarget();
}

void Sidebar::rebuildCards() {
  const auto& sessions = content_.sessions();
  bool same = sessions.size() == cards_.size();
  for (std::size_t i = 0; same && i < sessions.size(); ++i) same = cards_[i]->session().id == sessions[i].id;
  if (!same) {
    // A recorded session does not change, so its card stays: made afresh,
    // every card's parts would go and come again on the accessibility bus at
    // each launch, and a reader would be told of objects already gone.
    std::vector<SessionCard*> old = std::move(cards_);
    cards_.clear();
    for (SessionCard* card : old) list_->removeWidget(card);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
      const auto kept = std::find_if(old.begin(), old.end(), [&](const SessionCard* card) {
        return card != nullptr && card->session().id == sessions[i].id;
      });
      SessionCard* card = kept != old.end() ? std::exchange(*kept, nullptr) : makeCard(sessions[i]);
      list_->insertWidget(static_cast<int>(i) + 1, card);
      // A reader walks the cards in the order of the parent's children, which
      // raise() keeps the same as on the screen: newest first.
      card->raise();
      cards_.push_back(card);
    }
    for (SessionCard* card : old) {
      if (card == nullptr) continue;
      if (card == pressed_) {
        // Pressing this card recorded the running trace, which dropped it:
        // it goes once its click is over.
        card->hide();
        card->deleteLater();
      } else {
        // Not hidden first: a reader hears the card leave, not each of its parts hide.
        if (QAccessible::isActive()) {
          QAccessibleEvent gone(card, QAccessible::ObjectDestroyed);
          QAccessible::updateAccessibility(&gone);
        }
        delete card;
      }
    }
  }
  emptyCard_->setVisible(sessions.empty());
  clearHistory_->setEnabled(!sessions.empty());
  refreshSelection();
}

SessionCard* Sidebar::makeCard(const LaunchSession& session) {
  const LaunchOptions* options = book_ ? book_->forSession(session.id) : nullptr;
  auto* card = new SessionCard(session, options ? describeLaunchOptions(*options) : QString(), scroll_->widget());
  QObject::connect(card, &QAbstractButton::clicked, this, [this, card] {
    const LaunchSession pressed = card->session();
    pressed_ = card;
    content_.openSavedSession(pressed);
    pressed_ = nullptr;
  });
  return card;
}

void Sidebar::refreshSelection() {
  const bool viewing = content_.viewingSavedSession();
  const auto& selected = content_.selectedSessionID();
  for (SessionCard* card : cards_) card->setSelected(viewing && selected && *selected == card->session().id);
}

void Sidebar::refreshTarget() {
  targetName_->setText(showBidiControls(QString::fromStdString(content_.selectedAppName())));
  const auto& url = content_.selectedAppURL();
  targetPath_->setVisible(url.has_value());
  targetPath_->setText(url ? showBidiControls(QString::fromStdString(*url)) : QString());
  launchOptions_->setEnabled(url.has_value());
  const QString options = url && book_ ? describeLaunchOptions(book_->forTarget(*url)) : QString();
  optionsSummary_->setText(options);
  optionsSummary_->setVisible(!options.isEmpty());
}

void Sidebar::confirmClearHistory() {
  const std::size_t count = content_.sessions().size();
  if (count == 0) return;
  QMessageBox box(QMessageBox::Question, QStringLiteral("Clear Launch History"),
                  QStringLiteral("Clear %1? This cannot be undone.")
                      .arg(counted(count, QStringLiteral("recorded session"), QStringLiteral("recorded sessions"))),
                  QMessageBox::Cancel, this);
  QPushButton* clear = box.addButton(QStringLiteral("Clear History"), QMessageBox::DestructiveRole);
  // Return on the dialog keeps the history: the safe answer is the default.
  box.setDefaultButton(QMessageBox::Cancel);
  box.exec();
  if (box.clickedButton() == clear) content_.clearHistory();
}

}  // namespace mf::ui
