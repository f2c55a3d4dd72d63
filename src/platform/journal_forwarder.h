#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "trace/line_batch.h"

namespace mf {

// Hands the lines a target printed on its stdout (which we read through a
// pseudo-terminal) to the journal under the target's name and pid, as its
// launcher's journal stream would have stored them, so `journalctl` still
// holds them. On a thread of its own with a bounded queue: journald takes
// lines at a fraction of the pace a program can print them, and neither
// the trace nor the target may wait for it. What does not fit is counted and
// said in the journal once there is room again.
//
// The entries are sent from our own process through the native protocol;
// a trace reading the journal tells them from the target's own (and so
// never shows a line twice) by that.
class JournalForwarder {
 public:
  static JournalForwarder& shared();
  JournalForwarder();
  ~JournalForwarder();
  JournalForwarder(const JournalForwarder&) = delete;
  JournalForwarder& operator=(const JournalForwarder&) = delete;

  // Thread-safe; never blocks on the journal.
  void forward(const std::string& identifier, std::int32_t pid, const LineBatch& lines);
  // Waits until everything queued so far was handed to the journal (tests).
  void flush();

 private:
  struct Line {
    std::string identifier;
    std::int32_t pid;
    std::string text;
  };
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Line> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t dropped_ = 0;
  bool sending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mf
