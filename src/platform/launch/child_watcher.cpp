// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/child_watcher.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/wait.h>  // P_PIDFD

namespace mf {
namespace {

// Late watchers look up statuses here; a launch's watch arrives within
// moments, so a short memory is plenty.
constexpr std::size_t kRememberedExits = 256;
// How often adopted orphans are looked for, once we reap them at all, and
// how long an ended one stays a zombie before it is reaped.
constexpr int kOrphanReapMillis = 1000;
constexpr auto kOrphanZombieHold = std::chrono::seconds(3);

}  // namespace

ChildWatcher& ChildWatcher::shared() {
  static ChildWatcher watcher;
  return watcher;
}

ChildWatcher::ChildWatcher() : wakeFd_(os::makeWakeFd()) {
  thread_ = std::thread([this] { loop(); });
}

ChildWatcher::~ChildWatcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  os::signalWakeFd(wakeFd_.get());
  thread_.join();
}

void ChildWatcher::adopt(pid_t pid, os::UniqueFd pidfd, std::vector<Output> outputs) {
  {
    std::lock_guard lock(mutex_);
    // A recycled pid: the old status belongs to another process.
    std::erase_if(ended_, [pid](const auto& record) { return record.first == pid; });
    auto child = std::make_unique<Child>();
    child->pid = pid;
    child->pidfd = std::move(pidfd);
    children_.push_back(std::move(child));
    for (auto& output : outputs) {
      if (!output.fd.valid() || !output.pump) continue;
      ::fcntl(output.fd.get(), F_SETFL, ::fcntl(output.fd.get(), F_GETFL) | O_NONBLOCK);
      auto capture = std::make_unique<Capture>();
      capture->pid = pid;
      capture->fd = std::move(output.fd);
      capture->pump = std::move(output.pump);
      captures_.push_back(std::move(capture));
    }
  }
  os::signalWakeFd(wakeFd_.get());
}

std::uint64_t ChildWatcher::watch(pid_t pid, ExitHandler handler) {
  std::uint64_t token = 0;
  {
    std::lock_guard lock(mutex_);
    token = nextToken_++;
    Watch watch{pid, std::move(handler), false, std::nullopt};
    const bool isLive = std::any_of(children_.begin(), children_.end(), [pid](const auto& child) { return child->pid == pid; });
    if (!isLive) {
      auto record = std::find_if(ended_.rbegin(), ended_.rend(), [pid](const auto& r) { return r.first == pid; });
      if (record != ended_.rend()) {
        watch.isReady = true;
        watch.status = record->second;
      } else if (auto pidfd = os::pidfdOpen(pid); pidfd.valid()) {
        // Not launched by us: we can see it end but not read its status.
        auto child = std::make_unique<Child>();
        child->pid = pid;
        child->pidfd = std::move(pidfd);
        child->isOurs = false;
        children_.push_back(std::move(child));
      } else {
        watch.isReady = true;  // gone already, and not ours: status unknown
      }
    }
    watches_.emplace(token, std::move(watch));
  }
  os::signalWakeFd(wakeFd_.get());
  return token;
}

void ChildWatcher::unwatch(std::uint64_t token) {
  std::unique_lock lock(mutex_);
  watches_.erase(token);
  if (std::this_thread::get_id() == thread_.get_id()) return;  // from a handler itself
  firingDone_.wait(lock, [&] { return std::find(firing_.begin(), firing_.end(), token) == firing_.end(); });
}

