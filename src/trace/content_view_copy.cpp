// SPDX-License-Identifier: GPL-3.0-or-later
// Putting findings on the pasteboard.

#include "export/summary.h"
#include "trace/content_view.h"
#include "content_view_impl.h"

namespace mf {

std::string ContentView::summaryText() const {
  SummaryHeader header{selectedAppName_, selectedAppURL_, selectedBundleIdentifier_, showRawLog_};
  if (!shownHost_.empty()) header.host = shownHost_;
  header.utcOffset = shownUtcOffset_;
  return buildSummary(header, events_, visibleRows());
}

void ContentView::copySummary() {
  OperationScope scope(*this);
  services_.pasteboard.setString(summaryText());
  setStatus({TraceStatus::Kind::summaryCopied, {}, 0});
}

void ContentView::copySelectedEvent() {
  if (!selectedEventID_) return;
  // The whole list, not only the visible rows: a selection the search hides is
  // still the selection.
  const auto index = events_.indexOf(*selectedEventID_);
  if (!index) return;
  OperationScope scope(*this);
  services_.pasteboard.setString(singleEventText(events_[*index], shownUtcOffset_));
  setStatus({TraceStatus::Kind::eventCopied, {}, 0});
}

}  // namespace mf
