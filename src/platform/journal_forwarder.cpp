#include "platform/journal_forwarder.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <utility>

namespace mf {
namespace {

// Budgets of targets that printed nothing for this long are forgotten.
constexpr auto kForgetAfter = std::chrono::minutes(5);

void send(const std::string& identifier, std::int32_t pid, std::string_view text) {
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
  sd_journal_sendv(fields, 4);
}

}  // namespace

JournalForwarder& JournalForwarder::shared() {
  // Never destroyed: the child watcher, itself process-wide, forwards what a
  // target still prints while the process exits, and the order in which the
  // two would be destroyed depends on which was used first.
  static JournalForwarder* const forwarder = new JournalForwarder;
  return *forwarder;
}

JournalForwarder::JournalForwarder() : thread_([this] { run(); }) {}

JournalForwarder::~JournalForwarder() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void JournalForwarder::sayDropped(std::int32_t pid, Budget& budget) {
  if (budget.dropped == 0) return;
  Batch note;
  note.identifier = budget.identifier;
  note.pid = pid;
  note.note = "marrowfield: " + std::to_string(budget.dropped) +
              " lines this program printed on stdout were shown in the trace but not handed to the journal, "
              "past the journal's rate limit";
  queue_.push_back(std::move(note));
  budget.dropped = 0;
}

void JournalForwarder::forward(const std::string& identifier, std::int32_t pid, const LineBatch& lines) {
  {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(budgets_, [&](const auto& entry) { return now - entry.second.intervalStart > kForgetAfter; });
    Budget& budget = budgets_[pid];
    if (budget.identifier.empty()) {
      budget.identifier = identifier;
      budget.intervalStart = now;
    }
    if (now - budget.intervalStart >= kInterval) {
      sayDropped(pid, budget);
      budget.intervalStart = now;
      budget.forwarded = 0;
    }
    Batch batch;
    batch.identifier = identifier;
    batch.pid = pid;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].empty()) continue;
      if (budget.forwarded >= kBurstLines) {
        ++budget.dropped;
        continue;
      }
      ++budget.forwarded;
      batch.lines.add(lines[i]);
    }
    if (!batch.lines.empty()) queue_.push_back(std::move(batch));
  }
  wake_.notify_one();
}

void JournalForwarder::flush() {
  std::unique_lock lock(mutex_);
  drained_.wait(lock, [this] { return queue_.empty() && !sending_; });
}

void JournalForwarder::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::deque<Batch> batches;
    batches.swap(queue_);
    sending_ = true;
    lock.unlock();
    for (const auto& batch : batches) {
      if (!batch.note.empty()) send(batch.identifier, batch.pid, batch.note);
      for (std::size_t i = 0; i < batch.lines.size(); ++i) send(batch.identifier, batch.pid, batch.lines[i]);
    }
    lock.lock();
    sending_ = false;
    drained_.notify_all();
  }
}

}  // namespace mf
