// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/journal_forwarder.h"

#include <cstdio>
#include <cstdlib>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>
#include <systemd/sd-journal.h>
#include <utility>

namespace mf {
namespace {

// The socket of journald's native protocol, where libsystemd sends.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool sendToJournal(const std::string& identifier, std::int32_t pid, std::string_view text) {
  // Where no journald ever listened its socket is missing, and libsystemd
  // then drops an entry without a word: that is a refusal too.
  if (::access(kJournalSocket, F_OK) != 0) return false;
  // sd_journal_sendv takes whole FIELD=value strings and no format, so a
  // '%' in the text is just a character.
  std::string message = "MESSAGE=";
  message.append(text);
  const std::string priority = "PRIORITY=" + std::to_string(LOG_INFO);
  const std::string syslogIdentifier = "SYSLOG_IDENTIFIER=" + identifier;
  const std::string syslogPid = "SYSLOG_PID=" + std::to_string(pid);
  iovec fields[4] = {
      {message.data(), message.size()},
      {const_cast<char*>(priority.data()), priority.size()},
      {const_cast<char*>(syslogIdentifier.data()), syslogIdentifier.size()},
      {const_cast<char*>(syslogPid.data()), syslogPid.size()},
  };
  // Fails at once when nobody listens on the socket; a journald that is
  // stopped while its socket is held blocks instead, which the queue's bound
  // is for.
  return sd_journal_sendv(fields, 4) >= 0;
}

}  // namespace

JournalForwarder::Source::~Source() { forwarder_.close(key_); }

void JournalForwarder::Source::forward(const LineBatch& lines) { forwarder_.forward(key_, lines); }

JournalForwarder& JournalForwarder::shared() {
  // Never destroyed: the child watcher, itself process-wide, forwards what a
  // target still prints while the process exits, and the order in which the
  // two would be destroyed depends on which was used first. What it still
  // owes the journal is said on the way out all the same.
  static JournalForwarder* const forwarder = [] {
    auto* created = new JournalForwarder;
    std::atexit([] { shared().finish(kExitGrace); });
    return created;
  }();
  return *forwarder;
}

JournalForwarder::JournalForwarder(Sender send, std::chrono::steady_clock::duration interval)
    : send_(send ? std::move(send) : Sender(sendToJournal)), interval_(interval), thread_([this] { run(); }) {}

JournalForwarder::~JournalForwarder() {
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, budget] : budgets_) sayDropped(budget);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::shared_ptr<JournalForwarder::Source> JournalForwarder::open(const std::string& identifier, std::int32_t pid) {
  std::lock_guard lock(mutex_);
  const std::uint64_t key = nextKey_++;
  Budget& budget = budgets_[key];
  budget.identifier = identifier;
  budget.pid = pid;
  budget.intervalStart = std::chrono::steady_clock::now();
  return std::shared_ptr<Source>(new Source(*this, key));
}

void JournalForwarder::sayDropped(Budget& budget) {
  if (budget.dropped == 0) return;
  Batch note;
  note.identifier = budget.identifier;
  note.pid = budget.pid;
  note.note = "marrowfield: " + std::to_string(budget.dropped) +
              " lines this program printed on stdout were shown in the trace but not handed to the journal, "
              "past the journal's rate limit or while the journal was not taking them";
  note.noteLines = budget.dropped;
  queue_.push_back(std::move(note));
  budget.dropped = 0;
}

void JournalForwarder::sayDueNotes(std::chrono::steady_clock::time_point now) {
  for (auto& [key, budget] : budgets_) {
    if (now - budget.intervalStart < interval_) continue;
    sayDropped(budget);
    budget.intervalStart = now;
    budget.forwarded = 0;
  }
}

std::optional<std::chrono::steady_clock::time_point> JournalForwarder::nextNoteDue() const {
  std::optional<std::chrono::steady_clock::time_point> due;
  for (const auto& [key, budget] : budgets_) {
    if (budget.dropped == 0) continue;
    const auto at = budget.intervalStart + interval_;
    if (!due || at < *due) due = at;
  }
  return due;
}

void JournalForwarder::forward(std::uint64_t key, const LineBatch& lines) {
  {
    std::lock_guard lock(mutex_);
    const auto found = budgets_.find(key);
    if (found == budgets_.end()) return;
    Budget& budget = found->second;
    sayDueNotes(std::chrono::steady_clock::now());
    Batch batch;
    batch.identifier = budget.identifier;
    batch.pid = budget.pid;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string_view line = lines[i];
      if (line.empty()) continue;
      const std::size_t bytes = line.size() + kLineOverhead;
      if (budget.forwarded >= kBurstLines || queuedBytes_ + bytes > kQueueBytes) {
        ++budget.dropped;
        continue;
      }
      ++budget.forwarded;
      batch.lines.add(line);
      batch.bytes += bytes;
      queuedBytes_ += bytes;
    }
    peakQueuedBytes_ = std::max(peakQueuedBytes_, queuedBytes_);
    if (!batch.lines.empty()) queue_.push_back(std::move(batch));
  }
  wake_.notify_one();
}

void JournalForwarder::close(std::uint64_t key) {
  {
    std::lock_guard lock(mutex_);
    const auto found = budgets_.find(key);
    if (found == budgets_.end()) return;
    sayDropped(found->second);
    budgets_.erase(found);
  }
  wake_.notify_one();
}

void JournalForwarder::flush() {
  std::unique_lock lock(mutex_);
  drained_.wait(lock, [this] { return queue_.empty() && !sending_; });
}

std::size_t JournalForwarder::peakQueuedBytes() const {
  std::lock_guard lock(mutex_);
  return peakQueuedBytes_;
}

void JournalForwarder::finish(std::chrono::steady_clock::duration grace) {
  std::unique_lock lock(mutex_);
  for (auto& [key, budget] : budgets_) sayDropped(budget);
  wake_.notify_one();
  const bool drained = drained_.wait_for(lock, grace, [this] { return queue_.empty() && !sending_; });
  std::size_t lines = refusedLines_;
  refusedLines_ = 0;
  if (!drained) {
    lines += unsentInFlight_;
    for (const auto& batch : queue_) lines += batch.lines.size() + batch.noteLines;
  }
  if (lines == 0) return;
  std::fprintf(stderr,
               "marrowfield: %zu lines traced programs printed on stdout were shown in the trace but not handed to "
               "the journal, which refused them or did not take them before Marrowfield ended\n",
               lines);
}

void JournalForwarder::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() && !stopping_) {
      if (const auto due = nextNoteDue()) {
        wake_.wait_until(lock, *due);
      } else {
        wake_.wait(lock);
      }
    }
    sayDueNotes(std::chrono::steady_clock::now());
    if (queue_.empty()) {
      if (stopping_) return;
      continue;
    }
    Batch batch = std::move(queue_.front());
    queue_.pop_front();
    sending_ = true;
    unsentInFlight_ = batch.lines.size() + batch.noteLines;
    lock.unlock();
    std::size_t refused = 0;
    if (!batch.note.empty()) {
      if (!send_(batch.identifier, batch.pid, batch.note)) refused += batch.noteLines;
      unsentInFlight_ -= batch.noteLines;
    }
    for (std::size_t i = 0; i < batch.lines.size(); ++i) {
      if (!send_(batch.identifier, batch.pid, batch.lines[i])) ++refused;
      --unsentInFlight_;
    }
    lock.lock();
    refusedLines_ += refused;
    queuedBytes_ -= batch.bytes;
    sending_ = false;
    if (queue_.empty()) drained_.notify_all();
  }
}

}  // namespace mf
