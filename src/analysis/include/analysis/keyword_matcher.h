// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One pass over a normalised line that finds which keyword tables hit.
// The rules in classify.cpp apply the order; the reference automaton the
// tests hold it to shares the word test.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mf {

enum KeywordHit : std::uint32_t {
  hitError = 1u << 0,
  hitWarning = 1u << 1,
  hitPermission = 1u << 2,
  hitCrash = 1u << 3,
  hitFile = 1u << 4,
  hitHeader = 1u << 5,
  hitPreference = 1u << 6,
  hitSubsystem = 1u << 7,
  hitFramework = 1u << 8,
  hitErrorWord = 1u << 9,  // "error" as a whole word
  hitFaultWord = 1u << 10,  // "fault" as a whole word
  hitPrivacyPrefix = 1u << 11,
};

// Bits of KeywordHit for `normalized` (lower case, as normalizeLine gives it).
std::uint32_t scanKeywords(std::string_view normalized);
// The same for text that is in normal form except for ASCII letter case:
// gives scanKeywords(lower-cased text) without making the copy.
std::uint32_t scanKeywordsFoldingCase(std::string_view text);
// hitPrivacyPrefix when `normalized` starts with a privacy prefix, else 0.
std::uint32_t privacyHits(std::string_view normalized);
// No word character touches text[begin, end) on either side: a hit of
// tables::errorWord or tables::faultWord there is a whole word.
bool isWholeWord(std::string_view text, std::size_t begin, std::size_t end);

}  // namespace mf
