// SPDX-License-Identifier: GPL-3.0-or-later
#include "reference/reference_rules.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"

namespace mf::reference {
namespace {

// The white space the rules name: trimmed off both ends, and (all of it but
// VT and NEL) collapsed to one blank inside a line; word characters.
constexpr const char* kTrimmedEnds = "\\A[\\t\\n\\x0B\\f\\r\\x85\\p{Z}]+|[\\t\\n\\x0B\\f\\r\\x85\\p{Z}]+\\z";
constexpr const char* kCollapsed = "[\\t\\n\\f\\r\\p{Z}]+";
constexpr const char* kWordChar = "[\\p{L}\\p{M}\\p{N}_]";

icu::UnicodeString fromUtf8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

// An ICU regular expression over `text`, compiled once per thread (the
// fuzzers call these millions of times).
std::unique_ptr<icu::RegexMatcher> matcher(const std::string& pattern, const icu::UnicodeString& text) {
  thread_local std::map<std::string, std::unique_ptr<icu::RegexPattern>> compiled;
  UErrorCode status = U_ZERO_ERROR;
  auto& p = compiled[pattern];
  if (!p) p.reset(icu::RegexPattern::compile(fromUtf8(pattern), 0, status));
  std::unique_ptr<icu::RegexMatcher> m(U_SUCCESS(status) ? p->matcher(text, status) : nullptr);
  if (U_FAILURE(status)) std::abort();
  return m;
}

icu::UnicodeString replaced(const icu::UnicodeString& text, const char* pattern, const char* with) {
  UErrorCode status = U_ZERO_ERROR;
  return matcher(pattern, text)->replaceAll(icu::UnicodeString(with), status);
}

icu::UnicodeString trimmed(const icu::UnicodeString& s) { return replaced(s, kTrimmedEnds, ""); }

bool isExemptSource(std::string_view source) {
  return std::find(tables::exemptSources.begin(), tables::exemptSources.end(), source) !=
         tables::exemptSources.end();
}

bool startsWithAny(std::string_view text, std::span<const std::string_view> table) {
  return std::any_of(table.begin(), table.end(), [&](std::string_view p) { return text.starts_with(p); });
}

bool containsAnyPhrase(std::string_view normalized, std::span<const std::string_view> table) {
  return std::any_of(table.begin(), table.end(),
                     [&](std::string_view phrase) { return normalized.find(phrase) != std::string_view::npos; });
}

bool isRoutineSystemNoise(std::string_view normalized, EventType type, std::string_view source,
                          std::string_view bundleIdentifier) {
  if (isExemptSource(source)) return false;
  if (containsAnyPhrase(normalized, tables::headerMarkers)) return true;
  if (startsWithAny(normalized, tables::privacyPrefixes)) return true;
  if (containsAnyPhrase(normalized, tables::preferenceMarkers)) return true;
  if (containsAnyPhrase(normalized, tables::subsystemMarkers)) return true;
  if (containsAnyPhrase(normalized, tables::frameworkMarkers)) return true;
  const std::string marker = appMarkerFor(bundleIdentifier);
  const bool isAppAuthored = !marker.empty() && normalized.find(marker) != std::string_view::npos;
  if (type == EventType::warning || type == EventType::error || isAppAuthored) return false;
  return true;
}

}  // namespace

std::string trim(std::string_view text) { return toUtf8(trimmed(fromUtf8(text))); }

std::string normalizeLine(std::string_view text) {
  icu::UnicodeString result = trimmed(replaced(fromUtf8(text), kCollapsed, " "));
  result.toLower(icu::Locale::getRoot());
  return toUtf8(result);
}

// The word, with no word character on either side.
bool containsWord(std::string_view normalized, std::string_view word) {
  const std::string pattern = "(?<!" + std::string(kWordChar) + ")\\Q" + std::string(word) + "\\E(?!" + kWordChar + ")";
  return matcher(pattern, fromUtf8(normalized))->find();
}

bool isTrivialLine(std::string_view line) {
  const icu::UnicodeString t = trimmed(fromUtf8(line));
  if (t.isEmpty()) return true;
  // Creating the iterator loads its rules, which would dominate the fuzzers' time.
  thread_local const std::unique_ptr<icu::BreakIterator> it = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::BreakIterator>(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  }();
  it->setText(t);
  int clusters = 0;
  for (it->first(); it->next() != icu::BreakIterator::DONE;) ++clusters;
  if (clusters > 8) return false;
  for (int32_t i = 0; i < t.length(); i = t.moveIndex32(i, 1)) {
    if (U_GET_GC_MASK(t.char32At(i)) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) return false;
  }
  return true;
}

std::array<std::span<const std::string_view>, 9> keywordTables() {
  static_assert(hitFramework == 1u << 8);
  return {tables::errorMarkers,     tables::warningMarkers,    tables::permissionMarkers,
          tables::crashMarkers,     tables::fileMarkers,       tables::headerMarkers,
          tables::preferenceMarkers, tables::subsystemMarkers, tables::frameworkMarkers};
}

std::uint32_t scanKeywords(std::string_view normalized) {
  std::uint32_t hits = 0;
  const auto tablesInOrder = keywordTables();
  for (std::size_t k = 0; k < tablesInOrder.size(); ++k) {
    if (containsAnyPhrase(normalized, tablesInOrder[k])) hits |= 1u << k;
  }
  if (containsWord(normalized, tables::errorWord)) hits |= hitErrorWord;
  if (containsWord(normalized, tables::faultWord)) hits |= hitFaultWord;
  if (startsWithAny(normalized, tables::privacyPrefixes)) hits |= hitPrivacyPrefix;
  return hits;
}

Classification classify(std::string_view trimmedLine, std::string_view bundleIdentifier) {
  const std::string normalized = normalizeLine(trimmedLine);
  Classification c;
  if (containsAnyPhrase(normalized, tables::errorMarkers)) {
    c.type = EventType::error;
  } else if (containsWord(normalized, tables::errorWord) || containsWord(normalized, tables::faultWord) ||
             containsAnyPhrase(normalized, tables::warningMarkers)) {
    c.type = EventType::warning;
  }
  if (containsAnyPhrase(normalized, tables::permissionMarkers)) {
    c.source = "PERMISSION";
  } else if (containsAnyPhrase(normalized, tables::crashMarkers)) {
    c.source = "CRASH";
  } else if (containsAnyPhrase(normalized, tables::fileMarkers)) {
    c.source = "FILE";
  } else {
    c.source = "CONSOLE";
  }
  c.isRoutineNoise = isTrivialLine(trimmedLine) || isRoutineSystemNoise(normalized, c.type, c.source, bundleIdentifier);
  return c;
}

std::vector<std::uint32_t> selectVisibleRows(const EventList& events, bool showRawLog, std::string_view searchText) {
  const SearchQuery query(searchText);
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (!showRawLog && event.isRoutineNoise) continue;
    if (!query.empty() && !query.matches(event)) continue;  // the plain test: this is the reference
    rows.push_back(static_cast<std::uint32_t>(i));
  }
  return rows;
}

