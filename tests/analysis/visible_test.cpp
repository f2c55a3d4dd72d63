// SPDX-License-Identifier: GPL-3.0-or-later
// Which events the list shows: the raw-log switch, the search (case folding
// under the current locale), the counts, and the incremental index against
// the plain scan.

#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/scan_workers.h"
#include "text/search_fold.h"
#include "analysis/visible.h"
#include "model/event_list.h"
#include "reference/reference_rules.h"
#include "support/cases.h"

namespace mf {
namespace {

struct Row {
  EventType type;
  const char* source;
  std::string message;
  bool noise;
};

void add(EventList& list, const Row& row, double lateBy = 0) {
  list.append(Uuid{}, 1000.0 + static_cast<double>(list.size()) - lateBy, row.type, row.source, row.message, row.noise);
}

using Lines = std::vector<std::string>;

Lines messages(const EventList& list, const std::vector<std::uint32_t>& rows) {
  Lines out;
  for (auto row : rows) out.emplace_back(list[row].message);
  return out;
}

// The default ICU locale for one test; the old one comes back after.
struct ScopedLocale {
  explicit ScopedLocale(const char* name) { uloc_setDefault(name, &status); }
  ~ScopedLocale() { uloc_setDefault(saved.c_str(), &status); }
  std::string saved = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
};

TEST(VisibleEvents, RawLogSwitchAndSearchOverMessageSourceAndLabel) {
  EventList list;
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/visible.tsv")) {
    if (c[0] == "event") {
      EventType type = EventType::info;
      for (auto t : {EventType::warning, EventType::error, EventType::success}) type = label(t) == c[1] ? t : type;
      add(list, {type, c[2].c_str(), c[3], c.size() > 4});
    } else {
      EXPECT_EQ(messages(list, reference::selectVisibleRows(list, c[1] == "raw", c[2])), Lines(c.begin() + 4, c.end()))
          << c[1] << " '" << c[2] << "'";
    }
  }
  EXPECT_EQ(reference::suppressedCount(list), 6u);
  EXPECT_EQ(reference::suppressedCount(EventList()), 0u);
}

class SearchFolding : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(SearchFolding, Matches) {
  const auto& c = GetParam().fields;
  ScopedLocale locale(c[0].c_str());
  const SearchQuery query(c[1]);
  EXPECT_EQ(query.matchesText(c[2], isAscii(c[2]) ? std::string() : foldForSearch(c[2])), c[3] == "yes");
}

INSTANTIATE_TEST_SUITE_P(Table, SearchFolding, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/search.tsv")),
                         testing::caseName);

TEST(SearchFoldingTurkic, TheLabelsFoldAsTheLocaleSays) {
  ScopedLocale turkish("tr_TR");
  ASSERT_TRUE(usesTurkicCaseFolding());
  EventList list;
  add(list, {EventType::info, "CONSOLE", "plain text", false});
  EXPECT_EQ(reference::selectVisibleRows(list, false, "\xC4\xB1nf").size(), 1u) << "the label INFO";
  EXPECT_TRUE(reference::selectVisibleRows(list, false, "inf").empty());
}

// Appends, late events placed among the earlier ones, and filter changes.
TEST(VisibleIndex, StaysEqualToThePlainScanThroughAppendsAndFilterChanges) {
  const std::vector<std::string> words = {"error", "Error:", "warn", "token", "STRASSE", "stra\xC3\x9F" "e",
                                          "kernel", "\xE2\x84\xAA", "ok", "perm", "x", "  "};
  const std::vector<const char*> sources = {"CONSOLE", "PERMISSION", "CRASH", "FILE", "SESSION"};
  const std::vector<std::string> queries = {"",  "e", "er", "err", "ERRO", "error:", "k", "\xE2\x84\xAA" "e",
                                            "s", "ss", "\xC3\x9F", "str", "ok", "o", " x ", "warn", "perm"};
  std::mt19937 rng(11);
  EventList list;
  VisibleIndex index;
  bool raw = false;
  std::string query;
  index.reset(list, raw, query);
  for (int step = 0; step < 3000; ++step) {
    const int action = static_cast<int>(rng() % 10);
    if (action < 6) {
      const std::size_t before = list.size();
      const int count = static_cast<int>(rng() % 4);
      for (int i = 0; i < count; ++i) {
        std::string message = words[rng() % words.size()] + " " + words[rng() % words.size()];
        const double lateBy = rng() % 3 == 0 ? static_cast<double>(rng() % 8) : 0.0;
        add(list, {static_cast<EventType>(rng() % 4), sources[rng() % sources.size()], message, rng() % 2 == 0}, lateBy);
      }
      const std::size_t shown = index.rows().size();
      const std::size_t added = index.appendFrom(list, before);
      EXPECT_EQ(added, index.rows().size() - shown);
      const std::vector<std::uint32_t> rowsBefore = index.rows();
      std::vector<std::size_t> placedAt;
      const std::size_t firstMoved = list.placeByTime(before, &placedAt);
      if (firstMoved < list.size()) {
        const std::size_t firstRow = index.placed(list, before, placedAt);
        ASSERT_TRUE(std::equal(rowsBefore.begin(), rowsBefore.begin() + static_cast<std::ptrdiff_t>(firstRow),
                               index.rows().begin()));
      }
      for (std::size_t i = 1; i < list.size(); ++i) ASSERT_LE(list[i - 1].time, list[i].time);
    } else if (action < 9) {
      // Mostly narrowing steps, so the in-place filter gets exercised.
      const std::string& next = queries[rng() % queries.size()];
      query = (action == 6 && !query.empty()) ? query + next.substr(0, 1) : next;
      index.reset(list, raw, query);
    } else {
      raw = !raw;
      index.reset(list, raw, query);
    }
    ASSERT_EQ(index.rows(), reference::selectVisibleRows(list, raw, query)) << "step " << step << " query '" << query << "'";
    ASSERT_EQ(index.suppressedCount(), reference::suppressedCount(list));
  }
  // Another list of the same length is scanned afresh, not filtered.
  EventList other;
  for (std::size_t i = 0; i < list.size(); ++i) add(other, {EventType::info, "CONSOLE", "other", false});
  index.reset(list, true, "e");
  index.reset(other, true, "ot");
  EXPECT_EQ(index.rows(), reference::selectVisibleRows(other, true, "ot"));
}

// Past some tens of thousands of events a pass is split into parts that run
// on several threads; the joined rows must be the plain scan's, in order, for
// a fresh scan, a narrowing, the raw-log switch and a large append.
TEST(VisibleIndex, AListLargeEnoughToSplitAcrossThreadsGivesThePlainScansRows) {
  const std::vector<std::string> words = {"connect", "Connection", "refused", "token", "TOKEN=abc", "stra\xC3\x9F" "e",
                                          "\xC3\xA9" "chec", "timeout", "ok", "kernel:", "x"};
  std::mt19937 rng(5);
  auto fill = [&](EventList& list, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string message;  // mostly short lines, now and then one that crosses many scan blocks
      for (std::size_t w = rng() % 50 == 0 ? 60 : 1 + rng() % 6; w > 0; --w) message += words[rng() % words.size()] + " ";
      add(list, {static_cast<EventType>(rng() % 4), i % 3 ? "CONSOLE" : "\xC3\x89TAT", message, rng() % 3 == 0});
    }
  };
  EventList list;
  fill(list, 150000);
  VisibleIndex index;
  for (const auto& [raw, query] : std::vector<std::pair<bool, std::string>>{
           {false, ""}, {true, ""}, {true, "c"}, {true, "conn"}, {false, "conn"}, {false, "connect"}, {false, "STRASSE"},
           {true, "\xC3\xA9"}, {true, "\xC3\xA9t"}, {true, "error"}, {true, "zzzz"}, {false, "token="}}) {
    index.reset(list, raw, query);
    ASSERT_EQ(index.rows(), reference::selectVisibleRows(list, raw, query)) << raw << " '" << query << "'";
  }
  const std::size_t before = list.size();
  fill(list, 100000);
  index.appendFrom(list, before);
  EXPECT_EQ(index.rows(), reference::selectVisibleRows(list, false, "token="));
  EXPECT_EQ(index.suppressedCount(), reference::suppressedCount(list));
}

