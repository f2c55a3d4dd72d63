// SPDX-License-Identifier: GPL-3.0-or-later
// The log-stream splitter: the cases of cases/split.tsv, the bound on a
// pending line, and that chunking never changes the lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "reference/reference_rules.h"
#include "support/cases.h"
#include "text/line_splitter.h"
#include "text/utf8.h"

namespace mf {
namespace {

using Lines = std::vector<std::string>;

Lines split(const std::vector<std::string_view>& chunks, std::size_t max = LineSplitter::kDefaultMaxPendingLine) {
  LineSplitter splitter(max);
  LineBatch out;
  for (auto chunk : chunks) splitter.feed(chunk, out);
  splitter.finish(out);
  return reference::linesOf(out);
}

TEST(LineSplitter, EveryCaseOfTheTable) {
  for (const auto& c : testing::readCases(MARROWFIELD_CASES "/split.tsv")) {
    const auto equals = std::find(c.begin(), c.end(), "=");
    const std::size_t max = c[0] == "-" ? LineSplitter::kDefaultMaxPendingLine : std::stoul(c[0]);
    EXPECT_EQ(split({c.begin() + 1, equals}, max), Lines(equals + 1, c.end())) << c[1];
  }
}

TEST(LineSplitter, FinishFlushesOnceAndTheSplitterCanGoOn) {
  LineSplitter splitter;
  LineBatch out;
  splitter.feed("partial", out);
  EXPECT_TRUE(out.empty());
  splitter.finish(out);
  splitter.finish(out);
  splitter.feed("next\n", out);
  EXPECT_EQ(reference::linesOf(out), (Lines{"partial", "next"}));
}

TEST(LineSplitter, AnEndlessLineInSmallChunksNeverHoldsMoreThanTheBound) {
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
  EXPECT_EQ(emitted + out.byteSize(), 10'000u * 19u);
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

}  // namespace
}  // namespace mf
