// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/terminal_line.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <cstddef>
#include <vector>

namespace mf {
namespace {

constexpr char kEsc = '\x1B';

// A terminal's cursor stops at its right margin. A line here does not wrap,
// so text may run on past any margin, but a cursor move never goes beyond
// this column or the text already there: otherwise a short line of repeated
// "move 1000 right" would grow into gigabytes of blanks.
constexpr std::size_t kRightMargin = 1000;

// Bytes of the UTF-8 character that starts with `lead` (1 for anything that
// is not a valid lead: the input is valid UTF-8, so that never splits one).
std::size_t characterLength(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Where the escape sequence starting at `i` (at ESC, or at a C1 CSI/OSC
// written as UTF-8) ends, and for a CSI its final byte and first parameter.
struct Escape {
  std::size_t end;
  char final = 0;     // the final byte of a CSI sequence, 0 for any other
  int parameter = 0;  // its first numeric parameter, 0 when none
  bool isPlain = false;  // a CSI with only digits as parameters
};

// Skips a string control (OSC, DCS, SOS, PM, APC) up to its terminator: BEL
// or ST (ESC \ or U+009C). An unterminated one runs to the end of the line.
std::size_t skipString(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0x07) return i + 1;
    if (c == static_cast<unsigned char>(kEsc) && i + 1 < s.size() && s[i + 1] == '\\') return i + 2;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x9C) return i + 2;
    ++i;
  }
  return i;
}

Escape skipCsi(std::string_view s, std::size_t i) {
  int parameter = 0;
  bool hasOther = false;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x30 && c <= 0x3F) {
      if (c >= '0' && c <= '9') {
        parameter = parameter * 10 + (c - '0');
        if (parameter > 1000) parameter = 1000;
      } else {
        hasOther = true;
      }
      ++i;
    } else if (c >= 0x20 && c <= 0x2F) {
      hasOther = true;
      ++i;
    } else if (c >= 0x40 && c <= 0x7E) {
      return Escape{i + 1, static_cast<char>(c), parameter, !hasOther};
    } else {
      // Not a well-formed sequence: it ends before this byte, which stays text.
      return Escape{i};
    }
  }
  return Escape{i};
}

Escape skipEscape(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c == 0xC2) {  // C1 control in UTF-8: U+009B CSI, U+009D OSC, U+0090 DCS, ...
    const auto next = static_cast<unsigned char>(s[i + 1]);
    if (next == 0x9B) return skipCsi(s, i + 2);
    return Escape{skipString(s, i + 2)};
  }
  if (i + 1 >= s.size()) return Escape{i + 1};  // a lone ESC at the end
  const char kind = s[i + 1];
  switch (kind) {
    case '[': return skipCsi(s, i + 2);
    case ']':
    case 'P':
    case 'X':
    case '^':
    case '_': return Escape{skipString(s, i + 2)};
    default: break;
  }
  // ESC, intermediates (0x20-0x2F), then one final byte (0x30-0x7E).
  std::size_t j = i + 1;
  while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x20 && static_cast<unsigned char>(s[j]) <= 0x2F) ++j;
  if (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x30 && static_cast<unsigned char>(s[j]) <= 0x7E) ++j;
  return Escape{j};
}

bool isC1Escape(std::string_view s, std::size_t i) {
  if (static_cast<unsigned char>(s[i]) != 0xC2 || i + 1 >= s.size()) return false;
  const auto next = static_cast<unsigned char>(s[i + 1]);
  return next == 0x9B || next == 0x9D || next == 0x90 || next == 0x98 || next == 0x9E || next == 0x9F;
}

}  // namespace

bool needsTerminalRendering(std::string_view line) {
  for (const char ch : line) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F || c == 0xC2) return true;
  }
  return false;
}