void ChildWatcher::fireReadyWatches() {
  std::vector<std::pair<std::uint64_t, Watch>> ready;
  {
    std::lock_guard lock(mutex_);
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (it->second.isReady) {
        firing_.push_back(it->first);
        ready.emplace_back(it->first, std::move(it->second));
        it = watches_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (ready.empty()) return;
  for (auto& [token, watch] : ready) watch.handler(watch.status);
  {
    std::lock_guard lock(mutex_);
    for (auto& [token, watch] : ready) std::erase(firing_, token);
  }
  firingDone_.notify_all();
}

void ChildWatcher::run(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  os::signalWakeFd(wakeFd_.get());
}

std::size_t ChildWatcher::liveChildren() {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(children_.begin(), children_.end(), [](const auto& child) { return child->isOurs; }));
}

void ChildWatcher::pumpCapture(Capture* capture, bool untilEmpty) {
  // A terminal hands on what was written through a kernel work queue, so at
  // the moment a writer ends its last bytes may not be readable yet: give
  // them a few milliseconds. (When the last writer closes, the terminal
  // reports its end only after them, so nothing is lost that way.)
  int terminalGrace = untilEmpty && capture->pump->isTerminal() ? 3 : 0;
  // Bounded: a grandchild that keeps writing must not hold the thread here.
  for (int reads = 0; reads < 256; ++reads) {
    const auto result = capture->pump->pumpOnce(capture->fd.get());
    if (result == ChunkPump::Result::ended) {
      capture->fd.reset();
      return;
    }
    if (!untilEmpty) return;
    if (result == ChunkPump::Result::wouldBlock) {
      if (terminalGrace-- <= 0) return;
      pollfd fd{capture->fd.get(), POLLIN, 0};
      if (os::retryOnEintr([&] { return ::poll(&fd, 1, 5); }) <= 0) return;
    }
  }
}

void ChildWatcher::childEnded(Child* child) {
  std::optional<ExitStatus> status;
  if (child->isOurs) {
    // What the child wrote before it ended goes out before its end is known.
    std::vector<Capture*> own;
    {
      std::lock_guard lock(mutex_);
      for (auto& capture : captures_) {
        if (capture->pid == child->pid && capture->fd.valid()) own.push_back(capture.get());
      }
    }
    for (auto* capture : own) pumpCapture(capture, true);

    siginfo_t info{};
    const int reaped = os::retryOnEintr([&] {
      return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child->pidfd.get()), &info, WEXITED | WNOHANG);
    });
    if (reaped == 0 && info.si_pid == 0) return;  // woken early; not ended yet
    if (reaped == 0) {
      ExitStatus exit;
      exit.signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
      exit.code = info.si_status;
      status = exit;
    }
    // A child that still holds the terminal (`printf 'a\nb'; sleep 5 &`)
    // would keep the target's last, unfinished line from ending: a terminal
    // shows it, so the trace does too, before the end.
    for (auto* capture : own) capture->pump->flushPendingLine();
  }

  {
    std::lock_guard lock(mutex_);
    const pid_t pid = child->pid;
    if (child->isOurs) {
      ended_.emplace_back(pid, status);
      if (ended_.size() > kRememberedExits) ended_.erase(ended_.begin());
    }
    for (auto& [token, watch] : watches_) {
      if (watch.pid == pid && !watch.isReady) {
        watch.isReady = true;
        watch.status = status;
      }
    }
    std::erase_if(children_, [child](const auto& c) { return c.get() == child; });
  }
  fireReadyWatches();
}

void ChildWatcher::reapAdoptedOrphans() {
  // An orphan of a target keeps the target's session (or one it made); a
  // child we spawned for ourselves (journalctl) shares ours and is reaped by
  // its owner, and a target is reaped through its pidfd above. An ended
  // orphan is left a zombie for a few seconds first: until it is reaped its
  // /proc entry still says whose tree it was, and its last journal lines
  // arrive after it ended.
  const pid_t ourSession = ::getsid(0);
  const auto now = std::chrono::steady_clock::now();
  std::map<pid_t, std::chrono::steady_clock::time_point> stillZombies;
  for (const pid_t pid : os::childrenOf(::getpid())) {
    {
      std::lock_guard lock(mutex_);
      if (std::any_of(children_.begin(), children_.end(), [pid](const auto& c) { return c->pid == pid; })) continue;
    }
    const auto stat = os::processStatOf(pid);
    // A session leader may be a target that ended before it was adopted:
    // its status is the watch's to read.
    if (!stat || stat->state != 'Z' || stat->session == ourSession || stat->session == pid) continue;
    const auto since = orphanZombiesSince_.try_emplace(pid, now).first->second;
    if (now - since < kOrphanZombieHold) {
      stillZombies.emplace(pid, since);
      continue;
    }
    siginfo_t info{};
    os::retryOnEintr([&] {
      return ::waitid(static_cast<idtype_t>(P_PID), static_cast<id_t>(pid), &info, WEXITED | WNOHANG);
    });
  }
  orphanZombiesSince_.swap(stillZombies);
}

void ChildWatcher::loop() {
  for (;;) {
    std::vector<std::function<void()>> tasks;
    std::vector<Child*> children;
    std::vector<Capture*> captures;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      tasks.swap(tasks_);
      for (auto& child : children_) {
        if (child->pidfd.valid()) children.push_back(child.get());
      }
      std::erase_if(captures_, [](const auto& capture) { return !capture->fd.valid(); });
      for (auto& capture : captures_) captures.push_back(capture.get());
    }
    for (auto& task : tasks) task();
    fireReadyWatches();
    if (!tasks.empty()) continue;  // a task may have changed the sets

    std::vector<pollfd> fds;
    fds.push_back({wakeFd_.get(), POLLIN, 0});
    for (auto* child : children) fds.push_back({child->pidfd.get(), POLLIN, 0});
    for (auto* capture : captures) fds.push_back({capture->fd.get(), POLLIN, 0});
    // Orphans come to us without a word: look for the ended ones now and then.
    const int timeout = os::isChildSubreaper() ? kOrphanReapMillis : -1;
    if (timeout >= 0 && std::chrono::steady_clock::now() >= nextOrphanReap_) {
      reapAdoptedOrphans();
      nextOrphanReap_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOrphanReapMillis);
    }
    if (os::retryOnEintr([&] { return ::poll(fds.data(), fds.size(), timeout); }) < 0) continue;
    if (fds[0].revents != 0) os::drainWakeFd(wakeFd_.get());

    // Output first, so a line written just before the exit precedes it.
    for (std::size_t i = 0; i < captures.size(); ++i) {
      if (fds[1 + children.size() + i].revents != 0 && captures[i]->fd.valid()) pumpCapture(captures[i], false);
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (fds[1 + i].revents != 0) childEnded(children[i]);
    }
  }
}

}  // namespace mf
