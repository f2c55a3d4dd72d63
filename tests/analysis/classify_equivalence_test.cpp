// SPDX-License-Identifier: GPL-3.0-or-later
// The fast roads (ASCII byte tables, the vector keyword scan, the find-based
// word test) against the slow ICU-only references of tests/reference, over
// many generated lines.

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"
#include "reference/reference_rules.h"

namespace mf {
namespace {

// Lines of table entries, near-misses of the words, white space of every
// kind and characters that stress the Unicode rules; half of them ASCII
// only, for the byte-table road.
class LineGenerator {
 public:
  LineGenerator() {
    for (auto table : reference::keywordTables()) {
      fragments_.insert(fragments_.end(), table.begin(), table.end());
    }
    fragments_.insert(fragments_.end(), {"error", "fault", "errors", "_error", "error_", "error2", "faulty", "Error",
                                         "FAULT", "x", "[org.example.app:", "[ORG.Example.APP:", "[org.example.app]",
                                         "12", "--", "!!", "*"});
    spaces_ = {" ", "  ", "\t", "\v", "\f", "\r", "\xC2\x85", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8",
               "\xE2\x80\xA9", "\xE2\x80\x8B", "\xE1\x9A\x80", "\xC3\xA9", "\xCC\x81", "\xC3\x89",
               "\xE2\x84\xAA", "\xC4\xB0", "\xCE\xA3", "\xD0\x94", "\xE6\x97\xA5", "\xE2\x85\xA0",
               "\xC2\xB2", "\xEF\xBC\xA5", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "\xE2\x80\xA2",
               "\xE2\x80\x8D", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD", ":", "(", ")", "=", "<", ">"};
    fragments_.insert(fragments_.end(), spaces_.begin(), spaces_.end());
  }

  std::string line() {
    const bool asciiOnly = rng() % 2 == 0;
    auto pick = [&](const std::vector<std::string>& from) {
      for (;;) {
        const std::string& f = from[rng() % from.size()];
        if (!asciiOnly || std::all_of(f.begin(), f.end(), [](char c) { return (c & 0x80) == 0; })) return f;
      }
    };
    std::string s;
    if (rng() % 8 == 0) s += tables::privacyPrefixes[rng() % tables::privacyPrefixes.size()];
    for (int i = static_cast<int>(rng() % 7); i > 0; --i) {
      std::string f = pick(fragments_);
      if (rng() % 3 == 0) {
        for (char& c : f) {
          if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 'a' + 'A');
          if (c == ' ' && rng() % 3 == 0) c = '\t';
        }
      }
      s += f;
      if (rng() % 2) s += pick(spaces_);
    }
    return s;
  }

  std::mt19937 rng{4242};

 private:
  std::vector<std::string> fragments_;
  std::vector<std::string> spaces_;
};

TEST(FastPaths, AgreeWithTheIcuReferenceOverGeneratedLines) {
  LineGenerator generator;
  const std::vector<std::string> bundles = {"", "org.example.app", "  ORG.EXAMPLE.APP\t", "x"};
  std::vector<LineClassifier> classifiers(bundles.begin(), bundles.end());
  for (int round = 0; round < 60000; ++round) {
    const std::string raw = generator.line();
    SCOPED_TRACE("'" + raw + "'");
    const std::string_view trimmed = trimWhitespace(raw);
    ASSERT_EQ(trimmed, reference::trim(raw));
    ASSERT_EQ(normalizeLine(raw), reference::normalizeLine(raw));
    ASSERT_EQ(isTrivialLine(raw), reference::isTrivialLine(raw));
    const std::string normalized = reference::normalizeLine(raw);
    for (const char* word : {"error", "fault"}) {
      ASSERT_EQ(containsWord(normalized, word), reference::containsWord(normalized, word));
    }
    ASSERT_EQ(scanKeywords(normalized), reference::scanKeywords(normalized));
    if (trimmed.empty()) continue;
    const std::size_t b = generator.rng() % bundles.size();
    const Classification fast = classifiers[b].classify(trimmed);
    const Classification slow = reference::classify(trimmed, bundles[b]);
    ASSERT_EQ(fast.type, slow.type);
    ASSERT_EQ(fast.source, slow.source);
    ASSERT_EQ(fast.isRoutineNoise, slow.isRoutineNoise) << "bundle '" << bundles[b] << "'";
  }
}

// The per-code-point road of normalizeLine relies on this: in the root
// locale, full lower-casing of one code point between letters equals the
// simple mapping, except for U+0130 and the context-dependent U+03A3.
TEST(FastPaths, SimpleLowerCaseEqualsFullMappingBesideTwoCodePoints) {
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0x0130 || c == 0x03A3) continue;
    icu::UnicodeString full("a");
    full.append(c).append(static_cast<UChar32>('a')).toLower(icu::Locale::getRoot());
    icu::UnicodeString simple("a");
    simple.append(u_tolower(c)).append(static_cast<UChar32>('a'));
    ASSERT_EQ(full, simple) << std::hex << c;
  }
}

}  // namespace
}  // namespace mf
