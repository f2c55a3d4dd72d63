#pragma once

// Slow references for the text rules, written straight from the rules with
// ICU alone: no byte tables, no prefilters, no shortcuts. The fast roads in
// classify.cpp, keyword_matcher.cpp and visible.cpp are held to these by the
// equivalence test and the fuzz targets; nothing in the program links them.

#include <string>
#include <string_view>

#include "analysis/classify.h"

namespace mf::reference {

// Each takes valid UTF-8 (a line as the splitter gives it); invalid bytes
// are read as U+FFFD.
std::string trim(std::string_view text);
std::string normalizeLine(std::string_view text);
bool containsWord(std::string_view normalized, std::string_view word);
bool isTrivialLine(std::string_view line);
Classification classify(std::string_view trimmed, std::string_view bundleIdentifier);

// Full case folding of the whole text at once (Turkic i rules when `turkic`).
std::string foldCase(std::string_view text, bool turkic);
// The search test with both sides folded: the query trimmed, an empty query
// matches everything, otherwise the folded text contains the folded query.
bool searchMatches(std::string_view text, std::string_view query, bool turkic);

}  // namespace mf::reference