std::size_t suppressedCount(const EventList& events) {
  return selectVisibleRows(events, true, "").size() - selectVisibleRows(events, false, "").size();
}

std::string foldCase(std::string_view text, bool turkic) {
  icu::UnicodeString s = fromUtf8(text);
  s.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
  return toUtf8(s);
}

bool searchMatches(std::string_view text, std::string_view query, bool turkic) {
  return foldCase(text, turkic).find(foldCase(trim(query), turkic)) != std::string::npos;
}

// The splitting of a stream into lines, decoded whole by ICU (one U+FFFD per
// maximal invalid subpart), then the separators, then empty pieces dropped.
// The chunked splitter must give the same lines however the stream is cut.
std::vector<std::string> splitLines(std::string_view stream) {
  const icu::UnicodeString text = fromUtf8(stream);
  std::vector<std::string> lines;
  icu::UnicodeString line;
  for (int32_t i = 0; i <= text.length(); i = text.moveIndex32(i, 1)) {
    const UChar32 c = i < text.length() ? text.char32At(i) : 0x0A;
    if ((c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029) {
      if (!line.isEmpty()) lines.push_back(toUtf8(line));
      line.remove();
      if (i == text.length()) break;
    } else {
      line.append(c);
    }
  }
  return lines;
}

std::vector<std::string> linesOf(const LineBatch& batch) {
  std::vector<std::string> lines;
  lines.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) lines.emplace_back(batch[i]);
  return lines;
}

}  // namespace mf::reference
