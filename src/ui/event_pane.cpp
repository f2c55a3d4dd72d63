// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/event_pane.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/glyphs.h"
#include "ui/toolbar_row_layout.h"
#include "ui/verdict_bar.h"

namespace mf::ui {

namespace {

ToolbarButton* makeButton(const QString& text, const QString& glyph, const QString& name, const QString& tip,
                          QWidget* parent) {
  auto* button = new ToolbarButton(glyphIcon(glyph, colors::primary(), 14), text, parent);
  button->setObjectName(name);
  button->setFocusPolicy(Qt::TabFocus);
  button->setHint(tip);
  return button;
}

// The search field at its widest, and the narrowest it gives way to before
// the buttons lose their labels.
constexpr int kSearchMinimumWidth = 160;

QString decimal(std::size_t n) { return QString::number(static_cast<qulonglong>(n)); }

}  // namespace

// ---------------------------------------------------------------- SearchField

SearchField::SearchField(QWidget* parent) : QLineEdit(parent) {
  setObjectName(QStringLiteral("searchField"));
  setPlaceholderText(QStringLiteral("Search diagnostics"));
  setAccessibleName(placeholderText());
  setToolTip(QStringLiteral("Filter the events by their text (Ctrl+F); Escape clears"));
  setFixedWidth(metrics::searchFieldWidth);
  setClearButtonEnabled(true);
  // Qt's clear button is a bare glyph; a screen reader needs its name.
  for (QToolButton* button : findChildren<QToolButton*>()) {
    button->setAccessibleName(QStringLiteral("Clear search"));
    button->setToolTip(QStringLiteral("Clear search (Escape)"));
  }
}

bool SearchField::event(QEvent* event) {
  // A line edit takes Ctrl+E as "end of line" before the window's shortcut
  // sees it; the key opens Launch Options everywhere in the window (End
  // still goes to the end of the line).
  if (event->type() == QEvent::ShortcutOverride) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_E && key->modifiers() == Qt::ControlModifier) {
      event->ignore();
      return true;
    }
  }
  return QLineEdit::event(event);
}

void SearchField::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && !text().isEmpty()) {
    clear();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

// ---------------------------------------------------------------- LabeledSwitch

LabeledSwitch::LabeledSwitch(const QString& title, const QString& tooltip, QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  title_ = makeLabel(title, fonts::make(11, fonts::Weight::medium), colors::primary(), this);
  switch_ = new ToggleSwitch(this);
  switch_->setAccessibleName(title);
  row->addWidget(title_);
  row->addWidget(switch_);
  setToolTip(tooltip);
  title_->setToolTip(tooltip);
  switch_->setToolTip(tooltip);
}

// ---------------------------------------------------------------- EmptyState

EmptyState::EmptyState(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("emptyState"));
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(24, 120, 24, 0);
  stack->setSpacing(12);
  glyphHost_ = new QWidget(this);
  auto* host = new QHBoxLayout(glyphHost_);
  host->setContentsMargins(0, 0, 0, 0);
  stack->addWidget(glyphHost_, 0, Qt::AlignHCenter);
  title_ = makeLabel(QString(), fonts::make(17, fonts::Weight::semibold), colors::primary(), this);
  title_->setAlignment(Qt::AlignHCenter);
  stack->addWidget(title_);
  explanation_ = makeLabel(QString(), fonts::make(13), colors::secondary(), this);
  explanation_->setAlignment(Qt::AlignHCenter);
  explanation_->setWordWrap(true);
  stack->addWidget(explanation_);
  stack->addStretch(1);
  setRawLog(false);
}

void EmptyState::setRawLog(bool rawLog) {
  if (rawLog_ == rawLog) return;
  rawLog_ = rawLog;
  delete glyph_;
  glyph_ = new GlyphLabel(rawLog ? QStringLiteral("text.alignleft") : QStringLiteral("checkmark.shield"), 32,
                          colors::cyan(), glyphHost_);
  glyphHost_->layout()->addWidget(glyph_);
  title_->setText(rawLog ? QStringLiteral("No log events yet") : QStringLiteral("No actionable diagnostics"));
  explanation_->setText(rawLog ? QStringLiteral("Launch an app to capture its unified log.")
                               : QStringLiteral("Only actionable or app-authored events are shown."));
}

