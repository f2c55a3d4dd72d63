// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/detail_pane.h"

#include <QAbstractTextDocumentLayout>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QTextDocument>
#include <algorithm>
#include <cmath>

#include "model/time_text.h"

namespace mf::ui {

namespace {
constexpr qsizetype kShownCharacters = qsizetype{64} * 1024;

// The moment the trace on screen started: its own start event. A fresh
// launch says which running instances it quit before it, so the event is
// looked for among the trace's own first events, not only at the top.
std::optional<double> traceStart(const EventList& events) {
  constexpr std::string_view kStarted = "Launch trace started for ";
  for (std::size_t i = 0; i < events.size() && i < 256; ++i) {
    const EventView event = events[i];
    if (event.origin != LineOrigin::trace) break;
    if (event.source == "SESSION" && event.message.substr(0, kStarted.size()) == kStarted) return event.time;
  }
  return std::nullopt;
}
}  // namespace

QString formatSinceLaunch(double start, double time) {
  const double seconds = time - start;
  // Rounded, so -0.0004 reads +0.000 rather than -0.000.
  const double rounded = std::round(seconds * 1000.0) / 1000.0;
  return (rounded < 0 ? QStringLiteral("\u2212") : QStringLiteral("+")) + QString::number(std::abs(rounded), 'f', 3) +
         QStringLiteral(" s");
}

// ---------------------------------------------------------------- SelectableText

SelectableText::SelectableText(const QString& text, QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setFrameShape(QFrame::NoFrame);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setLineWrapMode(QTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setFont(fonts::mono(12));
  viewport()->setAutoFillBackground(false);
  mf::ui::setTextColor(this, colors::primary());
  document()->setDocumentMargin(0);
  setPlainText(text);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(fittingHeight());
}

int SelectableText::fittingHeight() const {
  // The frame (the room the focus ring takes) around the text's own height.
  return std::max(qCeil(document()->size().height()), fontMetrics().height()) + 2 * frameWidth();
}

QSize SelectableText::sizeHint() const { return {std::max(width(), 100), fittingHeight()}; }

void SelectableText::resizeEvent(QResizeEvent* event) {
  QTextEdit::resizeEvent(event);
  // The height follows the wrapped text, so the pane's scroll view scrolls the
  // whole block list rather than each value on its own.
  document()->setTextWidth(viewport()->width());
  const int height = fittingHeight();
  if (height != this->height()) setFixedHeight(height);
}

// ---------------------------------------------------------------- DetailPane

DetailPane::DetailPane(ContentView& content, QWidget* parent) : Surface(colors::black(0.1), parent), content_(content) {
  setObjectName(QStringLiteral("detailPane"));
  // The window's splitter sets the width; below this the column collapses.
  setMinimumWidth(metrics::detailMinimumWidth);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QHBoxLayout();
  header->setContentsMargins(16, 16, 16, 16);
  header->addWidget(makeLabel(QStringLiteral("EVENT DETAIL"), fonts::mono(11, fonts::Weight::bold), colors::secondary(), this));
  header->addStretch(1);
  copy_ = new PlainGlyphButton(QStringLiteral("doc.on.doc"), colors::secondary(), 14, this);
  copy_->setObjectName(QStringLiteral("copyEventButton"));
  copy_->setToolTip(QStringLiteral("Copy selected event"));
  copy_->setAccessibleName(copy_->toolTip());
  QObject::connect(copy_, &QAbstractButton::clicked, this, [this] { content_.copySelectedEvent(); });
  header->addWidget(copy_);
  column->addLayout(header);
  column->addWidget(new Divider(this));
  // The selection outlives a search that hides it; the pane says so rather
  // than show an event the list no longer has.
  hiddenNote_ = makeLabel(QStringLiteral("Not in the list now: the search or the raw-log switch hides this event."),
                          fonts::make(11), colors::orange(), this);
  hiddenNote_->setObjectName(QStringLiteral("detailHiddenNote"));
  hiddenNote_->setWordWrap(true);
  hiddenNote_->setContentsMargins(16, 10, 16, 0);
  hiddenNote_->hide();
  column->addWidget(hiddenNote_);

  stack_ = new QStackedWidget(this);
  empty_ = new QWidget(stack_);
  empty_->setObjectName(QStringLiteral("detailEmptyState"));
  auto* empty = new QVBoxLayout(empty_);
  empty->setContentsMargins(24, 24, 24, 24);
  empty->setSpacing(10);
  empty->addStretch(1);
  empty->addWidget(new GlyphLabel(QStringLiteral("cursorarrow.click.2"), 28, colors::secondary(), empty_), 0, Qt::AlignHCenter);
  auto* title = makeLabel(QStringLiteral("Select an event"), fonts::make(14, fonts::Weight::semibold), colors::primary(), empty_);
  title->setAlignment(Qt::AlignHCenter);
  empty->addWidget(title);
  auto* hint = makeLabel(QStringLiteral("Diagnostic detail will appear here."), fonts::make(12), colors::secondary(), empty_);
  hint->setAlignment(Qt::AlignHCenter);
  hint->setWordWrap(true);
  empty->addWidget(hint);
  empty->addStretch(1);

  scroll_ = new QScrollArea(stack_);
  scroll_->setObjectName(QStringLiteral("detailScroll"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->viewport()->setAutoFillBackground(false);
  // The values inside take focus; the scroll view itself would be a stop that shows nothing.
  scroll_->setFocusPolicy(Qt::NoFocus);
  stack_->addWidget(empty_);
  stack_->addWidget(scroll_);
  column->addWidget(stack_, 1);
  refresh();
}

void DetailPane::onChange(const Change& change) {
  if (change.has(Change::eventSelection) || change.has(Change::eventsReplaced)) {
    refresh();
  } else if (change.has(Change::searchText) || change.has(Change::switches) || change.has(Change::visibleReset)) {
    refreshHiddenNote();
  }
}

void DetailPane::refreshHiddenNote() {
  bool hidden = false;
  if (const auto& id = content_.selectedEventID()) {
    const std::optional<std::size_t> index = content_.events().indexOf(*id);
    const auto& rows = content_.visibleRows();
    hidden = index && !std::binary_search(rows.begin(), rows.end(), static_cast<std::uint32_t>(*index));
  }
  if (hiddenNote_->isVisibleTo(this) != hidden) hiddenNote_->setVisible(hidden);
}

void DetailPane::refresh() {
  // Looked up in the whole list: an event the filter hides from the list still shows here.
  std::optional<MarrowfieldEvent> event = content_.selectedEvent();
  copy_->setEnabled(event.has_value());
  refreshHiddenNote();
  if (!event) {
    shown_.reset();
    stack_->setCurrentWidget(empty_);
    return;
  }
  if (!shown_ || !(*shown_ == *event)) {
    shown_ = std::move(event);
    showBody(*shown_);
  }
  stack_->setCurrentWidget(scroll_);
}

void DetailPane::showBody(const MarrowfieldEvent& event) {
  values_.clear();
  auto* body = new QWidget();
  body->setAutoFillBackground(false);
  auto* column = new QVBoxLayout(body);
  column->setContentsMargins(16, 16, 16, 16);
  column->setSpacing(18);
  addFields(*column, event);
  addOrigin(*column, event);
  addLaunchOptions(*column);
  column->addStretch(1);
  scroll_->setWidget(body);  // deletes the previous body
  scroll_->verticalScrollBar()->setValue(0);
}

QVBoxLayout* DetailPane::addBlock(QVBoxLayout& column, const QString& name, const QString& value, QWidget* beside) {
  QWidget* body = column.parentWidget();
  auto* block = new QVBoxLayout();
  block->setSpacing(7);
  block->addWidget(makeLabel(name, fonts::mono(10, fonts::Weight::bold), colors::secondary(), body));
  // Laying out a megabyte of text would freeze the window for seconds; the
  // pane shows the first part and says how much more the copy carries.
  const bool cut = value.size() > kShownCharacters;
  auto* text = new SelectableText(cut ? value.left(kShownCharacters) : value, body);
  text->setObjectName(QStringLiteral("detailValue:") + name);
  text->setAccessibleName(name);
  if (beside != nullptr) {
    auto* row = new QHBoxLayout();
    row->setSpacing(8);
    row->addWidget(text, 1);
    row->addWidget(beside, 0, Qt::AlignTop);
    block->addLayout(row);
  } else {
    block->addWidget(text);
  }
  if (cut) {
    const QString more = QStringLiteral("\u2026 %1 more characters. \u201CCopy selected event\u201D copies the whole message.");
    auto* note = makeLabel(more.arg(value.size() - kShownCharacters), fonts::make(11), colors::secondary(), body);
    note->setObjectName(QStringLiteral("detailCutNote"));
    note->setWordWrap(true);
    block->addWidget(note);
  }
  column.addLayout(block);
  values_.push_back(text);
  return block;
}

void DetailPane::addFields(QVBoxLayout& column, const MarrowfieldEvent& event) {
  addBlock(column, QStringLiteral("TYPE"), toQString(label(event.type)));
  addBlock(column, QStringLiteral("SOURCE"), showBidiControls(QString::fromStdString(event.source)));
  // Beside the clock time, the offset into the trace, which is what tells
  // two events of the same second apart.
  QLabel* sinceLaunch = nullptr;
  if (const std::optional<double> start = traceStart(content_.events())) {
    const QString offset = formatSinceLaunch(*start, event.time);
    sinceLaunch = makeLabel(offset, fonts::mono(12), colors::secondary(), column.parentWidget());
    sinceLaunch->setObjectName(QStringLiteral("detailSinceLaunch"));
    sinceLaunch->setToolTip(QStringLiteral("Time since the trace started"));
    sinceLaunch->setAccessibleName(QStringLiteral("Since launch ") + sinceLaunch->text());
  }
  addBlock(column, QStringLiteral("TIME"),
           QString::fromStdString(formatTime(event.time, content_.shownUtcOffset())), sinceLaunch);
  addBlock(column, QStringLiteral("MESSAGE"), showBidiControls(QString::fromStdString(event.message)));
  if (event.isRoutineNoise) {
    addBlock(column, QStringLiteral("VISIBILITY"), QStringLiteral("Raw-log-only system/framework event"));
  }
}

void DetailPane::addOrigin(QVBoxLayout& column, const MarrowfieldEvent& event) {
  // Below the fields: which stream carried the line.
  QVBoxLayout* block = addBlock(column, QStringLiteral("ORIGIN"), toQString(originName(event.origin)));
  if (content_.isNew(event.id, event.message).value_or(false)) {
    block->addWidget(makeLabel(QStringLiteral("New since the previous launch"), fonts::make(11, fonts::Weight::medium),
                               colors::orange(), column.parentWidget()));
  }
}

void DetailPane::addLaunchOptions(QVBoxLayout& column) {
  // What this run was given besides its command, so two runs of one
  // target can be told apart by more than their output.
  if (const LaunchOptions* options = shownLaunchOptions()) {
    addBlock(column, QStringLiteral("LAUNCH OPTIONS"), describeLaunchOptions(*options));
  }
}

QList<QWidget*> DetailPane::focusChain() const {
  QList<QWidget*> chain{copy_};
  if (stack_->currentWidget() == empty_) return chain;
  for (SelectableText* value : values_) chain << value;
  return chain;
}

const LaunchOptions* DetailPane::shownLaunchOptions() const {
  if (book_ == nullptr) return nullptr;
  if (const auto& session = content_.selectedSessionID()) return book_->forSession(*session);
  return content_.viewingSavedSession() ? nullptr : book_->forCurrentTrace();
}

}  // namespace mf::ui
