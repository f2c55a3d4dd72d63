// SPDX-License-Identifier: GPL-3.0-or-later
// Recording traces as sessions, and browsing them.

#include "history/session_history.h"
#include "trace/content_view.h"
#include "content_view_impl.h"

namespace mf {

void ContentView::recordSession() {
  if (!selectedAppURL_) return;
  OperationScope scope(*this);
  LaunchSession session;
  session.appName = selectedAppName_;
  session.appURL = *selectedAppURL_;
  session.date = services_.clock.now();
  session.events = events_;  // shares storage; the live list goes on appending after it
  session.id = services_.ids.next();
  session.outcome = impl_->outcome;
  session.host = shownHost_;
  session.utcOffset = shownUtcOffset_;
  addToSessionHistory(sessions_, std::move(session));
  selectedSessionID_ = sessions_.front().id;
  viewingSavedSession_ = false;
  isTracing_ = false;
  changed(Change::sessions | Change::tracing);
}

void ContentView::openSavedSession(const LaunchSession& pressed) {
  OperationScope scope(*this);
  // The argument may be an entry of `sessions` itself: recording the running
  // trace below can drop that very entry (the oldest of eight), so keep a copy.
  const LaunchSession session = pressed;
  if (isTracing_) stopTrace(true);
  selectedSessionID_ = session.id;
  viewingSavedSession_ = true;
  selectedAppURL_ = session.appURL;
  selectedAppName_ = session.appName;
  selectedBundleIdentifier_ = services_.workspace.bundleIdentifier(session.appURL);
  selectedEventID_.reset();
  searchText_.clear();
  replaceEvents(session.events);
  shownHost_ = session.host;
  shownUtcOffset_ = session.utcOffset;
  setStatus({TraceStatus::Kind::viewingSavedSession, {}, 0});
  changed(Change::sessions | Change::target | Change::eventSelection | Change::searchText);
}

void ContentView::returnToCurrentTrace() {
  OperationScope scope(*this);
  selectedSessionID_.reset();
  viewingSavedSession_ = false;
  selectedEventID_.reset();
  searchText_.clear();
  replaceEvents(EventList());
  setStatus({});
  changed(Change::sessions | Change::eventSelection | Change::searchText);
}

void ContentView::clearTraceView() {
  OperationScope scope(*this);
  if (isTracing_) stopTrace(true);
  selectedEventID_.reset();
  selectedSessionID_.reset();
  viewingSavedSession_ = false;
  searchText_.clear();
  replaceEvents(EventList());
  setStatus({});
  changed(Change::sessions | Change::eventSelection | Change::searchText);
}

void ContentView::clearHistory() {
  OperationScope scope(*this);
  sessions_.clear();
  selectedSessionID_.reset();
  changed(Change::sessions);
  if (viewingSavedSession_) {
    replaceEvents(EventList());
    selectedEventID_.reset();
    viewingSavedSession_ = false;
    setStatus({});
    changed(Change::eventSelection);
  }
}

}  // namespace mf
