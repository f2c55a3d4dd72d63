// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A whole window's worth of trace machinery for the reliability tests:
// ContentView on the real platform services, a main queue that measures how
// long each posted task holds the main thread, and probes of what the test
// process holds (descriptors, threads, children, memory).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/event_loop_main_queue.h"
#include "platform/linux_services.h"
#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/system_clock.h"
#include "platform_test_support.h"
#include "trace/content_view.h"

namespace mf::reliability {

// Posts through an EventLoopMainQueue and records the longest time one
// posted task ran: that is how long a user's click could have waited.
class TimedMainQueue final : public MainQueue {
 public:
  void post(std::function<void()> task) override;
  void wait(double seconds) override { inner.wait(seconds); }

  EventLoopMainQueue inner;
  double longestTaskSeconds = 0;  // main thread only
  std::size_t tasksRun = 0;
};

using testing::ChosenPath;
using testing::Clipboard;

// One window: the view and the platform services it would get in the app.
struct Window {
  explicit Window(JournalLogStreamLauncher::Options streamOptions = {});
  ~Window();

  // Chooses `path` through the open panel.
  void choose(const std::string& path);
  // Runs the main queue until `condition` holds; false at the deadline.
  bool runUntil(const std::function<bool()>& condition, double seconds = 20);
  std::optional<MarrowfieldEvent> find(std::string_view text) const;
  std::size_t indexOf(std::string_view text) const;
  std::size_t count(std::string_view text) const;
  std::string dump(std::size_t maxEvents = 200) const;
  bool tracingPid() const { return view.status().kind == TraceStatus::Kind::tracing; }

  TimedMainQueue queue;
  LinuxServices platform;
  ChosenPath panel;
  Clipboard pasteboard;
  ContentView view;
};

JournalLogStreamLauncher::Options withoutJournal();

// What this process holds, from /proc/self.
std::size_t threadCount();
std::size_t residentBytes();
using testing::ChildProcess;
using testing::childProcesses;
// Our journalctl children whose command line contains `needle`.
std::vector<pid_t> journalctlChildren(std::string_view needle);

}  // namespace mf::reliability
