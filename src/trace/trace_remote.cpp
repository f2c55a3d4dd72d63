// SPDX-License-Identifier: GPL-3.0-or-later
// A trace on another machine: its marrowfield-cli traces there and its
// events come back through the RemoteLauncher, already classified, with the
// times its clock gave them.

#include <algorithm>
#include <string>
#include <vector>

#include "trace/content_view.h"
#include "content_view_impl.h"

namespace mf {

void ContentView::startRemoteTrace(std::uint64_t generation) {
  OperationScope scope(*this);
  isTracing_ = true;
  impl_->remoteReader = RemoteTraceReader();
  impl_->remoteError.clear();
  impl_->outcome = TraceOutcome{};
  setStatus({TraceStatus::Kind::arming, selectedAppName_, 0, shownHost_});
  changed(Change::tracing);

  // The path chosen here is traced as it is found there; a fresh launch
  // quits the instances running there.
  std::vector<std::string> args = {*selectedAppURL_};
  if (!freshLaunch_) args.emplace_back("--no-fresh-launch");
  if (!launchQtLevelPrefix_) args.emplace_back("--no-qt-levels");
  for (const auto& [name, value] : launchEnvironment_) args.insert(args.end(), {"--env", name + "=" + value});
  args.emplace_back("--");
  args.insert(args.end(), launchArguments_.begin(), launchArguments_.end());

  std::weak_ptr<Impl::Token> weak = impl_->token;
  MainQueue* queue = &services_.mainQueue;
  // Only the connection of the trace that still runs is heard: a stop drops
  // the connection, a new start changes the generation.
  const auto post = [weak, generation, queue](std::function<void(ContentView&)> step) {
    queue->post([weak, generation, step = std::move(step)] {
      auto token = weak.lock();
      if (!token) return;
      ContentView& view = *token->view;
      if (generation != view.impl_->startGeneration || !view.impl_->remote) return;
      step(view);
      view.flushChanges();
    });
  };
  RemoteHandlers handlers;
  handlers.output = [post](std::vector<std::string> lines) {
    post([lines = std::move(lines)](ContentView& view) { view.takeRemoteLines(lines); });
  };
  handlers.error = [post](std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    post([line = std::move(line)](ContentView& view) { view.impl_->remoteError = line; });
  };
  handlers.ended = [post](int status) { post([status](ContentView& view) { view.endRemoteTrace(status); }); };
  std::string error;
  impl_->remote = services_.remote.connect(shownHost_, remoteCommand(args), std::move(handlers), error);
  if (!impl_->remote) {
    appendEvent(EventType::error, "LAUNCH", "Launch failed: " + error);
    setStatus({TraceStatus::Kind::launchFailed, {}, 0, shownHost_});
    impl_->outcome = TraceOutcome{TraceOutcome::Kind::launchFailed, 0};
    recordSession();
    tearDownTrace();
  }
}

void ContentView::takeRemoteLines(const std::vector<std::string>& lines) {
  OperationScope scope(*this);
  RemoteTraceReader& reader = impl_->remoteReader;
  const std::size_t first = events_.size();
  for (const auto& line : lines) {
    switch (reader.takeLine(line)) {
      case RemoteTraceReader::Took::trace:
        shownUtcOffset_ = reader.utcOffset();
        setStatus({TraceStatus::Kind::tracing, selectedAppName_, 0, shownHost_});
        break;
      case RemoteTraceReader::Took::event: {
        const RemoteEvent& event = reader.event();
        events_.append(event.id, event.time, event.type, event.source, event.message, event.noise, event.origin);
        if (const auto pid = launchedPid(event, selectedAppName_)) {
          setStatus({TraceStatus::Kind::tracing, selectedAppName_, pid, shownHost_});
        }
        break;
      }
      case RemoteTraceReader::Took::verdict:
      case RemoteTraceReader::Took::nothing: break;
    }
  }
  if (events_.size() > first) takeInAppended(first);
}

void ContentView::endRemoteTrace(int status) {
  OperationScope scope(*this);
  const RemoteTraceReader& reader = impl_->remoteReader;
  if (!reader.started()) {
    std::string why = reader.failure(shownHost_, status, impl_->remoteError);
    if (why.empty()) why = impl_->remoteError;  // the marrowfield-cli there said why
    if (why.empty()) why = "ssh ended with status " + std::to_string(status);
    appendEvent(EventType::error, "LAUNCH", "Launch failed: " + why);
    setStatus({TraceStatus::Kind::launchFailed, {}, 0, shownHost_});
    impl_->outcome = TraceOutcome{TraceOutcome::Kind::launchFailed, 0};
  } else {
    if (!reader.finished()) {
      const std::string reason =
          impl_->remoteError.empty() ? "ssh ended with status " + std::to_string(status) : impl_->remoteError;
      // Last, whatever this machine's clock says against that one's.
      double at = services_.clock.now();
      for (std::size_t i = 0; i < events_.size(); ++i) at = std::max(at, events_[i].time);
      appendEvent(EventType::error, "SESSION", connectionLostText(shownHost_, reason), at);
    }
    setStatus({TraceStatus::Kind::processEnded, {}, 0, shownHost_});
    impl_->outcome = remoteOutcome(events_, selectedAppName_);
  }
  recordSession();
  tearDownTrace();
}

}  // namespace mf
