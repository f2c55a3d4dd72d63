// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/visible.h"
#include "model/event_list.h"
#include "model/launch_session.h"
#include "trace/services.h"
#include "trace/trace_status.h"

namespace mf {

// What an operation changed, handed to the views after every write.
struct Change {
  enum Field : std::uint32_t {
    target = 1u << 0,          // selectedAppURL, selectedAppName, selectedBundleIdentifier
    eventsReplaced = 1u << 1,  // events emptied or swapped for another list
    eventsInserted = 1u << 2,  // events only grew: before firstChangedEvent as they were, from there on
                               // the earlier events with the new ones placed among them by time
    sessions = 1u << 3,        // sessions, selectedSessionID, viewingSavedSession
    eventSelection = 1u << 4,  // selectedEventID
    searchText = 1u << 5,
    status = 1u << 6,
    tracing = 1u << 7,         // isTracing and the trace handles
    switches = 1u << 8,        // showRawLog, freshLaunch
    visibleReset = 1u << 9,    // the visible rows were recomputed
    visibleInserted = 1u << 10, // visible rows were inserted: before firstChangedRow as they were
    novelty = 1u << 11          // the session the list is compared with, or showOnlyNew
  };
  std::uint32_t fields = 0;
  // An append is the case where these are the old sizes; a line that arrives
  // late, placed where its time belongs, makes them smaller.
  std::size_t firstChangedEvent = 0;
  std::size_t firstChangedRow = 0;

  bool has(Field field) const { return (fields & field) != 0; }
};

// The single owner of one window's state, and every operation on it.
// Main thread only; background work reaches it through MainQueue.
class ContentView {
 public:
  struct Services {
    MainQueue& mainQueue;
    Clock& clock;
    IdSource& ids;
    LogStreamLauncher& logStreams;
    Workspace& workspace;
    RemoteLauncher& remote;
    OpenPanel& openPanel;
    Pasteboard& pasteboard;
  };

  explicit ContentView(Services services);
  // Ends a running trace without recording it, as when the window closes.
  ~ContentView();
  ContentView(const ContentView&) = delete;
  ContentView& operator=(const ContentView&) = delete;

  // --- State, in declaration order ------------------------------------------------
  const std::optional<std::string>& selectedAppURL() const { return selectedAppURL_; }
  const std::string& selectedAppName() const { return selectedAppName_; }
  const std::string& selectedBundleIdentifier() const { return selectedBundleIdentifier_; }
  const EventList& events() const { return events_; }
  const std::vector<LaunchSession>& sessions() const { return sessions_; }
  const std::optional<Uuid>& selectedSessionID() const { return selectedSessionID_; }
  bool viewingSavedSession() const { return viewingSavedSession_; }
  const std::optional<Uuid>& selectedEventID() const { return selectedEventID_; }
  const std::string& searchText() const { return searchText_; }
  // The status line, made from the trace's status (TraceStatus).
  const std::string& statusText() const { return statusText_; }
  bool isTracing() const { return isTracing_; }
  bool showRawLog() const { return showRawLog_; }
  bool freshLaunch() const { return freshLaunch_; }
  // Whether the visible list keeps only the events new since previousSession().
  bool showOnlyNew() const { return showOnlyNew_; }

  // --- Bindings of the controls ---------------------------------------------------
  void setSearchText(std::string text);
  void setShowRawLog(bool on);
  void setFreshLaunch(bool on);
  void setShowOnlyNew(bool on);
  void selectEvent(std::optional<Uuid> id);
  // What the next launches give the target besides its own command: more
  // arguments, and environment variables (NAME, VALUE) that override the
  // inherited ones. The window leaves both empty; the command-line tool sets
  // them for a developer's traced run (G_MESSAGES_DEBUG=all, say).
  // `qtLevelPrefix` is LaunchOptions::qtLevelPrefix.
  void setLaunchParameters(std::vector<std::string> arguments,
                           std::vector<std::pair<std::string, std::string>> environment, bool qtLevelPrefix = true);
  // Where the next launches run: empty for this machine, else [USER@]HOST,
  // where marrowfield-cli traces the selected path through the RemoteLauncher.
  void setLaunchHost(std::string host) { launchHost_ = std::move(host); }
  // The machine the listed events come from (empty: this one), and its UTC
  // offset in seconds where it is another: their times are shown as its
  // clock read them.
  const std::string& shownHost() const { return shownHost_; }
  std::optional<int> shownUtcOffset() const { return shownUtcOffset_; }

