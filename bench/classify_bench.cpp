// SPDX-License-Identifier: GPL-3.0-or-later
// Line intake speed: classification of ASCII and non-ASCII lines (beside two
// slow classifiers measured in the same run, to keep the one-pass automaton
// honest), the splitter, and re-filtering a million events when the search
// changes.
//
// The two baselines:
//  - naive: the rules implemented literally (mf::reference::classify: ICU
//    normalisation through UTF-16, a find per table entry, whole words by
//    splitting into pieces, grapheme clusters for the trivial-line test);
//  - find loop: a stricter one, already half optimised: one lower-cased
//    ASCII copy and one find per table entry.
//
// Targets: ASCII >= 5 M lines/s on one core and >= 25x the naive classifier
// (counter naive_ratio; findloop_ratio is reported beside it); non-ASCII
// >= 1 M lines/s with the same results as the ICU rules (counter
// mismatches, must be 0); re-filter of 1,000,000 events <= 30 ms per change.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_tables.h"
#include "reference/reference_rules.h"
#include "text/search_fold.h"
#include "analysis/visible.h"
#include "corpus.h"
#include "model/event_list.h"
#include "text/line_splitter.h"
#include "trace/services.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

std::vector<std::string> corpusLines(std::size_t count, mf::bench::CorpusMix mix, bool wantAscii) {
  mf::bench::CorpusGenerator generator(7, mix);
  std::vector<std::string> lines;
  lines.reserve(count);
  while (lines.size() < count) {
    std::string line = generator.nextLine();
    if (mf::isAscii(line) == wantAscii) lines.push_back(std::move(line));
  }
  return lines;
}

// The stricter baseline: a lower-cased copy and one find per table entry,
// every table, every line.
struct NaiveResult {
  int type;
  int source;
  bool noise;
};
NaiveResult findLoopClassify(const std::string& line) {
  std::string lower(line);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto count = [&](std::span<const std::string_view> table) {
    int hits = 0;
    for (auto entry : table) hits += lower.find(entry) != std::string::npos ? 1 : 0;
    return hits;
  };
  const int error = count(mf::tables::errorMarkers);
  const int warning = count(mf::tables::warningMarkers);
  const int permission = count(mf::tables::permissionMarkers);
  const int crash = count(mf::tables::crashMarkers);
  const int file = count(mf::tables::fileMarkers);
  const int noise = count(mf::tables::headerMarkers) + count(mf::tables::preferenceMarkers) +
                    count(mf::tables::subsystemMarkers) + count(mf::tables::frameworkMarkers);
  const bool word = lower.find("error") != std::string::npos || lower.find("fault") != std::string::npos;
  return {error ? 2 : (warning || word) ? 1 : 0, permission ? 1 : crash ? 2 : file ? 3 : 0, noise > 0};
}

// Seconds per line of `classify` over `lines`, run for at least `minSeconds`.
template <typename Lines, typename F>
double secondsPerLine(const Lines& lines, double minSeconds, F&& classify) {
  const auto start = SteadyClock::now();
  std::size_t processed = 0;
  while (std::chrono::duration<double>(SteadyClock::now() - start).count() < minSeconds) {
    for (const auto& line : lines) benchmark::DoNotOptimize(classify(line));
    processed += lines.size();
  }
  return std::chrono::duration<double>(SteadyClock::now() - start).count() / static_cast<double>(processed);
}

bool sameResult(const mf::Classification& a, const mf::Classification& b) {
  return a.type == b.type && a.source == b.source && a.isRoutineNoise == b.isRoutineNoise;
}

constexpr std::string_view kBundle = "com.example.demo";

