// SPDX-License-Identifier: GPL-3.0-or-later
// The line rules case by case (cases/line_rules.tsv: trimming, normalising,
// whole words, trivial lines, the target's own subsystem, what the sender's
// priority and the line's road make of a line), and the fast roads against
// the slow references over generated lines of every keyword table entry.
// Whole logs are in the golden corpora, classified by marrowfield-cli.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"
#include "model/event_list.h"
#include "model/stamps.h"
#include "reference/reference_rules.h"
#include "support/cases.h"
#include "support/fakes.h"
#include "text/line_batch.h"

namespace mf {
namespace {

Classification classify(std::string_view line, std::string_view bundle = "") { return classifyLine(trimWhitespace(line), bundle); }

LineInfo infoOf(const std::string& origin, const std::string& priority, const std::string& library) {
  LineInfo info{LineOrigin::journal, LineInfo::kNoPriority, library == "yes"};
  for (auto o : {LineOrigin::standardOutput, LineOrigin::standardError}) if (originName(o) == origin) info.origin = o;
  if (priority != "-") info.priority = static_cast<std::int8_t>(std::stoi(priority));
  return info;
}

class LineRules : public ::testing::TestWithParam<testing::NamedCase> {};

TEST_P(LineRules, Hold) {
  const LineClassifier classifier("org.example.App");
  {
    const auto& c = GetParam().fields;
    const std::string& kind = c[0];
    if (kind == "trim") {
      EXPECT_EQ(trimWhitespace(c[1]), c[2]);
    } else if (kind == "normalize") {
      EXPECT_EQ(normalizeLine(c[1]), c[2]);
    } else if (kind == "word") {
      EXPECT_EQ(containsWord(c[1], c[2]), c[3] == "yes");
    } else if (kind == "trivial") {
      EXPECT_EQ(isTrivialLine(c[1]), c[2] == "yes");
      const LineInfo printed{LineOrigin::standardOutput, LineInfo::kNoPriority, false};
      EXPECT_EQ(classifier.classify(c[1], printed).isRoutineNoise, c[2] == "yes") << "the classifier's fast path agrees";
    } else if (kind == "type") {
      EXPECT_EQ(label(classify(c[1]).type), c[2]);
    } else if (kind == "noise") {
      EXPECT_EQ(classify(c[1], c[2]).isRoutineNoise, c[3] == "yes");
    } else {
      ASSERT_EQ(kind, "info");
      const Classification result = classifier.classify(c[1], infoOf(c[2], c[3], c[4]));
      EXPECT_EQ(label(result.type), c[5]);
      EXPECT_EQ(result.isRoutineNoise, c[6] == "yes");
      EXPECT_EQ(result.source, classifier.classify(c[1]).source) << "what travels never changes the source";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LineRules, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/line_rules.tsv")),
                         testing::caseName);

// A batch of lines becomes events: trimmed, blank lines dropped (no id
// drawn for them), in order, each with its origin and the journal's priority.
TEST(IngestLines, TrimsDropsBlankLinesAppendsInOrderAndKeepsTheOrigin) {
  testing::SequentialIdSource ids;
  testing::FakeClock clock;
  clock.current = 100.5;
  clock.step = 0.5;
  EventList events;
  LineBatch batch = LineBatch::of({"  Error: disk full \t", " \xC2\xA0\xE2\x80\x83 ", "",
                                   "\t[org.x:main] WARNING:   Low   Memory"}, LineInfo{LineOrigin::standardOutput});
  batch.add("plain text from the journal", LineInfo{LineOrigin::journal, 3});
  ingestLines(batch, "Org.X", events, ids, clock);
  ingestLines(LineBatch{}, "", events, ids, clock);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(ids.issued, 3u);
  EXPECT_EQ(events.at(0), (MarrowfieldEvent{*events[0].id, 100.5, EventType::error, "CONSOLE",
                                                   "Error: disk full", false, LineOrigin::standardOutput}));
  EXPECT_EQ(events[1].message, "[org.x:main] WARNING:   Low   Memory");  // inner spacing and case kept
  EXPECT_EQ(events[1].time, 101.0);
  EXPECT_EQ(events[2].type, EventType::error) << "the journal's priority 3";
  EXPECT_EQ(events[2].origin, LineOrigin::journal);
}

// The fast roads (ASCII byte tables, the vector keyword scan, the find-based
// word test) against the slow ICU-only references of tests/reference.
// Lines of table entries, near-misses of the words, white space of every
// kind and characters that stress the Unicode rules; half of them ASCII
// only, for the byte-table road.
class LineGenerator {
 public:
  LineGenerator() {
    for (auto table : reference::keywordTables()) fragments_.insert(fragments_.end(), table.begin(), table.end());
    // The privacy prefixes count only at the start of a line; here they come anywhere.
    fragments_.insert(fragments_.end(), tables::privacyPrefixes.begin(), tables::privacyPrefixes.end());
    const auto pieces = testing::readCases(MARROWFIELD_CASES "/generated_lines.tsv");
    fragments_.insert(fragments_.end(), pieces.at(0).begin(), pieces.at(0).end());
    spaces_ = pieces.at(1);
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

}  // namespace
}  // namespace mf
