// SPDX-License-Identifier: GPL-3.0-or-later
// The reader thread of one trace's journal road.
#include "platform/journal_follower.h"

#include <array>
#include <poll.h>
#include <utility>

namespace mf {

JournalFollower::JournalFollower(std::unique_ptr<JournalReader> reader, CaptureScope scope,
                                 std::unique_ptr<TreeSource> tree, LineBatchSink sink, os::UniqueFd wakeFd)
    : reader_(std::move(reader)),
      capture_(std::move(scope), std::move(sink), std::move(tree)),
      wakeFd_(std::move(wakeFd)),
      seesForks_(capture_.seesForks()) {}

void JournalFollower::follow(const LaunchedProcess& process) {
  {
    std::lock_guard lock(mutex_);
    launched_ = process;
  }
  os::signalWakeFd(wakeFd_.get());
}

void JournalFollower::startReading() { thread_ = std::thread([this] { run(); }); }

bool JournalFollower::isDone() {
  std::lock_guard lock(mutex_);
  return done_;
}

void JournalFollower::requestStop(Stop stop) {
  int current = stop_.load();
  while (current < static_cast<int>(stop) && !stop_.compare_exchange_weak(current, static_cast<int>(stop))) {
  }
  os::signalWakeFd(wakeFd_.get());
}

void JournalFollower::notifyWhenQuiet(std::function<void()> callback) {
  {
    std::lock_guard lock(mutex_);
    if (!done_) {
      quietCallbacks_.push_back(std::move(callback));
      if (!quietSince_) quietSince_ = SteadyClock::now();
      callback = nullptr;
    }
  }
  if (callback) {
    callback();
    return;
  }
  os::signalWakeFd(wakeFd_.get());
}

void JournalFollower::notifyOnUnexpectedEnd(std::function<void(std::string)> callback) {
  std::string reason;
  {
    std::lock_guard lock(mutex_);
    if (!done_) {
      endCallback_ = std::move(callback);
      return;
    }
    if (!unexpectedEnd_) return;
    reason = *unexpectedEnd_;
  }
  callback(reason);
}

void JournalFollower::finish() {
  requestStop(Stop::now);
  join();
}

void JournalFollower::join() {
  if (thread_.joinable()) thread_.join();
}

void JournalFollower::run() {
  Turns turns;
  while (turn(turns)) {
  }
  finishReading(turns.stopWhenEnded);
}

// One turn: acts on a stop request, hands the capture what journald has
// stored, and waits for the next look. False when the reader is done.
bool JournalFollower::turn(Turns& turns) {
  const auto stop = static_cast<Stop>(stop_.load());
  turns.stopWhenEnded = stop;
  if (stop == Stop::now) return false;
  applyLaunched();
  int timeout = tickDiscovery(turns);
  // Read before judging quiet: what journald stored by now counts.
  const bool more = readStored(turns);
  if (failure_) return false;
  const int linger = lingerWait(turns, stop);
  if (linger == 0) return false;
  timeout = earlierWait(earlierWait(timeout, linger), callQuietCallbacksIfDue(turns.lastOutput));
  wait(more ? 0 : earlierWait(timeout, kLivePollMillis));
  return !failure_;
}

// For a lingering stream, the milliseconds until it has been quiet long
// enough or has lingered its longest (0: now); -1 when it is not lingering.
int JournalFollower::lingerWait(Turns& turns, Stop stop) {
  if (stop != Stop::linger) return -1;
  const auto now = SteadyClock::now();
  if (!turns.lingerStart) turns.lingerStart = now;
  return millisecondsUntil(quietDeadline(*turns.lingerStart, turns.lastOutput), now);
}

// Reads /proc where fork events are not seen; the milliseconds until the
// next reading, or -1 when none is needed.
int JournalFollower::tickDiscovery(Turns& turns) {
  if (!capture_.needsDiscovery()) return -1;
  const auto now = SteadyClock::now();
  if (now >= turns.nextTick) {
    capture_.discoverChildren();
    turns.nextTick = now + std::chrono::milliseconds(JournalCapture::kDiscoverMillis);
  }
  return millisecondsUntil(turns.nextTick, now);
}

// Hands the capture the entries journald has stored since the last turn, at
// most kEntriesPerTurn; true when more are waiting.
bool JournalFollower::readStored(Turns& turns) {
  // Forks first: an entry of a brand-new child must find it in the tree.
  capture_.drainEvents();
  bool more = false;
  JournalEntry entry;
  for (int read = 0; read < kEntriesPerTurn; ++read) {
    const int result = reader_->next(entry);
    if (result < 0) {
      failure_ = "reading the journal failed: " + os::errorText(-result);
      break;
    }
    if (result == 0) break;
    capture_.take(std::move(entry));
    more = read + 1 == kEntriesPerTurn;
  }
  capture_.flush();
  if (capture_.takeDelivered() > 0) turns.lastOutput = SteadyClock::now();
  return more;
}

// Waits for the wake-up descriptor, the journal's and the fork events', at
// most `timeout` milliseconds, and takes in what they report.
void JournalFollower::wait(int timeout) {
  std::array<pollfd, 3> fds{};
  nfds_t count = 0;
  fds[count++] = {wakeFd_.get(), POLLIN, 0};
  const nfds_t journal = reader_->fd() >= 0 ? count : fds.size();
  if (reader_->fd() >= 0) fds[count++] = {reader_->fd(), reader_->events(), 0};
  const int eventFd = capture_.eventFd();
  const nfds_t events = eventFd >= 0 ? count : fds.size();
  if (eventFd >= 0) fds[count++] = {eventFd, POLLIN, 0};
  if (os::retryOnEintr([&] { return ::poll(fds.data(), count, timeout); }) < 0) return;
  if (fds[0].revents != 0) os::drainWakeFd(wakeFd_.get());
  if (events < count && fds[events].revents != 0) capture_.drainEvents();
  if (journal < count && fds[journal].revents != 0) {
    // Files added by a rotation, or removed by a vacuum.
    if (const int result = reader_->process(); result < 0) {
      failure_ = "reading the journal failed: " + os::errorText(-result);
    }
  }
}

// After the loop: what is pending goes to the sink; then the end is told
// before the quiet callbacks run, so a trace that waits for quiet to finish
// says why its stream went quiet before it finishes.
void JournalFollower::finishReading(Stop stopWhenEnded) {
  applyLaunched();
  capture_.flush();
  // The journal's files and descriptors go with the reading, not with the
  // follower, which a lingering set may keep a while.
  reader_.reset();
  std::vector<std::function<void()>> callbacks;
  std::function<void(std::string)> endCallback;
  std::optional<std::string> ended;
  if (stopWhenEnded == Stop::none) ended = failure_;
  {
    std::lock_guard lock(mutex_);
    done_ = true;
    unexpectedEnd_ = ended;
    callbacks.swap(quietCallbacks_);
    if (ended) endCallback.swap(endCallback_);
    endCallback_ = nullptr;
  }
  if (endCallback) endCallback(*ended);
  for (auto& callback : callbacks) callback();
}

void JournalFollower::applyLaunched() {
  std::optional<LaunchedProcess> process;
  {
    std::lock_guard lock(mutex_);
    process = std::exchange(launched_, std::nullopt);
  }
  if (!process) return;
  capture_.follow(process->pid, process->unit, process->witness);
  capture_.flush();
}

// Calls the quiet callbacks whose moment has come; returns the milliseconds
// until the next one is due, or -1 when none is waiting.
int JournalFollower::callQuietCallbacksIfDue(SteadyClock::time_point lastOutput) {
  std::vector<std::function<void()>> due;
  int wait = -1;
  {
    std::lock_guard lock(mutex_);
    if (!quietSince_) return -1;
    const auto now = SteadyClock::now();
    const auto deadline = quietDeadline(*quietSince_, lastOutput);
    if (now >= deadline) {
      due.swap(quietCallbacks_);
      quietSince_.reset();
    } else {
      wait = millisecondsUntil(deadline, now);
    }
  }
  for (auto& callback : due) callback();
  return wait;
}

}  // namespace mf