// ---------------------------------------------------------------- EventPane

EventPane::EventPane(ContentView& content, QWidget* parent) : QWidget(parent), content_(content) {
  setObjectName(QStringLiteral("eventPane"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(makeToolbar());
  column->addWidget(new Divider(this));
  verdictBar_ = new VerdictBar(content_,
                               new LabeledSwitch(QStringLiteral("New Only"),
                                                 QStringLiteral("List only the events new since the previous launch"),
                                                 this),
                               this);
  column->addWidget(verdictBar_);
  column->addWidget(makeColumnHeader());

  stack_ = new QStackedWidget(this);
  list_ = new EventListView(content_, stack_);
  empty_ = new EmptyState(stack_);
  stack_->addWidget(list_);
  stack_->addWidget(empty_);
  list_->backToEndButton()->setParent(this);
  list_->backToEndButton()->hide();
  column->addWidget(stack_, 1);

  connectControls();
  refreshControls();
  refreshCounters();
}

QWidget* EventPane::makeToolbar() {
  auto* toolbar = new Surface(colors::black(0.1), this);
  toolbar->setObjectName(QStringLiteral("eventToolbar"));
  auto* rows = new QVBoxLayout(toolbar);
  rows->setContentsMargins(16, 16, 16, 16);
  rows->setSpacing(12);
  rows->addLayout(makeTraceButtons(toolbar));
  rows->addLayout(makeSwitchesAndCounters(toolbar));
  return toolbar;
}

QLayout* EventPane::makeTraceButtons(QWidget* toolbar) {
  auto* row = new ToolbarRowLayout(10);
  traceRow_ = row;
  choose_ = makeButton(QStringLiteral("Choose App"), QStringLiteral("app.badge"), QStringLiteral("chooseButton"),
                       QStringLiteral("Choose the application to trace (Ctrl+O)"), toolbar);
  launch_ = new ToolbarButton(glyphIcon(QStringLiteral("play.fill"), colors::onAccent(), 14), QStringLiteral("Launch & Trace"), toolbar);
  launch_->setObjectName(QStringLiteral("launchButton"));
  launch_->setFocusPolicy(Qt::TabFocus);
  launch_->setDefault(false);
  launch_->setHint(QStringLiteral("Launch the target and trace it (F5)"));
  // The prominent button: filled with the accent.
  launch_->setStyleSheet(styles::prominentButton());
  stop_ = makeButton(QStringLiteral("Stop"), QStringLiteral("stop.fill"), QStringLiteral("stopButton"),
                     QStringLiteral("Stop tracing and record the session (Shift+F5)"), toolbar);
  // Not the history's trash can: this empties only the list on screen.
  clear_ = makeButton(QStringLiteral("Clear"), QStringLiteral("text.badge.xmark"), QStringLiteral("clearButton"),
                      QStringLiteral("Clear the event view; the launch history stays (Ctrl+L)"), toolbar);
  clear_->setAccessibleLabel(QStringLiteral("Clear view"));
  current_ = makeButton(QStringLiteral("Current"), QStringLiteral("arrow.uturn.backward.circle"),
                        QStringLiteral("currentButton"),
                        QStringLiteral("Leave saved history and return to the current trace view"), toolbar);
  search_ = new SearchField(toolbar);
  for (QWidget* w : std::initializer_list<QWidget*>{choose_, launch_, stop_, clear_, current_}) row->addLeading(w);
  row->addTrailing(search_);
  return row;
}

QLayout* EventPane::makeSwitchesAndCounters(QWidget* toolbar) {
  auto* row = new ToolbarRowLayout(14);
  switchesRow_ = row;
  mode_ = makeLabel(QString(), fonts::mono(10, fonts::Weight::bold), colors::cyan(), toolbar);
  mode_->setObjectName(QStringLiteral("modeLabel"));
  // As wide as its longer text, so the switches after it stay put when it
  // changes: a second click on the same spot hits the same switch.
  {
    const QFontMetrics fm(mode_->font());
    mode_->setFixedWidth(std::max(fm.horizontalAdvance(QStringLiteral("RAW LOG")),
                                  fm.horizontalAdvance(QStringLiteral("ACTIONABLE"))) + 2);
  }
  rawLog_ = new LabeledSwitch(QStringLiteral("Show Raw Log"), QStringLiteral("Show every captured unified-log event"), toolbar);
  rawLog_->setObjectName(QStringLiteral("rawLogSwitch"));
  fresh_ = new LabeledSwitch(QStringLiteral("Fresh Launch"), QStringLiteral("Quit an already-running target before tracing"), toolbar);
  fresh_->setObjectName(QStringLiteral("freshLaunchSwitch"));
  suppressed_ = makeLabel(QString(), fonts::mono(11), colors::secondary(), toolbar);
  suppressed_->setObjectName(QStringLiteral("suppressedCount"));
  count_ = makeLabel(QString(), fonts::mono(11), colors::secondary(), toolbar);
  count_->setObjectName(QStringLiteral("eventCount"));
  row->addLeading(mode_);
  row->addLeading(rawLog_);
  row->addLeading(fresh_);
  row->addTrailing(suppressed_);
  row->addTrailing(count_);
  return row;
}

QWidget* EventPane::makeColumnHeader() {
  auto* header = new Surface(colors::white(0.018), this);
  header->setObjectName(QStringLiteral("columnHeader"));
  header->setFixedHeight(metrics::columnHeaderHeight);
  auto* heads = new QHBoxLayout(header);
  heads->setContentsMargins(metrics::rowPaddingH, 0, metrics::rowPaddingH, 0);
  heads->setSpacing(metrics::headerSpacing);
  const QFont headFont = fonts::mono(10, fonts::Weight::bold);
  const std::pair<const char*, int> columns[] = {
      {"TIME", metrics::timeColumn}, {"TYPE", metrics::typeColumn}, {"SOURCE", metrics::sourceColumn}, {"EVENT", 0}};
  for (const auto& [text, width] : columns) {
    auto* head = makeLabel(QString::fromLatin1(text), headFont, colors::secondary(), header);
    if (width > 0) head->setFixedWidth(width);
    heads->addWidget(head, width > 0 ? 0 : 1, Qt::AlignVCenter);
  }
  return header;
}

void EventPane::connectControls() {
  QObject::connect(choose_, &QPushButton::clicked, this, [this] { run([this] { content_.chooseApplication(); }); });
  QObject::connect(launch_, &QPushButton::clicked, this, [this] {
    run([this] {
      if (prepareLaunch_) prepareLaunch_();
      content_.startTrace();
    });
  });
  QObject::connect(stop_, &QPushButton::clicked, this, [this] { run([this] { content_.stopTrace(true); }); });
  QObject::connect(clear_, &QPushButton::clicked, this, [this] { run([this] { content_.clearTraceView(); }); });
  QObject::connect(current_, &QPushButton::clicked, this, [this] { run([this] { content_.returnToCurrentTrace(); }); });
  QObject::connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
    std::string value = text.toStdString();
    if (value != content_.searchText()) content_.setSearchText(std::move(value));
  });
  QObject::connect(rawLog_->toggle(), &QAbstractButton::toggled, this, [this](bool on) {
    if (on != content_.showRawLog()) content_.setShowRawLog(on);
  });
  QObject::connect(fresh_->toggle(), &QAbstractButton::toggled, this, [this](bool on) {
    if (on != content_.freshLaunch()) content_.setFreshLaunch(on);
  });
}