std::string terminalLineText(std::string_view line, std::size_t* work) {
  if (!needsTerminalRendering(line)) return std::string(line);

  // The line as cells of one character each, and the cursor over them. An
  // erase does not touch the cells it blanks: it is numbered and noted, and a
  // cell written before an erase that covers it reads as blank at the end.
  // So a line of a megabyte erased after every character costs no more than
  // writing it.
  struct Cell {
    std::size_t offset = 0;       // of its character in `line`
    std::uint8_t length = 0;      // 0 for a blank
    std::size_t writtenAfter = 0;  // the number of erases before it was written
  };
  // An erase from the start of the line up to and including `last`.
  struct Erase {
    std::size_t last;
    std::size_t number;
  };
  std::vector<Cell> cells;
  cells.reserve(std::min(line.size(), std::size_t{1} << 16));
  // Later erases reach no further than earlier ones kept here (one that
  // reaches as far replaces them), so this stays sorted both ways.
  std::vector<Erase> erases;
  std::size_t eraseCount = 0;
  std::size_t cursor = 0;
  std::size_t steps = 0;
  auto eraseToStart = [&](std::size_t last) {
    ++eraseCount;
    while (!erases.empty() && erases.back().last <= last) {
      erases.pop_back();
      ++steps;
    }
    erases.push_back({last, eraseCount});
  };
  auto put = [&](std::size_t offset, std::size_t length) {
    const Cell cell{offset, static_cast<std::uint8_t>(length), eraseCount};
    if (cursor < cells.size()) {
      cells[cursor] = cell;
    } else {
      cells.push_back(cell);
    }
    ++cursor;
    ++steps;
  };

  std::size_t i = 0;
  while (i < line.size()) {
    ++steps;
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == static_cast<unsigned char>(kEsc) || isC1Escape(line, i)) {
      const Escape escape = skipEscape(line, i);
      steps += escape.end - i;
      i = escape.end;
      if (!escape.isPlain) continue;
      const auto count = static_cast<std::size_t>(escape.parameter == 0 ? 1 : escape.parameter);
      switch (escape.final) {
        case 'K':  // erase in line: 0 to the end, 1 to the start, 2 all of it
          if (escape.parameter == 0) {
            // Each cell is dropped at most once for each time it was written.
            steps += cells.size() - std::min(cells.size(), cursor);
            cells.resize(std::min(cells.size(), cursor));
          } else if (escape.parameter == 1) {
            eraseToStart(cursor);
          } else if (escape.parameter == 2) {
            eraseToStart(std::numeric_limits<std::size_t>::max());
          }
          break;
        case 'G':  // to column N (1-based)
          cursor = count - 1;
          break;
        case 'C':  // N forward
          cursor += count;
          break;
        case 'D':  // N back
          cursor = cursor > count ? cursor - count : 0;
          break;
        default: break;
      }
      cursor = std::min(cursor, std::max(cells.size(), kRightMargin));
      // Moving past the end leaves blanks, as on a terminal.
      while (cells.size() < cursor) {
        cells.push_back(Cell{});
        ++steps;
      }
      continue;
    }
    if (c == '\r') {
      cursor = 0;
      ++i;
      continue;
    }
    if (c == '\b') {
      if (cursor > 0) --cursor;
      ++i;
      continue;
    }
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      ++i;
      continue;
    }
    const std::size_t length = std::min(characterLength(c), line.size() - i);
    put(i, length);
    i += length;
  }

  std::string text;
  text.reserve(line.size());
  // The erases that reach cell k are the oldest ones kept, up to the first
  // that ends before k; the latest of those is the one that counts.
  std::size_t reaching = erases.size();
  for (std::size_t k = 0; k < cells.size(); ++k) {
    ++steps;
    while (reaching > 0 && erases[reaching - 1].last < k) --reaching;
    const std::size_t latestErase = reaching > 0 ? erases[reaching - 1].number : 0;
    const Cell& cell = cells[k];
    if (cell.length == 0 || cell.writtenAfter < latestErase) {
      text += ' ';
    } else {
      text.append(line.substr(cell.offset, cell.length));
    }
  }
  steps += erases.size();
  if (work) *work = steps;
  // An erase that ran to the start leaves blanks where the text was.
  const auto last = text.find_last_not_of(' ');
  text.resize(last == std::string::npos ? 0 : last + 1);
  return text;
}

}  // namespace mf
