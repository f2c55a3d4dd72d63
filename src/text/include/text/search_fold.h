// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace mf {

// True when every byte is below 0x80.
bool isAscii(std::string_view text);

// Whether the search folds with the Turkic rules for dotted and dotless i
// (the default ICU locale's language is tr or az). Read at each call, so a
// locale set after start-up is honoured.
bool usesTurkicCaseFolding();

// The text as the search field compares it: full Unicode case folding (Turkic
// i rules under a Turkish or Azerbaijani default locale), no other change.
// Invalid UTF-8 is folded as if each bad sequence were U+FFFD.
// For ASCII input the result is the ASCII lower-case copy; callers that keep
// the fold only for non-ASCII text may skip calling it there.
std::string foldForSearch(std::string_view utf8);

}  // namespace mf
