// SPDX-License-Identifier: GPL-3.0-or-later
// The line rules: trimming, normalising, words, trivial lines, the keyword
// tables and the routine-noise order.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "analysis/keyword_tables.h"
#include "reference/reference_rules.h"

namespace mf {
namespace {

Classification classify(std::string_view line, std::string_view bundle = "") {
  return classifyLine(trimWhitespace(line), bundle);
}

TEST(Trim, RemovesTheWhiteSpaceAndNewlineSetAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespace(" \t\n\v\f\r a b \r\n"), "a b");
  EXPECT_EQ(trimWhitespace("\xC2\x85x\xC2\x85"), "x");                      // NEL
  EXPECT_EQ(trimWhitespace("\xC2\xA0x\xE3\x80\x80"), "x");                   // NBSP, ideographic space (Zs)
  EXPECT_EQ(trimWhitespace("\xE2\x80\xA8x\xE2\x80\xA9"), "x");               // LS (Zl), PS (Zp)
  EXPECT_EQ(trimWhitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");               // ZERO WIDTH SPACE is Cf
  EXPECT_EQ(trimWhitespace("\xE2\x81\xA0x"), "\xE2\x81\xA0x");               // WORD JOINER is Cf
  EXPECT_EQ(trimWhitespace("\x1Cx\x1F"), "\x1Cx\x1F");                       // information separators are Cc
  EXPECT_EQ(trimWhitespace(" \t "), "");
  EXPECT_EQ(trimWhitespace(""), "");
  EXPECT_EQ(trimWhitespace("a \xC2\xA0 b"), "a \xC2\xA0 b");
}

TEST(Normalize, CollapsesRegexWhiteSpaceTrimsAndLowers) {
  EXPECT_EQ(normalizeLine("WARNING:   Low   Memory"), "warning: low memory");
  EXPECT_EQ(normalizeLine("a\t\t\r\n\fb"), "a b");
  EXPECT_EQ(normalizeLine("a \xC2\xA0\xE2\x80\x83 b"), "a b");     // Zs run becomes one blank
  EXPECT_EQ(normalizeLine("a\xE2\x80\xA8\xE2\x80\xA9" "b"), "a b");  // Zl, Zp collapse too
  // VT and NEL are not regex white space: they stay inside, and only the
  // trim removes them at the ends.
  EXPECT_EQ(normalizeLine("a\vb"), "a\vb");
  EXPECT_EQ(normalizeLine("a \v b"), "a \v b");
  EXPECT_EQ(normalizeLine("a\xC2\x85" "b"), "a\xC2\x85" "b");
  EXPECT_EQ(normalizeLine("\v X \xC2\x85"), "x");
  EXPECT_EQ(normalizeLine("  "), "");
}

TEST(Normalize, LowerCaseIsFullUnicodeMappingIndependentOfLocale) {
  EXPECT_EQ(normalizeLine("\xC4\xB0STANBUL"), "i\xCC\x87stanbul");            // U+0130 -> i + U+0307
  EXPECT_EQ(normalizeLine("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x82");            // final sigma
  EXPECT_EQ(normalizeLine("\xCE\xA3\xCE\x9F"), "\xCF\x83\xCE\xBF");            // non-final sigma
  EXPECT_EQ(normalizeLine("\xC3\x9C" "BER"), "\xC3\xBC" "ber");
  EXPECT_EQ(normalizeLine("STRASSE \xE1\xBA\x9E"), "strasse \xC3\x9F");         // capital sharp s
  EXPECT_EQ(normalizeLine("\xE2\x84\xAA"), "k");                                // KELVIN SIGN to ASCII
  EXPECT_EQ(normalizeLine("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");            // Deseret, outside the BMP
}

TEST(Words, WholeWordsOverLettersMarksNumbersAndUnderscore) {
  for (const char* yes : {"an error occurred", "error.", "(error)", "error-prone", "error", "x:error:y",
                          "\xE6\x97\xA5 error \xE6\x97\xA5"}) {
    EXPECT_TRUE(containsWord(yes, "error")) << yes;
  }
  for (const char* no : {"errors", "nserror", "error_code", "_error", "error2", "2error",
                         "\xC3\xA9" "error",          // a Latin letter before
                         "error\xCC\x81",             // a combining accent (Mn) after
                         "\xD0\xB4" "error",          // Cyrillic letter
                         "error\xE6\x97\xA5",         // Han
                         "error\xE2\x85\xA0",         // ROMAN NUMERAL ONE (Nl)
                         "\xC2\xB2" "error",          // SUPERSCRIPT TWO (No)
                         "erro"}) {
    EXPECT_FALSE(containsWord(no, "error")) << no;
  }
  // A later occurrence still counts when an earlier one is part of a longer word.
  EXPECT_TRUE(containsWord("errors and error", "error"));
  EXPECT_TRUE(containsWord("fault\xE2\x80\x94" "x", "fault"));  // EM DASH is punctuation
  EXPECT_FALSE(containsWord("anything", ""));
  EXPECT_FALSE(containsWord("a b", "a b"));
}

TEST(TrivialLines, CountUserPerceivedCharactersAndLookForLettersMarksDigits) {
  EXPECT_TRUE(isTrivialLine(""));
  EXPECT_TRUE(isTrivialLine(" \t "));
  EXPECT_TRUE(isTrivialLine("---"));
  EXPECT_TRUE(isTrivialLine("  ********  "));          // 8 after trimming
  EXPECT_FALSE(isTrivialLine("*********"));            // 9: not trivial
  EXPECT_FALSE(isTrivialLine("-- 1 --"));              // holds a digit
  EXPECT_FALSE(isTrivialLine("a"));
  EXPECT_TRUE(isTrivialLine("\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2"));  // bullets
  // Eight flags are eight clusters of two code points each.
  std::string flags;
  for (int i = 0; i < 8; ++i) flags += "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
  EXPECT_TRUE(isTrivialLine(flags));
  EXPECT_FALSE(isTrivialLine(flags + "!"));
  // A family emoji joined by ZWJ is one cluster.
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  EXPECT_TRUE(isTrivialLine(family + family + "!!!!!!"));
  // e + combining acute is one cluster, but the letter makes it non-trivial.
  EXPECT_FALSE(isTrivialLine("e\xCC\x81"));
  // A lone combining mark is a mark.
  EXPECT_FALSE(isTrivialLine("\xCC\x81"));
  // Fullwidth digit (Nd) and Roman numeral (Nl) are numbers.
  EXPECT_FALSE(isTrivialLine("\xEF\xBC\x91"));
  EXPECT_FALSE(isTrivialLine("\xE2\x85\xA0"));
  // CR LF inside counts as one cluster.
  EXPECT_TRUE(isTrivialLine("---\r\n----"));
}

// The rules over one line at a time are in the golden corpora
// (golden/rules.log and the others, classified by marrowfield-cli); here the
// cases a log file cannot carry, and the trace's bundle identifier.
TEST(Classification, VerticalTabIsNoBlankAndTheBundleIsTrimmedAndLowerCased) {
  EXPECT_EQ(classify("fatal\verror").type, EventType::warning);  // VT is not collapsed: only the word
  const struct {
    const char* line;
    const char* bundle;
    bool isRoutineNoise;
  } cases[] = {
      {"x [Org.Example.App:net] hi", "  ORG.example.app\t", false},
      {"x [Org.Example.App:net] hi", "org.example", true},
      {"x [\xC3\xA9T\xC3\x89:net] hi", "\xC3\x89T\xC3\xA9", false},
      {"[:x] hello", "", true},
      {"hello", " \t ", true},
      {"!!!!!!!!! [app:x]", "app", false},
  };
  for (const auto& c : cases) EXPECT_EQ(classify(c.line, c.bundle).isRoutineNoise, c.isRoutineNoise) << c.line;
}

struct InfoCase {
  const char* line;
  LineInfo info;
  EventType type;
  bool isRoutineNoise;
};

constexpr LineInfo journal(int priority, bool libraryDomain = false) {
  return LineInfo{LineOrigin::journal, static_cast<std::int8_t>(priority), libraryDomain};
}
constexpr LineInfo kStdout{LineOrigin::standardOutput};
constexpr LineInfo kStderr{LineOrigin::standardError};

// What travels with a line and what it makes of it. The sender's priority:
// 0-3 make an error, 4 a warning, 5-7 and none leave the text's word. Where
// the line came from: the program's own stdout and stderr, and its plain
// journal lines at 5-6 (not a library's GLib message), are its own words and
// shown, unless a marker of the noise rule's earlier steps says otherwise.
TEST(LineInfoClassification, PriorityRaisesTheTypeAndOwnWordsAreShown) {
  const char* const rate = "Couldn't download IMF currency rate file";
  const std::vector<InfoCase> cases = {
      {rate, journal(LineInfo::kNoPriority), EventType::info, true},
      {rate, journal(0, true), EventType::error, false},
      {rate, journal(1, true), EventType::error, false},
      {rate, journal(2, true), EventType::error, false},
      {rate, journal(3, true), EventType::error, false},
      {rate, journal(4, true), EventType::warning, false},
      {rate, journal(5, true), EventType::info, true},
      {rate, journal(6, true), EventType::info, true},
      {rate, journal(7, true), EventType::info, true},
      {rate, journal(5), EventType::info, false},
      {rate, journal(6), EventType::info, false},
      {rate, journal(7), EventType::info, true},
      {"warning: low disk", journal(3), EventType::error, false},
      {"warning: low disk", journal(7), EventType::warning, false},
      {"Error: disk full", journal(4), EventType::error, false},
      {"Error: disk full", journal(6), EventType::error, false},
      {"Hello from main, step 2", kStdout, EventType::info, false},
      {"usage: app.sh FILE", kStderr, EventType::info, false},
      {"usage: app.sh FILE", LineInfo{}, EventType::info, true},
      // The earlier steps of the noise rule still come first.
      {"Filtering the log data using \"x\"", journal(3), EventType::error, true},
      {"loaded (AppKit) bundle", kStdout, EventType::info, true},
      {"-- * --", kStderr, EventType::info, true},
  };
  const LineClassifier classifier("org.example.App");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " origin " + std::string(originName(c.info.origin)) + " priority " +
                 std::to_string(c.info.priority) + (c.info.libraryDomain ? " library" : ""));
    const Classification result = classifier.classify(c.line, c.info);
    EXPECT_EQ(result.type, c.type);
    EXPECT_EQ(result.isRoutineNoise, c.isRoutineNoise);
    EXPECT_EQ(result.source, classifier.classify(c.line).source) << "what travels never changes the source";
  }
}

TEST(Classification, DoubledBlanksAcrossEveryBlockBoundary) {
  // Doubled blanks anywhere in a long line, also across 8- and 16-byte blocks.
  for (std::size_t pad = 0; pad < 40; ++pad) {
    EXPECT_EQ(classify(std::string(pad, 'x') + " fatal  error").type, EventType::error) << pad;
    EXPECT_EQ(classify(std::string(pad, 'x') + " FATAL \x7F error").type, EventType::warning) << pad;
  }
}

TEST(Classification, EveryTableEntryIsFoundInUpperCaseWithDoubledBlanks) {
  auto shout = [](std::string_view entry) {
    std::string s = "Prefix ";
    for (char c : entry) {
      if (c == ' ') s += "  ";
      else s += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return s + " suffix";
  };
  for (auto e : tables::errorMarkers) EXPECT_EQ(classify(shout(e)).type, EventType::error) << e;
  for (auto e : tables::warningMarkers) EXPECT_EQ(classify(shout(e)).type, EventType::warning) << e;
  for (auto e : tables::permissionMarkers) EXPECT_EQ(classify(shout(e)).source, "PERMISSION") << e;
  for (auto e : tables::crashMarkers) EXPECT_NE(classify(shout(e)).source, "CONSOLE") << e;
  for (auto e : tables::fileMarkers) EXPECT_EQ(classify(shout(e)).source, "FILE") << e;
  // Info lines of the console: each noise marker alone makes them routine noise
  // even with the target's own subsystem in them.
  for (auto table : {std::span<const std::string_view>(tables::headerMarkers),
                     std::span<const std::string_view>(tables::preferenceMarkers),
                     std::span<const std::string_view>(tables::subsystemMarkers),
                     std::span<const std::string_view>(tables::frameworkMarkers)}) {
    for (auto e : table) {
      const std::string line = "x [org.example.app:main] " + std::string(e) + " y";
      EXPECT_TRUE(classify(line, "org.example.app").isRoutineNoise) << e;
      EXPECT_TRUE(classify("Error: " + line, "org.example.app").isRoutineNoise) << e;
    }
  }
  for (auto e : tables::privacyPrefixes) {
    EXPECT_TRUE(classify(std::string(e) + " [org.example.app:main]", "org.example.app").isRoutineNoise) << e;
    EXPECT_FALSE(classify("x " + std::string(e) + " [org.example.app:main]", "org.example.app").isRoutineNoise)
        << e;
  }
}

TEST(RoutineNoiseRule, DirectCalls) {
  EXPECT_FALSE(reference::isRoutineSystemNoise("com.apple.runningboard", EventType::info, "SESSION", ""));
  EXPECT_FALSE(reference::isRoutineSystemNoise("filtering the log data using", EventType::info, "LOG", ""));
  EXPECT_TRUE(reference::isRoutineSystemNoise("filtering the log data using", EventType::info, "CONSOLE", ""));
  EXPECT_TRUE(reference::isRoutineSystemNoise("anything", EventType::success, "CONSOLE", ""));
  EXPECT_TRUE(reference::isRoutineSystemNoise("anything", EventType::info, "console", ""));  // exact, case-sensitive
  EXPECT_FALSE(reference::isRoutineSystemNoise("anything", EventType::info, "PATH", ""));
  EXPECT_FALSE(reference::isRoutineSystemNoise("x [a.b:c]", EventType::info, "CUSTOM", "A.B"));
  EXPECT_TRUE(reference::containsAnyPhrase("abc", std::array<std::string_view, 2>{"x", "bc"}));
  EXPECT_FALSE(reference::containsAnyPhrase("abc", std::span<const std::string_view>()));
}

}  // namespace
}  // namespace mf

#include "model/event_list.h"
#include "text/line_batch.h"
#include "model/stamps.h"

namespace mf {
namespace {

class CountingIds : public IdSource {
 public:
  Uuid next() override {
    std::array<std::uint8_t, 16> bytes{};
    bytes[15] = static_cast<std::uint8_t>(++issued);
    return Uuid::fromRandomBytes(bytes);
  }
  int issued = 0;
};

class SteppingClock : public Clock {
 public:
  double now() override { return current += 0.5; }
  double current = 100.0;
};

TEST(IngestLines, TrimsDropsBlankLinesAppendsInOrderAndKeepsTheOrigin) {
  CountingIds ids;
  SteppingClock clock;
  EventList events;
  events.append(ids.next(), 1.0, EventType::info, "SESSION", "Starting trace", false);
  LineBatch batch = LineBatch::of({"  Error: disk full \t", " \xC2\xA0\xE2\x80\x83 ", "",
                                   "\t[org.x:main] WARNING:   Low   Memory"},
                                  LineInfo{LineOrigin::standardOutput});
  batch.add("plain text from the journal", LineInfo{LineOrigin::journal, 3});
  batch.add("said on stderr", LineInfo{LineOrigin::standardError, 6});
  ingestLines(batch, "Org.X", events, ids, clock);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(ids.issued, 5);  // no id drawn for the blank lines
  const auto first = events.at(1);
  EXPECT_EQ(first.message, "Error: disk full");
  EXPECT_EQ(first.type, EventType::error);
  EXPECT_EQ(first.source, "CONSOLE");
  EXPECT_FALSE(first.isRoutineNoise);
  EXPECT_EQ(first.time, 100.5);
  const auto second = events.at(2);
  EXPECT_EQ(second.message, "[org.x:main] WARNING:   Low   Memory");  // inner spacing and case kept
  EXPECT_EQ(second.type, EventType::warning);
  EXPECT_EQ(second.time, 101.0);
  EXPECT_NE(first.id, second.id);
  EXPECT_EQ(events[3].type, EventType::error) << "the journal's priority 3";
  EXPECT_EQ(events[3].origin, LineOrigin::journal);
  // The origin survives a copy of the list and the way back to a value.
  const EventList copy = EventList::fromVector(events.toVector());
  EXPECT_EQ(copy.at(4).origin, LineOrigin::standardError);
  EXPECT_EQ(originName(copy.at(2).origin), "stdout");

  // An empty batch appends nothing.
  ingestLines(LineBatch{}, "", events, ids, clock);
  EXPECT_EQ(events.size(), 5u);
}

}  // namespace
}  // namespace mf