  // --- Operations -----------------------------------------------------------------
  void chooseApplication();
  void startTrace();
  void stopTrace(bool saveSession);
  void openSavedSession(const LaunchSession& session);
  void returnToCurrentTrace();
  void clearTraceView();
  void clearHistory();
  void copySummary();
  void copySelectedEvent();

  // --- Derived values ----------------------------------------------------------------
  // Indices into events() of the visible event list, in order.
  const std::vector<std::uint32_t>& visibleRows() const;
  std::vector<MarrowfieldEvent> visibleEvents() const;
  std::size_t eventCount() const { return visibleRows().size(); }
  std::size_t suppressedCount() const;
  std::optional<MarrowfieldEvent> selectedEvent() const;
  // The session of the same target recorded before the one the list shows
  // (or before the running trace), which the list is compared with; nothing
  // when there is none.
  const LaunchSession* previousSession() const;
  // Whether an event of the list says something previousSession() did not
  // (numbers, addresses, ids and temporary paths aside); nothing without one.
  std::optional<bool> isNew(const EventView& event) const { return isNew(*event.id, event.message); }
  std::optional<bool> isNew(const Uuid& id, std::string_view message) const;
  // The text copySummary puts on the pasteboard.
  std::string summaryText() const;

  // --- Change notification ------------------------------------------------------
  using ChangeObserver = std::function<void(const Change&)>;
  void setChangeObserver(ChangeObserver observer);

 private:
  // (implementation detail owned by the trace layer)
  struct Impl;
  class LineGate;
  class OperationScope;

  // The steps of a trace.
  // At `time` when given (a step that happened before it is said), else now.
  void appendEvent(EventType type, std::string_view source, std::string_view message,
                   std::optional<double> time = std::nullopt);
  void recordSession();
  // Takes in one batch of log lines, as a log stream's sink does.
  void ingestLines(const LineBatch& batch);
  void armLogStream(const std::string& processName);
  void quitRunningInstances();
  void completeLaunch(std::optional<std::string> errorDescription,
                      std::shared_ptr<RunningApplication> application, const std::string& openedPath);
  void watchTermination(std::int32_t pid);
  void handleTargetTermination(const TerminationNotification& notification, std::int32_t watchedPid);
  void tearDownTrace();
  // A trace on launchHost_: started, its output taken in, its end.
  void startRemoteTrace(std::uint64_t generation);
  void takeRemoteLines(const std::vector<std::string>& lines);
  void endRemoteTrace(int status);

  // Swaps in another event list: the visible rows are recomputed, and batches
  // of streams armed for the previous list are dropped from now on.
  void replaceEvents(EventList events);
  // Places the events appended from index `firstNew` on by their times and
  // takes them into the visible rows and the pending change.
  void takeInAppended(std::size_t firstNew);
  void resetVisible();
  void changed(std::uint32_t fields);
  // Sets the status and its text; the views hear of it as a status change.
  void setStatus(TraceStatus status);
  void flushChanges();
  // Follows the session the list is compared with, and keeps the rows of
  // showOnlyNew; before each change is handed on.
  void refreshNovelty();
  // The nested wait of a start; views are told of the changes so far first.
  void waitOnMainQueue(double seconds);
  // A gate for one sink into this list of events (LineGate).
  std::shared_ptr<LineGate> openLineGate();
  void shutLineGates();
  void deliverBatch(const LineBatch& batch);
  void handleLogStreamEnd(std::uint64_t epoch, std::uint64_t streamGeneration, const std::string& reason);
  // The end of a trace by its target's exit, once the log stream has caught up.
  void finishTermination(const TerminationNotification& notification);
  void finishPendingTermination(std::uint64_t watchGeneration);

  Services services_;

  std::optional<std::string> selectedAppURL_;
  std::string selectedAppName_ = "Choose an app";
  std::string selectedBundleIdentifier_;
  EventList events_;
  std::vector<LaunchSession> sessions_;
  std::optional<Uuid> selectedSessionID_;
  bool viewingSavedSession_ = false;
  std::optional<Uuid> selectedEventID_;
  std::string searchText_;
  TraceStatus status_;
  std::string statusText_ = "Ready";
  bool isTracing_ = false;
  bool showRawLog_ = false;
  bool freshLaunch_ = true;
  bool showOnlyNew_ = false;
  std::shared_ptr<RunningApplication> runningApplication_;
  std::unique_ptr<LogProcess> logProcess_;
  std::unique_ptr<TerminationObserver> terminationObserver_;

  std::vector<std::string> launchArguments_;
  std::vector<std::pair<std::string, std::string>> launchEnvironment_;
  bool launchQtLevelPrefix_ = true;
  std::string launchHost_;
  std::string shownHost_;
  std::optional<int> shownUtcOffset_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mf
