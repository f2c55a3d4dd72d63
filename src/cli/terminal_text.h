#pragma once

#include <string>
#include <string_view>

namespace mf::cli {

// Log lines are outside input. Written raw to a terminal, an escape sequence
// in one could retitle the window, move the cursor or hide the lines after it.
// On a terminal, control characters other than line feed and tab (C0, DEL and
// the C1 range) are shown as \xNN or \u00NN instead. Pipes and files get the
// bytes unchanged, so saved output stays exactly what the window would copy.
std::string escapeControlCharacters(std::string_view text);

bool isTerminal(int fd);

// `text` as it should reach `fd`: escaped when it is a terminal.
std::string forOutput(int fd, std::string text);

}  // namespace mf::cli
