// SPDX-License-Identifier: GPL-3.0-or-later
// What reaches the user when a target's output is hostile: a flood, an
// endless line, NUL bytes, broken UTF-8, characters cut by read boundaries.
// Real child processes and real pipes; no journal in the loop (direct
// capture), so nothing upstream rate-limits or rewrites the bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "platform/chunk_pump.h"
#include "platform/posix_io.h"
#include "reliability_support.h"

namespace mf {
namespace {

using reliability::Window;
using testing::TempDir;

// Writes all of `bytes` to `fd`.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto wrote = posix::retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    ASSERT_GT(wrote, 0);
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

// Feeds `pieces` through the real reader on a real pipe, one read() per
// piece, so every piece boundary is a read boundary. Returns the lines.
std::vector<std::string> readPieces(const std::vector<std::string>& pieces) {
  auto pipe = posix::makePipe();
  std::vector<std::string> lines;
  ChunkPump pump([&](LineBatch batch) {
    for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  });
  for (const auto& piece : pieces) {
    writeAll(pipe.writeEnd.get(), piece);
    EXPECT_EQ(pump.pumpOnce(pipe.readEnd.get()), ChunkPump::Result::more);
  }
  pipe.writeEnd.reset();
  EXPECT_EQ(pump.pumpOnce(pipe.readEnd.get()), ChunkPump::Result::ended);
  return lines;
}

std::vector<std::string> readWhole(const std::string& bytes) { return readPieces({bytes}); }

std::vector<std::string> readByteByByte(const std::string& bytes) {
  std::vector<std::string> pieces;
  for (char c : bytes) pieces.emplace_back(1, c);
  return pieces.empty() ? std::vector<std::string>{} : readPieces(pieces);
}

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(HostileBytes, InvalidUtf8NulAndCutCharactersArriveAsTheSameLinesWhateverTheReads) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const std::string R = kReplacement;
  const std::vector<Case> cases = {
      {"NUL bytes stay in the line", std::string("a\0b\0\n", 5) + "c\n", {std::string("a\0b\0", 4), "c"}},
      {"a lone continuation byte", "x\x80y\n", {"x" + R + "y"}},
      {"continuation bytes in a row, one each", "\x80\xBF\n", {R + R}},
      {"C0 and C1 can never start a character", "\xC0\x80|\xC1\xBF\n", {R + R + "|" + R + R}},
      {"an overlong three-byte form", "\xE0\x80\x80\n", {R + R + R}},
      {"an overlong four-byte form", "\xF0\x80\x80\x80\n", {R + R + R + R}},
      {"a UTF-16 surrogate", "\xED\xA0\x80\n", {R + R + R}},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80\n", {R + R + R + R}},
      {"F5 to FF are never UTF-8", "\xF5\xF8\xFC\xFE\xFF\n", {R + R + R + R + R}},
      {"a sequence cut short by ASCII is one replacement", "\xE2\x82" "A\n", {R + "A"}},
      {"a sequence cut short by a newline", "\xF0\x9F\x98\nz\n", {R, "z"}},
      {"a sequence cut short by the end of the stream", "tail\xE2\x82", {"tail" + R}},
      {"valid characters survive between broken ones", "\xFF\xC3\xA9\xFF\n", {R + "\xC3\xA9" + R}},
      {"CR LF is one separator, NEL LS PS separate", "a\r\nb\xC2\x85" "c\xE2\x80\xA8" "d\xE2\x80\xA9" "e", {"a", "b", "c", "d", "e"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readWhole(c.bytes), c.lines) << c.what;
    EXPECT_EQ(readByteByByte(c.bytes), c.lines) << c.what << " (one byte per read)";
  }

  // Every character length, cut at every position inside it, including a
  // separator character cut in two.
  for (const std::string character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x80\xA8"}) {
    const bool isSeparator = character == "\xE2\x80\xA8";
    for (std::size_t cut = 1; cut < character.size(); ++cut) {
      const auto lines = readPieces({"left" + character.substr(0, cut), character.substr(cut) + "right\n"});
      const std::vector<std::string> expected =
          isSeparator ? std::vector<std::string>{"left", "right"} : std::vector<std::string>{"left" + character + "right"};
      EXPECT_EQ(lines, expected) << "cut after byte " << cut << " of a " << character.size() << "-byte character";
    }
  }
}

TEST(HostileBytes, AnEndlessLineIsCutIntoBoundedLinesAndNoByteIsLost) {
  // 16 MiB without a newline, written by a real target whose output is read
  // directly (no journal): the user gets it as one-MiB pieces, in order.
  TempDir dir;
  const auto script = dir.write("endless", "#!/bin/sh\nhead -c 16777216 /dev/zero | tr '\\000' 'a'\nprintf 'b%.0s' $(seq 1 10)\n", true);
  Window window(reliability::withoutJournal());
  window.choose(script.string());
  window.view.setShowRawLog(true);
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; }, 120)) << window.dump();

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
  EXPECT_TRUE(window.find("Could not arm unified log stream: the systemd journal is not running"));
  ASSERT_EQ(window.view.sessions().size(), 1u);
}

TEST(Flood, AMillionLinesThroughDirectCaptureArriveOnceEachInOrder) {
  constexpr long kLines = 1'000'000;
  TempDir dir;
  const auto link = testing::privateDemo(dir, "flood");
  const auto entry = testing::writeDemoDesktopEntry(dir, link.filename(), link,
                                                    "--bundle-id " + link.filename().string() + " --flood " +
                                                        std::to_string(kLines));
  Window window(reliability::withoutJournal());
  window.choose(entry.string());
  const auto started = std::chrono::steady_clock::now();
  window.view.startTrace();
  ASSERT_TRUE(window.runUntil([&] { return window.view.status().kind == TraceStatus::Kind::processEnded; }, 600)) << window.dump();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

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
  EXPECT_GT(window.indexOf(link.filename().string() + " terminated"), lastFlood);
  EXPECT_EQ(window.count(" terminated"), 1u);
  EXPECT_FALSE(window.find("exited with status"));
  ASSERT_EQ(window.view.sessions().size(), 1u);
  EXPECT_EQ(window.view.sessions()[0].events.size(), events.size());

  std::printf("[ measured ] %ld lines in %.2f s; %zu main-thread tasks, longest %.1f ms\n", kLines, seconds,
              window.queue.tasksRun, window.queue.longestTaskSeconds * 1000);
  ::testing::Test::RecordProperty("flood_seconds", std::to_string(seconds));
  ::testing::Test::RecordProperty("longest_main_task_ms", std::to_string(window.queue.longestTaskSeconds * 1000));
}

}  // namespace
}  // namespace mf