QList<QWidget*> EventPane::focusChain() const {
  return {choose_, launch_, stop_, clear_, current_, search_, rawLog_->toggle(), fresh_->toggle(), list_,
          list_->backToEndButton()};
}

void EventPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fitButtons();
}

void EventPane::fitButtons() {
  // The search field narrows first, so the buttons keep their labels on one
  // row with it; then the buttons show glyphs alone (the labels stay in the
  // tooltips and the accessible names) to keep the search beside them; only
  // when even that does not fit does the search move to a row of its own.
  // The switches' row drops the mode tag (the Show Raw Log switch says the
  // same) before it breaks in two. A narrow window with both side columns
  // open keeps its toolbar to two rows.
  const int available = width() - 32;
  constexpr int kGap = 16;  // the toolbar row's least flexible space
  const auto buttonsWidth = [this](bool compact) {
    int needed = 0;
    int shown = 0;
    for (ToolbarButton* button : {choose_, launch_, stop_, clear_, current_}) {
      if (!button->isVisibleTo(this)) continue;
      needed += compact ? button->minimumSizeHint().width() : button->fullWidth();
      ++shown;
    }
    return needed + std::max(0, shown - 1) * 10;
  };
  const int full = buttonsWidth(false);
  const bool compact = full > available || available - full - kGap < kSearchMinimumWidth;
  for (ToolbarButton* button : {choose_, launch_, stop_, clear_, current_}) button->setCompact(compact);
  // The buttons as the row lays them out (their size hints), labels or not.
  const int room = available - traceRow_->leadingWidth() - kGap;
  const int search = room >= kSearchMinimumWidth ? std::min(room, metrics::searchFieldWidth) : metrics::searchFieldWidth;
  if (search_->width() != search || search_->minimumWidth() != search) search_->setFixedWidth(search);
  const int modeWidth = mode_->width() + 14;
  const int switchesWidth = switchesRow_->oneLineWidth() + (mode_->isVisibleTo(this) ? 0 : modeWidth);
  const bool showMode = switchesWidth <= available;
  if (mode_->isVisibleTo(this) != showMode) mode_->setVisible(showMode);
}

