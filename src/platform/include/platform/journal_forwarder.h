#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "text/line_batch.h"

namespace mf {

// Hands the lines a target printed on its stdout (which we read through a
// pseudo-terminal) to the journal under the target's name and pid, as its
// launcher's journal stream would have stored them, so `journalctl` still
// holds them. On a thread of its own: journald takes lines at a small
// fraction of the pace a program can print them, and neither the trace nor
// the target may wait for it.
//
// A target's lines are forwarded at the pace journald itself keeps from a
// launcher's stream by default (a burst of 10,000 in 30 s, then the rest of
// the interval is dropped): past that a flood would only be dropped by
// journald after costing it and us a core, and the trace already holds every
// line. What is not forwarded is counted and said in the journal once the
// interval is over.
//
// The entries are sent from our own process through the native protocol; a
// trace reading the journal tells them from the target's own (and so never
// shows a line twice) by that.
class JournalForwarder {
 public:
  static constexpr std::size_t kBurstLines = 10000;
  static constexpr std::chrono::seconds kInterval{30};

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
  struct Batch {
    std::string identifier;
    std::int32_t pid = 0;
    LineBatch lines;
    std::string note;  // said instead of lines, when set
  };
  struct Budget {
    std::chrono::steady_clock::time_point intervalStart;
    std::size_t forwarded = 0;
    std::size_t dropped = 0;
    std::string identifier;
  };
  void run();
  void sayDropped(std::int32_t pid, Budget& budget);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Batch> queue_;
  std::map<std::int32_t, Budget> budgets_;  // by target pid
  bool sending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mf
