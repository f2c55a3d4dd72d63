// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Slow references for the text rules, written straight from the rules with
// ICU alone: no byte tables, no prefilters, no shortcuts. The fast roads in
// classify.cpp, keyword_matcher.cpp and visible.cpp are held to these by the
// analysis tests and the fuzz targets; nothing in the program links them.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "analysis/visible.h"
#include "model/event_list.h"
#include "text/line_batch.h"

namespace mf::reference {

// Each takes valid UTF-8 (a line as the splitter gives it); invalid bytes
// are read as U+FFFD.
std::string trim(std::string_view text);
std::string normalizeLine(std::string_view text);
bool containsWord(std::string_view normalized, std::string_view word);
bool isTrivialLine(std::string_view line);
Classification classify(std::string_view trimmed, std::string_view bundleIdentifier);
// The keyword tables in the order of their KeywordHit bits (hitError to
// hitFramework), and the KeywordHit bits of `normalized` found table by
// table and word by word: the fast scan's result, the slow way.
std::array<std::span<const std::string_view>, 9> keywordTables();
std::uint32_t scanKeywords(std::string_view normalized);

// Full case folding of the whole text at once (Turkic i rules when `turkic`).
std::string foldCase(std::string_view text, bool turkic);
// The search test with both sides folded: the query trimmed, an empty query
// matches everything, otherwise the folded text contains the folded query.
bool searchMatches(std::string_view text, std::string_view query, bool turkic);

// The visible rows by a plain linear scan (indices into `events`), and the
// routine-noise events the list does not show without the raw log.
std::vector<std::uint32_t> selectVisibleRows(const EventList& events, bool showRawLog, std::string_view searchText);
std::size_t suppressedCount(const EventList& events);

// The lines of a whole stream, decoded at once (one U+FFFD per maximal
// invalid subpart), cut at the separators, empty pieces dropped.
std::vector<std::string> splitLines(std::string_view stream);
// The lines of a batch, as strings.
std::vector<std::string> linesOf(const LineBatch& batch);

}  // namespace mf::reference
