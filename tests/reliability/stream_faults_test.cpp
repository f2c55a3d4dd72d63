// SPDX-License-Identifier: GPL-3.0-or-later
// What reaches the user when a target's output floods: an endless line, a
// million lines. Real child processes and real pipes; no journal in the loop
// (direct capture), so nothing upstream rate-limits or rewrites the bytes.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform_test_support.h"
#include "text/line_splitter.h"

namespace mf {
namespace {

using testing::TempDir;
using testing::Window;

TEST(Flood, AnEndlessLineIsCutIntoBoundedLinesAndNoByteIsLost) {
  // 16 MiB without a newline: the user gets it as one-MiB pieces, in order.
  TempDir dir;
  const auto script = dir.write("endless", "#!/bin/sh\nhead -c 16777216 /dev/zero | tr '\\000' 'a'\nprintf 'b%.0s' $(seq 1 10)\n", true);
  Window window(testing::withoutJournal());
  window.choose(script.string());
  window.view.setShowRawLog(true);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); }, 120)) << window.dump();

  // The target's bytes, joined again, are exactly what it wrote; no piece is
  // longer than the bound of one pending line.
  const auto& events = window.view.events();
  std::string joined;
  std::size_t pieces = 0;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const auto event = events[i];
    if (event.source != "CONSOLE") continue;
    ++pieces;
    longest = std::max(longest, event.message.size());
    joined.append(event.message);
  }
  constexpr std::size_t kMiB = 1024 * 1024;
  EXPECT_EQ(joined.size(), 16 * kMiB + 10) << window.dump(8);
  EXPECT_EQ(joined.find_first_not_of('a'), 16 * kMiB);
  EXPECT_EQ(joined.substr(16 * kMiB), std::string(10, 'b'));
  EXPECT_EQ(pieces, 17u) << window.dump(30);
  EXPECT_EQ(longest, LineSplitter::kDefaultMaxPendingLine);
}

TEST(Flood, AMillionLinesThroughDirectCaptureArriveOnceEachInOrder) {
  constexpr long kLines = 1'000'000;
  TempDir dir;
  const auto demo = testing::demoEntry(dir, "--flood " + std::to_string(kLines));
  Window window(testing::withoutJournal());
  window.choose(demo.entry);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.ended(); }, 600)) << window.dump();

  // Every numbered line exactly once, in order, none split or merged. The
  // stderr lines of the story may come among them (stdout and stderr are
  // two streams, in arrival order); nothing else of stdout may.
  const auto& events = window.view.events();
  long expected = 1;
  std::size_t firstFlood = events.size();
  std::size_t lastFlood = 0;
  std::size_t strangers = 0;
  std::string problem;
  char want[32];
  for (std::size_t i = 0; i < events.size() && problem.empty(); ++i) {
    const auto message = events[i].message;
    if (message.rfind("flood line ", 0) != 0) {
      if (lastFlood > 0 && events[i].origin == LineOrigin::standardOutput) ++strangers;
      continue;
    }
    std::snprintf(want, sizeof want, "flood line %ld", expected);
    if (message != want) problem = "event " + std::to_string(i) + " is '" + std::string(message) + "', expected '" + want + "'";
    firstFlood = std::min(firstFlood, i);
    lastFlood = i;
    ++expected;
  }
  EXPECT_EQ(problem, "");
  EXPECT_EQ(expected - 1, kLines);
  EXPECT_EQ(strangers, 0u) << "other stdout lines among the flood";
  // The story before, the end after: nothing of the target's own lost.
  EXPECT_LT(window.indexOf("Ready for work"), firstFlood);
  EXPECT_GT(window.indexOf(demo.name + " terminated"), lastFlood);
  EXPECT_EQ(window.count(" terminated"), 1u);
  ASSERT_EQ(window.view.sessions().size(), 1u);
  EXPECT_EQ(window.view.sessions()[0].events.size(), events.size());
}

}  // namespace
}  // namespace mf
