// SPDX-License-Identifier: GPL-3.0-or-later
// End-to-end intake as a trace runs it, with real parts: a real pipe written
// by a real writer thread, the log stream's reader thread (ChunkPump and
// LineSplitter, one batch per read of up to 64 KiB), the headless main queue,
// and a ContentView that classifies, stores and filters the lines and tells a
// change observer (standing in for the event list view) which events arrived.
//
// Reported, per run of 1,000,000 corpus lines (about 125 bytes each, 5 %
// non-ASCII, 1 % of 1-4 KiB):
//   lines_per_s    lines ingested / wall time from the first write to the
//                  last batch ingested                      target >= 1 M/s
//   max_task_ms    longest task on the main thread (wall)    target <= 8 ms
//   p99_task_ms    99th percentile of the same
//   max_task_cpu_ms  the longest task's work: its thread CPU time (wall
//                  minus the time other processes held the core)
//   probe_*_ms     write -> ingested latency of probe lines written every
//                  10 ms while the flood runs                target <= 50 ms
//
// Three runs: "flood" writes as fast as the pipe takes it (throughput; the
// probes then wait behind whatever is queued), "paced" writes at the target
// rate of 1 M lines/s (latency at the sustained rate the target asks for),
// "short lines" floods 7-byte lines (the most lines a read can hold: the
// longest single task).

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_services.h"
#include "corpus.h"
#include "platform/chunk_pump.h"
#include "platform/system_calls.h"
#include "platform/system_clock.h"
#include "trace/content_view.h"

namespace {

using mf::bench::percentile;
using SteadyClock = std::chrono::steady_clock;
constexpr std::string_view kProbe = "latency probe ";
constexpr std::size_t kLines = 1'000'000;

std::int64_t steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

const std::string& floodText() {
  static const std::string text = mf::bench::CorpusGenerator(5).text(kLines);
  return text;
}

// The worst case for one main-thread task: lines so short that a 64 KiB
// read holds about ten thousand of them.
const std::string& shortLinesText() {
  static const std::string text = [] {
    std::string t;
    for (std::size_t i = 0; i < kLines; ++i) t += "ok " + std::to_string(i % 1000) + "\n";
    return t;
  }();
  return text;
}

// A log stream whose child is a pipe: the reader thread is the program's
// (ChunkPump on a blocking descriptor, as the log stream reads it); the
// benchmark holds the write end.
class PipeLauncher : public mf::LogStreamLauncher {
 public:
  explicit PipeLauncher(mf::MainQueue& queue) : queue_(queue) {}
  ~PipeLauncher() override {
    closeWriteEnd();
    if (reader_.joinable()) reader_.join();
  }

  mf::ArmResult start(const std::string&, mf::LineBatchSink sink) override {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return mf::ArmResult{nullptr, "pipe2 failed"};
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
    reader_ = std::thread([this, sink = std::move(sink)] {
      mf::ChunkPump pump{mf::LineBatcher(sink)};
      while (pump.pumpOnce(readEnd_) != mf::ChunkPump::Result::ended) {
      }
      ::close(readEnd_);
      // Posted after the last batch, so it runs after it.
      queue_.post([this] { ended = true; });
    });
    return mf::ArmResult{std::make_unique<Process>(), {}};
  }

