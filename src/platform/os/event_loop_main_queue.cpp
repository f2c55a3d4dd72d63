// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/event_loop_main_queue.h"

#include <chrono>

namespace mf {

EventLoopMainQueue::EventLoopMainQueue() : mainThread_(std::this_thread::get_id()) {}

void EventLoopMainQueue::post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  // Under the lock: once the main thread can take the task, this thread no
  // longer touches the queue, which may then be destroyed.
  available_.notify_one();
}

std::function<void()> EventLoopMainQueue::take(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!available_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return {};
  auto task = std::move(tasks_.front());
  tasks_.pop_front();
  return task;
}

void EventLoopMainQueue::wait(double seconds) {
  runUntil([] { return false; }, seconds);
}

bool EventLoopMainQueue::runUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
  if (done()) return true;
  for (;;) {
    auto task = take(deadline);
    if (!task) return done();
    task();
    if (done()) return true;
  }
}

void EventLoopMainQueue::drain() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace mf
