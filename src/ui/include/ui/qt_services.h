// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The Qt implementations of the core's main-thread queue and pasteboard; the
// open panel is the chooser (ui/chooser.h).

#include <functional>
#include <memory>
#include <mutex>

#include "trace/services.h"

class QObject;

namespace mf::ui {

// Posts are queued calls on a receiver that lives on the main thread, so they
// run in posting order between other events. The nested wait runs the event
// loop without user input: a click there would re-enter the operation that
// is waiting (a second "Launch & Trace" half-way through the first).
class QtMainQueue final : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> task) override;
  void wait(double seconds) override;

 private:
  // Guards the receiver against a post racing with destruction: a post that
  // arrives after the queue is gone is dropped, not delivered to a dead object.
  struct Shared {
    std::mutex mutex;
    QObject* receiver = nullptr;
  };
  std::shared_ptr<Shared> shared_;
};

class QtPasteboard final : public Pasteboard {
 public:
  void setString(const std::string& text) override;
};

}  // namespace mf::ui