void EventPane::run(const std::function<void()>& operation) {
  if (runner_) runner_(operation);
  else operation();
}

void EventPane::onChange(const Change& change) {
  list_->onChange(change);
  verdictBar_->onChange(change);
  refreshControls();
  refreshCounters();
}

void EventPane::refreshControls() {
  const bool tracing = content_.isTracing();
  launch_->setLabel(tracing ? QStringLiteral("Tracing\u2026") : QStringLiteral("Launch & Trace"));
  // A button that turns off while it has the keyboard would pass it on to the
  // next in line, "Clear", where a second Space empties the view: the
  // keyboard goes from "Launch & Trace" to "Stop" and back instead.
  if (tracing) {
    stop_->setEnabled(true);
    if (launch_->hasFocus()) stop_->setFocus(Qt::OtherFocusReason);
    launch_->setEnabled(false);
  } else {
    launch_->setEnabled(true);
    if (stop_->hasFocus()) launch_->setFocus(Qt::OtherFocusReason);
    stop_->setEnabled(false);
  }
  const bool saved = content_.viewingSavedSession();
  if (current_->isVisibleTo(this) != saved) {
    current_->setVisible(saved);
    fitButtons();
  }

  const QString search = QString::fromStdString(content_.searchText());
  if (search_->text() != search) search_->setText(search);
  const bool raw = content_.showRawLog();
  if (rawLog_->toggle()->isChecked() != raw) rawLog_->toggle()->setChecked(raw);
  if (fresh_->toggle()->isChecked() != content_.freshLaunch()) fresh_->toggle()->setChecked(content_.freshLaunch());
  mode_->setText(raw ? QStringLiteral("RAW LOG") : QStringLiteral("ACTIONABLE"));
  empty_->setRawLog(raw);
}

void EventPane::refreshCounters() {
  const bool raw = content_.showRawLog();
  suppressed_->setVisible(!raw);
  suppressed_->setText(decimal(content_.suppressedCount()) + QStringLiteral(" raw events suppressed"));
  const std::size_t count = content_.eventCount();
  count_->setText(decimal(count) + QStringLiteral(" events"));
  QWidget* want = count == 0 ? static_cast<QWidget*>(empty_) : list_;
  if (stack_->currentWidget() != want) {
    const bool listHadFocus = list_->hasFocus();
    stack_->setCurrentWidget(want);
    if (want == list_ && listHadFocus) list_->setFocus();
  }
}

}  // namespace mf::ui