  // Writes all of `bytes`; writers share the pipe under one lock so a probe
  // line never lands inside a flood line.
  void write(std::string_view bytes) {
    std::lock_guard lock(writeMutex_);
    while (!bytes.empty()) {
      const auto n = mf::os::retryOnEintr([&] { return ::write(writeEnd_, bytes.data(), bytes.size()); });
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void closeWriteEnd() {
    std::lock_guard lock(writeMutex_);
    if (writeEnd_ >= 0) ::close(writeEnd_);
    writeEnd_ = -1;
  }

  bool ended = false;  // main thread only

 private:
  struct Process : mf::LogProcess {
    bool isRunning() const override { return true; }
    void terminate() override {}
  };
  mf::MainQueue& queue_;
  std::thread reader_;
  int readEnd_ = -1;
  int writeEnd_ = -1;
  std::mutex writeMutex_;
};

// `linesPerSecond` 0: as fast as the pipe takes it.
void runIntake(benchmark::State& state, double linesPerSecond, const std::string& text) {
  for (auto _ : state) {
    mf::bench::TimedQueue queue;
    mf::SystemClock clock;
    mf::RandomIdSource ids;
    PipeLauncher launcher(queue.inner);
    mf::bench::IdleWorkspace workspace;
    mf::bench::FixedPanel panel;
    mf::bench::NoRemote remote;
    mf::bench::NullPasteboard pasteboard;
    mf::ContentView view({queue, clock, ids, launcher, workspace, remote, panel, pasteboard});

    std::vector<double> probeLatencies;
    std::size_t appendedNotifications = 0;
    view.setChangeObserver([&](const mf::Change& change) {
      if (!change.has(mf::Change::eventsInserted)) return;
      ++appendedNotifications;
      const auto now = steadyNanos();
      const mf::EventList& events = view.events();
      for (std::size_t i = change.firstChangedEvent; i < events.size(); ++i) {
        const std::string_view m = events[i].message;
        if (!m.starts_with(kProbe)) continue;
        std::int64_t sent = 0;
        std::from_chars(m.data() + kProbe.size(), m.data() + m.size(), sent);
        probeLatencies.push_back(static_cast<double>(now - sent) / 1e6);
      }
    });
    view.chooseApplication();
    view.setFreshLaunch(false);
    view.startTrace();
    queue.clear();  // the start's own tasks are not intake
    const std::size_t eventsBefore = view.events().size();

    std::atomic<bool> flooding = true;
    const auto start = SteadyClock::now();
    std::thread writer([&] {
      constexpr std::size_t kBlock = 16 * 1024;
      std::size_t offset = 0;
      std::size_t lines = 0;
      while (offset < text.size()) {
        std::size_t end = std::min(text.size(), offset + kBlock);
        end = text.find('\n', end - 1);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string_view block(text.data() + offset, end - offset);
        lines += static_cast<std::size_t>(std::count(block.begin(), block.end(), '\n'));
        launcher.write(block);
        offset = end;
        if (linesPerSecond > 0) {
          std::this_thread::sleep_until(start + std::chrono::duration_cast<SteadyClock::duration>(
                                                    std::chrono::duration<double>(lines / linesPerSecond)));
        }
      }
      flooding = false;
    });
    std::thread prober([&] {
      auto next = SteadyClock::now();
      while (flooding) {
        const std::string line = std::string(kProbe) + std::to_string(steadyNanos()) + "\n";
        launcher.write(line);
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
      }
      launcher.closeWriteEnd();
    });

    queue.inner.runUntil([&] { return launcher.ended; }, 300);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    writer.join();
    prober.join();
    state.SetIterationTime(seconds);

    const std::size_t ingested = view.events().size() - eventsBefore;
    state.counters["events"] = static_cast<double>(ingested);
    state.counters["lines_per_s"] = static_cast<double>(ingested) / seconds;
    state.counters["max_task_ms"] = percentile(queue.durations, 1.0);
    state.counters["p99_task_ms"] = percentile(queue.durations, 0.99);
    state.counters["max_task_cpu_ms"] = percentile(queue.cpuDurations, 1.0);
    state.counters["tasks"] = static_cast<double>(queue.durations.size());
    state.counters["probes"] = static_cast<double>(probeLatencies.size());
    state.counters["probe_p50_ms"] = percentile(probeLatencies, 0.5);
    state.counters["probe_p99_ms"] = percentile(probeLatencies, 0.99);
    state.counters["probe_max_ms"] = percentile(probeLatencies, 1.0);
    view.stopTrace(false);
  }
}

void BM_PipeIntakeFlood(benchmark::State& state) { runIntake(state, 0, floodText()); }
BENCHMARK(BM_PipeIntakeFlood)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

void BM_PipeIntakePaced(benchmark::State& state) { runIntake(state, 1e6, floodText()); }
BENCHMARK(BM_PipeIntakePaced)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

void BM_PipeIntakeShortLines(benchmark::State& state) { runIntake(state, 0, shortLinesText()); }
BENCHMARK(BM_PipeIntakeShortLines)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace
