// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/journal_capture.h"
#include "platform/journal_reader.h"
#include "platform/system_calls.h"
#include "platform/stream_linger.h"
#include "trace/services.h"

namespace mf {

// One trace's journal road: a thread of its own reads the journal from the
// launch on as journald stores it and hands the entries to the capture,
// which passes on those of the launched tree. Shared by the trace's
// LogProcess and, once that is gone, by the lingering set of its launcher.
class JournalFollower {
 public:
  enum class Stop : int { none = 0, linger = 1, now = 2 };

  // While a trace is live the journal is looked at this often besides the
  // descriptor's notices: journald stores an entry within milliseconds but
  // tells its readers only every 250 ms.
  static constexpr int kLivePollMillis = 5;
  // Entries read in one turn before the loop looks at its stop and its
  // other descriptors again, so a flood never holds it.
  static constexpr int kEntriesPerTurn = 2048;

  JournalFollower(std::unique_ptr<JournalReader> reader, CaptureScope scope, std::unique_ptr<TreeSource> tree,
                  LineBatchSink sink, os::UniqueFd wakeFd);

  bool seesForks() const { return seesForks_; }
  // Main thread; the reader applies it on its next turn.
  void follow(const LaunchedProcess& process);
  void startReading();
  // Until the reader has ended.
  bool isRunning() { return !isDone(); }
  bool isDone();
  void requestStop(Stop stop);
  // See LogProcess::notifyWhenQuiet and LogProcess::notifyOnUnexpectedEnd.
  void notifyWhenQuiet(std::function<void()> callback);
  void notifyOnUnexpectedEnd(std::function<void(std::string)> callback);
  // Ends the reader now and joins it.
  void finish();
  void join();

 private:
  // What the reader carries from one turn of its loop to the next.
  struct Turns {
    Stop stopWhenEnded = Stop::none;
    std::optional<SteadyClock::time_point> lingerStart;
    SteadyClock::time_point lastOutput = SteadyClock::now();
    SteadyClock::time_point nextTick = lastOutput;
  };

  void run();
  bool turn(Turns& turns);
  int lingerWait(Turns& turns, Stop stop);
  int tickDiscovery(Turns& turns);
  bool readStored(Turns& turns);
  void wait(int timeout);
  void finishReading(Stop stopWhenEnded);
  void applyLaunched();
  int callQuietCallbacksIfDue(SteadyClock::time_point lastOutput);

  std::unique_ptr<JournalReader> reader_;  // reader thread only, like capture_
  JournalCapture capture_;
  os::UniqueFd wakeFd_;
  const bool seesForks_;
  std::optional<std::string> failure_;  // reader thread only: why reading stopped
  std::atomic<int> stop_{0};
  std::mutex mutex_;
  std::optional<LaunchedProcess> launched_;  // guarded by mutex_, like what follows
  bool done_ = false;
  std::vector<std::function<void()>> quietCallbacks_;
  std::optional<SteadyClock::time_point> quietSince_;
  std::function<void(std::string)> endCallback_;
  std::optional<std::string> unexpectedEnd_;  // set when done
  std::thread thread_;
};

}  // namespace mf
