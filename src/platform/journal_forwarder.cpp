#include "platform/journal_forwarder.h"

#include <sys/uio.h>
#include <syslog.h>
#include <utility>
#include <systemd/sd-journal.h>

namespace mf {
namespace {

constexpr std::size_t kMaxQueuedBytes = std::size_t{16} << 20;

void send(const std::string& identifier, std::int32_t pid, const std::string& text) {
  // sd_journal_sendv takes whole FIELD=value strings and no format, so a
  // '%' in the text is just a character.
  const std::string message = "MESSAGE=" + text;
  const std::string priority = "PRIORITY=" + std::to_string(LOG_INFO);
  const std::string syslogIdentifier = "SYSLOG_IDENTIFIER=" + identifier;
  const std::string syslogPid = "SYSLOG_PID=" + std::to_string(pid);
  iovec fields[4] = {
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>(priority.data()), priority.size()},
      {const_cast<char*>(syslogIdentifier.data()), syslogIdentifier.size()},
      {const_cast<char*>(syslogPid.data()), syslogPid.size()},
  };
  sd_journal_sendv(fields, 4);
}

}  // namespace

JournalForwarder& JournalForwarder::shared() {
  static JournalForwarder forwarder;
  return forwarder;
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

void JournalForwarder::forward(const std::string& identifier, std::int32_t pid, const LineBatch& lines) {
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string_view text = lines[i];
      if (text.empty()) continue;
      if (queuedBytes_ + text.size() > kMaxQueuedBytes) {
        ++dropped_;
        continue;
      }
      queuedBytes_ += text.size();
      queue_.push_back(Line{identifier, pid, std::string(text)});
    }
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
    std::deque<Line> lines;
    lines.swap(queue_);
    queuedBytes_ = 0;
    const std::size_t dropped = std::exchange(dropped_, 0);
    sending_ = true;
    lock.unlock();
    for (const auto& line : lines) send(line.identifier, line.pid, line.text);
    if (dropped > 0 && !lines.empty()) {
      send(lines.back().identifier, lines.back().pid,
           "marrowfield: " + std::to_string(dropped) +
               " lines printed on stdout were shown in the trace but not handed to the journal, which did not keep up");
    }
    lock.lock();
    sending_ = false;
    drained_.notify_all();
  }
}

}  // namespace mf
