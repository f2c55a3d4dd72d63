// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace mf::cli {

// Everything marrowfield-cli prints that it did not write itself is outside
// input: log lines, a desktop entry's fields, file names, the arguments it
// was given. Written raw to a terminal, an escape sequence in one could
// retitle the window, clear it or write the clipboard, and a bidirectional
// control could make "evil.exe gnp.txt" read as "txt.png exe.live"; a lone
// carriage return could hide a line behind a forged one. So control
// characters other than line feed and tab (C0, DEL and the C1 range) and the
// bidirectional controls (U+200E, U+200F, U+061C, U+202A to U+202E, U+2066
// to U+2069) are shown as \xNN or \uNNNN instead.
std::string escapeControlCharacters(std::string_view text);

// Each line after the first indented by four spaces: the rest of a message
// that holds line feeds can then not pass for an event line or a message of
// its own. Applies to every output, pipes and files too.
std::string indentContinuationLines(std::string_view text);

bool isTerminal(int fd);

// Human-readable text as it should reach any output: escaped. A trace saved
// to a file or piped to grep is read in a terminal all the same.
std::string forOutput(std::string_view text);

// One line of ours on stderr (without its line feed), outside text in it
// included: continuation lines indented, escaped.
void printError(const std::string& line);

}  // namespace mf::cli
