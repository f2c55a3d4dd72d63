// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream splitter (the cases of cases/split.tsv, chunking that never
// changes the lines) and what a terminal
// would show of a line (cases/terminal.tsv).

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "reference/reference_rules.h"
#include "support/cases.h"
#include "text/line_splitter.h"
#include "text/terminal_line.h"
#include "text/utf8.h"

namespace mf {
namespace {

using Lines = std::vector<std::string>;

// Finishing twice flushes the pending line once; every line carries the
// splitter's info.
Lines split(const std::vector<std::string_view>& chunks, std::size_t max = LineSplitter::kDefaultMaxPendingLine,
            LineSplitter::Separators separators = LineSplitter::Separators::all) {
  const LineInfo info{LineOrigin::standardOutput, 5};
  LineSplitter splitter(max, separators, info);
  LineBatch out;
  for (auto chunk : chunks) splitter.feed(chunk, out);
  splitter.finish(out);
  splitter.finish(out);
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.info(i), info);
  return reference::linesOf(out);
}

TEST(LineSplitter, EveryCaseOfTheTable) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/split.tsv")) {
    const auto equals = std::find(c.begin(), c.end(), "=");
    const bool lineFeedOnly = c[0] == "lf";
    const std::size_t max = c[0] == "-" || lineFeedOnly ? LineSplitter::kDefaultMaxPendingLine : std::stoul(c[0]);
    EXPECT_EQ(split({c.begin() + 1, equals}, max,
                    lineFeedOnly ? LineSplitter::Separators::lineFeedOnly : LineSplitter::Separators::all),
              Lines(equals + 1, c.end()))
        << c[1];
  }
}

// Against the reference's split of the whole stream, and cut anywhere.
TEST(LineSplitter, AnyChunkingGivesTheLinesOfTheWholeStream) {
  const std::vector<std::string> fragments = {
      "a", "bc", "line", " ", "\t", "\n", "\r", "\r\n", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9",
      "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xC0", "\xC2", "\xE2\x80", "\xF0\x9F", "\xFF",
      "\xED\xA0\x80", "\xF4\x90", std::string(1, '\0')};
  std::mt19937 rng(20261206);
  for (int round = 0; round < 3000; ++round) {
    std::string stream;
    for (int p = std::uniform_int_distribution<int>(0, 40)(rng); p > 0; --p) stream += fragments[rng() % fragments.size()];
    ASSERT_EQ(split({stream}), reference::splitLines(stream)) << "round " << round;
    for (std::size_t max : {LineSplitter::kDefaultMaxPendingLine, std::size_t{7}}) {
      std::vector<std::string_view> chunks;
      for (std::size_t offset = 0, length = 0; offset < stream.size(); offset += length) {
        length = std::uniform_int_distribution<std::size_t>(0, 6)(rng);
        chunks.push_back(std::string_view(stream).substr(offset, length));
      }
      const Lines cut = split(chunks, max);
      ASSERT_EQ(cut, split({stream}, max)) << "round " << round << " max " << max;
      for (const auto& line : cut) {
        EXPECT_FALSE(line.empty());
        EXPECT_LE(line.size(), max);
        EXPECT_TRUE(isValidUtf8(line));
      }
    }
  }
}

// A line as a terminal would show it (escape sequences obeyed, not printed),
// and the split of a program's own output, where only a line feed ends a line.
TEST(TerminalLineText, ShowsWhatATerminalWouldShow) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/terminal.tsv")) {
    EXPECT_EQ(terminalLineText(c[0]), c[1]) << c[0];
  }
}

// Cursor moves stop at a right margin: a short line of them must not grow
// into a huge one (each "move 1000 right" is 7 bytes).
TEST(TerminalLineText, CursorMovesCannotGrowALineWithoutBound) {
  std::string moves;
  for (int i = 0; i < 100000; ++i) moves += "\x1b[1000C";
  EXPECT_EQ(terminalLineText(moves + "end"), std::string(1000, ' ') + "end");

  std::string interleaved;
  for (int i = 0; i < 100000; ++i) interleaved += "x\x1b[1000C";
  const std::string shown = terminalLineText(interleaved);
  EXPECT_LE(shown.size(), 1000 + 100000u);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), 'x'), 100000);
}

// Erasing must not walk the line: 256 KiB of text, then as many erases of
// the whole line, once took a minute and stalled every trace's output.
TEST(TerminalLineText, ErasesCostNoMoreThanTheTextTheyErase) {
  struct Flood {
    const char* text;
    const char* erase;
  };
  for (const Flood f : {Flood{"x", "\x1b[2K"}, Flood{"x", "\x1b[1K"}, Flood{"xy\b", "\x1b[1K\x1b[3D"}}) {
    SCOPED_TRACE(f.erase);
    std::string line;
    for (int i = 0; i < 256 * 1024; ++i) line += f.text;
    for (int i = 0; i < 256 * 1024; ++i) line += f.erase;
    std::size_t work = 0;
    const std::string shown = terminalLineText(line, &work);
    EXPECT_EQ(shown.find_first_not_of(' '), std::string::npos);
    EXPECT_LE(work, 4 * line.size());
  }
}

}  // namespace
}  // namespace mf
