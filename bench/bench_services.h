#pragma once

// Stand-ins for the services a ContentView needs that a benchmark does not
// exercise: no dialog, no launch, no clipboard. The log stream is what the
// benchmarks measure, so it is chosen per benchmark; the main queue too,
// where the program's own is measured.

#include <time.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/uuid.h"
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
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return "/opt/bench/Bench.desktop"; }
};

class NullPasteboard : public Pasteboard {
 public:
  void setString(const std::string&) override {}
};

}  // namespace mf::bench
