// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mf {

// What a terminal would show of one line a program wrote to it (valid UTF-8,
// without its line feed). A program whose stdout is a terminal colours its
// text, moves the cursor, sets the window title and redraws progress bars
// with a carriage return; none of that is part of what it said:
// - escape sequences (CSI, OSC, DCS and the other string controls, and
//   two-byte escapes) are removed; an erase-in-line (CSI K) erases;
// - a carriage return moves back to the start of the line and backspace one
//   character back, and what follows overwrites, so a redrawn progress bar
//   reads as its last state ("100%") instead of every state run together;
// - other control characters are removed; tabs are kept.
// The work is linear in the line, whatever it holds: a program's stdout is
// rendered on the thread that reads every target's output. `work`, when
// given, receives the number of steps taken (for the tests that hold it to
// a bound).
std::string terminalLineText(std::string_view line, std::size_t* work = nullptr);
// Whether terminalLineText would change `line` at all: most lines hold no
// control character, and a flood of them should not be copied one by one.
bool needsTerminalRendering(std::string_view line);

}  // namespace mf
