// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream splitter: separators, carry-over across chunks, U+FFFD for
// bad bytes, the bound on a pending line, and that chunking never changes
// the lines.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "reference/reference_rules.h"
#include "text/line_splitter.h"
#include "text/utf8.h"

namespace mf {
namespace {

using Lines = std::vector<std::string>;

Lines split(std::vector<std::string_view> chunks, std::size_t max = LineSplitter::kDefaultMaxPendingLine) {
  LineSplitter splitter(max);
  LineBatch out;
  for (auto chunk : chunks) splitter.feed(chunk, out);
  splitter.finish(out);
  return reference::linesOf(out);
}

TEST(LineSplitter, SeparatorsAndEmptyPieces) {
  EXPECT_EQ(split({"a\n\nb\n"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"x\r\ny"}), (Lines{"x", "y"}));
  EXPECT_EQ(split({"\r\n"}), Lines{});
  EXPECT_EQ(split({"a\vb\fc\rd\ne"}), (Lines{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(split({"a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9" "d"}), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(split({"\n\n\r\r\xE2\x80\xA8"}), Lines{});
  // Other control characters and other line-ish characters are content.
  EXPECT_EQ(split({std::string_view("a\0b\x1C" "c\xC2\x84" "d\xE2\x80\xA7", 12)}),
            (Lines{std::string("a\0b\x1C" "c\xC2\x84" "d\xE2\x80\xA7", 12)}));
  EXPECT_EQ(split({"  \t "}), (Lines{"  \t "}));  // blank lines are the intake's to drop
}

TEST(LineSplitter, CarriesLinesAndCharactersOverChunkBoundaries) {
  // A line cut by a read is one line, not two.
  EXPECT_EQ(split({"hel", "lo\nwor", "ld"}), (Lines{"hello", "world"}));
  // CR in one chunk, LF in the next: still one separator.
  EXPECT_EQ(split({"x\r", "\ny"}), (Lines{"x", "y"}));
  // A multi-byte character cut anywhere survives.
  EXPECT_EQ(split({"caf\xC3", "\xA9\n"}), (Lines{"caf\xC3\xA9"}));
  EXPECT_EQ(split({"\xF0", "\x9F", "\x98", "\x80!"}), (Lines{"\xF0\x9F\x98\x80!"}));
  // Multi-byte separators cut across chunks still separate.
  EXPECT_EQ(split({"a\xE2\x80", "\xA8" "b"}), (Lines{"a", "b"}));
  EXPECT_EQ(split({"a\xC2", "\x85" "b"}), (Lines{"a", "b"}));
  // Empty chunks change nothing.
  EXPECT_EQ(split({"", "a", "", "\n", ""}), (Lines{"a"}));
}

TEST(LineSplitter, InvalidBytesBecomeOneReplacementPerMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(split({"a\xFF" "b"}), (Lines{"a" + r + "b"}));
  EXPECT_EQ(split({"\xC0\xAF"}), (Lines{r + r}));                // overlong: both bytes bad
  EXPECT_EQ(split({"\xED\xA0\x80"}), (Lines{r + r + r}));         // surrogate
  EXPECT_EQ(split({"\xF4\x90\x80\x80"}), (Lines{r + r + r + r}));  // above U+10FFFF
  EXPECT_EQ(split({"\xF0\x9F\x98" "a"}), (Lines{r + "a"}));       // truncated sequence: one
  EXPECT_EQ(split({"\xF0\x9F", "\x98", "a"}), (Lines{r + "a"}));  // the same, cut
  EXPECT_EQ(split({"\xE2\x80\n"}), (Lines{r}));                   // cut by a separator
  EXPECT_EQ(split({"a\xE2\x80"}), (Lines{"a" + r}));              // cut by the end of the stream
  EXPECT_EQ(split({"\xE2", "\x80"}), (Lines{r}));
  EXPECT_EQ(split({"\x80\x80"}), (Lines{r + r}));
}

TEST(LineSplitter, FinishFlushesOnceAndTheSplitterCanGoOn) {
  LineSplitter splitter;
  LineBatch out;
  splitter.feed("partial", out);
  EXPECT_TRUE(out.empty());
  splitter.finish(out);
  splitter.finish(out);
  EXPECT_EQ(reference::linesOf(out), (Lines{"partial"}));
  out.clear();
  splitter.feed("next\n", out);
  EXPECT_EQ(reference::linesOf(out), (Lines{"next"}));
}

TEST(LineSplitter, LongLinesAreCutBetweenCharactersAtTheBound) {
  EXPECT_EQ(split({std::string(40, 'a')}, 16), (Lines{std::string(16, 'a'), std::string(16, 'a'), std::string(8, 'a')}));
  EXPECT_EQ(split({std::string(32, 'a') + "\nb"}, 16), (Lines{std::string(16, 'a'), std::string(16, 'a'), "b"}));
  // 'é' is two bytes: 7 of them fill 14 of 15 bytes, the 8th starts a new line.
  std::string accents;
  for (int i = 0; i < 10; ++i) accents += "\xC3\xA9";
  const Lines cut = split({accents}, 15);
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0].size(), 14u);
  EXPECT_EQ(cut[1].size(), 6u);
  // An endless line in many small chunks never holds more than the bound.
  LineSplitter splitter(1024);
  LineBatch out;
  std::size_t emitted = 0;
  for (int i = 0; i < 10'000; ++i) {
    splitter.feed("0123456789abcdef\xE2\x82\xAC", out);
    for (std::size_t k = 0; k < out.size(); ++k) EXPECT_LE(out[k].size(), 1024u);
    emitted += out.byteSize();
    out.clear();
  }
  splitter.finish(out);
  emitted += out.byteSize();
  EXPECT_EQ(emitted, 10'000u * 19u);
}

TEST(LineSplitter, AnyChunkingGivesTheLinesOfTheWholeStream) {
  const std::vector<std::string> fragments = {
      "a", "bc", "line", " ", "\t", "\n", "\r", "\r\n", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9",
      "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xC0", "\xC2", "\xE2\x80", "\xF0\x9F", "\xFF",
      "\xED\xA0\x80", "\xF4\x90", std::string(1, '\0')};
  std::mt19937 rng(20261206);
  for (int round = 0; round < 3000; ++round) {
    std::string stream;
    const int parts = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int p = 0; p < parts; ++p) stream += fragments[rng() % fragments.size()];

    const Lines whole = split({stream});
    EXPECT_EQ(whole, reference::splitLines(stream)) << "round " << round;

    for (std::size_t max : {LineSplitter::kDefaultMaxPendingLine, std::size_t{7}}) {
      const Lines expected = split({stream}, max);
      std::vector<std::string_view> chunks;
      std::size_t offset = 0;
      while (offset < stream.size()) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 6)(rng);
        chunks.push_back(std::string_view(stream).substr(offset, length));
        offset += length;
      }
      const Lines cut = split(chunks, max);
      ASSERT_EQ(cut, expected) << "round " << round << " max " << max;
      for (const auto& line : cut) {
        EXPECT_FALSE(line.empty());
        EXPECT_LE(line.size(), max);
        EXPECT_TRUE(isValidUtf8(line));
      }
    }
  }
}

}  // namespace
}  // namespace mf
