// SPDX-License-Identifier: GPL-3.0-or-later
// The event store's targets: a million 120-byte ASCII events in at most
// 200 bytes each (ASCII messages need nothing more for search: they are
// searched in place; only non-ASCII ones carry a folded copy), appends that
// stay cheap, and session snapshots that share storage instead of doubling it.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "model/event_list.h"

namespace {

mf::Uuid idFor(std::uint64_t n) {
  std::array<std::uint8_t, 16> bytes{};
  for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(n >> (8 * i));
  return mf::Uuid::fromRandomBytes(bytes);
}

// Resident bytes of the whole process, from /proc/self/statm.
std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

const char* const kSources[] = {"CONSOLE", "FILE", "PERMISSION", "CRASH"};

void BM_AppendMillionEvents(benchmark::State& state) {
  const std::size_t count = static_cast<std::size_t>(state.range(0));
  std::string message(120, 'm');
  std::size_t bytes = 0;
  double residentPerEvent = 0;
  for (auto _ : state) {
    const std::size_t residentBefore = residentBytes();
    mf::EventList events;
    for (std::size_t i = 0; i < count; ++i) {
      message[i % 120] = static_cast<char>('a' + i % 26);
      events.append(idFor(i), 1.7e9 + static_cast<double>(i), mf::EventType::info, kSources[i % 4], message,
                    i % 3 != 0);
    }
    bytes = events.storageBytes();
    residentPerEvent = static_cast<double>(residentBytes() - residentBefore) / static_cast<double>(count);
    benchmark::DoNotOptimize(events);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  // Target: at most 200. bytes_per_event is what the list holds (records,
  // text blocks at their full capacity, tags); rss_bytes_per_event is what
  // the process grew by while the list was filled (pages actually touched).
  state.counters["bytes_per_event"] = static_cast<double>(bytes) / static_cast<double>(count);
  state.counters["rss_bytes_per_event"] = residentPerEvent;
}
BENCHMARK(BM_AppendMillionEvents)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_SnapshotThenAppend(benchmark::State& state) {
  mf::EventList live;
  const std::string message(120, 'x');
  for (std::size_t i = 0; i < 1'000'000; ++i) live.append(idFor(i), 0, mf::EventType::info, "CONSOLE", message, false);
  const std::size_t before = live.storageBytes();
  std::size_t grown = 0;
  for (auto _ : state) {
    mf::EventList session = live;  // what recording a session does
    live.append(idFor(0), 0, mf::EventType::info, "CONSOLE", "late line", false);
    benchmark::DoNotOptimize(session);
    grown = live.storageBytes() - before;
  }
  // Target: a few KiB at most, never a second copy of the million events.
  state.counters["bytes_grown"] = static_cast<double>(grown);
}
BENCHMARK(BM_SnapshotThenAppend)->Iterations(1000);

void BM_IndexOfLastOfMillion(benchmark::State& state) {
  mf::EventList events;
  for (std::size_t i = 0; i < 1'000'000; ++i) events.append(idFor(i), 0, mf::EventType::info, "CONSOLE", "m", false);
  const mf::Uuid last = idFor(999'999);
  for (auto _ : state) benchmark::DoNotOptimize(events.indexOf(last));
}
BENCHMARK(BM_IndexOfLastOfMillion)->Unit(benchmark::kMillisecond);

}  // namespace
