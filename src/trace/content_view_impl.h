// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The private half of ContentView, shared by the files that define its
// operations (trace, history, export). Not for the views.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <unordered_map>

#include "analysis/visible.h"
#include "verdict/novelty.h"
#include "trace/content_view.h"
#include "trace/remote_trace.h"

namespace mf {

// The one gate on a line's road into the list, stdout and journal alike.
// Every sink the view hands out has a gate of its own, which a batch
// passes twice: on the reader's thread before it is posted, and on the
// main thread before it is taken in. A gate is shut when the list it
// feeds is replaced (a new trace, a saved session, Clear) and when the
// view goes; the stdout gate is closed at Stop. Shutting and closing take
// the gate's lock, so once they return no reader is inside a post: no
// line reaches another trace, a closed window or a main queue that is gone.
class ContentView::LineGate {
 public:
  LineGate(ContentView& view, MainQueue& queue) : view_(&view), queue_(&queue) {}
  // What the reader calls, on its thread.
  static LineBatchSink sink(std::shared_ptr<LineGate> gate);
  // Main thread. Lines read from now on are not taken; those posted before
  // still arrive (the target goes on being read, so it never blocks).
  void close() { setState(State::closed); }
  // Main thread. Nothing more arrives, posted or not.
  void shut() { setState(State::shut); }

 private:
  enum class State { open, closed, shut };
  void setState(State state);
  bool passes(State atMost);

  std::mutex mutex_;
  State state_ = State::open;
  ContentView* view_;
  MainQueue* queue_;
};

struct ContentView::Impl {
  // Closures that outlive a call (launch completions, termination callbacks;
  // lines go through a LineGate) hold a weak reference to this token; it dies with the view, so a
  // task posted by a reader thread after the window closed finds nothing to touch.
  struct Token {
    ContentView* view;
  };
  std::shared_ptr<Token> token;

  // The gates of the list shown, shut together when it is replaced.
  std::vector<std::shared_ptr<LineGate>> gates;
  // The current target's stdout: closed at Stop. A target that outlives a
  // stop keeps being read, but what it prints after the stop is not this
  // trace's; lines read before the stop stay. After the target's own end,
  // its helpers' last lines are still its trace's.
  std::shared_ptr<LineGate> outputGate;

  VisibleIndex visible;
  // The masked messages of previousSession(), which session they are of,
  // and what each event of the list was found to be, by id (a late line
  // moves events, ids stay).
  std::optional<Uuid> baselineSession;
  Baseline baseline;
  mutable std::unordered_map<Uuid, bool, UuidHash> novelty;
  // The visible rows that are new, while showOnlyNew is on.
  std::vector<std::uint32_t> newRows;
  // Where the events of the last intake went when some arrived late.
  std::vector<std::size_t> placedAt;

  // Bumped whenever `events` is replaced, so the end of a stream armed for
  // another list is not taken for this one's.
  std::uint64_t eventsEpoch = 0;
  // Bumped by each start. A launch completion from an older start is dropped.
  std::uint64_t startGeneration = 0;
  // Bumped by each teardown, so an observer whose callback already tore the
  // trace down during its own registration is not kept afterwards.
  std::uint64_t watchGeneration = 0;
  // Set when the launch is followed by a stream that may miss the journal
  // lines of very short-lived helpers; said once, after the launch.
  bool mayMissShortLivedHelpers = false;
  bool launchedInScope = false;
  // When the target was spawned: its launch is said when the completion
  // reaches the main thread, after lines it may have printed at once.
  std::optional<double> launchedAt;
  // Whether the latest armLogStream started the stream.
  bool logStreamArmed = false;
  // Bumped by each armLogStream, so the end of an older stream is not taken
  // for the end of the current one.
  std::uint64_t streamGeneration = 0;
  // The target's exit, held back until the log stream has handed on the lines
  // the journal delivers late (it forwards them about 0.4 s after they were
  // written, so a target that dies at once would otherwise have its last
  // words land after its "terminated" event and outside its session).
  std::optional<TerminationNotification> pendingTermination;
  // How the current trace ended (or will be recorded as ending, when it is
  // recorded by a stop).
  TraceOutcome outcome;

  // The connection of a trace on another machine, what it said so far and
  // the last line ssh or the other side wrote on stderr.
  std::unique_ptr<RemoteConnection> remote;
  RemoteTraceReader remoteReader;
  std::string remoteError;

  ChangeObserver observer;
  Change pending;
  int depth = 0;
  bool emitting = false;
};

// Marks a public operation: the views hear of its changes once, when the
// outermost operation returns.
class ContentView::OperationScope {
 public:
  explicit OperationScope(ContentView& view) : view_(view) { ++view_.impl_->depth; }
  ~OperationScope() {
    if (--view_.impl_->depth == 0) view_.flushChanges();
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  ContentView& view_;
};

}  // namespace mf
