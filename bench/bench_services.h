// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Stand-ins for the services a ContentView needs that a benchmark does not
// exercise: no dialog, no launch, no clipboard. The log stream is what the
// benchmarks measure, so it is chosen per benchmark; the main queue too,
// where the program's own is measured (TimedQueue).

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/uuid.h"
#include "platform/event_loop_main_queue.h"
#include "trace/services.h"

namespace mf::bench {

// Milliseconds of CPU time on `clock` (CLOCK_THREAD_CPUTIME_ID,
// CLOCK_PROCESS_CPUTIME_ID): a task's work without the time other processes
// held the core.
inline double cpuMs(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The `p` quantile (0 to 1) of `values`; 1 is the largest, 0 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// The main queue the program uses, timing every task it runs. Main thread
// only. Wall time is what a user feels; CPU time tells the work of a task
// from the time the thread was preempted by others.
class TimedQueue : public MainQueue {
 public:
  void post(std::function<void()> task) override {
    inner.post([this, task = std::move(task)] {
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = cpuMs(CLOCK_THREAD_CPUTIME_ID);
      task();
      durations.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      cpuDurations.push_back(cpuMs(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
    });
  }
  void wait(double seconds) override { inner.wait(seconds); }
  // Forgets the tasks run so far (a trace's start is not intake).
  void clear() {
    durations.clear();
    cpuDurations.clear();
  }

  EventLoopMainQueue inner;
  std::vector<double> durations;     // ms
  std::vector<double> cpuDurations;  // ms
};

// Runs posted work on drain() (and in the start's waits), on the calling thread.
class InlineQueue : public MainQueue {
 public:
  void post(std::function<void()> task) override { tasks.push_back(std::move(task)); }
  void wait(double) override { drain(); }
  void drain() {
    while (!tasks.empty()) {
      auto task = std::move(tasks.front());
      tasks.pop_front();
      task();
    }
  }
  std::deque<std::function<void()>> tasks;
};

// Distinct ids without the cost of randomness.
class CountingIds : public IdSource {
 public:
  Uuid next() override {
    std::array<std::uint8_t, 16> bytes{};
    ++n;
    for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(n >> (8 * i));
    return Uuid::fromRandomBytes(bytes);
  }
  std::uint64_t n = 0;
};

class IdleWorkspace : public Workspace {
 public:
  void openApplication(const std::string&, const LaunchOptions&, LaunchCompletion) override {}
  std::vector<std::shared_ptr<RunningApplication>> runningApplications(const std::string&) override { return {}; }
  std::unique_ptr<TerminationObserver> addTerminationObserver(std::int32_t, TerminationCallback) override {
    return nullptr;
  }
  std::string bundleIdentifier(const std::string&) override { return "org.example.bench"; }
};

class FixedPanel : public OpenPanel {
 public:
  FixedPanel() = default;
  explicit FixedPanel(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return path_; }

 private:
  std::string path_ = "/opt/bench/Bench.desktop";
};

class NullPasteboard : public Pasteboard {
 public:
  void setString(const std::string&) override {}
};

// The benchmarks trace on this machine only.
class NoRemote : public RemoteLauncher {
 public:
  std::unique_ptr<RemoteConnection> connect(const std::string&, const std::string&, RemoteHandlers,
                                            std::string& error) override {
    error = "no other machine in a benchmark";
    return nullptr;
  }
};

}  // namespace mf::bench
