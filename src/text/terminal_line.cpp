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

// One line of a terminal: cells of one character each, and a cursor over
// them. An erase does not touch the cells it blanks: it is numbered and
// noted, and a cell written before an erase that covers it reads as blank at
// the end. So a line of a megabyte erased after every character costs no
// more than writing it. `steps` counts the work, which tests hold linear.
class TerminalLine {
 public:
  explicit TerminalLine(std::string_view line) : line_(line) {
    cells_.reserve(std::min(line.size(), std::size_t{1} << 16));
  }

  void countStep() { ++steps_; }
  void countSteps(std::size_t n) { steps_ += n; }
  std::size_t steps() const { return steps_; }

  // The character of `length` bytes at `offset` of the line, at the cursor.
  void write(std::size_t offset, std::size_t length) {
    const Cell cell{offset, static_cast<std::uint8_t>(length), eraseCount_};
    if (cursor_ < cells_.size()) {
      cells_[cursor_] = cell;
    } else {
      cells_.push_back(cell);
    }
    ++cursor_;
    ++steps_;
  }

  void carriageReturn() { cursor_ = 0; }
  void backspace() {
    if (cursor_ > 0) --cursor_;
  }

  // The CSI sequences that change what a line shows: erase in line (K) and
  // cursor moves within it (G, C, D). Anything else changes nothing here.
  void obey(const Escape& escape) {
    const auto count = static_cast<std::size_t>(escape.parameter == 0 ? 1 : escape.parameter);
    switch (escape.final) {
      case 'K':  // 0 to the end, 1 to the start, 2 all of it
        if (escape.parameter == 0) {
          eraseToEnd();
        } else if (escape.parameter == 1) {
          eraseToStart(cursor_);
        } else if (escape.parameter == 2) {
          eraseToStart(std::numeric_limits<std::size_t>::max());
        }
        break;
      case 'G': moveTo(count - 1); break;             // to column N (1-based)
      case 'C': moveTo(cursor_ + count); break;       // N forward
      case 'D': moveTo(cursor_ > count ? cursor_ - count : 0); break;  // N back
      default: break;
    }
  }

  // What the line shows: blanks where erased or never written, trailing
  // blanks dropped.
  std::string text() {
    std::string text;
    text.reserve(line_.size());
    // The erases that reach cell k are the oldest ones kept, up to the first
    // that ends before k; the latest of those is the one that counts.
    std::size_t reaching = erases_.size();
    for (std::size_t k = 0; k < cells_.size(); ++k) {
      ++steps_;
      while (reaching > 0 && erases_[reaching - 1].last < k) --reaching;
      const std::size_t latestErase = reaching > 0 ? erases_[reaching - 1].number : 0;
      const Cell& cell = cells_[k];
      if (cell.length == 0 || cell.writtenAfter < latestErase) {
        text += ' ';
      } else {
        text.append(line_.substr(cell.offset, cell.length));
      }
    }
    steps_ += erases_.size();
    const auto last = text.find_last_not_of(' ');
    text.resize(last == std::string::npos ? 0 : last + 1);
    return text;
  }

 private:
  struct Cell {
    std::size_t offset = 0;        // of its character in the line
    std::uint8_t length = 0;       // 0 for a blank
    std::size_t writtenAfter = 0;  // the number of erases before it was written
  };
  // An erase from the start of the line up to and including `last`.
  struct Erase {
    std::size_t last;
    std::size_t number;
  };

  void eraseToEnd() {
    // Each cell is dropped at most once for each time it was written.
    steps_ += cells_.size() - std::min(cells_.size(), cursor_);
    cells_.resize(std::min(cells_.size(), cursor_));
    fillToCursor();
  }

  void eraseToStart(std::size_t last) {
    ++eraseCount_;
    // Later erases reach no further than earlier ones kept (one that reaches
    // as far replaces them), so the list stays sorted both ways.
    while (!erases_.empty() && erases_.back().last <= last) {
      erases_.pop_back();
      ++steps_;
    }
    erases_.push_back({last, eraseCount_});
    fillToCursor();
  }

  void moveTo(std::size_t column) {
    cursor_ = column;
    fillToCursor();
  }

  // The cursor stops at the margin; moving past the end leaves blanks, as
  // on a terminal.
  void fillToCursor() {
    cursor_ = std::min(cursor_, std::max(cells_.size(), kRightMargin));
    while (cells_.size() < cursor_) {
      cells_.push_back(Cell{});
      ++steps_;
    }
  }

  std::string_view line_;
  std::vector<Cell> cells_;
  std::vector<Erase> erases_;
  std::size_t eraseCount_ = 0;
  std::size_t cursor_ = 0;
  std::size_t steps_ = 0;
};

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
  TerminalLine terminal(line);
  for (std::size_t i = 0; i < line.size();) {
    terminal.countStep();
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == static_cast<unsigned char>(kEsc) || isC1Escape(line, i)) {
      const Escape escape = skipEscape(line, i);
      terminal.countSteps(escape.end - i);
      i = escape.end;
      if (escape.isPlain) terminal.obey(escape);
    } else if (c == '\r') {
      terminal.carriageReturn();
      ++i;
    } else if (c == '\b') {
      terminal.backspace();
      ++i;
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      ++i;  // other controls show nothing
    } else {
      const std::size_t length = std::min(characterLength(c), line.size() - i);
      terminal.write(i, length);
      i += length;
    }
  }
  std::string text = terminal.text();
  if (work) *work = terminal.steps();
  return text;
}

}  // namespace mf
