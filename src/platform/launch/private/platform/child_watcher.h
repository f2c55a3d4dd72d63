// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "platform/chunk_pump.h"
#include "platform/system_calls.h"
#include "trace/services.h"

namespace mf {

// The one background thread that watches the processes we launched: it reaps
// every child when it ends (so none stays a zombie, watched or not), keeps
// its exit status for late watchers, drains direct-output pipes to their end
// and runs launch completions. Process-wide, because children outlive the
// objects that launched them.
class ChildWatcher {
 public:
  using ExitHandler = std::function<void(std::optional<ExitStatus>)>;

  static ChildWatcher& shared();
  ChildWatcher();
  ~ChildWatcher();
  ChildWatcher(const ChildWatcher&) = delete;
  ChildWatcher& operator=(const ChildWatcher&) = delete;

  // One output of a child: a pipe's read end or a pseudo-terminal's master,
  // read by `pump` until end of stream (or, for a terminal, until the last
  // writer closes it).
  struct Output {
    os::UniqueFd fd;
    std::unique_ptr<ChunkPump> pump;
  };

  // Takes over a child we spawned, with the outputs we read.
  void adopt(pid_t pid, os::UniqueFd pidfd, std::vector<Output> outputs = {});

  // `handler` runs once on the watcher thread when `pid` has ended, at once
  // if it ended already. The status is unknown (nullopt) for a process that
  // is not our child. Returns a token for unwatch().
  std::uint64_t watch(pid_t pid, ExitHandler handler);
  // After it returns the handler neither runs nor is running, so what it
  // refers to may go.
  void unwatch(std::uint64_t token);

  // Runs `task` on the watcher thread.
  void run(std::function<void()> task);

  // Children adopted and not yet reaped (for tests).
  std::size_t liveChildren();

 private:
  struct Child {
    pid_t pid = -1;
    os::UniqueFd pidfd;
    bool isOurs = true;
  };
  struct Capture {
    pid_t pid = -1;
    os::UniqueFd fd;
    std::unique_ptr<ChunkPump> pump;
  };
  struct Watch {
    pid_t pid;
    ExitHandler handler;
    bool isReady = false;  // the process ended; fire with `status`
    std::optional<ExitStatus> status;
  };

  void loop();
  void childEnded(Child* child);
  void pumpCapture(Capture* capture, bool untilEmpty);
  void fireReadyWatches();
  void reapAdoptedOrphans();

  std::mutex mutex_;
  os::UniqueFd wakeFd_;
  std::vector<std::unique_ptr<Child>> children_;
  std::vector<std::unique_ptr<Capture>> captures_;
  std::map<std::uint64_t, Watch> watches_;
  std::vector<std::uint64_t> firing_;  // tokens whose handler runs right now
  std::condition_variable firingDone_;
  std::uint64_t nextToken_ = 1;
  // Exit statuses of reaped children, oldest first, bounded.
  std::vector<std::pair<pid_t, std::optional<ExitStatus>>> ended_;
  std::vector<std::function<void()>> tasks_;
  // Adopted orphans seen ended, and since when (watcher thread only).
  std::map<pid_t, std::chrono::steady_clock::time_point> orphanZombiesSince_;
  std::chrono::steady_clock::time_point nextOrphanReap_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mf
