// SPDX-License-Identifier: GPL-3.0-or-later
// The search field over a million events, as a user drives it: through
// ContentView::setSearchText / setShowRawLog (the rows are recomputed and the
// views told), one change at a time:
//   type "conne" letter by letter, extend it to "connect", clear it, turn
//   the raw log on, type "Token", turn the raw log off, clear it.
//
// Reported: max_change_ms and mean_change_ms (wall; target <= 30 ms each),
// max_change_cpu_ms (the same change's CPU time on all threads: its work,
// without the time other processes held the cores; a pass over many events
// is shared between threads, so this can exceed the wall time),
// allocations_per_change (heap allocations during one change: a handful for
// the row vector, never one per event) and rows after the last typed query.

#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "bench_services.h"
#include "corpus.h"
#include "trace/content_view.h"

// Counts heap allocations, so a change that allocates per event shows. A
// relaxed atomic increment is all it adds to an allocation.
namespace {
std::atomic<std::size_t> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that operator new above is malloc, and says so.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using SteadyClock = std::chrono::steady_clock;

class FixedClock : public mf::Clock {
 public:
  double now() override { return 1.7e9; }
};

// Keeps the trace's sink, through which the corpus goes in as a stream's would.
class CapturingStreams : public mf::LogStreamLauncher {
 public:
  mf::ArmResult start(const std::string&, mf::LineBatchSink s) override {
    sink = std::move(s);
    return mf::ArmResult{nullptr, "none"};
  }
  mf::LineBatchSink sink;
};

void BM_SearchTypingAtAMillion(benchmark::State& state) {
  mf::bench::InlineQueue queue;
  FixedClock clock;
  mf::bench::CountingIds ids;
  CapturingStreams streams;
  mf::bench::IdleWorkspace workspace;
  mf::bench::FixedPanel panel;
  mf::bench::NullPasteboard pasteboard;
  mf::bench::NoRemote remote;
  mf::ContentView view({queue, clock, ids, streams, workspace, remote, panel, pasteboard});
  {
    view.chooseApplication();
    view.setFreshLaunch(false);
    view.startTrace();
    mf::bench::CorpusGenerator generator(11);
    for (int b = 0; b < 2000; ++b) {
      mf::LineBatch batch;
      for (int i = 0; i < 500; ++i) batch.add(generator.nextLine());
      streams.sink(std::move(batch));
      queue.drain();
    }
  }
  std::size_t notifications = 0;
  view.setChangeObserver([&](const mf::Change&) { ++notifications; });

  const std::vector<std::function<void()>> changes = {
      [&] { view.setSearchText("c"); },       [&] { view.setSearchText("co"); },
      [&] { view.setSearchText("con"); },     [&] { view.setSearchText("conn"); },
      [&] { view.setSearchText("conne"); },   [&] { view.setSearchText("connect"); },
      [&] { view.setSearchText(""); },        [&] { view.setShowRawLog(true); },
      [&] { view.setSearchText("T"); },       [&] { view.setSearchText("To"); },
      [&] { view.setSearchText("Tok"); },     [&] { view.setSearchText("Toke"); },
      [&] { view.setSearchText("Token"); },   [&] { view.setShowRawLog(false); },
      [&] { view.setSearchText(""); },
  };
  double maxMs = 0;
  double maxCpuMs = 0;
  double totalMs = 0;
  std::size_t changed = 0;
  std::size_t allocated = 0;
  double rows = 0;
  for (auto _ : state) {
    for (const auto& change : changes) {
      const std::size_t before = allocations.load(std::memory_order_relaxed);
      const auto start = SteadyClock::now();
      const double cpuStart = mf::bench::cpuMs(CLOCK_PROCESS_CPUTIME_ID);
      change();
      const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
      maxCpuMs = std::max(maxCpuMs, mf::bench::cpuMs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart);
      allocated += allocations.load(std::memory_order_relaxed) - before;
      maxMs = std::max(maxMs, ms);
      totalMs += ms;
      ++changed;
      if (view.searchText() == "Token" && view.showRawLog()) rows = static_cast<double>(view.eventCount());
    }
  }
  state.counters["events"] = static_cast<double>(view.events().size());
  state.counters["max_change_ms"] = maxMs;
  state.counters["max_change_cpu_ms"] = maxCpuMs;
  state.counters["mean_change_ms"] = totalMs / static_cast<double>(changed);
  state.counters["allocations_per_change"] = static_cast<double>(allocated) / static_cast<double>(changed);
  state.counters["rows_token_raw"] = rows;
  state.counters["notifications"] = static_cast<double>(notifications);
}
BENCHMARK(BM_SearchTypingAtAMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
