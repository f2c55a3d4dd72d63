// SPDX-License-Identifier: GPL-3.0-or-later
// What is new since the previous launch of the same target.

#include <algorithm>

#include "trace/content_view.h"
#include "content_view_impl.h"

namespace mf {

const LaunchSession* ContentView::previousSession() const {
  if (!selectedAppURL_) return nullptr;
  std::size_t from = 0;
  // The list is a recorded session (opened, or the trace that just ended):
  // compare with the one before it. A running trace is not recorded yet.
  if (viewingSavedSession_ || (!isTracing_ && selectedSessionID_)) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [this](const LaunchSession& session) { return session.id == *selectedSessionID_; });
    if (it == sessions_.end()) return nullptr;
    from = static_cast<std::size_t>(it - sessions_.begin()) + 1;
  }
  for (std::size_t i = from; i < sessions_.size(); ++i) {
    if (sessions_[i].appURL == *selectedAppURL_) return &sessions_[i];
  }
  return nullptr;
}

std::optional<bool> ContentView::isNew(const Uuid& id, std::string_view message) const {
  if (!impl_->baselineSession) return std::nullopt;
  const auto [it, inserted] = impl_->novelty.try_emplace(id, false);
  if (inserted) it->second = impl_->baseline.isNew(message);
  return it->second;
}

void ContentView::setShowOnlyNew(bool on) {
  if (on == showOnlyNew_) return;
  OperationScope scope(*this);
  showOnlyNew_ = on;
  changed(Change::novelty | Change::visibleReset);
}

void ContentView::refreshNovelty() {
  Change& pending = impl_->pending;
  const LaunchSession* previous = previousSession();
  const std::optional<Uuid> id = previous ? std::optional<Uuid>(previous->id) : std::nullopt;
  if (id != impl_->baselineSession) {
    impl_->baselineSession = id;
    impl_->baseline = previous ? Baseline(previous->events) : Baseline();
    impl_->novelty.clear();
    pending.fields |= Change::novelty | (showOnlyNew_ ? Change::visibleReset : 0u);
  }
  if (pending.has(Change::eventsReplaced)) impl_->novelty.clear();
  if (!showOnlyNew_ || !impl_->baselineSession) return;
  if (!pending.has(Change::visibleReset) && !pending.has(Change::visibleInserted)) return;
  // Rows are event indices in list order. Events before the first changed
  // one kept their place and their answer: a flood adds to the end of the
  // new rows, so the view follows or keeps its place instead of reading the
  // whole list again.
  const auto& rows = impl_->visible.rows();
  auto& newRows = impl_->newRows;
  const bool appended = !pending.has(Change::visibleReset) && pending.has(Change::eventsInserted);
  const std::size_t firstEvent = appended ? pending.firstChangedEvent : 0;
  const auto kept = std::lower_bound(newRows.begin(), newRows.end(), firstEvent);
  newRows.erase(kept, newRows.end());
  const std::size_t firstChangedRow = newRows.size();
  for (auto row = std::lower_bound(rows.begin(), rows.end(), firstEvent); row != rows.end(); ++row) {
    if (*isNew(events_[*row])) newRows.push_back(*row);
  }
  if (appended) {
    pending.firstChangedRow = firstChangedRow;
  } else {
    pending.fields &= ~static_cast<std::uint32_t>(Change::visibleInserted);
    pending.fields |= Change::visibleReset;
  }
}

}  // namespace mf
