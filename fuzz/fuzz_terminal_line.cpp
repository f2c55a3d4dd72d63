// SPDX-License-Identifier: GPL-3.0-or-later
// What a terminal would show of a line, against a plain reference that
// carries out every erase cell by cell: the same text for short lines, valid
// UTF-8 with no control character but tab, and work linear in the line
// however the escapes are mixed (the run's -timeout watches the long ones).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "text/terminal_line.h"

namespace {

using mf::fuzz::mismatch;

// The renderer's reading of escapes and controls, with erases carried out
// on every cell: slow (quadratic) and obviously what a terminal does.
std::string reference(std::string_view line) {
  if (!mf::needsTerminalRendering(line)) return std::string(line);
  std::vector<std::string_view> cells;
  std::size_t cursor = 0;
  auto at = [&](std::size_t i) { return i < line.size() ? static_cast<unsigned char>(line[i]) : 0u; };
  std::size_t i = 0;
  while (i < line.size()) {
    const unsigned c = at(i);
    const bool c1 = c == 0xC2 && i + 1 < line.size() &&
                    (at(i + 1) == 0x9B || at(i + 1) == 0x9D || at(i + 1) == 0x90 || at(i + 1) == 0x98 ||
                     at(i + 1) == 0x9E || at(i + 1) == 0x9F);
    if (c == 0x1B || c1) {
      char final = 0;
      int parameter = 0;
      bool plain = false;
      auto csi = [&](std::size_t j) {
        bool other = false;
        while (j < line.size()) {
          const unsigned b = at(j);
          if (b >= 0x30 && b <= 0x3F) {
            if (b >= '0' && b <= '9') {
              parameter = std::min(parameter * 10 + static_cast<int>(b - '0'), 1000);
            } else {
              other = true;
            }
          } else if (b >= 0x20 && b <= 0x2F) {
            other = true;
          } else if (b >= 0x40 && b <= 0x7E) {
            final = static_cast<char>(b);
            plain = !other;
            return j + 1;
          } else {
            return j;
          }
          ++j;
        }
        return j;
      };
      auto string = [&](std::size_t j) {
        for (; j < line.size(); ++j) {
          if (at(j) == 0x07) return j + 1;
          if (at(j) == 0x1B && at(j + 1) == '\\' && j + 1 < line.size()) return j + 2;
          if (at(j) == 0xC2 && at(j + 1) == 0x9C && j + 1 < line.size()) return j + 2;
        }
        return j;
      };
      std::size_t end;
      if (c1) {
        end = at(i + 1) == 0x9B ? csi(i + 2) : string(i + 2);
      } else if (i + 1 >= line.size()) {
        end = i + 1;
      } else if (line[i + 1] == '[') {
        end = csi(i + 2);
      } else if (std::string_view("]PX^_").find(line[i + 1]) != std::string_view::npos) {
        end = string(i + 2);
      } else {
        std::size_t j = i + 1;
        while (j < line.size() && at(j) >= 0x20 && at(j) <= 0x2F) ++j;
        if (j < line.size() && at(j) >= 0x30 && at(j) <= 0x7E) ++j;
        end = j;
      }
      i = end;
      if (!plain) continue;
      const std::size_t count = parameter == 0 ? 1 : static_cast<std::size_t>(parameter);
      if (final == 'K') {
        if (parameter == 0) cells.resize(std::min(cells.size(), cursor));
        if (parameter == 1) {
          for (std::size_t k = 0; k <= cursor && k < cells.size(); ++k) cells[k] = " ";
        }
        if (parameter == 2) std::fill(cells.begin(), cells.end(), " ");
      } else if (final == 'G') {
        cursor = count - 1;
      } else if (final == 'C') {
        cursor += count;
      } else if (final == 'D') {
        cursor = cursor > count ? cursor - count : 0;
      }
      cursor = std::min(cursor, std::max(cells.size(), std::size_t{1000}));
      while (cells.size() < cursor) cells.emplace_back(" ");
      continue;
    }
    if (c == '\r') {
      cursor = 0;
    } else if (c == '\b') {
      if (cursor > 0) --cursor;
    } else if (!((c < 0x20 && c != '\t') || c == 0x7F)) {
      const std::size_t length = std::min<std::size_t>(c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4, line.size() - i);
      if (cursor < cells.size()) {
        cells[cursor] = line.substr(i, length);
      } else {
        cells.emplace_back(line.substr(i, length));
      }
      ++cursor;
      i += length;
      continue;
    }
    ++i;
  }
  std::string text;
  for (const auto cell : cells) text.append(cell);
  const auto last = text.find_last_not_of(' ');
  text.resize(last == std::string::npos ? 0 : last + 1);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The renderer gets valid UTF-8, as the splitter hands it on.
  const std::string valid = mf::fuzz::toValidUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const mf::fuzz::ExactCopy exact(valid);
  const std::string_view line = exact.view();
  std::size_t work = 0;
  const std::string shown = mf::terminalLineText(line, &work);
  if (!mf::isValidUtf8(shown)) mismatch("not valid UTF-8", line, shown, {});
  for (const char c : shown) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t') || b == 0x7F) mismatch("a control character is left", line, shown, {});
  }
  // A cursor move may add up to a margin of blanks for a few bytes; nothing
  // else may cost more than a few steps a byte.
  if (work > 8 * line.size() + 1000 * (line.size() / 3 + 1)) {
    mismatch("work beyond linear", line, std::to_string(work), std::to_string(line.size()));
  }
  if (line.size() <= 1024) {
    const std::string want = reference(line);
    if (shown != want) mismatch("differs from the cell-by-cell reference", line, shown, want);
  }
  // The same text repeated into a long line, in one input of 32: the
  // -timeout catches any cost that grows faster than the line.
  if (mf::fuzz::oneInput(data, size, 32)) {
    std::string longLine;
    while (longLine.size() < (std::size_t{1} << 17)) longLine += valid.empty() ? std::string("\x1b[2K") : valid;
    (void)mf::terminalLineText(longLine, &work);
    if (work > 8 * longLine.size() + 1000 * (longLine.size() / 3 + 1)) {
      mismatch("work beyond linear on a long line", valid, std::to_string(work), std::to_string(longLine.size()));
    }
  }
  return 0;
}
