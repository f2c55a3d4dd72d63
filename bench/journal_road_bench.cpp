// SPDX-License-Identifier: GPL-3.0-or-later
// The journal road, end to end: a real child writes to the journal (a
// native entry, a syslog datagram, a line on its stderr stream) and a
// ContentView on the Linux platform services takes it in; beside it, in the
// same run, journald's own store latency; and what a live trace costs while
// nothing arrives and under a flood.
//
// Reported:
//   probe_p50_ms / probe_p99_ms   write -> event ingested (the main thread
//                  took it in), 200 probes 10 ms apart   target p99 <= 50 ms
//   floor_p50_ms / floor_p99_ms   write -> seen by a reader of our own that
//                  looks at the journal every 0.1 ms: journald's store
//                  latency, which no reader can beat
//   cpu_percent    CPU of the whole process (reader thread, capture) over
//                  its wall time, in % of one core: a live trace with
//                  nothing of its tree arriving         target <= 1 %
//                  (the machine's other entries are still read); under a
//                  flood of 100,000 native lines/s for 10 s
//   lost           flood lines journald stored that the trace did not show,
//                  shown twice or out of order                   must be 0
//   stored         flood lines journald stored (its rate limit drops the
//                  rest, and says so)

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_services.h"
#include "platform/linux_workspace.h"
#include "platform/log_stream.h"
#include "platform/system_clock.h"
#include "trace/content_view.h"

namespace {

using mf::bench::percentile;
using SteadyClock = std::chrono::steady_clock;
constexpr std::string_view kProbe = "latency probe ";
constexpr std::string_view kFlood = "flood line ";
constexpr const char* kTransports[] = {"native", "syslog", "stderr"};

std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::uint64_t realtimeMicros() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000ULL + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// The probes' latency as a reader that looks every 0.1 ms sees it: from the
// moment it opens until stop().
class StoreFloor {
 public:
  StoreFloor() {
    if (sd_journal_open(&journal_, SD_JOURNAL_LOCAL_ONLY) < 0) return;
    sd_journal_seek_realtime_usec(journal_, realtimeMicros());
    thread_ = std::thread([this] { run(); });
  }
  ~StoreFloor() { stop(); }
  std::vector<double> stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (journal_) sd_journal_close(journal_);
    journal_ = nullptr;
    return latencies_;
  }

