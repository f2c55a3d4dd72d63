// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream splitter (the cases of cases/split.tsv, chunking that never
// changes the lines) and what a terminal
// would show of a line (cases/terminal.tsv).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "reference/reference_rules.h"
#include "support/cases.h"
#include "text/line_splitter.h"
#include "text/terminal_line.h"

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

class LineSplitterCase : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(LineSplitterCase, Splits) {
  const auto& c = GetParam().fields;
  const auto equals = std::find(c.begin(), c.end(), "=");
  const bool terminal = c[0] == "tty";
  const std::size_t max = c[0] == "-" || terminal ? LineSplitter::kDefaultMaxPendingLine : std::stoul(c[0]);
  EXPECT_EQ(split({c.begin() + 1, equals}, max,
                  terminal ? LineSplitter::Separators::terminal : LineSplitter::Separators::all),
            Lines(equals + 1, c.end()));
}

INSTANTIATE_TEST_SUITE_P(Table, LineSplitterCase, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/split.tsv")),
                         testing::caseName);

// A line as a terminal would show it (escape sequences obeyed, not printed),
// and the split of a program's own output, where LF, VT and FF end a line.
class TerminalLineCase : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(TerminalLineCase, ShowsWhatATerminalWould) {
  EXPECT_EQ(terminalLineText(GetParam().fields[0]), GetParam().fields[1]);
}

INSTANTIATE_TEST_SUITE_P(Table, TerminalLineCase,
                         ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/terminal.tsv")), testing::caseName);

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
