// SPDX-License-Identifier: GPL-3.0-or-later
// What marrowfield-cli does to log text on its way to a terminal.

#include <gtest/gtest.h>

#include "terminal_text.h"

namespace mf::cli {
namespace {

TEST(TerminalText, ControlCharactersAreShownNotObeyed) {
  // An escape sequence that would retitle the terminal and clear the screen.
  EXPECT_EQ(escapeControlCharacters("a\x1b]0;owned\x07 b\x1b[2J"), "a\\x1b]0;owned\\x07 b\\x1b[2J");
  EXPECT_EQ(escapeControlCharacters(std::string("nul\0del\x7f", 8)), "nul\\x00del\\x7f");
  // C1 controls in UTF-8 (CSI is U+009B) are escaped; other text is kept.
  EXPECT_EQ(escapeControlCharacters("x\xc2\x9b" "31m caf\xc3\xa9 \xc2\xa0"), "x\\u009b31m caf\xc3\xa9 \xc2\xa0");
  // Line feed and tab keep their meaning; a carriage return could overwrite a line.
  EXPECT_EQ(escapeControlCharacters("one\ttwo\nthree\rfour"), "one\ttwo\nthree\\x0dfour");
  // A lone lead byte at the end is left as it is.
  EXPECT_EQ(escapeControlCharacters("end\xc2"), "end\xc2");
  // Bidirectional controls cannot reorder what follows: "evil.exe gnp.txt"
  // behind U+202E would read "txt.png exe.live".
  EXPECT_EQ(escapeControlCharacters("evil\xe2\x80\xae" "exe.gnp.txt"), "evil\\u202eexe.gnp.txt");
  EXPECT_EQ(escapeControlCharacters("\xe2\x80\xaa\xe2\x80\x8f\xe2\x81\xa6\xe2\x81\xa9\xd8\x9c \xe2\x80\x94"),
            "\\u202a\\u200f\\u2066\\u2069\\u061c \xe2\x80\x94");
}

// The rest of a multi-line message must not pass for an event of its own.
TEST(TerminalText, ContinuationLinesAreIndented) {
  EXPECT_EQ(indentContinuationLines("[12:00:00] [INFO] [GENERAL] a\n[12:00:00] [ERROR] [CRASH] forged"),
            "[12:00:00] [INFO] [GENERAL] a\n    [12:00:00] [ERROR] [CRASH] forged");
  EXPECT_EQ(indentContinuationLines("one line"), "one line");
}

}  // namespace
}  // namespace mf::cli
