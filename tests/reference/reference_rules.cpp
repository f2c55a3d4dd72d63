// SPDX-License-Identifier: GPL-3.0-or-later
#include "reference/reference_rules.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "analysis/keyword_matcher.h"
#include "analysis/keyword_tables.h"

namespace mf::reference {
namespace {

bool inSeparatorCategory(UChar32 c) {
  const auto t = u_charType(c);
  return t == U_SPACE_SEPARATOR || t == U_LINE_SEPARATOR || t == U_PARAGRAPH_SEPARATOR;
}
bool isTrimChar(UChar32 c) { return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85 || inSeparatorCategory(c); }
bool isCollapseChar(UChar32 c) { return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || inSeparatorCategory(c); }
bool isWordChar(UChar32 c) {
  const auto mask = U_GET_GC_MASK(c);
  return c == '_' || (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

icu::UnicodeString fromUtf8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

icu::UnicodeString trimmed(const icu::UnicodeString& s) {
  int32_t begin = 0;
  int32_t end = s.length();
  while (begin < end && isTrimChar(s.char32At(begin))) begin = s.moveIndex32(begin, 1);
  while (end > begin && isTrimChar(s.char32At(s.moveIndex32(end, -1)))) end = s.moveIndex32(end, -1);
  return icu::UnicodeString(s, begin, end - begin);
}

bool isExemptSource(std::string_view source) {
  return std::find(tables::exemptSources.begin(), tables::exemptSources.end(), source) != tables::exemptSources.end();
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
  const icu::UnicodeString in = fromUtf8(text);
  icu::UnicodeString collapsed;
  bool inRun = false;
  for (int32_t i = 0; i < in.length(); i = in.moveIndex32(i, 1)) {
    const UChar32 c = in.char32At(i);
    if (isCollapseChar(c)) {
      if (!inRun) collapsed.append(static_cast<UChar32>(0x20));
      inRun = true;
    } else {
      collapsed.append(c);
      inRun = false;
    }
  }
  icu::UnicodeString result = trimmed(collapsed);
  result.toLower(icu::Locale::getRoot());
  return toUtf8(result);
}

// The text cut into pieces at every character that is no word character.
bool containsWord(std::string_view normalized, std::string_view word) {
  const icu::UnicodeString s = fromUtf8(normalized);
  icu::UnicodeString piece;
  for (int32_t i = 0; i <= s.length(); i = s.moveIndex32(i, 1)) {
    if (i < s.length() && isWordChar(s.char32At(i))) {
      piece.append(s.char32At(i));
    } else {
      if (!piece.isEmpty() && toUtf8(piece) == word) return true;
      piece.remove();
      if (i == s.length()) break;
    }
  }
  return false;
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
  for (std::size_t k = 0; k < tablesInOrder.size(); ++k) if (containsAnyPhrase(normalized, tablesInOrder[k])) hits |= 1u << k;
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
  // Nothing of the product's search: each field and the query folded whole
  // by ICU, then found with a plain find.
  const std::string language = icu::Locale::getDefault().getLanguage();
  const bool turkic = language == "tr" || language == "az";
  const std::string query = foldCase(trim(searchText), turkic);
  // Tests call this after every step over lists whose texts repeat.
  thread_local std::unordered_map<std::string, std::string> folds[2];
  auto& cache = folds[turkic ? 1 : 0];
  if (cache.size() > 1'000'000) cache.clear();
  const auto contains = [&](std::string_view text) {
    auto at = cache.find(std::string(text));
    if (at == cache.end()) at = cache.emplace(std::string(text), foldCase(text, turkic)).first;
    return at->second.find(query) != std::string::npos;
  };
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventView event = events[i];
    if (!showRawLog && event.isRoutineNoise) continue;
    if (!query.empty() && !contains(event.message) && !contains(event.source) && !contains(label(event.type))) continue;
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
