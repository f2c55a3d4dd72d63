// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace mf {

// Threads that share one long pass with the thread that asks for it: a change
// of the search field over a million events reads some 170 MB, and two cores
// read it in half the time. The caller takes parts too and waits for the
// rest, so whatever the parts read stays unchanged while they run.
class ScanWorkers {
 public:
  // One per core beside the caller, at most three.
  static ScanWorkers& shared();

  explicit ScanWorkers(std::size_t helpers);
  ~ScanWorkers();
  ScanWorkers(const ScanWorkers&) = delete;
  ScanWorkers& operator=(const ScanWorkers&) = delete;

  // How many parts can run at once, the caller's included.
  std::size_t parallelism() const { return threads_.size() + 1; }

  // Calls part(k) for every k in [0, parts), each exactly once, spread over
  // the helpers and the calling thread; returns when all have returned.
  // One pass at a time: a second caller waits for the first to finish.
  template <typename Part>
  void run(std::size_t parts, Part&& part) {
    runErased(parts, &part, [](void* context, std::size_t k) { (*static_cast<Part*>(context))(k); });
  }

 private:
  using Trampoline = void (*)(void*, std::size_t);
  void runErased(std::size_t parts, void* context, Trampoline call);
  void helperLoop();
  // Takes and runs parts of the current pass until none is left.
  void takeParts();

  std::mutex passMutex_;  // one pass at a time
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  bool stopping_ = false;
  std::size_t generation_ = 0;
  void* context_ = nullptr;
  Trampoline call_ = nullptr;
  std::size_t parts_ = 0;
  std::size_t nextPart_ = 0;
  std::size_t finishedParts_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace mf
