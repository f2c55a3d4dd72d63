// SPDX-License-Identifier: GPL-3.0-or-later
// Starting a trace: fresh launch, log stream, launch and its completion.

#include <string>

#include "trace/content_view.h"
#include "content_view_impl.h"

namespace mf {

namespace {
constexpr double kQuitWaitSeconds = 0.35;
constexpr double kArmWaitSeconds = 0.15;
}  // namespace

void ContentView::startTrace() {
  OperationScope scope(*this);
  if (!selectedAppURL_) {
    chooseApplication();
    return;
  }
  // From here on, a completion of any earlier start is stale.
  const std::uint64_t generation = ++impl_->startGeneration;

  stopTrace(false);
  replaceEvents(EventList());
  selectedEventID_.reset();
  selectedSessionID_.reset();
  viewingSavedSession_ = false;
  shownHost_ = launchHost_;
  changed(Change::eventSelection | Change::sessions);

  if (!shownHost_.empty()) {
    startRemoteTrace(generation);
    return;
  }
  if (freshLaunch_) quitRunningInstances();

  isTracing_ = true;
  setStatus({TraceStatus::Kind::arming, selectedAppName_, 0});
  changed(Change::tracing);
  appendEvent(EventType::info, "SESSION", "Launch trace started for " + selectedAppName_);

  armLogStream(selectedAppName_);

  LaunchOptions options;
  impl_->outputGate = openLineGate();
  options.output = LineGate::sink(impl_->outputGate);
  // Without a stream to read it back from the journal, stderr is read directly.
  options.stderrToJournal = impl_->logStreamArmed;
  options.arguments = launchArguments_;
  options.environment = launchEnvironment_;
  options.qtLevelPrefix = launchQtLevelPrefix_;
  LogProcess* stream = logProcess_.get();
  bool* mayMissHelpers = &impl_->mayMissShortLivedHelpers;
  *mayMissHelpers = false;
  bool* inScope = &impl_->launchedInScope;
  std::optional<double>* launchedAt = &impl_->launchedAt;
  launchedAt->reset();
  Clock* clock = &services_.clock;
  options.spawned = [stream, mayMissHelpers, inScope, launchedAt, clock](const LaunchedProcess& process) {
    *launchedAt = clock->now();
    if (!stream) return;
    stream->follow(process);
    *mayMissHelpers = stream->mayMissShortLivedHelpers(process);
    *inScope = !process.unit.empty();
  };

  const std::string path = *selectedAppURL_;
  std::weak_ptr<Impl::Token> weak = impl_->token;
  MainQueue* queue = &services_.mainQueue;
  // Runs once on a background thread: it only posts.
  services_.workspace.openApplication(
      path, options,
      [weak, generation, path, queue](std::optional<std::string> error,
                                      std::shared_ptr<RunningApplication> application) {
        queue->post([weak, generation, path, error = std::move(error), application = std::move(application)] {
          auto token = weak.lock();
          if (!token) return;
          ContentView& view = *token->view;
          // A newer start has begun since: this launch belongs to a trace that
          // no longer exists, and applying it would mix two traces.
          if (generation != view.impl_->startGeneration) return;
          view.completeLaunch(error, application, path);
          view.flushChanges();
        });
      });
}

void ContentView::quitRunningInstances() {
  OperationScope scope(*this);
  if (selectedBundleIdentifier_.empty()) return;
  const auto instances = services_.workspace.runningApplications(selectedBundleIdentifier_);
  if (instances.empty()) return;
  for (const auto& instance : instances) {
    if (instance && instance->terminate()) {
      appendEvent(EventType::info, "PROCESS", "Existing " + selectedAppName_ + " instance terminated for fresh launch");
    }
  }
  waitOnMainQueue(kQuitWaitSeconds);
}

void ContentView::armLogStream(const std::string& processName) {
  OperationScope scope(*this);
  ArmResult result = services_.logStreams.start(processName, LineGate::sink(openLineGate()));
  if (result.process) {
    impl_->logStreamArmed = true;
    logProcess_ = std::move(result.process);
    changed(Change::tracing);
    appendEvent(EventType::info, "LOG", "Unified log stream armed for process " + processName);
    // A stream that dies mid-trace would leave the trace "Tracing" with no
    // further lines and no word of why; the end is said as a warning.
    std::weak_ptr<Impl::Token> weak = impl_->token;
    const std::uint64_t epoch = impl_->eventsEpoch;
    const std::uint64_t generation = ++impl_->streamGeneration;
    MainQueue* queue = &services_.mainQueue;
    logProcess_->notifyOnUnexpectedEnd([weak, epoch, generation, queue](std::string reason) {
      queue->post([weak, epoch, generation, reason = std::move(reason)] {
        if (auto token = weak.lock()) token->view->handleLogStreamEnd(epoch, generation, reason);
      });
    });
    waitOnMainQueue(kArmWaitSeconds);
  } else {
    impl_->logStreamArmed = false;
    const std::string reason =
        result.errorDescription.empty() ? std::string("the log stream did not start") : result.errorDescription;
    appendEvent(EventType::warning, "LOG", "Could not arm unified log stream: " + reason);
  }
}

void ContentView::handleLogStreamEnd(std::uint64_t epoch, std::uint64_t streamGeneration, const std::string& reason) {
  // Only the stream of the trace that still runs, while its list is shown:
  // an ended trace asked its stream to stop, and its lines go nowhere else.
  if (!isTracing_ || !logProcess_ || streamGeneration != impl_->streamGeneration || epoch != impl_->eventsEpoch) {
    return;
  }
  OperationScope scope(*this);
  appendEvent(EventType::warning, "LOG", "Unified log stream ended unexpectedly: " + reason);
}

void ContentView::completeLaunch(std::optional<std::string> errorDescription,
                                 std::shared_ptr<RunningApplication> application, const std::string& openedPath) {
  OperationScope scope(*this);
  if (errorDescription || !application) {
    appendEvent(EventType::error, "LAUNCH",
                errorDescription ? "Launch failed: " + *errorDescription : std::string("No running application was returned"));
    setStatus({TraceStatus::Kind::launchFailed, {}, 0});
    impl_->outcome = TraceOutcome{TraceOutcome::Kind::launchFailed, 0};
    recordSession();
    tearDownTrace();
    return;
  }
  runningApplication_ = std::move(application);
  changed(Change::tracing);
  const std::int32_t pid = runningApplication_->processIdentifier();
  appendEvent(EventType::success, "PROCESS", selectedAppName_ + " launched with PID " + std::to_string(pid),
              impl_->launchedAt);
  appendEvent(EventType::info, "PATH", openedPath, impl_->launchedAt);
  if (impl_->mayMissShortLivedHelpers) {
    appendEvent(EventType::warning, "LOG",
                "Journal lines of helpers that live only milliseconds may be missed: this user cannot see the "
                "kernel's fork events" +
                    (impl_->launchedInScope ? std::string()
                                            : " and no user manager runs " + selectedAppName_ + " in a scope of its own"));
  }
  setStatus({TraceStatus::Kind::tracing, {}, pid});
  watchTermination(pid);
}

}  // namespace mf
