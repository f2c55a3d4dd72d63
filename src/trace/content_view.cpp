// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace/content_view.h"

#include <algorithm>
#include <utility>

#include "analysis/classify.h"
#include "content_view_impl.h"

namespace mf {

ContentView::ContentView(Services services) : services_(services), impl_(std::make_unique<Impl>()) {
  impl_->token = std::make_shared<Impl::Token>(Impl::Token{this});
  resetVisible();
  impl_->pending = Change{};
}

ContentView::~ContentView() {
  // The views are going away with the window; they must not be called back.
  impl_->observer = nullptr;
  stopTrace(false);
  shutLineGates();
  impl_->token.reset();
}

void ContentView::setChangeObserver(ChangeObserver observer) { impl_->observer = std::move(observer); }

// --- Bindings --------------------------------------------------------------------------

void ContentView::setSearchText(std::string text) {
  if (text == searchText_) return;
  OperationScope scope(*this);
  searchText_ = std::move(text);
  resetVisible();
  changed(Change::searchText);
}

void ContentView::setShowRawLog(bool on) {
  if (on == showRawLog_) return;
  OperationScope scope(*this);
  showRawLog_ = on;
  resetVisible();
  changed(Change::switches);
}

void ContentView::setFreshLaunch(bool on) {
  if (on == freshLaunch_) return;
  OperationScope scope(*this);
  freshLaunch_ = on;
  changed(Change::switches);
}

void ContentView::selectEvent(std::optional<Uuid> id) {
  if (id == selectedEventID_) return;
  OperationScope scope(*this);
  selectedEventID_ = id;
  changed(Change::eventSelection);
}

// --- Event intake ----------------------------------------------------------------------

void ContentView::appendEvent(EventType type, std::string_view source, std::string_view message,
                              std::optional<double> time) {
  OperationScope scope(*this);
  const std::size_t first = events_.size();
  events_.append(services_.ids.next(), time.value_or(services_.clock.now()), type, source, message, false);
  takeInAppended(first);
}

void ContentView::setLaunchParameters(std::vector<std::string> arguments,
                                      std::vector<std::pair<std::string, std::string>> environment,
                                      bool qtLevelPrefix) {
  launchArguments_ = std::move(arguments);
  launchEnvironment_ = std::move(environment);
  launchQtLevelPrefix_ = qtLevelPrefix;
}

void ContentView::ingestLines(const LineBatch& batch) {
  OperationScope scope(*this);
  const std::size_t first = events_.size();
  mf::ingestLines(batch, selectedBundleIdentifier_, events_, services_.ids, services_.clock);
  takeInAppended(first);
}

void ContentView::deliverBatch(const LineBatch& batch) {
  ingestLines(batch);
  flushChanges();
}

std::shared_ptr<ContentView::LineGate> ContentView::openLineGate() {
  auto gate = std::make_shared<LineGate>(*this, services_.mainQueue);
  impl_->gates.push_back(gate);
  return gate;
}

void ContentView::shutLineGates() {
  for (auto& gate : impl_->gates) gate->shut();
  impl_->gates.clear();
}

LineBatchSink ContentView::LineGate::sink(std::shared_ptr<LineGate> gate) {
  // Runs on the reader's thread: it only posts, and only through an open gate.
  return [gate = std::move(gate)](LineBatch batch) {
    std::lock_guard lock(gate->mutex_);
    if (gate->state_ != State::open) return;
    gate->queue_->post([gate, batch = std::move(batch)] {
      if (gate->passes(State::closed)) gate->view_->deliverBatch(batch);
    });
  };
}

void ContentView::LineGate::setState(State state) {
  std::lock_guard lock(mutex_);
  state_ = std::max(state_, state);
}

bool ContentView::LineGate::passes(State atMost) {
  std::lock_guard lock(mutex_);
  return state_ <= atMost;
}

// --- Derived values --------------------------------------------------------------------

const std::vector<std::uint32_t>& ContentView::visibleRows() const {
  return showOnlyNew_ && impl_->baselineSession ? impl_->newRows : impl_->visible.rows();
}

std::vector<MarrowfieldEvent> ContentView::visibleEvents() const {
  std::vector<MarrowfieldEvent> out;
  out.reserve(visibleRows().size());
  for (auto row : visibleRows()) out.push_back(events_[row].toEvent());
  return out;
}

std::size_t ContentView::suppressedCount() const { return impl_->visible.suppressedCount(); }

std::optional<MarrowfieldEvent> ContentView::selectedEvent() const {
  if (!selectedEventID_) return std::nullopt;
  const auto index = events_.indexOf(*selectedEventID_);
  if (!index) return std::nullopt;
  return events_.at(*index);
}

// --- Private helpers -------------------------------------------------------------------

void ContentView::replaceEvents(EventList events) {
  events_ = std::move(events);
  // Whoever brings a list from another machine says which.
  shownHost_.clear();
  shownUtcOffset_.reset();
  ++impl_->eventsEpoch;
  shutLineGates();
  resetVisible();
  Change& pending = impl_->pending;
  pending.fields &= ~static_cast<std::uint32_t>(Change::eventsInserted);
  pending.fields |= Change::eventsReplaced;
}

void ContentView::resetVisible() {
  impl_->visible.reset(events_, showRawLog_, searchText_);
  Change& pending = impl_->pending;
  pending.fields &= ~static_cast<std::uint32_t>(Change::visibleInserted);
  pending.fields |= Change::visibleReset;
}

void ContentView::takeInAppended(std::size_t firstNew) {
  if (events_.size() == firstNew) return;
  Change& pending = impl_->pending;
  std::size_t firstRow = impl_->visible.rows().size();
  bool rowsChanged = impl_->visible.appendFrom(events_, firstNew) > 0;
  // The new events arrive in the order their roads deliver them; the list is
  // in the order they were written.
  const std::size_t firstChanged = events_.placeByTime(firstNew, &impl_->placedAt);
  if (firstChanged < events_.size()) {
    const std::size_t movedRow = impl_->visible.placed(events_, firstNew, impl_->placedAt);
    if (movedRow < impl_->visible.rows().size()) {
      firstRow = std::min(firstRow, movedRow);
      rowsChanged = true;
    }
  }
  const std::size_t firstEvent = std::min(firstNew, firstChanged);
  // A replacement or reset pending since the last notification already tells
  // the views to read everything again; an earlier insertion may name an
  // earlier index.
  if (!pending.has(Change::eventsReplaced)) {
    pending.firstChangedEvent =
        pending.has(Change::eventsInserted) ? std::min(pending.firstChangedEvent, firstEvent) : firstEvent;
    pending.fields |= Change::eventsInserted;
  }
  if (rowsChanged && !pending.has(Change::visibleReset)) {
    pending.firstChangedRow =
        pending.has(Change::visibleInserted) ? std::min(pending.firstChangedRow, firstRow) : firstRow;
    pending.fields |= Change::visibleInserted;
  }
}

void ContentView::changed(std::uint32_t fields) { impl_->pending.fields |= fields; }

void ContentView::setStatus(TraceStatus status) {
  statusText_ = mf::statusText(status);
  status_ = std::move(status);
  changed(Change::status);
}

void ContentView::flushChanges() {
  // An observer that calls back into an operation only adds to `pending`; the
  // loop hands that on after it returns.
  if (impl_->emitting) return;
  while (impl_->pending.fields != 0) {
    refreshNovelty();
    Change change = std::exchange(impl_->pending, Change{});
    if (!impl_->observer) continue;
    impl_->emitting = true;
    try {
      impl_->observer(change);
    } catch (...) {
      impl_->emitting = false;
      throw;
    }
    impl_->emitting = false;
  }
}

void ContentView::waitOnMainQueue(double seconds) {
  flushChanges();
  services_.mainQueue.wait(seconds);
}

}  // namespace mf