void BM_ClassifyAsciiLines(benchmark::State& state) {
  const auto lines = corpusLines(100'000, {.journalLines = 30, .nonAsciiLines = 0, .longLines = 0}, true);
  std::vector<std::string_view> trimmed;
  for (const auto& line : lines) trimmed.push_back(mf::trimWhitespace(line));
  const mf::LineClassifier classifier(kBundle);

  std::size_t processed = 0;
  const auto start = SteadyClock::now();
  for (auto _ : state) {
    for (auto line : trimmed) benchmark::DoNotOptimize(classifier.classify(line));
    processed += trimmed.size();
  }
  const double fastPerLine = std::chrono::duration<double>(SteadyClock::now() - start).count() / static_cast<double>(processed);

  // Both baselines over the same lines, in the same run (the literal rules
  // over the first 10,000: they are slow enough to need no more).
  const std::span<const std::string_view> some(trimmed.data(), 10'000);
  const double naivePerLine =
      secondsPerLine(some, 0.5, [](std::string_view line) { return mf::reference::classify(line, kBundle); });
  const double findLoopPerLine = secondsPerLine(lines, 0.5, findLoopClassify);

  std::size_t mismatches = 0;
  for (auto line : some) mismatches += sameResult(classifier.classify(line), mf::reference::classify(line, kBundle)) ? 0 : 1;

  state.SetItemsProcessed(static_cast<std::int64_t>(processed));
  state.counters["ns_per_line"] = fastPerLine * 1e9;
  state.counters["naive_ns_per_line"] = naivePerLine * 1e9;
  state.counters["naive_ratio"] = naivePerLine / fastPerLine;
  state.counters["findloop_ns_per_line"] = findLoopPerLine * 1e9;
  state.counters["findloop_ratio"] = findLoopPerLine / fastPerLine;
  state.counters["mismatches"] = static_cast<double>(mismatches);
}
BENCHMARK(BM_ClassifyAsciiLines)->Unit(benchmark::kMillisecond);

void BM_ClassifyNonAsciiLines(benchmark::State& state) {
  const auto lines = corpusLines(20'000, {.journalLines = 0, .nonAsciiLines = 100, .longLines = 0}, false);
  std::vector<std::string_view> trimmed;
  for (const auto& line : lines) trimmed.push_back(mf::trimWhitespace(line));
  const mf::LineClassifier classifier(kBundle);
  for (auto _ : state) {
    for (auto line : trimmed) benchmark::DoNotOptimize(classifier.classify(line));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines.size()));

  // Every line's result against the ICU rules, and their speed beside ours.
  std::size_t mismatches = 0;
  for (auto line : trimmed) mismatches += sameResult(classifier.classify(line), mf::reference::classify(line, kBundle)) ? 0 : 1;
  const double fastPerLine = secondsPerLine(trimmed, 0.2, [&](std::string_view line) { return classifier.classify(line); });
  const double naivePerLine =
      secondsPerLine(std::span<const std::string_view>(trimmed.data(), 5'000), 0.3,
                     [](std::string_view line) { return mf::reference::classify(line, kBundle); });
  state.counters["ns_per_line"] = fastPerLine * 1e9;
  state.counters["naive_ratio"] = naivePerLine / fastPerLine;
  state.counters["mismatches"] = static_cast<double>(mismatches);
}
BENCHMARK(BM_ClassifyNonAsciiLines)->Unit(benchmark::kMillisecond);

void BM_SplitterThroughput(benchmark::State& state) {
  const std::string text = mf::bench::CorpusGenerator(3).text(100'000);
  constexpr std::size_t kChunk = 64 * 1024;
  mf::LineBatch batch;
  std::size_t lines = 0;
  for (auto _ : state) {
    mf::LineSplitter splitter;
    for (std::size_t offset = 0; offset < text.size(); offset += kChunk) {
      batch.clear();
      splitter.feed(std::string_view(text).substr(offset, kChunk), batch);
      lines += batch.size();
    }
    batch.clear();
    splitter.finish(batch);
    lines += batch.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(lines));
}
BENCHMARK(BM_SplitterThroughput)->Unit(benchmark::kMillisecond);

// Classify-and-ingest, as a trace does it: splitter output to the event list.
void BM_IngestBatches(benchmark::State& state) {
  const std::string text = mf::bench::CorpusGenerator(5).text(100'000);
  struct Ids : mf::IdSource {
    mf::Uuid next() override { return mf::Uuid::fromRandomBytes({static_cast<std::uint8_t>(++n)}); }
    unsigned n = 0;
  } ids;
  struct Now : mf::Clock {
    double now() override { return 1.7e9; }
  } clock;
  std::size_t lines = 0;
  for (auto _ : state) {
    mf::EventList events;
    mf::LineSplitter splitter;
    mf::LineBatch batch;
    for (std::size_t offset = 0; offset < text.size(); offset += 64 * 1024) {
      batch.clear();
      splitter.feed(std::string_view(text).substr(offset, 64 * 1024), batch);
      mf::ingestLines(batch, "com.example.demo", events, ids, clock);
    }
    lines += events.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(lines));
}
BENCHMARK(BM_IngestBatches)->Unit(benchmark::kMillisecond);

const mf::EventList& millionEvents() {
  static const mf::EventList events = [] {
    mf::bench::CorpusGenerator generator(11);
    const mf::LineClassifier classifier("com.example.demo");
    mf::EventList list;
    for (std::uint64_t i = 0; i < 1'000'000; ++i) {
      const std::string line = generator.nextLine();
      const auto trimmed = mf::trimWhitespace(line);
      const auto c = classifier.classify(trimmed);
      std::array<std::uint8_t, 16> bytes{};
      for (int k = 0; k < 8; ++k) bytes[static_cast<std::size_t>(8 + k)] = static_cast<std::uint8_t>(i >> (8 * k));
      list.append(mf::Uuid::fromRandomBytes(bytes), 1.7e9, c.type, c.source, trimmed, c.isRoutineNoise);
    }
    return list;
  }();
  return events;
}

// Each iteration is one change of the search text that needs a full pass
// (alternating unrelated queries), over 1,000,000 events with the raw log on.
void BM_SearchRefilterMillion(benchmark::State& state) {
  const mf::EventList& events = millionEvents();
  const char* const queries[] = {"timeout", "Token", "\xC3\xA9\x63hec", "permission"};
  mf::VisibleIndex index;
  std::size_t q = 0;
  for (auto _ : state) {
    index.reset(events, true, queries[q++ % 4]);
    benchmark::DoNotOptimize(index.rows().data());
  }
  state.counters["rows"] = static_cast<double>(index.rows().size());
}
BENCHMARK(BM_SearchRefilterMillion)->Unit(benchmark::kMillisecond);

// Typing one more letter: the previous rows are filtered, not the list.
void BM_SearchNarrowMillion(benchmark::State& state) {
  const mf::EventList& events = millionEvents();
  mf::VisibleIndex index;
  for (auto _ : state) {
    state.PauseTiming();
    index.reset(events, true, "e");
    state.ResumeTiming();
    index.reset(events, true, "er");
    benchmark::DoNotOptimize(index.rows().data());
  }
}
BENCHMARK(BM_SearchNarrowMillion)->Unit(benchmark::kMillisecond);

}  // namespace
