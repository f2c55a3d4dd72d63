// SPDX-License-Identifier: GPL-3.0-or-later
// Ending a trace: the termination watch, stop and teardown.

#include <atomic>
#include <csignal>
#include <memory>
#include <string>

#include "trace/content_view.h"
#include "content_view_impl.h"
#include "trace/signal_names.h"

namespace mf {

void ContentView::watchTermination(std::int32_t pid) {
  OperationScope scope(*this);
  std::weak_ptr<Impl::Token> weak = impl_->token;
  const std::uint64_t generation = impl_->watchGeneration;
  auto observer = services_.workspace.addTerminationObserver(
      pid, [weak, pid](const TerminationNotification& notification) {
        auto token = weak.lock();
        if (!token) return;
        token->view->handleTargetTermination(notification, pid);
        token->view->flushChanges();
      });
  // A platform may report an exit that happened before the registration right
  // away; if that already ended the trace, this registration has nothing to watch.
  if (generation == impl_->watchGeneration) {
    terminationObserver_ = std::move(observer);
    changed(Change::tracing);
  }
}

void ContentView::handleTargetTermination(const TerminationNotification& notification, std::int32_t watchedPid) {
  if (!notification.application) return;
  if (notification.application->processIdentifier() != watchedPid) return;
  if (impl_->pendingTermination) return;
  if (logProcess_ && logProcess_->isRunning()) {
    impl_->pendingTermination = notification;
    std::weak_ptr<Impl::Token> weak = impl_->token;
    const std::uint64_t generation = impl_->watchGeneration;
    MainQueue* queue = &services_.mainQueue;
    // 0: still inside notifyWhenQuiet; 1: called back right there; 2: returned.
    // A stream that is already quiet answers at once, and then the exit is
    // handled now rather than one queue hop later.
    auto phase = std::make_shared<std::atomic<int>>(0);
    logProcess_->notifyWhenQuiet([weak, generation, queue, phase] {
      int expected = 0;
      if (phase->compare_exchange_strong(expected, 1)) return;
      queue->post([weak, generation] {
        auto token = weak.lock();
        if (!token) return;
        token->view->finishPendingTermination(generation);
        token->view->flushChanges();
      });
    });
    int expected = 0;
    if (!phase->compare_exchange_strong(expected, 2)) finishPendingTermination(generation);
    return;
  }
  finishTermination(notification);
}

void ContentView::finishPendingTermination(std::uint64_t watchGeneration) {
  // A stop, a new start or Clear in the meantime has already finished it.
  if (!impl_->pendingTermination || watchGeneration != impl_->watchGeneration) return;
  const TerminationNotification notification = *impl_->pendingTermination;
  impl_->pendingTermination.reset();
  finishTermination(notification);
}

void ContentView::finishTermination(const TerminationNotification& notification) {
  OperationScope scope(*this);
  // The journal stream of a Linux process carries no crash report, so an
  // abnormal end is said here, just before the plain "terminated".
  TraceOutcome outcome{TraceOutcome::Kind::exited, 0};
  if (notification.exitStatus) {
    const ExitStatus& status = *notification.exitStatus;
    const bool crashed = status.signaled && signalDumpsCore(status.code);
    outcome = TraceOutcome{crashed           ? TraceOutcome::Kind::crashed
                           : status.signaled ? TraceOutcome::Kind::killed
                                             : TraceOutcome::Kind::exited,
                           status.code};
    const std::string signal = std::to_string(status.code) + " (" + signalName(status.code) + ")";
    if (crashed) {
      appendEvent(EventType::error, "CRASH", selectedAppName_ + " crashed: killed by signal " + signal);
    } else if (status.signaled) {
      appendEvent(EventType::error, "PROCESS", selectedAppName_ + " was killed by signal " + signal);
    } else if (status.code != 0) {
      appendEvent(EventType::warning, "PROCESS",
                  selectedAppName_ + " exited with status " + std::to_string(status.code));
    }
  }
  // A single-instance program that finds itself running passes the launch
  // on and exits at once; without a word the trace would read as a clean run
  // of something that never started.
  if (notification.handedOffTo) {
    appendEvent(EventType::warning, "PROCESS",
                selectedAppName_ + " handed the launch to its running instance, PID " +
                    std::to_string(*notification.handedOffTo));
    outcome = TraceOutcome{TraceOutcome::Kind::handedOff, *notification.handedOffTo};
  }
  appendEvent(EventType::info, "PROCESS", selectedAppName_ + " terminated");
  setStatus({TraceStatus::Kind::processEnded, {}, 0});
  impl_->outcome = outcome;
  recordSession();
  tearDownTrace();
}

void ContentView::stopTrace(bool saveSession) {
  OperationScope scope(*this);
  // The target has already ended and only its last lines were awaited: the
  // trace ends as that exit, not as a stop.
  if (impl_->pendingTermination) finishPendingTermination(impl_->watchGeneration);
  // A stopped target may go on printing; it is still read, but into nothing.
  if (impl_->outputGate) impl_->outputGate->close();
  if (isTracing_) {
    appendEvent(EventType::info, "SESSION", "Trace stopped");
    impl_->outcome = TraceOutcome{TraceOutcome::Kind::stopped, 0};
    if (saveSession) recordSession();
  }
  tearDownTrace();
  if (status_.kind != TraceStatus::Kind::processEnded) setStatus({});
}

void ContentView::tearDownTrace() {
  OperationScope scope(*this);
  if (logProcess_ && logProcess_->isRunning()) logProcess_->terminate();
  logProcess_.reset();
  // Its input ends: the other side ends its trace and what it launched.
  impl_->remote.reset();
  runningApplication_.reset();
  isTracing_ = false;
  ++impl_->watchGeneration;
  impl_->pendingTermination.reset();
  terminationObserver_.reset();
  changed(Change::tracing);
}

}  // namespace mf
