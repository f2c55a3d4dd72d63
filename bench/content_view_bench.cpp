// SPDX-License-Identifier: GPL-3.0-or-later
// Main-thread cost of a chatty trace: batches of log lines delivered to a
// ContentView, classified, stored, and added to the visible rows, with a view
// listening to the change notifications.

#include <benchmark/benchmark.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "bench_services.h"
#include "trace/content_view.h"

namespace {

class StepClock : public mf::Clock {
 public:
  double now() override { return t += 0.001; }
  double t = 1.7e9;
};

class NoProcess : public mf::LogProcess {
 public:
  bool isRunning() const override { return false; }
  void terminate() override {}
};

class CapturingLauncher : public mf::LogStreamLauncher {
 public:
  mf::ArmResult start(const std::string&, mf::LineBatchSink s) override {
    sink = std::move(s);
    return mf::ArmResult{std::make_unique<NoProcess>(), {}};
  }
  mf::LineBatchSink sink;
};

using mf::bench::CountingIds;
using mf::bench::FixedPanel;
using mf::bench::IdleWorkspace;
using mf::bench::InlineQueue;
using mf::bench::NullPasteboard;

// What one ContentView of these benchmarks talks to.
struct ViewWorld {
  InlineQueue queue;
  StepClock clock;
  CountingIds ids;
  CapturingLauncher launcher;
  IdleWorkspace workspace;
  FixedPanel panel;
  mf::bench::NoRemote remote;
  NullPasteboard pasteboard;
  mf::ContentView::Services services() { return {queue, clock, ids, launcher, workspace, remote, panel, pasteboard}; }
};

// One second of a very chatty target: 1000 batches of 1000 lines of which a
// tenth are warnings or errors, the rest routine chatter.
void BM_ContentViewIngestMillionLines(benchmark::State& state) {
  std::vector<mf::LineBatch> batches(1000);
  for (std::size_t b = 0; b < batches.size(); ++b) {
    for (std::size_t i = 0; i < 1000; ++i) {
      const std::size_t n = b * 1000 + i;
      std::string line = "2026-12-06 12:00:00.000000+0000 host Bench[4242]: ";
      line += n % 10 == 0 ? "error: request " : "handled request ";
      line += std::to_string(n);
      line += " in 3 ms, cache hit ratio 0.97, queue depth 12, worker pool steady";
      batches[b].add(line);
    }
  }
  std::size_t notifications = 0;
  for (auto _ : state) {
    ViewWorld world;
    mf::ContentView view(world.services());
    view.setChangeObserver([&](const mf::Change&) { ++notifications; });
    view.chooseApplication();
    view.setFreshLaunch(false);
    view.startTrace();
    for (const auto& batch : batches) {
      world.launcher.sink(batch);
      world.queue.drain();
    }
    benchmark::DoNotOptimize(view.eventCount());
    state.counters["visible"] = static_cast<double>(view.eventCount());
    state.PauseTiming();
    view.stopTrace(false);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1'000'000);
  state.counters["notifications"] = static_cast<double>(notifications);
}
BENCHMARK(BM_ContentViewIngestMillionLines)->Unit(benchmark::kMillisecond)->Iterations(2);

// A million lines of stdout, read at `rate` lines a second, then journal
// lines that arrive 0.4 s after they were written (journald's usual delay),
// a batch of 8 at a time between further stdout batches: each late batch is
// placed among the stdout lines of its last 0.4 s. The stdout lines are the
// program's own words and all visible, so the visible rows move too. Only
// the late batches are timed: what a late line costs on top of an append.
void BM_PlaceLateLinesAtAMillion(benchmark::State& state) {
  const double rate = static_cast<double>(state.range(0));
  constexpr std::size_t kMillion = 1'000'000;
  constexpr std::size_t kBatch = 1000;
  constexpr int kLateBatches = 100;
  constexpr double kLate = 0.4;
  double time = 1.7e9;
  auto stdoutBatch = [&](std::size_t first) {
    mf::LineBatch batch;
    for (std::size_t i = 0; i < kBatch; ++i) {
      time += 1.0 / rate;
      batch.add("handled request " + std::to_string(first + i) + " in 3 ms, cache hit ratio 0.97, queue depth 12",
                mf::LineInfo{mf::LineOrigin::standardOutput, mf::LineInfo::kNoPriority, false, time});
    }
    return batch;
  };
  std::size_t moved = 0;
  bool counting = false;
  for (auto _ : state) {
    state.PauseTiming();
    ViewWorld world;
    auto view = std::make_unique<mf::ContentView>(world.services());
    view->setChangeObserver([&](const mf::Change& change) {
      if (counting && change.has(mf::Change::eventsInserted)) moved += view->events().size() - change.firstChangedEvent;
    });
    view->chooseApplication();
    view->setFreshLaunch(false);
    view->startTrace();
    time = world.clock.t + 1;
    for (std::size_t n = 0; n < kMillion; n += kBatch) {
      world.launcher.sink(stdoutBatch(n));
      world.queue.drain();
    }
    for (int k = 0; k < kLateBatches; ++k) {
      mf::LineBatch late;
      for (int i = 0; i < 8; ++i) {
        late.add("gnome-calculator[4242]: Gtk: theme parsing error " + std::to_string(k * 8 + i),
                 mf::LineInfo{mf::LineOrigin::journal, 4, true, time - kLate + 1e-6 * i});
      }
      counting = true;
      state.ResumeTiming();
      world.launcher.sink(std::move(late));
      world.queue.drain();
      state.PauseTiming();
      counting = false;
      world.launcher.sink(stdoutBatch(kMillion + static_cast<std::size_t>(k) * kBatch));
      world.queue.drain();
    }
    benchmark::DoNotOptimize(view->eventCount());
    view->stopTrace(false);
    view.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kLateBatches);
  // Per late batch: the events after the first moved one (what is rewritten).
  state.counters["events_moved_per_batch"] =
      static_cast<double>(moved) / static_cast<double>(kLateBatches * state.iterations());
}
BENCHMARK(BM_PlaceLateLinesAtAMillion)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
