// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Stand-ins for every service in trace/services.h, for tests that drive a
// ContentView without a window, a journal or real processes. They record what
// the core asked of them and let the test play the world's part: deliver a
// launch completion, a termination, a batch of log lines.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "trace/content_view.h"
#include "trace/services.h"

namespace mf::testing {

// Posts go to a FIFO (from any thread). wait() records its duration and runs
// posted tasks only, never anything resembling user input, and returns at once
// instead of sleeping: tests see exactly which waits happened.
class FakeMainQueue : public MainQueue {
 public:
  void post(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  void wait(double seconds) override {
    waits.push_back(seconds);
    if (onWait) onWait(seconds);
    runAll();
  }

  // Runs tasks until none is left, including tasks they post.
  void runAll() {
    for (std::unique_lock lock(mutex_); !tasks_.empty();) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::size_t pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }

  std::vector<double> waits;
  // Called at the start of each wait(), before the queue is drained.
  std::function<void(double)> onWait;

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

class FakeClock : public Clock {
 public:
  double now() override {
    const double value = current;
    current += step;
    return value;
  }
  double current = 1'700'000'000.0;
  double step = 0.0;  // added after each read when non-zero
};

// Deterministic version-4 UUIDs: the counter sits in the last bytes.
class SequentialIdSource : public IdSource {
 public:
  Uuid next() override {
    std::array<std::uint8_t, 16> bytes{};
    for (std::uint64_t value = ++issued, i = 15; i >= 10; --i, value >>= 8) bytes[i] = static_cast<std::uint8_t>(value);
    return Uuid::fromRandomBytes(bytes);
  }
  std::uint64_t issued = 0;
};

struct FakeLogProcessState {
  bool running = true;
  int terminateCalls = 0;
  // When set, notifyWhenQuiet keeps its callbacks until releaseQuiet(), as a
  // journal stream does while late lines are still on their way.
  bool holdQuiet = false;
  std::vector<std::function<void()>> quietCallbacks;
  void releaseQuiet() { for (auto& callback : std::exchange(quietCallbacks, {})) callback(); }
  // The child ending on its own, as a killed journalctl does.
  std::function<void(std::string)> endCallback;
  bool blindToForks = false;
  void endUnexpectedly(const std::string& reason) {
    running = false;
    if (endCallback) std::exchange(endCallback, nullptr)(reason);
  }
};

class FakeLogProcess : public LogProcess {
 public:
  explicit FakeLogProcess(std::shared_ptr<FakeLogProcessState> state) : state_(std::move(state)) {}
  bool isRunning() const override { return state_->running; }
  void terminate() override {
    ++state_->terminateCalls;
    state_->running = false;
  }
  void notifyWhenQuiet(std::function<void()> callback) override {
    if (state_->holdQuiet) state_->quietCallbacks.push_back(std::move(callback));
    else callback();
  }
  void notifyOnUnexpectedEnd(std::function<void(std::string)> callback) override { state_->endCallback = std::move(callback); }
  bool mayMissShortLivedHelpers(const LaunchedProcess&) const override { return state_->blindToForks; }

 private:
  std::shared_ptr<FakeLogProcessState> state_;
};

class FakeLogStreamLauncher : public LogStreamLauncher {
 public:
  ArmResult start(const std::string&, LineBatchSink sink) override {
    ArmResult result;
    auto process = succeed ? std::make_shared<FakeLogProcessState>() : nullptr;
    if (process) result.process = std::make_unique<FakeLogProcess>(process);
    else result.errorDescription = "the systemd journal is not running";
    starts.push_back(Start{std::move(sink), process});
    return result;
  }

  bool succeed = true;
  struct Start {
    LineBatchSink sink;
    std::shared_ptr<FakeLogProcessState> process;  // null when the start failed
  };
  std::vector<Start> starts;
  // The sink of the latest start (the test pushes log lines through it).
  LineBatchSink& lastSink() { return starts.back().sink; }
  std::shared_ptr<FakeLogProcessState> lastProcess() { return starts.back().process; }
};

class FakeRunningApplication : public RunningApplication {
 public:
  explicit FakeRunningApplication(std::int32_t pid, bool acceptsTerminate = true)
      : pid_(pid), acceptsTerminate_(acceptsTerminate) {}
  std::int32_t processIdentifier() const override { return pid_; }
  bool terminate() override {
    ++terminateCalls;
    return acceptsTerminate_;
  }
  int terminateCalls = 0;

 private:
  std::int32_t pid_;
  bool acceptsTerminate_;
};

class FakeWorkspace : public Workspace {
 public:
  struct Open {
    std::string path;
    LaunchOptions options;
    LaunchCompletion completion;
  };
  struct Observer {
    std::int32_t pid;
    TerminationCallback callback;
    bool active = true;
  };

  void openApplication(const std::string& path, const LaunchOptions& options, LaunchCompletion completion) override {
    opens.push_back(Open{path, options, std::move(completion)});
  }
  std::vector<std::shared_ptr<RunningApplication>> runningApplications(const std::string& bundleIdentifier) override {
    return running.contains(bundleIdentifier) ? running[bundleIdentifier] : decltype(running)::mapped_type{};
  }
  std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t pid, TerminationCallback callback) override {
    // The token's end deactivates the observer, as the platform's does.
    struct Token : TerminationObserver {
      explicit Token(std::shared_ptr<Observer> o) : observer(std::move(o)) {}
      ~Token() override { observer->active = false; }
      std::shared_ptr<Observer> observer;
    };
    observers.push_back(std::make_shared<Observer>(Observer{pid, std::move(callback), true}));
    return std::make_unique<Token>(observers.back());
  }
  std::string bundleIdentifier(const std::string& path) override {
    return bundleIds.contains(path) ? bundleIds[path] : std::string();
  }

  std::vector<Open> opens;
  // Completes the latest (or the given) open with an application of this pid.
  void completeWithPid(std::int32_t pid, std::optional<std::size_t> which = std::nullopt) {
    opens.at(which.value_or(opens.size() - 1)).completion(std::nullopt, std::make_shared<FakeRunningApplication>(pid));
  }

  std::map<std::string, std::vector<std::shared_ptr<RunningApplication>>> running;
  std::map<std::string, std::string> bundleIds;  // path -> identifier

  std::vector<std::shared_ptr<Observer>> observers;
  std::size_t activeObservers() const {
    return static_cast<std::size_t>(std::count_if(observers.begin(), observers.end(), [](auto& o) { return o->active; }));
  }
  // Delivers a termination notification to every active observer, as the
  // platform does for any process that ends.
  void terminate(std::int32_t pid, std::optional<ExitStatus> status = std::nullopt) {
    notify(TerminationNotification{std::make_shared<FakeRunningApplication>(pid), status, std::nullopt});
  }
  void notify(const TerminationNotification& notification) {
    // A copy first: a callback may tear down and so deactivate observers.
    for (const auto& observer : std::vector(observers)) if (observer->active) observer->callback(notification);
  }
};

// Records each connection; a test plays the other side through its handlers.
class FakeRemoteLauncher : public RemoteLauncher {
 public:
  struct Connection {
    std::string host;
    std::string command;
    RemoteHandlers handlers;
    bool gone = false;  // destroyed
  };
  std::unique_ptr<RemoteConnection> connect(const std::string& host, const std::string& command,
                                            RemoteHandlers handlers, std::string&) override {
    struct Handle : RemoteConnection {
      explicit Handle(std::shared_ptr<Connection> c) : connection(std::move(c)) {}
      ~Handle() override { connection->gone = true; }
      void stop() override {}
      void cut() override {}
      std::shared_ptr<Connection> connection;
    };
    connections.push_back(std::make_shared<Connection>(Connection{host, command, std::move(handlers)}));
    return std::make_unique<Handle>(connections.back());
  }
  std::vector<std::shared_ptr<Connection>> connections;
};

class FakeOpenPanel : public OpenPanel {
 public:
  std::optional<std::string> run(const OpenPanelConfiguration&) override {
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<std::string>> answers;
};

class FakePasteboard : public Pasteboard {
 public:
  void setString(const std::string& text) override {
    contents = text;
    ++writes;
  }
  std::optional<std::string> contents;
  int writes = 0;
};

// All fakes together, with the Services a ContentView takes.
struct FakeServices {
  FakeMainQueue mainQueue;
  FakeClock clock;
  SequentialIdSource ids;
  FakeLogStreamLauncher logStreams;
  FakeWorkspace workspace;
  FakeRemoteLauncher remote;
  FakeOpenPanel openPanel;
  FakePasteboard pasteboard;

  ContentView::Services services() {
    return ContentView::Services{mainQueue, clock, ids, logStreams, workspace, remote, openPanel, pasteboard};
  }
};

}  // namespace mf::testing
