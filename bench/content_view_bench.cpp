// Main-thread cost of a chatty trace: batches of log lines delivered to a
// ContentView, classified, stored, and added to the visible rows, with a view
// listening to the change notifications.

#include <benchmark/benchmark.h>

#include <deque>
#include <functional>
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
    InlineQueue queue;
    StepClock clock;
    CountingIds ids;
    CapturingLauncher launcher;
    IdleWorkspace workspace;
    FixedPanel panel;
    NullPasteboard pasteboard;
    mf::ContentView view({queue, clock, ids, launcher, workspace, panel, pasteboard});
    view.setChangeObserver([&](const mf::Change&) { ++notifications; });
    view.chooseApplication();
    view.setFreshLaunch(false);
    view.startTrace();
    for (const auto& batch : batches) {
      launcher.sink(batch);
      queue.drain();
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

}  // namespace