TEST(ScanWorkers, RunsEveryPartOnceWhateverTheCallersAndHelpers) {
  for (std::size_t helpers : {0u, 1u, 3u}) {
    ScanWorkers workers(helpers);
    workers.run(0, [](std::size_t) { FAIL() << "no part to run"; });
    // Two threads asking at once: passes take turns, none loses a part.
    auto pass = [&workers](std::size_t parts) {
      for (int round = 0; round < 200; ++round) {
        std::vector<std::atomic<int>> runs(parts);
        workers.run(parts, [&](std::size_t k) { runs[k].fetch_add(1); });
        for (std::size_t k = 0; k < parts; ++k) ASSERT_EQ(runs[k].load(), 1) << "part " << k;
      }
    };
    std::thread other(pass, 7);
    pass(3);
    other.join();
    // Then the helpers sleep until the next pass: no thread but this one runs.
    int looks = 0;
    for (bool running = true; running && ++looks < 1000; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      running = false;
      for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string stat;
        std::getline(std::ifstream(task.path() / "stat"), stat);
        running = running || (std::stoi(task.path().filename()) != ::gettid() && stat[stat.rfind(')') + 2] == 'R');
      }
    }
    EXPECT_LT(looks, 1000) << helpers << " helpers";
  }
}

}  // namespace
}  // namespace mf
