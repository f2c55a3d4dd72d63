// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
// line. The queue for the journal holds at most 16 MiB; while journald does
// not keep up (or does not run) what does not fit is dropped too. What is
// not forwarded is counted and said in the journal: when the interval is
// over, when the target's stdout ends, and when this process exits. What the
// journal refused (no journald listening), and what it has still not taken
// when this process exits (lines, and the lines counted in notes still
// queued), is counted on stderr at the exit.
//
// The entries are sent from our own process through the native protocol; a
// trace reading the journal tells them from the target's own (and so never
// shows a line twice) by that.
class JournalForwarder {
 public:
  static constexpr std::size_t kBurstLines = 10000;
  static constexpr std::chrono::seconds kInterval{30};
  static constexpr std::size_t kQueueBytes = std::size_t{16} << 20;
  // What the queue holds for a line besides its text.
  static constexpr std::size_t kLineOverhead = 2 * sizeof(std::size_t);
  // How long an exiting process waits for the journal to take what is queued.
  static constexpr std::chrono::seconds kExitGrace{2};

  // Hands one entry to the journal; may block while the journal is slow.
  // False when the journal refused it.
  using Sender = std::function<bool(const std::string& identifier, std::int32_t pid, std::string_view text)>;

  // One launched target's stdout on its way to the journal. Each launch has
  // its own, so a later process given the same pid starts with a full
  // budget. Destroying it (at the end of the output) says at once what was
  // not forwarded.
  class Source {
   public:
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source();
    // Thread-safe; never blocks on the journal.
    void forward(const LineBatch& lines);

   private:
    friend class JournalForwarder;
    Source(JournalForwarder& forwarder, std::uint64_t key) : forwarder_(forwarder), key_(key) {}
    JournalForwarder& forwarder_;
    std::uint64_t key_;
  };

  // The process-wide one, sending to journald; it says what it still owes
  // when the process exits.
  static JournalForwarder& shared();
  explicit JournalForwarder(Sender send = {}, std::chrono::steady_clock::duration interval = kInterval);
  // Sends what is queued first.
  ~JournalForwarder();
  JournalForwarder(const JournalForwarder&) = delete;
  JournalForwarder& operator=(const JournalForwarder&) = delete;

  std::shared_ptr<Source> open(const std::string& identifier, std::int32_t pid);
  // Waits until everything queued so far was handed to the journal (tests).
  void flush();
  // The most the queue has held, in the bytes it counts (tests).
  std::size_t peakQueuedBytes() const;
  // Says every count still owed and waits up to `grace` for the journal to
  // take the queue; what it did not take is counted on stderr.
  void finish(std::chrono::steady_clock::duration grace);

 private:
  struct Batch {
    std::string identifier;
    std::int32_t pid = 0;
    LineBatch lines;
    std::size_t bytes = 0;  // as counted against kQueueBytes
    std::string note;       // said instead of lines, when set
    std::size_t noteLines = 0;  // the lines the note counts
  };
  struct Budget {
    std::string identifier;
    std::int32_t pid = 0;
    std::chrono::steady_clock::time_point intervalStart;
    std::size_t forwarded = 0;
    std::size_t dropped = 0;
  };
  void forward(std::uint64_t key, const LineBatch& lines);
  void close(std::uint64_t key);
  void sayDropped(Budget& budget);
  void sayDueNotes(std::chrono::steady_clock::time_point now);
  std::optional<std::chrono::steady_clock::time_point> nextNoteDue() const;
  void run();

  const Sender send_;
  const std::chrono::steady_clock::duration interval_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Batch> queue_;
  std::size_t queuedBytes_ = 0;  // including the batch being sent
  std::size_t peakQueuedBytes_ = 0;
  std::size_t refusedLines_ = 0;  // lines, and lines counted in notes, the journal refused
  std::atomic<std::size_t> unsentInFlight_ = 0;  // of the batch being sent, as refusedLines_ counts
  std::map<std::uint64_t, Budget> budgets_;  // by launch
  std::uint64_t nextKey_ = 1;
  bool sending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mf
