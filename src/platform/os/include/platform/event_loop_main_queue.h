// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "trace/services.h"

namespace mf {

// The main queue of a program without a GUI toolkit: the thread that built
// it is the main thread and runs the posted tasks inside run() or wait().
class EventLoopMainQueue final : public MainQueue {
 public:
  EventLoopMainQueue();

  void post(std::function<void()> task) override;
  void wait(double seconds) override;

  // Runs tasks until `done` holds (checked after every task) or `seconds`
  // pass. True when `done` held.
  bool runUntil(const std::function<bool()>& done, double seconds);
  // Runs what is already queued, without waiting.
  void drain();
  bool isMainThread() const { return std::this_thread::get_id() == mainThread_; }

 private:
  // One task, or none when the deadline passed first.
  std::function<void()> take(std::chrono::steady_clock::time_point deadline);

  std::thread::id mainThread_;
  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace mf
