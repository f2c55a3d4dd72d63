// SPDX-License-Identifier: GPL-3.0-or-later
#include "analysis/scan_workers.h"

#include <algorithm>

namespace mf {

ScanWorkers& ScanWorkers::shared() {
  static ScanWorkers workers(std::min<std::size_t>(3, std::max(1u, std::thread::hardware_concurrency()) - 1));
  return workers;
}

ScanWorkers::ScanWorkers(std::size_t helpers) {
  threads_.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) threads_.emplace_back([this] { helperLoop(); });
}

ScanWorkers::~ScanWorkers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void ScanWorkers::runErased(std::size_t parts, void* context, Trampoline call) {
  if (parts == 0) return;
  if (parts == 1 || threads_.empty()) {
    for (std::size_t k = 0; k < parts; ++k) call(context, k);
    return;
  }
  std::lock_guard pass(passMutex_);
  {
    std::lock_guard lock(mutex_);
    context_ = context;
    call_ = call;
    parts_ = parts;
    nextPart_ = 0;
    finishedParts_ = 0;
    ++generation_;
  }
  wake_.notify_all();
  takeParts();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return finishedParts_ == parts_; });
  // Helpers that wake late find no part left and never touch the context.
  context_ = nullptr;
  call_ = nullptr;
}

void ScanWorkers::takeParts() {
  std::unique_lock lock(mutex_);
  while (nextPart_ < parts_) {
    const std::size_t k = nextPart_++;
    void* context = context_;
    Trampoline call = call_;
    lock.unlock();
    call(context, k);
    lock.lock();
    if (++finishedParts_ == parts_) done_.notify_one();
  }
}

void ScanWorkers::helperLoop() {
  std::size_t seen = 0;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    takeParts();
  }
}

}  // namespace mf
