// SPDX-License-Identifier: GPL-3.0-or-later
// The fast roads (ASCII byte tables, the one-pass keyword automaton, the
// find-based word test) against the slow ICU-only references of
// analysis/reference_rules.h, over many generated lines.

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"
#include "reference/reference_rules.h"

namespace mf {
namespace {

class LineGenerator {
 public:
  explicit LineGenerator(unsigned seed) : rng_(seed) {
    auto addTable = [&](std::span<const std::string_view> table) {
      for (auto e : table) fragments_.emplace_back(e);
    };
    addTable(tables::errorMarkers);
    addTable(tables::warningMarkers);
    addTable(tables::permissionMarkers);
    addTable(tables::crashMarkers);
    addTable(tables::fileMarkers);
    addTable(tables::headerMarkers);
    addTable(tables::preferenceMarkers);
    addTable(tables::subsystemMarkers);
    addTable(tables::frameworkMarkers);
    for (auto e : tables::privacyPrefixes) prefixes_.emplace_back(e);
    for (const char* f : {"error", "fault", "errors", "_error", "error_", "error2", "faulty", "Error", "FAULT", "x",
                          "[org.example.app:", "[ORG.Example.APP:", "[org.example.app]", "12", "--", "!!", "*"}) {
      fragments_.emplace_back(f);
    }
    // White space of every kind, and characters that stress the Unicode rules.
    for (const char* f : {" ", "  ", "\t", "\v", "\f", "\r", "\xC2\x85", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8",
                          "\xE2\x80\xA9", "\xE2\x80\x8B", "\xE1\x9A\x80", "\xC3\xA9", "\xCC\x81", "\xC3\x89",
                          "\xE2\x84\xAA", "\xC4\xB0", "\xCE\xA3", "\xD0\x94", "\xE6\x97\xA5", "\xE2\x85\xA0",
                          "\xC2\xB2", "\xEF\xBC\xA5", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "\xE2\x80\xA2",
                          "\xE2\x80\x8D", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD", ":", "(", ")", "=", "<", ">"}) {
      fragments_.emplace_back(f);
      spaces_.emplace_back(f);
    }
  }

  // Half of the lines are pure ASCII, for the byte-table road.
  std::string line() {
    const bool asciiOnly = rng_() % 2 == 0;
    auto pick = [&](const std::vector<std::string>& from) {
      for (;;) {
        const std::string& f = from[rng_() % from.size()];
        if (!asciiOnly || std::all_of(f.begin(), f.end(), [](char c) { return (c & 0x80) == 0; })) return f;
      }
    };
    std::string s;
    if (rng_() % 8 == 0) s += prefixes_[rng_() % prefixes_.size()];
    const int parts = static_cast<int>(rng_() % 7);
    for (int i = 0; i < parts; ++i) {
      std::string f = pick(fragments_);
      if (rng_() % 3 == 0) {
        for (char& c : f) {
          if (c >= 'a' && c <= 'z' && rng_() % 2) c = static_cast<char>(c - 'a' + 'A');
          if (c == ' ' && rng_() % 3 == 0) c = '\t';
        }
      }
      s += f;
      if (rng_() % 2) s += pick(spaces_);
    }
    return s;
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
  std::vector<std::string> fragments_;
  std::vector<std::string> prefixes_;
  std::vector<std::string> spaces_;
};

TEST(FastPaths, AgreeWithTheIcuReferenceOverGeneratedLines) {
  LineGenerator generator(4242);
  const std::vector<std::string> bundles = {"", "org.example.app", "  ORG.EXAMPLE.APP\t", "x"};
  std::vector<LineClassifier> classifiers;
  for (const auto& b : bundles) classifiers.emplace_back(b);
  for (int round = 0; round < 60000; ++round) {
    const std::string raw = generator.line();
    ASSERT_EQ(normalizeLine(raw), reference::normalizeLine(raw)) << "'" << raw << "'";
    ASSERT_EQ(isTrivialLine(raw), reference::isTrivialLine(raw)) << "'" << raw << "'";
    const std::string normalized = reference::normalizeLine(raw);
    for (const char* word : {"error", "fault"}) {
      ASSERT_EQ(containsWord(normalized, word), reference::containsWord(normalized, word)) << "'" << normalized << "'";
    }
    // The vector prefilter and the automaton find the same tables.
    ASSERT_EQ(scanKeywords(normalized), reference::scanKeywordsWithAutomaton(normalized)) << "'" << normalized << "'";
    const std::string_view trimmed = trimWhitespace(raw);
    if (trimmed.empty()) continue;
    const std::size_t b = generator.rng()() % bundles.size();
    const Classification fast = classifiers[b].classify(trimmed);
    const Classification slow = reference::classify(trimmed, bundles[b]);
    ASSERT_EQ(fast.type, slow.type) << "'" << raw << "'";
    ASSERT_EQ(fast.source, slow.source) << "'" << raw << "'";
    ASSERT_EQ(fast.isRoutineNoise, slow.isRoutineNoise) << "'" << raw << "' bundle '" << bundles[b] << "'";
  }
}

TEST(FastPaths, TrimAgreesWithTheReference) {
  LineGenerator generator(99);
  for (int round = 0; round < 20000; ++round) {
    const std::string raw = generator.line();
    ASSERT_EQ(std::string(trimWhitespace(raw)), reference::trim(raw)) << "'" << raw << "'";
  }
}

}  // namespace
}  // namespace mf

namespace mf {
namespace {

// The per-code-point road of normalizeLine relies on this: in the root
// locale, full lower-casing of one code point between letters equals the
// simple mapping, except for U+0130 and the context-dependent U+03A3.
TEST(FastPaths, SimpleLowerCaseEqualsFullMappingBesideTwoCodePoints) {
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c == 0x0130 || c == 0x03A3) continue;
    icu::UnicodeString s("a");
    s.append(c).append(static_cast<UChar32>('a'));
    icu::UnicodeString full(s);
    full.toLower(icu::Locale::getRoot());
    icu::UnicodeString simple("a");
    simple.append(u_tolower(c)).append(static_cast<UChar32>('a'));
    ASSERT_EQ(full, simple) << std::hex << c;
  }
  EXPECT_EQ(normalizeLine("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(normalizeLine("x \xCE\xA3 \xCE\x9F\xCE\xA3"), "x \xCF\x83 \xCE\xBF\xCF\x82");
}

}  // namespace
}  // namespace mf