 private:
  void run() {
    while (!stopping_) {
      sd_journal_process(journal_);
      while (sd_journal_next(journal_) > 0) {
        const void* data = nullptr;
        std::size_t length = 0;
        if (sd_journal_get_data(journal_, "MESSAGE", &data, &length) < 0) continue;
        const std::string_view message(static_cast<const char*>(data), length);
        const auto at = message.find(kProbe);
        if (at == std::string_view::npos) continue;
        const auto now = monotonicNanos();
        std::int64_t sent = 0;
        std::from_chars(message.data() + at + kProbe.size(), message.data() + message.size(), sent);
        latencies_.push_back(static_cast<double>(now - sent) / 1e6);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  sd_journal* journal_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::vector<double> latencies_;
  std::thread thread_;
};

std::string writeEntry(const std::string& args) {
  const std::string path = "/tmp/marrowfield-bench-" + std::to_string(::getpid()) + "-road.desktop";
  std::FILE* file = std::fopen(path.c_str(), "w");
  std::fprintf(file, "[Desktop Entry]\nType=Application\nName=bench\nExec=%s %s\n", MARROWFIELD_JOURNAL_PROGRAM,
               args.c_str());
  std::fclose(file);
  return path;
}

void BM_JournalRoadLatency(benchmark::State& state) {
  if (mf::journalUnavailableReason()) {
    state.SkipWithError("no systemd-journald is running");
    return;
  }
  constexpr int kProbes = 200;
  const std::string how = kTransports[state.range(0)];
  std::vector<double> probeMs;
  std::vector<double> floorMs;
  bool ended = false;
  for (auto _ : state) {
    mf::bench::TimedQueue queue;
    mf::SystemClock clock;
    mf::RandomIdSource ids;
    mf::JournalLogStreamLauncher logStreams;
    mf::LinuxWorkspace workspace(queue);
    const std::string entry = writeEntry("probes " + how + " " + std::to_string(kProbes) + " 10");
    mf::bench::FixedPanel panel(entry);
    mf::bench::NullPasteboard pasteboard;
    mf::bench::NoRemote remote;
    mf::ContentView view({queue, clock, ids, logStreams, workspace, remote, panel, pasteboard});
    view.setChangeObserver([&](const mf::Change& change) {
      if (!change.has(mf::Change::eventsInserted)) return;
      const auto now = monotonicNanos();
      const mf::EventList& events = view.events();
      for (std::size_t i = change.firstChangedEvent; i < events.size(); ++i) {
        const std::string_view m = events[i].message;
        if (const auto at = m.find(kProbe); at != std::string_view::npos) {
          std::int64_t sent = 0;
          std::from_chars(m.data() + at + kProbe.size(), m.data() + m.size(), sent);
          probeMs.push_back(static_cast<double>(now - sent) / 1e6);
        }
      }
    });
    StoreFloor floor;
    view.chooseApplication();
    view.setFreshLaunch(false);
    view.startTrace();
    queue.inner.runUntil([&] { return view.statusText() == "Process ended" && probeMs.size() >= kProbes; }, 60);
    ended = view.statusText() == "Process ended";
    floorMs = floor.stop();
    std::remove(entry.c_str());
  }
  state.counters["probe_p50_ms"] = percentile(probeMs, 0.5);
  state.counters["probe_p99_ms"] = percentile(probeMs, 0.99);
  state.counters["floor_p50_ms"] = percentile(floorMs, 0.5);
  state.counters["floor_p99_ms"] = percentile(floorMs, 0.99);
  state.counters["lost"] = static_cast<double>(kProbes - static_cast<int>(probeMs.size()));
  if (!ended) state.SkipWithError("the trace did not end");
}
BENCHMARK(BM_JournalRoadLatency)->DenseRange(0, 2)->ArgName("transport")->Iterations(1)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

pid_t spawn(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0 ? pid : -1;
}

// Flood lines the trace took in: how many, and how many came twice or out
// of order.
struct FloodCount {
  std::mutex mutex;
  std::size_t lines = 0;
  std::size_t disorder = 0;
  std::size_t last = 0;
};

// Lines journald stored from `pid` since `since`.
std::size_t storedLinesOf(pid_t pid, std::uint64_t since) {
  sd_journal* journal = nullptr;
  if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return 0;
  const std::string match = "_PID=" + std::to_string(pid);
  sd_journal_add_match(journal, match.data(), match.size());
  sd_journal_seek_realtime_usec(journal, since);
  std::size_t count = 0;
  while (sd_journal_next(journal) > 0) {
    const void* data = nullptr;
    std::size_t length = 0;
    if (sd_journal_get_data(journal, "MESSAGE", &data, &length) >= 0 &&
        std::string_view(static_cast<const char*>(data), length).find(kFlood) != std::string_view::npos) {
      ++count;
    }
  }
  sd_journal_close(journal);
  return count;
}

// Arg 0: a live trace of a process that writes nothing, for 10 s; arg 1:
// a flood of 100,000 lines/s for 10 s.
void BM_JournalRoadCpu(benchmark::State& state) {
  if (mf::journalUnavailableReason()) {
    state.SkipWithError("no systemd-journald is running");
    return;
  }
  const bool flood = state.range(0) == 1;
  double cpuPercent = 0;
  std::size_t stored = 0;
  auto count = std::make_shared<FloodCount>();
  for (auto _ : state) {
    mf::JournalLogStreamLauncher launcher;
    auto stream = launcher.start("journal-program", [count](mf::LineBatch batch) {
      std::lock_guard lock(count->mutex);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::string_view m = batch[i];
        const auto at = m.find(kFlood);
        if (at == std::string_view::npos) continue;
        std::size_t n = 0;
        std::from_chars(m.data() + at + kFlood.size(), m.data() + m.size(), n);
        if (n <= count->last) ++count->disorder;
        count->last = n;
        ++count->lines;
      }
    });
    if (!stream.process) {
      state.SkipWithError(stream.errorDescription.c_str());
      return;
    }
    const std::uint64_t since = realtimeMicros();
    const pid_t pid = flood ? spawn({MARROWFIELD_JOURNAL_PROGRAM, "flood", "100000", "10"}) : spawn({"sleep", "10"});
    stream.process->follow(mf::LaunchedProcess{pid, ""});
    const double cpuStart = mf::bench::cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = SteadyClock::now();
    int status = 0;
    ::waitpid(pid, &status, 0);
    // The flood's last lines may still be on their way: until the trace has
    // brought nothing new for a second.
    for (std::size_t before = SIZE_MAX; flood;) {
      std::size_t now = 0;
      {
        std::lock_guard lock(count->mutex);
        now = count->lines;
      }
      if (now == before) break;
      before = now;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const double wallMs = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    cpuPercent = 100.0 * (mf::bench::cpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart) / wallMs;
    stream.process.reset();
    if (flood) stored = storedLinesOf(pid, since);
  }
  state.counters["cpu_percent"] = cpuPercent;
  if (flood) {
    state.counters["stored"] = static_cast<double>(stored);
    state.counters["shown"] = static_cast<double>(count->lines);
    state.counters["lost"] = static_cast<double>(stored - std::min(stored, count->lines) + count->disorder);
  }
}
BENCHMARK(BM_JournalRoadCpu)->DenseRange(0, 1)->ArgName("flood")->Iterations(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
