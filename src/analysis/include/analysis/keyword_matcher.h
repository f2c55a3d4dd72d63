#pragma once

// One pass over a normalised line that finds which keyword tables hit.
// Internal to src/analysis; the rules in classify.cpp apply the order.

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
// A second, independent matcher (one Aho-Corasick automaton over all
// tables), kept as the oracle the tests hold the fast scan to.
std::uint32_t scanKeywordsWithAutomaton(std::string_view normalized);

}  // namespace mf
