// SPDX-License-Identifier: GPL-3.0-or-later
// A line as a terminal would show it (escape sequences obeyed, not printed),
// and the split of a program's own output, where only a line feed ends a line.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/cases.h"
#include "text/line_splitter.h"
#include "text/terminal_line.h"

namespace mf {
namespace {

TEST(TerminalLineText, ShowsWhatATerminalWouldShow) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/terminal.tsv")) {
    EXPECT_EQ(terminalLineText(c[0]), c[1]) << c[0];
  }
}

TEST(TerminalLineText, AFloodOfSequencesLeavesOnlyTheText) {
  std::string line;
  for (int i = 0; i < 20000; ++i) line += "\x1b[" + std::to_string(i % 256) + "m.";
  EXPECT_EQ(terminalLineText(line), std::string(20000, '.'));
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

TEST(LineSplitterLineFeedOnly, OnlyLineFeedEndsALineAndEveryLineCarriesTheInfo) {
  const LineInfo info{LineOrigin::standardOutput, LineInfo::kNoPriority};
  LineSplitter splitter(LineSplitter::kDefaultMaxPendingLine, LineSplitter::Separators::lineFeedOnly, info);
  LineBatch out;
  splitter.feed("10%\r20%\r100%\nform\ffeed\x0bvt\xe2\x80\xa8ls\n", out);
  splitter.feed("cut\xc3", out);
  splitter.feed("\xa9\r\n", out);
  splitter.finish(out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], "10%\r20%\r100%");
  EXPECT_EQ(out[1], "form\ffeed\x0bvt\xe2\x80\xa8ls");
  EXPECT_EQ(out[2], "cut\xc3\xa9\r");
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.info(i), info);
}

}  // namespace
}  // namespace mf
